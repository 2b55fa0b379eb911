// Reading and comparing the files of equal-size pairs for the binary comparison, on
// reader threads that work ahead of the row loop so both trees are read at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/fs/file_system.h"
#include "core/parallel/wait_gauge.h"

namespace tavrik {

inline constexpr size_t kCompareBlock = 262144;

struct PairResult {
  enum Kind { kLess, kGreater, kEqual, kDiffer, kFailed };
  Kind kind = kFailed;
  std::string failed_path;  // the file that could not be read
  int error_number = 0;     // errno, or 0 with error_text set
  std::string error_text;
};

// The folder of the file opened last, kept open so the next file of the same folder is
// opened by its name alone instead of walking the whole path again.
class FolderCache {
 public:
  explicit FolderCache(FileSystem& fs) : fs_(fs) {}
  ~FolderCache();
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;
  // Opens path for reading; -1 with errno set on failure.
  int Open(const std::string& path, int flags);
  // The attribute query of path (links followed); -1 with errno set on failure.
  int Stat(const std::string& path, struct stat* st);

 private:
  // Switches to the folder of path; its leaf, or nullptr when the folder cannot be opened.
  const char* Enter(const std::string& path);
  FileSystem& fs_;
  std::string folder_;
  int fd_ = -1;
};

// What one thread needs to compare pairs: two blocks and a folder cache per side.
struct PairReader {
  explicit PairReader(FileSystem& fs);
  FileSystem& fs;
  std::unique_ptr<char[]> left_block;
  std::unique_ptr<char[]> right_block;
  FolderCache left_folder;
  FolderCache right_folder;
};

// Compares one pair of files: sizes from an attribute query of each path before anything is
// opened (different sizes decide without opening), then once more on the opened files, and
// contents with pread in blocks of kCompareBlock bytes. Both files are closed on return.
PairResult ComparePair(const std::string& left, const std::string& right, PairReader& reader);

// Runs ComparePair for a sequence of pairs, at most a fixed window ahead of the consumer,
// on helper threads and on the consumer's own thread while it would otherwise wait;
// results come back in the order the pairs were added.
class PairPipeline {
 public:
  // helpers threads besides the consumer's own, at most window pairs handed out ahead; up
  // to max_helpers threads when the pairs turn out to wait for their reads.
  PairPipeline(FileSystem& fs, int helpers, int window, int max_helpers = 0);
  ~PairPipeline();
  PairPipeline(const PairPipeline&) = delete;
  PairPipeline& operator=(const PairPipeline&) = delete;

  bool HasRoom() const;
  void Add(std::string left, std::string right);
  // The result of the oldest pair not yet taken.
  PairResult Take();

 private:
  struct Job {
    std::string left;
    std::string right;
    PairResult result;
    bool done = false;
  };
  // Runs the oldest pair nobody has started; called and returns with the lock held.
  void RunNext(std::unique_lock<std::mutex>& lock, PairReader& reader);
  void HelperLoop();
  // Called by the consumer with the lock held.
  void GrowIfWaiting();

  FileSystem& fs_;
  const uint64_t window_;
  const int max_helpers_;
  WaitGauge gauge_;
  uint64_t sampled_ = 0;
  std::vector<Job> ring_;
  uint64_t head_ = 0;  // next result to take
  uint64_t tail_ = 0;  // next slot to fill
  uint64_t next_ = 0;  // next pair nobody has started
  bool stop_ = false;
  PairReader own_reader_;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_ready_;
  std::vector<std::thread> threads_;
};

}  // namespace tavrik
