// Tells whether work on helper threads waits for the disk or the network: then more
// requests in flight pay off (a cold disk, a share with a round trip per call), while on a
// warm local disk more threads would only take turns on the same cores.
#pragma once

#include <sys/resource.h>

#include <cstdint>

namespace tavrik {

// Times this thread gave up the processor to wait (for I/O, mostly): the measure of waiting
// that CPU contention from other programs does not inflate.
inline int64_t VoluntarySwitches() {
  struct rusage usage {};
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return usage.ru_nvcsw;
}

// Counts units of work and the waits inside them; not thread-safe (use it under a lock).
class WaitGauge {
 public:
  static constexpr int kSample = 8;
  explicit WaitGauge(int sample = kSample) : sample_(sample < 1 ? 1 : sample) {}

  void Add(int64_t waits) {
    ++units_;
    waits_ += waits;
  }
  // Once a sample is complete: true when the units had to wait twice each on average (a
  // read or a round trip per file; an odd wait for a lock of the allocator does not count).
  // Starts the next sample either way; false while the sample is still being collected.
  // Two samples in a row must say so: a burst of waits (a thread starting, a page of the
  // cache reclaimed) is no reason for more threads.
  bool SampleSaysWaiting() {
    if (units_ < sample_) return false;
    const bool waiting = waits_ >= 2 * units_;
    units_ = 0;
    waits_ = 0;
    streak_ = waiting ? streak_ + 1 : 0;
    if (streak_ < 2) return false;
    streak_ = 0;
    return true;
  }

 private:
  int sample_;
  int streak_ = 0;
  int units_ = 0;
  int64_t waits_ = 0;
};

}  // namespace tavrik
