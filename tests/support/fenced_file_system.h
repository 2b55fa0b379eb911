// A FileSystem that passes calls on to another one and refuses those that are none of its
// business: a path below a folder it was told is not its own, and a descriptor it did not
// hand out (its descriptors are moved into a range of their own, so one handed to the wrong
// file system never names a file there by chance). Each refusal fails with EXDEV and is
// recorded, and every call is counted. Tests give each root of a comparison its own fenced
// file system to prove that a root is reached only through its own.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/fs/file_system.h"

namespace tavrik {

class FencedFileSystem : public FileSystem {
 public:
  // fence: a number of its own among the fenced file systems of a test (1, 2, ...), which
  // places its descriptors. foreign: folders (absolute, without a trailing separator) that
  // no path given to it may name or lie below.
  FencedFileSystem(FileSystem& inner, int fence, std::vector<std::string> foreign);

  // The calls refused so far, each as "<call> <path or descriptor>".
  std::vector<std::string> Refused() const;
  // Calls passed on so far.
  int Calls() const { return calls_.load(); }
  // Calls that wrote (writes, renames, new folders and links, deletions) passed on so far.
  int Writes() const { return writes_.load(); }

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
  // The inner descriptor of fd (AT_FDCWD as it is), or -1 after a refusal.
  int Inner(const char* call, int fd);
  // True when dir and name are this file system's to hand on; *inner_dir is then set.
  bool Allowed(const char* call, int dir, const char* name, int* inner_dir);
  int Outer(int inner_fd) const { return inner_fd < 0 ? inner_fd : inner_fd + offset_; }
  int Refuse(const std::string& what);

  FileSystem& inner_;
  const int offset_;
  const std::vector<std::string> foreign_;
  mutable std::mutex mutex_;
  std::vector<std::string> refused_;
  std::atomic<int> calls_{0};
  std::atomic<int> writes_{0};
};

}  // namespace tavrik
