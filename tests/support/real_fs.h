// Real file systems of the kinds users sync to, mounted through their user-space drivers
// for the lifetime of an object: a FAT image (fusefat), an exFAT image on a loop device
// (exfat-fuse) and an sshfs share served by sftp-server over a local TCP port (socat).
//
//   RealFs fat(RealFsKind::kFat);
//   REAL_FS_OR_SKIP(fat);              // SKIP without root, /dev/fuse or the tools
//   WriteSomething(fat.Path("a.txt"));
//   ASSERT_TRUE(fat.Remount()) << fat.why();   // the medium's stored times show now
//
// The destructor always unmounts (lazily as a last resort) and frees the loop device and
// the socat server; the drivers also get SIGTERM when the test process dies, and every
// command runs under a deadline, so a hung driver cannot hang the suite.
//
// What the drivers do, seen through the mount (Debian 12: fusefat 0.1a, exfat-fuse 1.3.0,
// sshfs 3.7.3 against OpenSSH's sftp-server; checked by tests/core/real_fs_probe_test.cpp):
//
//                        FAT (fusefat)         exFAT (exfat-fuse)     sshfs
//  mountinfo fstype      fuse.fusefat          fuseblk                fuse.sshfs
//  statfs f_type         0x65735546 (FUSE)     0x65735546             0x65735546
//  chmod/fchmod          ENOSYS                0, mode stays 0777     0, kept
//  fchown to root        ENOSYS                0 (other uid: EPERM)   0 (server runs as root)
//  setxattr user.*       ENOTSUP               ENOTSUP                ENOTSUP
//  futimens with ns      0; stored rounded     0; whole seconds       0; whole seconds
//                        down to even seconds  (also after remount)   (SFTP v3 times)
//                        at once
//  lookups               case-insensitive      case-insensitive       case-sensitive
//  : ? * " < > | \       EPERM                 ENOENT                 accepted
//  trailing dot / blank  accepted, kept        accepted, kept         accepted
//  non-ASCII names       EPERM                 accepted               accepted
//  rename over a file    works; the moved file works, time kept       works (posix-rename)
//                        gets mtime "now"
//  link()                EPERM                 EPERM                  works (hardlink ext.)
//  symlink()             ENOSYS                ENOSYS                 works
//  copy_file_range       copies (kernel falls back to a read/write copy on FUSE)
//
// exfat-fuse needs a block device: mounting the image file directly fails with "Block
// device required", so without a free loop device the exFAT mount is skipped.
#pragma once

#include <fcntl.h>
#include <linux/loop.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tavrik::testing {

enum class RealFsKind { kFat, kExfat, kSshfs };

inline const char* RealFsName(RealFsKind kind) {
  switch (kind) {
    case RealFsKind::kFat:
      return "Fat";
    case RealFsKind::kExfat:
      return "Exfat";
    case RealFsKind::kSshfs:
      return "Sshfs";
  }
  return "?";
}

namespace real_fs_detail {

inline constexpr int kCommandSeconds = 20;
inline constexpr const char* kSftpServer = "/usr/lib/openssh/sftp-server";

inline bool OnPath(const std::string& tool) {
  if (tool.find('/') != std::string::npos) return access(tool.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
  return false;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Starts argv with its output appended to log; a kept child (a driver running in the
// foreground, the socat server) gets SIGTERM when this process dies and, with
// own_group, a process group of its own so its forks can be ended with it.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& log, bool kept,
                   bool own_group = false) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (own_group) setpgid(0, 0);
  if (kept) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
  }
  int in = open("/dev/null", O_RDONLY);
  int out = open(log.c_str(), O_WRONLY | O_CREAT | (kept ? O_APPEND : O_TRUNC), 0644);
  if (in >= 0) dup2(in, 0);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  execvp(args[0], args.data());
  _exit(127);
}

// Waits for pid up to seconds; true (and *status) when it ended, false when still running.
inline bool WaitFor(pid_t pid, double seconds, int* status = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
      if (status) *status = st;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Ends a kept child: SIGTERM, then SIGKILL if it does not go within the grace time.
inline void Stop(pid_t pid, bool group) {
  if (pid <= 0) return;
  kill(group ? -pid : pid, SIGTERM);
  if (!WaitFor(pid, 5)) {
    kill(group ? -pid : pid, SIGKILL);
    WaitFor(pid, 5);
  }
}

// Runs a command to its end under the deadline; returns its exit status (-1 when it had to
// be killed) and its output in *out.
inline int Run(const std::vector<std::string>& argv, const std::string& log, std::string* out,
               int seconds = kCommandSeconds) {
  pid_t pid = Spawn(argv, log, false);
  int status = 0;
  if (pid < 0) return -1;
  if (!WaitFor(pid, seconds, &status)) {
    kill(pid, SIGKILL);
    WaitFor(pid, 5);
    status = -1;
  }
  if (out) *out = Trim(ReadText(log));
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The file system type the mount table shows for dir, "" when nothing is mounted there.
inline std::string MountType(const std::string& dir) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options... - fstype source super-options
    std::istringstream f(line);
    std::string id, parent, dev, root, point, field;
    f >> id >> parent >> dev >> root >> point;
    if (point != dir) continue;
    while (f >> field && field != "-") {
    }
    f >> found;  // the last mount on dir is the visible one
  }
  return found;
}

inline int FreeTcpPort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(s);
  return port;
}

inline bool Listening(int port) {
  // /proc/net/tcp lists listening sockets (state 0A) with the port in hex; asking this way
  // does not make the forking server start an sftp-server for a probe connection.
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state;
    f >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0)
      return true;
  }
  return false;
}

}  // namespace real_fs_detail

class RealFs {
 public:
  // Makes a fresh medium (a size_mb image, or an empty folder served over sftp) in a
  // temporary folder and mounts it.
  explicit RealFs(RealFsKind kind, int size_mb = 64) : kind_(kind) {
    if (!CheckMachine()) return;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tavrik-realfs-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      Fail(std::string("no temporary folder: ") + std::strerror(errno));
      return;
    }
    work_ = pattern;
    mount_point_ = work_ + "/mnt";
    std::filesystem::create_directories(mount_point_);
    if (!MakeMedium(size_mb)) return;
    Mount();
  }
  ~RealFs() {
    Unmount();
    StopServer();
    if (!work_.empty()) {
      std::error_code ec;
      // Never delete through a mount that would not go away.
      if (real_fs_detail::MountType(mount_point_).empty()) std::filesystem::remove_all(work_, ec);
    }
  }
  RealFs(const RealFs&) = delete;
  RealFs& operator=(const RealFs&) = delete;

  RealFsKind kind() const { return kind_; }
  // Mounted and usable.
  bool ok() const { return mounted_; }
  // The machine lacks something a mount needs (root, /dev/fuse, a tool): skip, not fail.
  bool unavailable() const { return unavailable_; }
  // Why the last step failed (or the mount is unavailable).
  const std::string& why() const { return why_; }
  // The mount point, without a trailing separator.
  const std::string& Dir() const { return mount_point_; }
  std::string Path(const std::string& rel) const { return mount_point_ + "/" + rel; }
  // For sshfs, the served folder itself (what the server stores); empty otherwise.
  const std::string& Backing() const { return share_; }
  // What /proc/self/mountinfo shows as the type of this mount.
  std::string ExpectedMountType() const {
    switch (kind_) {
      case RealFsKind::kFat:
        return "fuse.fusefat";
      case RealFsKind::kExfat:
        return "fuseblk";
      case RealFsKind::kSshfs:
        return "fuse.sshfs";
    }
    return "";
  }

  bool Mount() {
    using namespace real_fs_detail;
    if (mounted_) return true;
    if (unavailable_ || work_.empty()) return false;
    std::string out;
    switch (kind_) {
      case RealFsKind::kFat:
        driver_ = Spawn({"fusefat", "-f", "-o", "rw+", image_, mount_point_}, Log("fusefat"), true);
        break;
      case RealFsKind::kExfat: {
        if (Run({"losetup", "-f", "--show", image_}, Log("losetup"), &out) != 0 ||
            out.rfind("/dev/", 0) != 0) {
          Fail("no loop device (exfat-fuse needs a block device): " + out, true);
          return false;
        }
        loop_ = out;
        // -d keeps the driver in the foreground (its only way to), so it can be waited
        // for and goes down with this process.
        driver_ = Spawn({"mount.exfat-fuse", "-d", loop_, mount_point_}, Log("exfat"), true);
        break;
      }
      case RealFsKind::kSshfs:
        if (!StartServer()) return false;
        driver_ = Spawn({"sshfs", "-f", "-o", "directport=" + std::to_string(port_),
                         "localhost:" + share_, mount_point_},
                        Log("sshfs"), true);
        break;
    }
    if (!WaitForMount()) return false;
    if (kind_ == RealFsKind::kExfat) SetLoopAutoclear();
    mounted_ = true;
    return true;
  }

  // Unmounts (and for exFAT frees the loop device); false when it took the lazy way.
  bool Unmount() {
    using namespace real_fs_detail;
    bool clean = true;
    if (!real_fs_detail::MountType(mount_point_).empty() && !mount_point_.empty()) {
      std::string out;
      if (Run({Fusermount(), "-u", mount_point_}, Log("umount"), &out) != 0) {
        clean = false;
        Fail("fusermount -u failed, unmounted lazily: " + out);
        Run({Fusermount(), "-uz", mount_point_}, Log("umount"), &out);
        if (!MountType(mount_point_).empty()) umount2(mount_point_.c_str(), MNT_DETACH);
      }
    }
    if (driver_ > 0) {
      // A foreground driver writes what it still holds and ends once unmounted.
      if (!WaitFor(driver_, kCommandSeconds)) {
        clean = false;
        Stop(driver_, false);
      }
      driver_ = -1;
    }
    DetachLoop();
    mounted_ = false;
    return clean;
  }

  // Unmounts and mounts the same medium again: what the driver then shows is what the
  // medium stored, not what a running driver kept in memory.
  bool Remount() { return Unmount() && Mount(); }

 private:
  std::string Log(const std::string& what) const { return work_ + "/" + what + ".log"; }

  void Fail(const std::string& why, bool unavailable = false) {
    why_ = std::string(RealFsName(kind_)) + ": " + why;
    if (unavailable) unavailable_ = true;
  }

  static std::string Fusermount() {
    return real_fs_detail::OnPath("fusermount3") ? "fusermount3" : "fusermount";
  }

  bool CheckMachine() {
    using real_fs_detail::OnPath;
    if (geteuid() != 0) return Fail("needs root", true), false;
    if (access("/dev/fuse", R_OK | W_OK) != 0 && OnPath("modprobe"))
      real_fs_detail::Run({"modprobe", "fuse"}, "/dev/null", nullptr);
    if (access("/dev/fuse", R_OK | W_OK) != 0)
      return Fail("no /dev/fuse (modprobe fuse did not help)", true), false;
    std::vector<std::string> tools;
    switch (kind_) {
      case RealFsKind::kFat:
        tools = {"fusefat", "mkfs.vfat", "truncate"};
        break;
      case RealFsKind::kExfat:
        tools = {"mount.exfat-fuse", "mkfs.exfat", "losetup", "truncate"};
        break;
      case RealFsKind::kSshfs:
        tools = {"sshfs", "socat", real_fs_detail::kSftpServer};
        break;
    }
    tools.push_back(Fusermount());
    for (const auto& tool : tools)
      if (!OnPath(tool))
        return Fail(tool + " is missing (scripts/install-deps.sh installs it)", true), false;
    return true;
  }

  bool MakeMedium(int size_mb) {
    using real_fs_detail::Run;
    std::string out;
    if (kind_ == RealFsKind::kSshfs) {
      share_ = work_ + "/share";
      std::filesystem::create_directories(share_);
      return true;
    }
    image_ = work_ + "/medium.img";
    if (Run({"truncate", "-s", std::to_string(size_mb) + "M", image_}, Log("mkfs"), &out) != 0)
      return Fail("truncate failed: " + out), false;
    const char* mkfs = kind_ == RealFsKind::kFat ? "mkfs.vfat" : "mkfs.exfat";
    if (Run({mkfs, image_}, Log("mkfs"), &out) != 0)
      return Fail(std::string(mkfs) + " failed: " + out), false;
    return true;
  }

  bool StartServer() {
    using namespace real_fs_detail;
    if (server_ > 0) return true;
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreeTcpPort();
      if (port_ <= 0) continue;
      server_ =
          Spawn({"socat", "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr,fork",
                 std::string("EXEC:") + kSftpServer},
                Log("socat"), true, true);
      for (int i = 0; i < 500 && !Listening(port_); ++i) {
        if (WaitFor(server_, 0)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (Listening(port_)) return true;
      Stop(server_, true);
      server_ = -1;
    }
    Fail("socat did not listen: " + ReadText(Log("socat")));
    return false;
  }

  void StopServer() {
    real_fs_detail::Stop(server_, true);
    server_ = -1;
  }

  bool WaitForMount() {
    using namespace real_fs_detail;
    const std::string want = ExpectedMountType();
    for (int i = 0; i < kCommandSeconds * 100; ++i) {
      if (MountType(mount_point_) == want) return true;
      if (driver_ > 0 && WaitFor(driver_, 0)) {
        driver_ = -1;
        std::string log = Trim(ReadText(Log(DriverLog())));
        if (log.size() > 400) log.erase(0, log.size() - 400);
        Fail("the driver ended without mounting: " + log);
        DetachLoop();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fail("no mount after " + std::to_string(kCommandSeconds) + " s");
    Unmount();
    return false;
  }

  std::string DriverLog() const {
    switch (kind_) {
      case RealFsKind::kFat:
        return "fusefat";
      case RealFsKind::kExfat:
        return "exfat";
      case RealFsKind::kSshfs:
        return "sshfs";
    }
    return "";
  }

  // Should this process die before the teardown, the loop device goes with the driver.
  void SetLoopAutoclear() {
    int fd = open(loop_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    loop_info64 info{};
    if (ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
      info.lo_flags |= LO_FLAGS_AUTOCLEAR;
      ioctl(fd, LOOP_SET_STATUS64, &info);
    }
    close(fd);
  }

  void DetachLoop() {
    if (loop_.empty()) return;
    // Autoclear may have freed the device already and someone else may hold it now: only
    // a device still backed by this image is ours to detach.
    std::string name = loop_.substr(loop_.rfind('/') + 1);
    std::string backing =
        real_fs_detail::Trim(real_fs_detail::ReadText("/sys/block/" + name + "/loop/backing_file"));
    if (backing == image_) real_fs_detail::Run({"losetup", "-d", loop_}, Log("losetup"), nullptr);
    loop_.clear();
  }

  RealFsKind kind_;
  std::string work_, mount_point_, image_, share_, loop_;
  std::string why_;
  bool mounted_ = false;
  bool unavailable_ = false;
  pid_t driver_ = -1;
  pid_t server_ = -1;
  int port_ = -1;
};

// In a test: skip when the machine cannot mount at all, fail when it could but did not.
#define REAL_FS_OR_SKIP(fs)                             \
  do {                                                  \
    if ((fs).unavailable()) GTEST_SKIP() << (fs).why(); \
    ASSERT_TRUE((fs).ok()) << (fs).why();               \
  } while (0)

}  // namespace tavrik::testing
