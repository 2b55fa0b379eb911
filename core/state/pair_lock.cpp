#include "core/state/pair_lock.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <utility>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

std::string LockText() {
  return "host " + MachineName() + "\npid " + std::to_string(OwnProcessId()) + "\n";
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

std::string Refusal(const std::string& host, int64_t pid) {
  std::string text = kLockedText;
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
  const std::string text = LockText();
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
    const bool here = host == MachineName();
    // A lock of this very process is one it forgot to release; one of a process of this
    // machine that has ended is stale.
    if (here && (pid == OwnProcessId() || ProcessEnded(pid))) {
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
    if (error)
      *error = busy ? message
                    : "Die Sperre für den Abgleich konnte nicht angelegt werden: " +
                          std::string(std::strerror(failed)) + " (" + std::to_string(failed) + ")";
    return false;
  }
  left_fs_ = &left_fs;
  right_fs_ = &right_fs;
  left_path_ = left;
  right_path_ = right;
  return true;
}

void PairLock::Release() {
  if (!left_fs_) return;
  // Only a lock that still names this process goes: another run may have taken over one it
  // believed stale.
  const std::pair<FileSystem*, const std::string*> locks[] = {{left_fs_, &left_path_},
                                                              {right_fs_, &right_path_}};
  for (const auto& [fs, path] : locks) {
    std::string host;
    int64_t pid = 0;
    if (ReadHolder(*fs, *path, &host, &pid) && host == MachineName() && pid == OwnProcessId())
      fs->UnlinkAt(AT_FDCWD, path->c_str(), 0);
  }
  left_fs_ = right_fs_ = nullptr;
}

}  // namespace tavrik
