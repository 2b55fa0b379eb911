// Ways to make the machine fail as it does in real life: an immutable file or folder, a
// small or read-only tmpfs in a private mount namespace, and a child process running as
// nobody. Each reports through ok() whether the machine allowed it, so a test can skip.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace tavrik::testing {

inline constexpr uid_t kNobody = 65534;

// Sets or clears the immutable flag (chattr +i / -i); false when refused.
inline bool SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

// chattr +i for the object's lifetime.
class Immutable {
 public:
  explicit Immutable(std::string path) : path_(std::move(path)), ok_(SetImmutable(path_, true)) {}
  ~Immutable() {
    if (ok_) SetImmutable(path_, false);
  }
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_;
};

// Moves this test process into a mount namespace of its own (once), with every mount
// private, so the tmpfs mounts of the tests are seen by nobody else.
inline bool EnterPrivateMountNamespace() {
  static const bool entered =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered;
}

// A tmpfs on folder for the object's lifetime; why() says what the machine refused.
class ScopedTmpfs {
 public:
  ScopedTmpfs(std::string folder, const std::string& options) : folder_(std::move(folder)) {
    if (!EnterPrivateMountNamespace()) {
      why_ = std::string("no private mount namespace: ") + std::strerror(errno);
      return;
    }
    if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      why_ = std::string("tmpfs mount refused: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~ScopedTmpfs() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  bool ok() const { return mounted_; }
  const std::string& why() const { return why_; }
  bool RemountReadOnly() {
    return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string folder_;
  std::string why_;
  bool mounted_ = false;
};

// Runs fn in a child process that has dropped to uid and gid nobody. Returns fn's result,
// 200 when the ids could not be dropped, -1 when the child did not exit normally.
inline int RunAsNobody(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(200);
    _exit(fn());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tavrik::testing
