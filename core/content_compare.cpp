#include "core/content_compare.h"

#include "core/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tavrik {

namespace {

PairResult Failure(const std::string& path, int error_number, std::string text = {}) {
  PairResult r;
  r.kind = PairResult::kFailed;
  r.failed_path = path;
  r.error_number = error_number;
  r.error_text = text.empty() ? std::strerror(error_number) : std::move(text);
  return r;
}

PairResult Outcome(PairResult::Kind kind) {
  PairResult r;
  r.kind = kind;
  return r;
}

// Opens a file for reading without ever blocking on a FIFO, and takes its size from the
// one attribute query of the opened file.
Fd OpenRegular(FileSystem& fs, FolderCache& folders, const std::string& path, int64_t* size,
               PairResult* failure) {
  Fd fd(fs, folders.Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    *failure = Failure(path, errno);
    return fd;
  }
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0) {
    *failure = Failure(path, errno);
    return Fd();
  }
  if (!S_ISREG(st.st_mode)) {
    *failure = Failure(path, EINVAL, "keine gewöhnliche Datei");
    return Fd();
  }
  *size = st.st_size;
  return fd;
}

// Reads exactly count bytes at offset; false (with failure set) on an error or early end.
bool ReadBlock(FileSystem& fs, int fd, const std::string& path, char* block, size_t count,
               int64_t offset, PairResult* failure) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = fs.PRead(fd, block + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *failure = Failure(path, errno);
      return false;
    }
    if (n == 0) {
      *failure = Failure(path, EIO, "die Datei endet früher als erwartet");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FolderCache::~FolderCache() {
  if (fd_ >= 0) fs_.Close(fd_);
}

int FolderCache::Open(const std::string& path, int flags) {
  size_t cut = path.rfind(kSep);
  if (cut == std::string::npos || cut == 0) return fs_.OpenAt(AT_FDCWD, path.c_str(), flags);
  std::string_view folder(path.data(), cut);
  if (fd_ < 0 || folder != folder_) {
    if (fd_ >= 0) fs_.Close(fd_);
    folder_.assign(folder);
    fd_ = fs_.OpenAt(AT_FDCWD, folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      folder_.clear();
      // Let the whole path tell what is wrong.
      return fs_.OpenAt(AT_FDCWD, path.c_str(), flags);
    }
  }
  return fs_.OpenAt(fd_, path.c_str() + cut + 1, flags);
}

PairReader::PairReader(FileSystem& fs)
    : fs(fs),
      left_block(std::make_unique<char[]>(kCompareBlock)),
      right_block(std::make_unique<char[]>(kCompareBlock)),
      left_folder(fs),
      right_folder(fs) {}

PairResult ComparePair(const std::string& left, const std::string& right, PairReader& reader) {
  PairResult failure;
  int64_t left_size = 0;
  int64_t right_size = 0;
  char* left_block = reader.left_block.get();
  char* right_block = reader.right_block.get();
  FileSystem& fs = reader.fs;
  // Sizes first, so that a pair of different lengths gets its mark even when a file
  // cannot be opened (no read permission, a lock).
  struct stat ls {
  }, rs{};
  if (fs.StatAt(AT_FDCWD, left.c_str(), &ls, 0) == 0 && S_ISREG(ls.st_mode) &&
      fs.StatAt(AT_FDCWD, right.c_str(), &rs, 0) == 0 && S_ISREG(rs.st_mode)) {
    if (ls.st_size < rs.st_size) return Outcome(PairResult::kLess);
    if (ls.st_size > rs.st_size) return Outcome(PairResult::kGreater);
  }
  Fd lf = OpenRegular(fs, reader.left_folder, left, &left_size, &failure);
  if (lf.get() < 0) return failure;
  Fd rf = OpenRegular(fs, reader.right_folder, right, &right_size, &failure);
  if (rf.get() < 0) return failure;
  if (left_size < right_size) return Outcome(PairResult::kLess);
  if (left_size > right_size) return Outcome(PairResult::kGreater);
  const int64_t size = left_size;
  if (size > static_cast<int64_t>(kCompareBlock)) {
    // Only worth a call where more than one block will be read.
    fs.Advise(lf.get(), POSIX_FADV_SEQUENTIAL);
    fs.Advise(rf.get(), POSIX_FADV_SEQUENTIAL);
  }
  for (int64_t offset = 0; offset < size; offset += static_cast<int64_t>(kCompareBlock)) {
    size_t count = static_cast<size_t>(std::min<int64_t>(size - offset, kCompareBlock));
    if (!ReadBlock(fs, lf.get(), left, left_block, count, offset, &failure)) return failure;
    if (!ReadBlock(fs, rf.get(), right, right_block, count, offset, &failure)) return failure;
    if (std::memcmp(left_block, right_block, count) != 0) return Outcome(PairResult::kDiffer);
  }
  return Outcome(PairResult::kEqual);
}

PairPipeline::PairPipeline(FileSystem& fs, int helpers, int window, int max_helpers)
    : fs_(fs),
      window_(static_cast<uint64_t>(window < 1 ? 1 : window)),
      max_helpers_(std::max(helpers, max_helpers)),
      ring_(window_),
      own_reader_(fs) {
  for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { HelperLoop(); });
}

void PairPipeline::GrowIfWaiting() {
  if (static_cast<int>(threads_.size()) >= max_helpers_ || !gauge_.SampleSaysWaiting()) return;
  // Pairs wait for their reads: double the requests in flight, up to the limit.
  const int more = std::min(std::max<int>(1, static_cast<int>(threads_.size()) + 1),
                            max_helpers_ - static_cast<int>(threads_.size()));
  for (int i = 0; i < more; ++i) threads_.emplace_back([this] { HelperLoop(); });
}

PairPipeline::~PairPipeline() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_ready_.notify_all();
  for (auto& t : threads_) t.join();
}

bool PairPipeline::HasRoom() const {
  std::lock_guard lock(mutex_);
  return tail_ - head_ < window_;
}

void PairPipeline::Add(std::string left, std::string right) {
  {
    std::lock_guard lock(mutex_);
    Job& job = ring_[tail_ % window_];
    job.left = std::move(left);
    job.right = std::move(right);
    job.done = false;
    ++tail_;
  }
  work_ready_.notify_one();
}

void PairPipeline::RunNext(std::unique_lock<std::mutex>& lock, PairReader& reader) {
  Job& job = ring_[next_ % window_];
  ++next_;
  lock.unlock();
  const int64_t waits_before = VoluntarySwitches();
  PairResult result = ComparePair(job.left, job.right, reader);
  const int64_t waits = VoluntarySwitches() - waits_before;
  lock.lock();
  gauge_.Add(waits);
  job.result = std::move(result);
  job.done = true;
}

PairResult PairPipeline::Take() {
  std::unique_lock lock(mutex_);
  GrowIfWaiting();
  Job& job = ring_[head_ % window_];
  while (!job.done) {
    // Rather than sleep until a helper is done, compare a pair nobody has started yet.
    if (next_ < tail_) {
      RunNext(lock, own_reader_);
    } else {
      result_ready_.wait(lock);
    }
  }
  PairResult result = std::move(job.result);
  ++head_;
  return result;
}

void PairPipeline::HelperLoop() {
  PairReader reader(fs_);
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stop_ || next_ < tail_; });
    if (stop_) return;
    RunNext(lock, reader);
    result_ready_.notify_one();
  }
}

}  // namespace tavrik
