// A FileSystem that passes every call on to another one, except where a test told it to
// fail a call with an errno, to read less than asked, or to pause first. Thread-safe: the
// scan and the comparison call it from helper threads.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/fs/file_system.h"

namespace tavrik {

class FaultFileSystem : public FileSystem {
 public:
  explicit FaultFileSystem(FileSystem& inner = RealFileSystem()) : inner_(inner) {}

  // Fails the nth call of a kind from now on (counted from 1), or every one when nth is 0.
  void FailNth(FsCall call, int nth, int error);
  // Fails every call of a kind whose name or folder path contains part.
  void FailWhere(FsCall call, std::string part, int error);
  // Asked before every call with the name it concerns (may be empty); a non-zero answer
  // fails the call with that errno.
  void SetHook(std::function<int(FsCall, const std::string&)> hook);
  // Reads return at most this many bytes (0: as many as asked).
  void LimitReads(size_t max_bytes);
  // Every call of a kind waits this long before it is carried out.
  void Pause(FsCall call, std::chrono::microseconds delay);
  // Listings say DT_UNKNOWN of every entry, as some file systems do.
  void HideEntryTypes(bool hide);
  // Reads, writes and in-kernel copies take as long as a medium of this many bytes per
  // second needs for the bytes they moved (0: no delay).
  void LimitRate(uint64_t bytes_per_second);
  // Bytes moved by in-kernel copies so far, each call's counted once its delay is over.
  uint64_t CopiedBytes() const;
  // Forgets every rule and count.
  void Reset();
  // Calls of a kind so far.
  int Count(FsCall call) const;

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
  // What a far file system behind this one says and does, passed through: a whole folder's
  // listing counts (and fails) as a kReadDir, a run of block hashes as a kRead.
  bool IsFar() const override { return inner_.IsFar(); }
  std::string LostConnectionText() const override { return inner_.LostConnectionText(); }
  int Reconnect(const std::function<bool()>& stopped) override { return inner_.Reconnect(stopped); }
  int ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) override;
  int BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                  BlockHashList* out) override;

 private:
  struct Rule {
    FsCall call;
    int nth;  // 0: every call
    std::string part;
    int error;
    int seen = 0;
  };
  // True (errno set) when this call is to fail; pauses first where asked.
  bool Injected(FsCall call, const char* name = nullptr);

  FileSystem& inner_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::function<int(FsCall, const std::string&)> hook_;
  std::array<int, kFsCallCount> counts_{};
  std::array<std::chrono::microseconds, kFsCallCount> pauses_{};
  size_t read_limit_ = 0;
  bool hide_types_ = false;
  uint64_t rate_ = 0;
  uint64_t copied_ = 0;
  // Waits as the medium would for bytes moved.
  void Transfer(ssize_t bytes);
};

}  // namespace tavrik
