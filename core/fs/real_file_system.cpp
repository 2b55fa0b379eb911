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
#include <vector>

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

// Undoes the octal escapes of the mount table (\\040 for a blank, \\011, \\012, \\134).
std::string MountTableText(std::string_view field) {
  std::string out;
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

// The mount of dev in /proc/self/mountinfo: the folder of the medium it shows (root), where it
// shows it (mount point) and what it was mounted from (source). The last match is what shows.
bool MountOf(dev_t dev, std::string* root, std::string* point, std::string* type,
             std::string* source) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    std::vector<std::string_view> fields;
    std::string_view rest(line);
    while (!rest.empty()) {
      const size_t blank = rest.find(' ');
      fields.push_back(rest.substr(0, blank));
      if (blank == std::string_view::npos) break;
      rest.remove_prefix(blank + 1);
    }
    if (fields.size() < 5 || fields[2] != wanted) continue;
    size_t sep = 6;
    while (sep < fields.size() && fields[sep] != "-") ++sep;
    *root = MountTableText(fields[3]);
    *point = MountTableText(fields[4]);
    *type = sep + 1 < fields.size() ? std::string(fields[sep + 1]) : std::string();
    *source = sep + 2 < fields.size() ? MountTableText(fields[sep + 2]) : std::string();
    found = true;
  }
  return found;
}

// The UUID (or serial number) under which udev lists the block device source, if any.
std::string UuidOfDevice(const std::string& source) {
  if (source.empty() || source[0] != '/') return {};
  struct stat device {};
  if (::stat(source.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) return {};
  DIR* dir = ::opendir("/dev/disk/by-uuid");
  if (!dir) return {};
  std::string uuid;
  while (struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (::fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) &&
        st.st_rdev == device.st_rdev) {
      uuid = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return uuid;
}

// The serial number a FAT, exFAT or NTFS boot sector at the start of source holds (a block
// device, readable where the user may read it), as "fat:1A2B-3C4D"; empty when none.
std::string BootSectorSerial(const std::string& source) {
  if (source.empty() || source[0] != '/') return {};
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st {};
  unsigned char sector[512];
  const bool read = ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) &&
                    ::pread(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector);
  ::close(fd);
  if (!read || sector[510] != 0x55 || sector[511] != 0xAA) return {};
  auto at = [&](size_t offset, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i-- > 0;) value = value << 8 | sector[offset + i];
    return value;
  };
  auto serial = [](const char* kind, uint64_t value, int digits) {
    char text[40];
    if (digits == 8)
      std::snprintf(text, sizeof text, "%s:%04X-%04X", kind, static_cast<unsigned>(value >> 16),
                    static_cast<unsigned>(value & 0xffff));
    else
      std::snprintf(text, sizeof text, "%s:%016llX", kind, static_cast<unsigned long long>(value));
    return std::string(text);
  };
  const std::string_view oem(reinterpret_cast<const char*>(sector) + 3, 8);
  if (oem == "EXFAT   ") return serial("exfat", at(0x64, 4), 8);
  if (oem == "NTFS    ") return serial("ntfs", at(0x48, 8), 16);
  if (std::memcmp(sector + 0x52, "FAT32", 5) == 0) return serial("fat", at(0x43, 4), 8);
  if (std::memcmp(sector + 0x36, "FAT", 3) == 0) return serial("fat", at(0x27, 4), 8);
  return {};
}

// What names a medium when udev does not: a block device's boot sector, a network share's
// source ("server:/export", "//server/share"), or for a driver in user space that names no
// source its type and size; the device numbers last (they change at every mount).
std::string VolumeIdOf(int fd, dev_t dev, const std::string& type, const std::string& source) {
  const std::string uuid = UuidOfDevice(source);
  if (!uuid.empty()) return "uuid:" + uuid;
  const std::string serial = BootSectorSerial(source);
  if (!serial.empty()) return serial;
  // "server:/export", "user@host:path", "//server/share": the share names itself.
  if (source.find(':') != std::string::npos || source.rfind("//", 0) == 0)
    return "src:" + type + ":" + source;
  struct statfs fs {};
  if (major(dev) == 0 && ::fstatfs(fd, &fs) == 0 && fs.f_blocks > 0)
    return "anon:" + type + ":" + std::to_string(fs.f_blocks) + "x" + std::to_string(fs.f_bsize);
  return "dev:" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
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
  int VolumeOf(int fd, VolumeInfo* info) override {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    std::string path;
    if (FdPath(fd, &path) != 0) return -1;
    std::string root, point, type, source;
    if (!MountOf(st.st_dev, &root, &point, &type, &source)) {
      errno = ENOENT;
      return -1;
    }
    // The path below the mount point, put below the folder of the medium the mount shows.
    std::string_view inside(path);
    if (point != "/") {
      if (inside.substr(0, point.size()) != point) {
        errno = ENOENT;
        return -1;
      }
      inside.remove_prefix(point.size());
    }
    std::string below = root == "/" ? std::string() : root;
    below.append(inside);
    if (below.empty()) below.push_back('/');
    info->id = VolumeIdOf(fd, st.st_dev, type, source);
    info->below = std::move(below);
    return 0;
  }
};

}  // namespace

std::string MachineName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

int64_t OwnProcessId() { return ::getpid(); }

// A process that has ended but was not yet reaped by its parent (a zombie) still answers
// kill(pid, 0); its state in the process table says it is gone.
bool ProcessEnded(int64_t pid) {
  if (pid <= 0) return false;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  char text[512];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return false;
  // "pid (name) S ...": the name may hold blanks and parentheses, the state follows the last.
  const std::string_view stat(text, static_cast<size_t>(got));
  const size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state == 'Z' || state == 'X';
}

FileSystem& RealFileSystem() {
  static Real real;
  return real;
}

}  // namespace tavrik
