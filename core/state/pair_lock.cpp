#include "core/state/pair_lock.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

// The holder is the process on the machine that holds the root: for a far folder the far
// end, so that a run from any machine can tell there whether the holder has ended.
std::string LockText(FileSystem& fs) {
  return "host " + fs.Machine() + "\npid " + std::to_string(fs.ProcessId()) + "\n";
}

// A lock of this very process is one it forgot to release; one of a process of the root's
// machine that has ended is stale.
bool Stale(FileSystem& fs, const std::string& host, int64_t pid) {
  return host == fs.Machine() && (pid == fs.ProcessId() || fs.ProcessGone(pid));
}

// The holder named in a lock file; false when it cannot be read or parsed.
bool ReadHolder(FileSystem& fs, const std::string& path, std::string* host, int64_t* pid) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  char text[512];
  const ssize_t got = fs.PRead(fd.get(), text, sizeof text, 0);
  if (got <= 0) return false;
  std::string_view rest(text, static_cast<size_t>(got));
  bool have_host = false, have_pid = false;
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    if (line.substr(0, 5) == "host ") {
      *host = line.substr(5);
      have_host = true;
    } else if (line.substr(0, 4) == "pid ") {
      const std::string_view digits = line.substr(4);
      auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *pid);
      have_pid = ec == std::errc() && ptr == digits.data() + digits.size();
    }
  }
  return have_host && have_pid;
}

std::string Refusal(const std::string& host, int64_t pid, const char* pattern = kLockedText) {
  std::string text = pattern;
  size_t at = text.find("%s");
  text.replace(at, 2, std::to_string(pid));
  at = text.find("%s");
  text.replace(at, 2, host);
  return text;
}

// Makes the lock file at path; 0, or the errno; *busy set with the message when another
// run holds it.
int MakeLock(FileSystem& fs, const std::string& root, const std::string& path, bool* busy,
             std::string* error) {
  const std::string folder = AddBackslash(root) + kStateFolder;
  if (fs.MkdirAt(AT_FDCWD, folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  const std::string text = LockText(fs);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = fs.OpenAt(AT_FDCWD, path.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      Fd owned(fs, fd);
      int failed = 0;
      if (fs.PWrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        failed = errno != 0 ? errno : EIO;
      if (owned.Close() != 0 && failed == 0) failed = errno;
      if (failed != 0) fs.UnlinkAt(AT_FDCWD, path.c_str(), 0);
      return failed;
    }
    if (errno != EEXIST) return errno;
    std::string host;
    int64_t pid = 0;
    if (!ReadHolder(fs, path, &host, &pid)) {
      // Being written this moment, or broken: not ours to take.
      *busy = true;
      *error = Refusal("?", 0);
      return EEXIST;
    }
    if (Stale(fs, host, pid)) {
      if (fs.UnlinkAt(AT_FDCWD, path.c_str(), 0) != 0 && errno != ENOENT) return errno;
      continue;
    }
    *busy = true;
    *error = Refusal(host, pid);
    return EEXIST;
  }
  *busy = true;
  *error = Refusal("?", 0);
  return EEXIST;
}

// Whether the lock file at path stands for a run of another process that has not ended; a
// file that cannot be read (being written this moment, or broken) counts as held.
bool HeldByAnother(FileSystem& fs, const std::string& path, std::string* host, int64_t* pid) {
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
    return false;
  if (!ReadHolder(fs, path, host, pid)) {
    host->assign(1, '?');
    *pid = 0;
    return true;
  }
  return !Stale(fs, *host, *pid);
}

// Only a lock that still names this process goes: another run may have taken over one it
// believed stale.
void RemoveOwnLock(FileSystem& fs, const std::string& path) {
  std::string host;
  int64_t pid = 0;
  if (ReadHolder(fs, path, &host, &pid) && host == fs.Machine() && pid == fs.ProcessId())
    fs.UnlinkAt(AT_FDCWD, path.c_str(), 0);
}

// "<what> konnte nicht angelegt werden: <reason> (<errno>)".
std::string NotMade(const char* what, int error) {
  std::string text = what;
  text += " konnte nicht angelegt werden: ";
  text += std::strerror(error);
  text += " (";
  text += std::to_string(error);
  text += ')';
  return text;
}

std::string UndoLockPath(const std::string& root) {
  return AddBackslash(root) + kStateFolder + "/" + kUndoLockName;
}

}  // namespace

std::string PairLockKey(const PairState& pair) {
  if (!pair.pair_id.empty()) return pair.pair_id;
  // No state yet: both roots' identities, in an order that does not depend on the sides.
  std::string a = IdentityText(pair.left_identity);
  std::string b = IdentityText(pair.right_identity);
  if (b < a) std::swap(a, b);
  const uint64_t hash = std::hash<std::string>()(a + "\n" + b);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key = "new-";
  for (int shift = 60; shift >= 0; shift -= 4) key += kHex[(hash >> shift) & 15];
  return key;
}

PairLock::PairLock(PairLock&& other) noexcept
    : left_fs_(std::exchange(other.left_fs_, nullptr)),
      right_fs_(std::exchange(other.right_fs_, nullptr)),
      left_path_(std::move(other.left_path_)),
      right_path_(std::move(other.right_path_)) {}

PairLock& PairLock::operator=(PairLock&& other) noexcept {
  if (this != &other) {
    Release();
    left_fs_ = std::exchange(other.left_fs_, nullptr);
    right_fs_ = std::exchange(other.right_fs_, nullptr);
    left_path_ = std::move(other.left_path_);
    right_path_ = std::move(other.right_path_);
  }
  return *this;
}

PairLock::~PairLock() { Release(); }

bool PairLock::Take(FileSystem& left_fs, const std::string& left_root, FileSystem& right_fs,
                    const std::string& right_root, const PairState& pair, std::string* error) {
  Release();
  const std::string name = PairLockKey(pair) + ".lock";
  const std::string left = AddBackslash(left_root) + kStateFolder + "/" + name;
  const std::string right = AddBackslash(right_root) + kStateFolder + "/" + name;
  std::string message;
  bool busy = false;
  int failed = MakeLock(left_fs, left_root, left, &busy, &message);
  if (failed == 0) {
    failed = MakeLock(right_fs, right_root, right, &busy, &message);
    if (failed != 0) left_fs.UnlinkAt(AT_FDCWD, left.c_str(), 0);
  }
  if (failed != 0) {
    if (error) *error = busy ? message : NotMade("Die Sperre für den Abgleich", failed);
    return false;
  }
  left_fs_ = &left_fs;
  right_fs_ = &right_fs;
  left_path_ = left;
  right_path_ = right;
  // An undo under either root changes its files meanwhile.
  const std::pair<FileSystem*, const std::string*> roots[] = {{&left_fs, &left_root},
                                                              {&right_fs, &right_root}};
  for (const auto& [fs, root] : roots) {
    std::string host;
    int64_t pid = 0;
    if (HeldByAnother(*fs, UndoLockPath(*root), &host, &pid)) {
      Release();
      if (error) *error = Refusal(host, pid);
      return false;
    }
  }
  return true;
}

void PairLock::Release() {
  if (!left_fs_) return;
  RemoveOwnLock(*left_fs_, left_path_);
  RemoveOwnLock(*right_fs_, right_path_);
  left_fs_ = right_fs_ = nullptr;
}

UndoLock::~UndoLock() { Release(); }

bool UndoLock::Take(FileSystem& fs, const std::string& root, std::string* error) {
  Release();
  const std::string folder = AddBackslash(root) + kStateFolder;
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
    return true;
  const std::string path = UndoLockPath(root);
  std::string message;
  bool busy = false;
  const int failed = MakeLock(fs, root, path, &busy, &message);
  if (failed != 0) {
    if (error) {
      std::string host = "?";
      int64_t pid = 0;
      ReadHolder(fs, path, &host, &pid);
      *error = busy ? Refusal(host, pid, kUndoLockedText)
                    : NotMade("Die Sperre für den Widerruf", failed);
    }
    return false;
  }
  fs_ = &fs;
  path_ = path;
  // Made first, looked around after: a sync that began meanwhile sees this lock, or this
  // look sees the sync's.
  Fd dir(fs, fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  std::unique_ptr<DirStream> listing = dir.get() >= 0 ? fs.OpenDir(dir.get()) : nullptr;
  std::vector<std::string> locks;
  const char* name = nullptr;
  while (listing && fs.ReadDir(*listing, &name) == 1) {
    const std::string_view n(name);
    if (n.size() > 5 && n.substr(n.size() - 5) == ".lock" && n != kUndoLockName)
      locks.emplace_back(n);
  }
  for (const std::string& lock : locks) {
    std::string host;
    int64_t pid = 0;
    std::string path_of_lock = folder;
    path_of_lock += '/';
    path_of_lock += lock;
    if (HeldByAnother(fs, path_of_lock, &host, &pid)) {
      Release();
      if (error) *error = Refusal(host, pid, kUndoLockedText);
      return false;
    }
  }
  return true;
}

void UndoLock::Release() {
  if (!fs_) return;
  RemoveOwnLock(*fs_, path_);
  fs_ = nullptr;
}

}  // namespace tavrik
