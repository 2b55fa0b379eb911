#include "core/state/pair_state_ahead.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

void AppendStat(const struct stat& st, std::string* out) {
  for (const int64_t v :
       {static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
        static_cast<int64_t>(st.st_mode), static_cast<int64_t>(st.st_size),
        static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec),
        static_cast<int64_t>(st.st_ctim.tv_sec), static_cast<int64_t>(st.st_ctim.tv_nsec)}) {
    *out += std::to_string(v);
    *out += ' ';
  }
}

void AppendRoot(FileSystem& fs, const std::string& root, std::string* out) {
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, root.c_str(), &st, 0) != 0) {
    *out += "no root " + std::to_string(errno) + "\n";
    return;
  }
  AppendStat(st, out);
  *out += '\n';
  const std::string folder = AddBackslash(root) + kStateFolder;
  Fd fd(fs, fs.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0 || fs.Fstat(fd.get(), &st) != 0) {
    *out += "no folder " + std::to_string(errno) + "\n";
    return;
  }
  AppendStat(st, out);
  *out += '\n';
  std::vector<std::string> names;
  if (std::unique_ptr<DirStream> dir = fs.OpenDir(fd.get())) {
    const char* name = nullptr;
    while (fs.ReadDir(*dir, &name) == 1) names.emplace_back(name);
  } else {
    *out += "unlisted\n";
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    *out += name;
    *out += ' ';
    if (fs.StatAt(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      AppendStat(st, out);
    else
      *out += "gone";
    *out += '\n';
  }
}

}  // namespace

std::string StateFingerprint(FileSystem& left_fs, const std::string& left_root,
                             FileSystem& right_fs, const std::string& right_root) {
  std::string out;
  AppendRoot(left_fs, left_root, &out);
  out += "--\n";
  AppendRoot(right_fs, right_root, &out);
  return out;
}

PairStateAhead::PairStateAhead(FileSystem& left_fs, std::string left_root, FileSystem& right_fs,
                               std::string right_root)
    : left_fs_(left_fs),
      right_fs_(right_fs),
      left_root_(std::move(left_root)),
      right_root_(std::move(right_root)) {
  try {
    thread_ = std::thread([this] {
      try {
        before_ = StateFingerprint(left_fs_, left_root_, right_fs_, right_root_);
        verdict_ =
            LoadPairState(left_fs_, left_root_, right_fs_, right_root_, &state_, &cancel_, [this] {
              std::unique_lock<std::mutex> lock(mutex_);
              changed_.wait(lock, [this] { return go_on_ || cancel_.load(); });
            });
        loaded_ = !cancel_.load();
      } catch (const std::bad_alloc&) {
        state_ = PairState();
      }
    });
  } catch (const std::system_error&) {
    // No thread: the comparison loads the state itself.
  }
}

PairStateAhead::~PairStateAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_.store(true);
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PairStateAhead::GoOn() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    go_on_ = true;
  }
  changed_.notify_all();
}

void PairStateAhead::Wait() {
  GoOn();
  if (thread_.joinable()) thread_.join();
}

bool PairStateAhead::Take(const std::string& left_root, const std::string& right_root,
                          PairState* state, TrustVerdict* verdict) {
  Wait();
  if (!loaded_ || left_root != left_root_ || right_root != right_root_) return false;
  loaded_ = false;
  if (StateFingerprint(left_fs_, left_root_, right_fs_, right_root_) != before_) return false;
  *state = std::move(state_);
  *verdict = std::move(verdict_);
  return true;
}

}  // namespace tavrik
