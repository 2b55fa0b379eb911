#include "support/fenced_file_system.h"

#include <cerrno>
#include <string_view>
#include <utility>

namespace tavrik {

namespace {

// Room for the descriptors of one fenced file system; the inner ones stay below it.
constexpr int kFenceRange = 1 << 24;

bool Below(std::string_view path, std::string_view folder) {
  if (path.substr(0, folder.size()) != folder) return false;
  return path.size() == folder.size() || path[folder.size()] == '/';
}

}  // namespace

FencedFileSystem::FencedFileSystem(FileSystem& inner, int fence, std::vector<std::string> foreign)
    : inner_(inner), offset_(fence * kFenceRange), foreign_(std::move(foreign)) {}

std::vector<std::string> FencedFileSystem::Refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

int FencedFileSystem::Refuse(const std::string& what) {
  {
    std::lock_guard lock(mutex_);
    refused_.push_back(what);
  }
  errno = EXDEV;
  return -1;
}

int FencedFileSystem::Inner(const char* call, int fd) {
  if (fd == AT_FDCWD) return fd;
  if (fd < offset_ || fd >= offset_ + kFenceRange)
    return Refuse(std::string(call) + " fd " + std::to_string(fd));
  ++calls_;
  return fd - offset_;
}

bool FencedFileSystem::Allowed(const char* call, int dir, const char* name, int* inner_dir) {
  const std::string_view path = name ? name : "";
  if (!path.empty() && path[0] == '/') {
    for (const std::string& folder : foreign_)
      if (Below(path, folder)) {
        Refuse(std::string(call) + " " + std::string(path));
        return false;
      }
  }
  *inner_dir = Inner(call, dir);
  if (dir != AT_FDCWD && *inner_dir < 0) return false;
  if (dir == AT_FDCWD) ++calls_;
  return true;
}

int FencedFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
  int d = 0;
  if (!Allowed("open", dir, name, &d)) return -1;
  if (flags & (O_CREAT | O_WRONLY | O_RDWR)) ++writes_;
  return Outer(inner_.OpenAt(d, name, flags, mode));
}

int FencedFileSystem::Close(int fd) {
  const int inner = Inner("close", fd);
  return inner < 0 ? -1 : inner_.Close(inner);
}

std::unique_ptr<DirStream> FencedFileSystem::OpenDir(int fd) {
  const int inner = Inner("opendir", fd);
  if (inner < 0) return nullptr;
  return inner_.OpenDir(inner);
}

int FencedFileSystem::ReadDir(DirStream& dir, const char** name, unsigned char* type) {
  ++calls_;
  return inner_.ReadDir(dir, name, type);
}

ssize_t FencedFileSystem::PRead(int fd, void* buf, size_t count, off_t offset) {
  const int inner = Inner("pread", fd);
  return inner < 0 ? -1 : inner_.PRead(inner, buf, count, offset);
}

ssize_t FencedFileSystem::PWrite(int fd, const void* buf, size_t count, off_t offset) {
  const int inner = Inner("pwrite", fd);
  if (inner < 0) return -1;
  ++writes_;
  return inner_.PWrite(inner, buf, count, offset);
}

ssize_t FencedFileSystem::CopyRange(int in, off_t* in_offset, int out, off_t* out_offset,
                                    size_t count) {
  const int inner_in = Inner("copy_range", in);
  const int inner_out = Inner("copy_range", out);
  if (inner_in < 0 || inner_out < 0) return -1;
  ++writes_;
  return inner_.CopyRange(inner_in, in_offset, inner_out, out_offset, count);
}

int FencedFileSystem::Advise(int fd, int advice) {
  const int inner = Inner("advise", fd);
  return inner < 0 ? -1 : inner_.Advise(inner, advice);
}

int FencedFileSystem::StatAt(int dir, const char* name, struct stat* st, int flags) {
  int d = 0;
  return Allowed("stat", dir, name, &d) ? inner_.StatAt(d, name, st, flags) : -1;
}

int FencedFileSystem::Fstat(int fd, struct stat* st) {
  const int inner = Inner("fstat", fd);
  return inner < 0 ? -1 : inner_.Fstat(inner, st);
}

int FencedFileSystem::Fchmod(int fd, mode_t mode) {
  const int inner = Inner("fchmod", fd);
  return inner < 0 ? -1 : inner_.Fchmod(inner, mode);
}

int FencedFileSystem::Fchown(int fd, uid_t uid, gid_t gid) {
  const int inner = Inner("fchown", fd);
  return inner < 0 ? -1 : inner_.Fchown(inner, uid, gid);
}

int FencedFileSystem::Futimens(int fd, const struct timespec times[2]) {
  const int inner = Inner("futimens", fd);
  return inner < 0 ? -1 : inner_.Futimens(inner, times);
}

int FencedFileSystem::UtimensAt(int dir, const char* name, const struct timespec times[2],
                                int flags) {
  int d = 0;
  return Allowed("utimensat", dir, name, &d) ? inner_.UtimensAt(d, name, times, flags) : -1;
}

ssize_t FencedFileSystem::ListXattr(int fd, char* list, size_t size) {
  const int inner = Inner("listxattr", fd);
  return inner < 0 ? -1 : inner_.ListXattr(inner, list, size);
}

ssize_t FencedFileSystem::GetXattr(int fd, const char* name, void* value, size_t size) {
  const int inner = Inner("getxattr", fd);
  return inner < 0 ? -1 : inner_.GetXattr(inner, name, value, size);
}

int FencedFileSystem::SetXattr(int fd, const char* name, const void* value, size_t size) {
  const int inner = Inner("setxattr", fd);
  return inner < 0 ? -1 : inner_.SetXattr(inner, name, value, size);
}

int FencedFileSystem::RenameAt(int from_dir, const char* from, int to_dir, const char* to) {
  int f = 0, t = 0;
  if (!Allowed("rename", from_dir, from, &f) || !Allowed("rename", to_dir, to, &t)) return -1;
  ++writes_;
  return inner_.RenameAt(f, from, t, to);
}

int FencedFileSystem::RenameNoReplaceAt(int from_dir, const char* from, int to_dir,
                                        const char* to) {
  int f = 0, t = 0;
  if (!Allowed("rename", from_dir, from, &f) || !Allowed("rename", to_dir, to, &t)) return -1;
  ++writes_;
  return inner_.RenameNoReplaceAt(f, from, t, to);
}

int FencedFileSystem::LinkAt(int from_dir, const char* from, int to_dir, const char* to) {
  int f = 0, t = 0;
  if (!Allowed("link", from_dir, from, &f) || !Allowed("link", to_dir, to, &t)) return -1;
  ++writes_;
  return inner_.LinkAt(f, from, t, to);
}

int FencedFileSystem::UnlinkAt(int dir, const char* name, int flags) {
  int d = 0;
  if (!Allowed("unlink", dir, name, &d)) return -1;
  ++writes_;
  return inner_.UnlinkAt(d, name, flags);
}

int FencedFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
  int d = 0;
  if (!Allowed("mkdir", dir, name, &d)) return -1;
  ++writes_;
  return inner_.MkdirAt(d, name, mode);
}

int FencedFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
  int d = 0;
  if (!Allowed("symlink", dir, name, &d)) return -1;
  ++writes_;
  return inner_.SymlinkAt(target, d, name);
}

ssize_t FencedFileSystem::ReadLinkAt(int dir, const char* name, char* buf, size_t size) {
  int d = 0;
  return Allowed("readlink", dir, name, &d) ? inner_.ReadLinkAt(d, name, buf, size) : -1;
}

int FencedFileSystem::SyncFs(int fd) {
  const int inner = Inner("syncfs", fd);
  return inner < 0 ? -1 : inner_.SyncFs(inner);
}

int FencedFileSystem::SyncData(int fd) {
  const int inner = Inner("fdatasync", fd);
  return inner < 0 ? -1 : inner_.SyncData(inner);
}

int FencedFileSystem::FdPath(int fd, std::string* path) {
  const int inner = Inner("fdpath", fd);
  return inner < 0 ? -1 : inner_.FdPath(inner, path);
}

int FencedFileSystem::StatFs(int fd, struct statfs* st) {
  const int inner = Inner("statfs", fd);
  return inner < 0 ? -1 : inner_.StatFs(inner, st);
}

int FencedFileSystem::MountType(int fd, std::string* type) {
  const int inner = Inner("mounttype", fd);
  return inner < 0 ? -1 : inner_.MountType(inner, type);
}

int FencedFileSystem::VolumeOf(int fd, VolumeInfo* info) {
  const int inner = Inner("volume", fd);
  return inner < 0 ? -1 : inner_.VolumeOf(inner, info);
}

}  // namespace tavrik
