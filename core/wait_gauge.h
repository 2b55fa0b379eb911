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
  static constexpr int kSample = 16;

  void Add(int64_t waits) {
    ++units_;
    waits_ += waits;
  }
  // Once a sample is complete: true when at least every other unit had to wait. Starts the
  // next sample either way; false while the sample is still being collected.
  bool SampleSaysWaiting() {
    if (units_ < kSample) return false;
    const bool waiting = waits_ * 2 >= units_;
    units_ = 0;
    waits_ = 0;
    return waiting;
  }

 private:
  int units_ = 0;
  int64_t waits_ = 0;
};

}  // namespace tavrik
