// The console's progress line: files, bytes, rate and time left of the running step, on
// standard error and only when that is a terminal, so pipes and logs never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tavrik {

// The work one row of the list stands for in a step: files handled and bytes moved.
struct RowWork {
  int files = 0;
  int64_t bytes = 0;
};

class ProgressMeter {
 public:
  // Shows nothing unless err is a terminal and enabled is true.
  ProgressMeter(FILE* err, bool enabled);

  // A new step. rows: the work per list row in list order; from_end: the step walks the
  // rows from the last to the first. Without rows only the percentage is shown.
  void Start(std::string what, std::vector<RowWork> rows = {}, bool from_end = false);
  // The host's progress value, 0 to 100 (0 also ends a step).
  void Update(float percent);
  // Removes the line, before a message is printed or at the end.
  void Clear();
  bool active() const { return active_; }

  // The line for a state of a step; elapsed in seconds. Public for tests.
  static std::string Line(const std::string& what, int files_done, int files_total,
                          int64_t bytes_done, int64_t bytes_total, double elapsed, double percent);

 private:
  using Clock = std::chrono::steady_clock;
  FILE* err_;
  bool active_;
  bool shown_ = false;
  std::string what_;
  std::vector<RowWork> rows_;
  bool from_end_ = false;
  int files_total_ = 0;
  int64_t bytes_total_ = 0;
  Clock::time_point start_{};
  Clock::time_point last_{};
};

}  // namespace tavrik
