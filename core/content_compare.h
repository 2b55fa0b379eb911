// Reading and comparing the files of equal-size pairs for the binary comparison, on
// reader threads that work ahead of the row loop so both trees are read at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrik {

inline constexpr size_t kCompareBlock = 262144;

struct PairResult {
  enum Kind { kLess, kGreater, kEqual, kDiffer, kFailed };
  Kind kind = kFailed;
  std::string failed_path;  // the file that could not be read
  int error_number = 0;     // errno, or 0 with error_text set
  std::string error_text;
};

// Compares one pair of files: sizes from one stat each, contents with pread into the
// caller's two buffers of kCompareBlock bytes. Both files are closed on return.
PairResult ComparePair(const std::string& left, const std::string& right, char* left_block,
                       char* right_block);

// Runs ComparePair for a sequence of pairs on worker threads, at most a fixed window
// ahead of the consumer; results come back in the order the pairs were added.
class PairPipeline {
 public:
  explicit PairPipeline(int workers);
  ~PairPipeline();
  PairPipeline(const PairPipeline&) = delete;
  PairPipeline& operator=(const PairPipeline&) = delete;

  bool HasRoom() const;
  void Add(std::string left, std::string right);
  // The result of the oldest pair not yet taken; waits for it.
  PairResult Take();

 private:
  struct Job {
    std::string left;
    std::string right;
    PairResult result;
    bool done = false;
  };
  void Work();

  static constexpr uint64_t kWindow = 64;
  std::vector<Job> ring_;
  uint64_t head_ = 0;  // next result to take
  uint64_t tail_ = 0;  // next slot to fill
  uint64_t next_ = 0;  // next job for a worker
  bool stop_ = false;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_ready_;
  std::vector<std::thread> threads_;
};

}  // namespace tavrik
