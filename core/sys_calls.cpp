#include "core/sys_calls.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace tavrik {

namespace {

FaultHook& Hook() {
  static FaultHook hook;
  return hook;
}

// True (with errno set) when the test seam wants this call to fail.
bool Injected(FsCall call) {
  const FaultHook& hook = Hook();
  if (!hook) return false;
  int error = hook(call);
  if (error == 0) return false;
  errno = error;
  return true;
}

}  // namespace

void SetFaultHook(FaultHook hook) { Hook() = std::move(hook); }

namespace sys {

int OpenAt(int dir, const char* name, int flags, mode_t mode) {
  if (Injected(FsCall::kOpen)) return -1;
  return ::openat(dir, name, flags, mode);
}

ssize_t PRead(int fd, void* buf, size_t count, off_t offset) {
  if (Injected(FsCall::kRead)) return -1;
  return ::pread(fd, buf, count, offset);
}

ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset) {
  if (Injected(FsCall::kWrite)) return -1;
  return ::pwrite(fd, buf, count, offset);
}

ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count) {
  if (Injected(FsCall::kCopyRange)) return -1;
  return ::copy_file_range(in, in_offset, out, out_offset, count, 0);
}

int FstatAt(int dir, const char* name, struct stat* st, int flags) {
  if (Injected(FsCall::kStat)) return -1;
  return ::fstatat(dir, name, st, flags);
}

int Fstat(int fd, struct stat* st) {
  if (Injected(FsCall::kStat)) return -1;
  return ::fstat(fd, st);
}

int Fchmod(int fd, mode_t mode) {
  if (Injected(FsCall::kChmod)) return -1;
  return ::fchmod(fd, mode);
}

int Futimens(int fd, const struct timespec times[2]) {
  if (Injected(FsCall::kSetTimes)) return -1;
  return ::futimens(fd, times);
}

int SyncFs(int fd) {
  if (Injected(FsCall::kSyncFs)) return -1;
  return ::syncfs(fd);
}

// The descriptor is closed even when a failure is injected, so nothing leaks.
int Close(int fd) {
  if (Injected(FsCall::kClose)) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return ::close(fd);
}

int RenameAt(int from_dir, const char* from, int to_dir, const char* to) {
  if (Injected(FsCall::kRename)) return -1;
  return ::renameat(from_dir, from, to_dir, to);
}

int UnlinkAt(int dir, const char* name) {
  if (Injected(FsCall::kUnlink)) return -1;
  return ::unlinkat(dir, name, 0);
}

int MkdirAt(int dir, const char* name, mode_t mode) {
  if (Injected(FsCall::kMkdir)) return -1;
  return ::mkdirat(dir, name, mode);
}

}  // namespace sys
}  // namespace tavrik
