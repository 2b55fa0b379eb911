#include "core/content_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/fs_result.h"

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
int OpenRegular(FolderCache& folders, const std::string& path, int64_t* size, PairResult* failure) {
  int fd = folders.Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *failure = Failure(path, errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *failure = Failure(path, errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *failure = Failure(path, EINVAL, "keine gewöhnliche Datei");
    close(fd);
    return -1;
  }
  *size = st.st_size;
  return fd;
}

// Reads exactly count bytes at offset; false (with failure set) on an error or early end.
bool ReadBlock(int fd, const std::string& path, char* block, size_t count, int64_t offset,
               PairResult* failure) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, block + done, count - done, static_cast<off_t>(offset + done));
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
  if (fd_ >= 0) close(fd_);
}

int FolderCache::Open(const std::string& path, int flags) {
  size_t cut = path.rfind('/');
  if (cut == std::string::npos || cut == 0) return open(path.c_str(), flags);
  std::string_view folder(path.data(), cut);
  if (fd_ < 0 || folder != folder_) {
    if (fd_ >= 0) close(fd_);
    folder_.assign(folder);
    fd_ = open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      folder_.clear();
      return open(path.c_str(), flags);  // let the whole path tell what is wrong
    }
  }
  return openat(fd_, path.c_str() + cut + 1, flags);
}

PairReader::PairReader()
    : left_block(std::make_unique<char[]>(kCompareBlock)),
      right_block(std::make_unique<char[]>(kCompareBlock)) {}

PairResult ComparePair(const std::string& left, const std::string& right, PairReader& reader) {
  PairResult failure;
  int64_t left_size = 0;
  int64_t right_size = 0;
  char* left_block = reader.left_block.get();
  char* right_block = reader.right_block.get();
  Fd lf(OpenRegular(reader.left_folder, left, &left_size, &failure));
  if (lf.get() < 0) return failure;
  Fd rf(OpenRegular(reader.right_folder, right, &right_size, &failure));
  if (rf.get() < 0) return failure;
  if (left_size < right_size) return Outcome(PairResult::kLess);
  if (left_size > right_size) return Outcome(PairResult::kGreater);
  const int64_t size = left_size;
  if (size > static_cast<int64_t>(kCompareBlock)) {
    // Only worth a call where more than one block will be read.
    posix_fadvise(lf.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(rf.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  for (int64_t offset = 0; offset < size; offset += static_cast<int64_t>(kCompareBlock)) {
    size_t count = static_cast<size_t>(std::min<int64_t>(size - offset, kCompareBlock));
    if (!ReadBlock(lf.get(), left, left_block, count, offset, &failure)) return failure;
    if (!ReadBlock(rf.get(), right, right_block, count, offset, &failure)) return failure;
    if (std::memcmp(left_block, right_block, count) != 0) return Outcome(PairResult::kDiffer);
  }
  return Outcome(PairResult::kEqual);
}

PairPipeline::PairPipeline(int helpers) : ring_(kWindow) {
  for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { HelperLoop(); });
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
  return tail_ - head_ < kWindow;
}

void PairPipeline::Add(std::string left, std::string right) {
  {
    std::lock_guard lock(mutex_);
    Job& job = ring_[tail_ % kWindow];
    job.left = std::move(left);
    job.right = std::move(right);
    job.done = false;
    ++tail_;
  }
  work_ready_.notify_one();
}

void PairPipeline::RunNext(std::unique_lock<std::mutex>& lock, PairReader& reader) {
  Job& job = ring_[next_ % kWindow];
  ++next_;
  lock.unlock();
  PairResult result = ComparePair(job.left, job.right, reader);
  lock.lock();
  job.result = std::move(result);
  job.done = true;
}

PairResult PairPipeline::Take() {
  std::unique_lock lock(mutex_);
  Job& job = ring_[head_ % kWindow];
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
  PairReader reader;
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stop_ || next_ < tail_; });
    if (stop_) return;
    RunNext(lock, reader);
    result_ready_.notify_one();
  }
}

}  // namespace tavrik
