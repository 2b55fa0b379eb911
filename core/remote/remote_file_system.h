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
#include <unordered_set>
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

class RemoteFeed;

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
  int Reconnect(const std::function<bool()>& stopped) override;

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
  bool IsFar() const override { return true; }
  int ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) override;
  int ListFolderAt(int dir, const char* name, int open_flags, bool skip_dot_names,
                   std::vector<FolderEntry>* entries, bool* opened) override;
  int BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                  BlockHashList* out) override;
  int DigestFile(int dir, const char* name, int flags, uint64_t max_length, uint32_t block_size,
                 FileDigests* out) override;
  // Many files to a request (kDigestFiles), several requests in flight.
  void DigestAhead(std::vector<DigestWant> wants) override;
  void DropDigestsAhead() override;
  // The far machine's own name (not the name the user gave it) and the far end's process:
  // the holder a lock file in this folder names. Asked once; where the far end cannot say,
  // this process is the holder, as for a folder of this machine.
  std::string Machine() override;
  int64_t ProcessId() override;
  bool ProcessGone(int64_t pid) override;
  std::string FarMachine() override;
  // The file's bytes asked for ahead, several reads in flight, so that a file costs about
  // one round trip rather than one per chunk.
  std::unique_ptr<ByteFeed> ReadStream(int fd, uint64_t size) override;
  // The bytes sent without waiting for each write's answer, then the finish in one call.
  int WriteStream(int fd, ByteFeed& feed, const FileFinish& finish, FileWritten* out) override;
  // Each worked out at the far end, in one call.
  int Signature(int fd, std::string* sig, struct stat* st) override;
  int Delta(int fd, const std::string& sig, size_t limit, std::string* delta) override;
  int WritePatched(int fd, int basis, const std::string& delta, const FileFinish& finish,
                   FileWritten* out, struct stat* basis_st) override;
  int PlaceIfUnchanged(int dir, const char* temp, const char* name, const PlaceCondition& want,
                       struct stat* after) override;
  size_t PlaceInOrder(std::vector<PlaceStep>& steps) override;

 private:
  friend class RemoteFeed;
  struct Pending {
    uint32_t connection = 0;
    bool done = false;
    std::string body;  // the answer from the result on
    // Its own, so that an answer wakes its caller only, not every thread that waits.
    std::condition_variable answered;
  };
  // A request on its way: its id and where its answer lands.
  struct Ticket {
    uint32_t id = 0;
    std::unique_ptr<Pending> pending;
  };
  RemoteFileSystem(std::unique_ptr<Channel> channel, std::string host, std::string root);
  // Sends a request and waits for its answer; the result, with errno set below 0. reply
  // then reads what the call gives back.
  int64_t Call(Op op, Writer& args, std::string* reply = nullptr);
  // Sends a request whose answer nobody waits for (closing what was only read).
  void Post(Op op, Writer& args);
  // Writes a request with id; false where the channel broke.
  static bool SendFrame(BatchWriter& writer, uint32_t id, Op op, Writer& args);
  // A write on channel, of connection, failed: that connection is lost.
  void Broke(Channel& channel, uint32_t connection);
  // Takes the entries of a listing's answer; the listing's errno, or -1 for a faulty answer.
  static int TakeListing(Reader& in, std::vector<FolderEntry>* entries, bool* more);
  // The two halves of Call, so that several requests of one caller can be in flight.
  Ticket Send(Op op, Writer& args);
  // Every ticket sent is awaited once.
  int64_t Await(Ticket& ticket, std::string* reply = nullptr);
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
  std::shared_ptr<BatchWriter> writer_;  // of channel_, under mutex_
  mutable std::mutex mutex_;
  std::unordered_map<uint32_t, Pending*> pending_;
  uint32_t next_id_ = 1;
  bool lost_ = false;
  // Handles opened for writing: their close waits for its answer (a late write error).
  std::unordered_set<int> writing_;
  std::once_flag machine_once_;
  std::string machine_;
  int64_t far_pid_ = 0;
  std::atomic<uint32_t> connection_{0};  // changed under mutex_
  std::function<std::unique_ptr<Channel>()> reopen_;

  // One request of digests asked for ahead: its files and, once awaited, their answers.
  struct AheadBatch {
    std::mutex mutex;
    Ticket ticket;
    bool awaited = false;
    bool answered = false;  // the far end answered for every file
    std::vector<DigestWant> wants;
    std::vector<FileDigests> found;
  };
  // The answer asked for ahead for path with these arguments, taken; false where none is.
  bool TakeAhead(const char* path, int flags, uint64_t max_length, uint32_t block_size,
                 FileDigests* out);
  // A request whose answer nobody will await: dropped when it comes.
  void Forget(Ticket& ticket);
  std::mutex ahead_mutex_;
  // Each path asked for ahead: its request and its place there.
  std::unordered_map<std::string, std::pair<std::shared_ptr<AheadBatch>, size_t>> ahead_;
};

}  // namespace tavrik::remote
