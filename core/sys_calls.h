// The system calls under the synchronisation's file operations, with a seam through which
// tests make single calls fail in ways the machine cannot be made to (EIO in the middle of
// a read, a failing close).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>

namespace tavrik {

enum class FsCall {
  kOpen,
  kRead,
  kWrite,
  kCopyRange,
  kStat,
  kChmod,
  kSetTimes,
  kSyncFs,
  kClose,
  kRename,
  kUnlink,
  kMkdir,
};

// Asked before each call; a non-zero answer makes that call fail with it as errno.
using FaultHook = std::function<int(FsCall)>;
// Installs a hook (an empty one removes it). For tests only.
void SetFaultHook(FaultHook hook);

namespace sys {

int OpenAt(int dir, const char* name, int flags, mode_t mode = 0);
ssize_t PRead(int fd, void* buf, size_t count, off_t offset);
ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset);
ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count);
int FstatAt(int dir, const char* name, struct stat* st, int flags);
int Fstat(int fd, struct stat* st);
int Fchmod(int fd, mode_t mode);
int Futimens(int fd, const struct timespec times[2]);
int SyncFs(int fd);
int Close(int fd);
int RenameAt(int from_dir, const char* from, int to_dir, const char* to);
int UnlinkAt(int dir, const char* name);
int MkdirAt(int dir, const char* name, mode_t mode);

}  // namespace sys
}  // namespace tavrik
