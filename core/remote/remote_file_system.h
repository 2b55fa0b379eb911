// A folder on another machine behind the FileSystem seam: every call goes to the far end
// (serve.h) over a channel and waits for its answer; several threads may wait at once, a
// reader thread hands each answer to its caller.
//
// Descriptors are the far end's handles shifted by kFdBase, so none can be mistaken for a
// descriptor of this process (nor one of this process for a handle), and marked with the
// connection that gave them: after a reconnection the far end numbers its handles anew, and
// a descriptor of the broken connection must fail rather than reach another file. Paths are the far
// end's own: AT_FDCWD with an absolute path below Root(), as the core names files today.
//
// When the connection breaks every call fails with kLostErrno from then on, and LostText()
// says so in the words a message box shows.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/fs/file_system.h"
#include "core/remote/channel.h"
#include "core/remote/far_name.h"
#include "core/remote/protocol.h"

namespace tavrik::remote {

inline constexpr int kFdBase = 1 << 30;
// A descriptor is kFdBase + (connection << kHandleBits) + handle; connections count modulo
// kConnectionMarks.
inline constexpr int kHandleBits = 24;
inline constexpr uint32_t kHandleMask = (1u << kHandleBits) - 1;
inline constexpr uint32_t kConnectionMarks = 1u << (30 - kHandleBits);
inline constexpr int kLostErrno = ENOTCONN;

// Why a connection could not be made: an errno and the sentence for the user.
struct ConnectError {
  int code = 0;
  std::string text;
};

// "Die Verbindung zu HOST ist abgebrochen."
std::string ConnectionLostText(const std::string& host);
// The far end is missing, another program or of another protocol version.
std::string NoAgentText(const std::string& host);

class RemoteFileSystem : public FileSystem {
 public:
  // Greets the far end on channel and opens root there. nullptr with *error on failure.
  static std::unique_ptr<RemoteFileSystem> Connect(std::unique_ptr<Channel> channel,
                                                   const std::string& host, const std::string& root,
                                                   ConnectError* error);
  // Starts the ssh command (SshCommandWords) for name, running far_command there (the
  // installed far end, or PushAgent's), and connects. stopped, when given, is asked while the
  // far end is awaited, so that a stop request ends a login that hangs (ECANCELED); the
  // connection made is no longer bound to it.
  static std::unique_ptr<RemoteFileSystem> Open(
      const FarName& name, const std::vector<std::string>& ssh_command, ConnectError* error,
      std::function<bool()> stopped = {},
      const std::vector<std::string>& far_command = InstalledFarCommand());
  ~RemoteFileSystem() override;

  const std::string& Host() const { return host_; }
  // The root's absolute path at the far end, links resolved.
  const std::string& Root() const { return root_; }
  bool Lost() const;
  std::string LostText() const { return ConnectionLostText(host_); }
  std::string LostConnectionText() const override { return Lost() ? LostText() : std::string(); }
  // Ends the connection; calls from now on fail as after a loss.
  void Disconnect();
  // How Reconnect makes a new connection: a fresh channel to a far end (nullptr with errno
  // set). Open sets it to start the same command again.
  void SetReopen(std::function<std::unique_ptr<Channel>()> reopen);
  // Ends the old connection (its far end, if still there, removes its temporary files) and
  // greets a new far end for the same root; descriptors of the old one stay invalid (EBADF).
  // 0, or -1 with errno set: ENOTSUP without SetReopen, ESTALE when the root resolves to
  // another folder now, else why the new connection failed.
  int Reconnect() override;

  int OpenAt(int dir, const char* name, int flags, mode_t mode) override;
  int Close(int fd) override;
  std::unique_ptr<DirStream> OpenDir(int fd) override;
  using FileSystem::ReadDir;
  int ReadDir(DirStream& dir, const char** name, unsigned char* type) override;
  ssize_t PRead(int fd, void* buf, size_t count, off_t offset) override;
  ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset) override;
  ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count) override;
  int Advise(int fd, int advice) override;
  int StatAt(int dir, const char* name, struct stat* st, int flags) override;
  int Fstat(int fd, struct stat* st) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fchown(int fd, uid_t uid, gid_t gid) override;
  int Futimens(int fd, const struct timespec times[2]) override;
  int UtimensAt(int dir, const char* name, const struct timespec times[2], int flags) override;
  ssize_t ListXattr(int fd, char* list, size_t size) override;
  ssize_t GetXattr(int fd, const char* name, void* value, size_t size) override;
  int SetXattr(int fd, const char* name, const void* value, size_t size) override;
  int RenameAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int LinkAt(int from_dir, const char* from, int to_dir, const char* to) override;
  int UnlinkAt(int dir, const char* name, int flags) override;
  int MkdirAt(int dir, const char* name, mode_t mode) override;
  int SymlinkAt(const char* target, int dir, const char* name) override;
  ssize_t ReadLinkAt(int dir, const char* name, char* buf, size_t size) override;
  int SyncFs(int fd) override;
  int SyncData(int fd) override;
  int FdPath(int fd, std::string* path) override;
  int StatFs(int fd, struct statfs* st) override;
  int MountType(int fd, std::string* type) override;
  int VolumeOf(int fd, VolumeInfo* info) override;

 private:
  struct Pending {
    uint32_t connection = 0;
    bool done = false;
    std::string body;  // the answer from the result on
  };
  RemoteFileSystem(std::unique_ptr<Channel> channel, std::string host, std::string root);
  // Sends a request and waits for its answer; the result, with errno set below 0. reply
  // then reads what the call gives back.
  int64_t Call(Op op, Writer& args, std::string* reply = nullptr);
  void ReadAnswers(std::shared_ptr<Channel> channel, uint32_t connection);
  // Marks the connection lost, unless a newer one took its place.
  void Lose(uint32_t connection);
  void StartReader();
  // The far handle behind fd, when fd is one of the current connection's (or AT_FDCWD, the
  // root); RealHandle puts a handle that is not the root into w.
  bool HandleOf(int fd, uint32_t* handle) const;
  bool RealHandle(int fd, Writer& w) const;
  bool Place(Writer& w, int dir, const char* name) const;
  bool TwoPlaces(Writer& w, int from_dir, const char* from, int to_dir, const char* to) const;
  int DescriptorOf(uint32_t handle) const;

  std::shared_ptr<Channel> channel_;   // under mutex_
  ProcessChannel* process_ = nullptr;  // the same channel, where it is a child's
  std::string host_;
  std::string root_;
  std::thread reader_;
  std::mutex write_mutex_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::unordered_map<uint32_t, Pending*> pending_;
  uint32_t next_id_ = 1;
  bool lost_ = false;
  std::atomic<uint32_t> connection_{0};  // changed under mutex_
  std::function<std::unique_ptr<Channel>()> reopen_;
};

}  // namespace tavrik::remote
