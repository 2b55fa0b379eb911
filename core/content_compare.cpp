#include "core/content_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tavrik {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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

// Opens a file for reading without ever blocking on a FIFO that replaced it, and makes
// sure it is still a regular file of the expected size.
int OpenRegular(const std::string& path, int64_t size, PairResult* failure) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
  if (st.st_size != size) {
    *failure = Failure(path, EAGAIN, "die Datei wurde während des Vergleichs verändert");
    close(fd);
    return -1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
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

bool StatRegular(const std::string& path, struct stat* st, PairResult* failure) {
  if (stat(path.c_str(), st) != 0) {
    *failure = Failure(path, errno);
    return false;
  }
  if (!S_ISREG(st->st_mode)) {
    *failure = Failure(path, EINVAL, "keine gewöhnliche Datei");
    return false;
  }
  return true;
}

}  // namespace

PairResult ComparePair(const std::string& left, const std::string& right, char* left_block,
                       char* right_block) {
  PairResult failure;
  struct stat ls {};
  struct stat rs {};
  if (!StatRegular(left, &ls, &failure)) return failure;
  if (!StatRegular(right, &rs, &failure)) return failure;
  if (ls.st_size < rs.st_size) return Outcome(PairResult::kLess);
  if (ls.st_size > rs.st_size) return Outcome(PairResult::kGreater);
  const int64_t size = ls.st_size;
  if (size == 0) return Outcome(PairResult::kEqual);
  Fd lf(OpenRegular(left, size, &failure));
  if (lf.get() < 0) return failure;
  Fd rf(OpenRegular(right, size, &failure));
  if (rf.get() < 0) return failure;
  for (int64_t offset = 0; offset < size; offset += static_cast<int64_t>(kCompareBlock)) {
    size_t count = static_cast<size_t>(std::min<int64_t>(size - offset, kCompareBlock));
    if (!ReadBlock(lf.get(), left, left_block, count, offset, &failure)) return failure;
    if (!ReadBlock(rf.get(), right, right_block, count, offset, &failure)) return failure;
    if (std::memcmp(left_block, right_block, count) != 0) return Outcome(PairResult::kDiffer);
  }
  return Outcome(PairResult::kEqual);
}

PairPipeline::PairPipeline(int workers) : ring_(kWindow) {
  for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
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

PairResult PairPipeline::Take() {
  std::unique_lock lock(mutex_);
  Job& job = ring_[head_ % kWindow];
  result_ready_.wait(lock, [&] { return job.done; });
  PairResult result = std::move(job.result);
  ++head_;
  return result;
}

void PairPipeline::Work() {
  auto left_block = std::make_unique<char[]>(kCompareBlock);
  auto right_block = std::make_unique<char[]>(kCompareBlock);
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stop_ || next_ < tail_; });
    if (stop_) return;
    Job& job = ring_[next_ % kWindow];
    ++next_;
    lock.unlock();
    PairResult result = ComparePair(job.left, job.right, left_block.get(), right_block.get());
    lock.lock();
    job.result = std::move(result);
    job.done = true;
    result_ready_.notify_one();
  }
}

}  // namespace tavrik
