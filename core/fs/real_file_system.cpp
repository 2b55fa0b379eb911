// The system calls behind the FileSystem interface. Nothing here but the calls: the
// virtual call is the only cost over calling them directly.
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

namespace {

class RealDir : public DirStream {
 public:
  explicit RealDir(DIR* dir) : dir_(dir) {}
  ~RealDir() override { closedir(dir_); }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Finds the mount whose device numbers are dev in /proc/self/mountinfo; the type is the
// first field after the " - " separator.
bool MountTypeOf(dev_t dev, std::string* type) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    // id parent major:minor root mountpoint options [optional fields] - type source ...
    size_t a = line.find(' ');
    if (a == std::string::npos) continue;
    a = line.find(' ', a + 1);
    if (a == std::string::npos) continue;
    size_t b = line.find(' ', a + 1);
    if (b == std::string::npos || std::string_view(line).substr(a + 1, b - a - 1) != wanted)
      continue;
    size_t sep = line.find(" - ");
    if (sep == std::string::npos) continue;
    size_t start = sep + 3;
    size_t end = line.find(' ', start);
    // Later lines are mounts on top of earlier ones: the last match is what shows.
    *type = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    found = true;
  }
  return found;
}

class Real : public FileSystem {
 public:
  using FileSystem::ReadDir;
  int OpenAt(int dir, const char* name, int flags, mode_t mode) override {
    return ::openat(dir, name, flags, mode);
  }
  int Close(int fd) override { return ::close(fd); }

  std::unique_ptr<DirStream> OpenDir(int fd) override {
    DIR* dir = fdopendir(fd);
    if (!dir) {
      int error = errno;
      ::close(fd);
      errno = error;
      return nullptr;
    }
    return std::make_unique<RealDir>(dir);
  }
  int ReadDir(DirStream& dir, const char** name, unsigned char* type) override {
    errno = 0;
    struct dirent* entry = readdir(static_cast<RealDir&>(dir).get());
    if (!entry) return errno == 0 ? 0 : -1;
    *name = entry->d_name;
    *type = entry->d_type;
    return 1;
  }

  ssize_t PRead(int fd, void* buf, size_t count, off_t offset) override {
    return ::pread(fd, buf, count, offset);
  }
  ssize_t PWrite(int fd, const void* buf, size_t count, off_t offset) override {
    return ::pwrite(fd, buf, count, offset);
  }
  ssize_t CopyRange(int in, off_t* in_offset, int out, off_t* out_offset, size_t count) override {
    return ::copy_file_range(in, in_offset, out, out_offset, count, 0);
  }
  int Advise(int fd, int advice) override {
    int error = ::posix_fadvise(fd, 0, 0, advice);
    if (error == 0) return 0;
    errno = error;
    return -1;
  }

  int StatAt(int dir, const char* name, struct stat* st, int flags) override {
    return ::fstatat(dir, name, st, flags);
  }
  int Fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int Fchown(int fd, uid_t uid, gid_t gid) override { return ::fchown(fd, uid, gid); }
  int Futimens(int fd, const struct timespec times[2]) override { return ::futimens(fd, times); }
  int UtimensAt(int dir, const char* name, const struct timespec times[2], int flags) override {
    return ::utimensat(dir, name, times, flags);
  }
  ssize_t ListXattr(int fd, char* list, size_t size) override {
    return ::flistxattr(fd, list, size);
  }
  ssize_t GetXattr(int fd, const char* name, void* value, size_t size) override {
    return ::fgetxattr(fd, name, value, size);
  }
  int SetXattr(int fd, const char* name, const void* value, size_t size) override {
    return ::fsetxattr(fd, name, value, size, 0);
  }

  int RenameAt(int from_dir, const char* from, int to_dir, const char* to) override {
    return ::renameat(from_dir, from, to_dir, to);
  }
  int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) override {
    return ::renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE);
  }
  int LinkAt(int from_dir, const char* from, int to_dir, const char* to) override {
    return ::linkat(from_dir, from, to_dir, to, 0);
  }
  int UnlinkAt(int dir, const char* name, int flags) override {
    return ::unlinkat(dir, name, flags);
  }
  int MkdirAt(int dir, const char* name, mode_t mode) override {
    return ::mkdirat(dir, name, mode);
  }

  int SymlinkAt(const char* target, int dir, const char* name) override {
    return ::symlinkat(target, dir, name);
  }
  ssize_t ReadLinkAt(int dir, const char* name, char* buf, size_t size) override {
    return ::readlinkat(dir, name, buf, size);
  }

  int SyncFs(int fd) override { return ::syncfs(fd); }
  int SyncData(int fd) override { return ::fdatasync(fd); }
  int FdPath(int fd, std::string* path) override {
    char buffer[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), buffer, sizeof buffer);
    if (n < 0) return -1;
    if (n == 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') {
      errno = ENOENT;  // not an object of a file system (a pipe, a socket)
      return -1;
    }
    path->assign(buffer, static_cast<size_t>(n));
    return 0;
  }
  int StatFs(int fd, struct statfs* st) override { return ::fstatfs(fd, st); }
  int MountType(int fd, std::string* type) override {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (MountTypeOf(st.st_dev, type)) return 0;
    errno = ENOENT;
    return -1;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static Real real;
  return real;
}

}  // namespace tavrik
