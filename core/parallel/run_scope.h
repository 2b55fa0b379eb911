// How a run ends. Every way one ends early (Abort, "Ende", the window closed, a signal, a
// closed output) is a stop request that the row loops and the helper threads poll; whatever
// the run made is removed by the clean-ups of its scope, which run however it ends.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

namespace tavrik {

enum class StopReason : int { kNone = 0, kAbort, kEnd, kSignal, kBrokenPipe };

// A stop request; the first reason given wins. Request is async-signal-safe (a lock-free
// atomic), so a signal handler may call it.
class StopFlag {
 public:
  void Request(StopReason reason) noexcept {
    int none = 0;
    reason_.compare_exchange_strong(none, static_cast<int>(reason));
  }
  StopReason Reason() const noexcept {
    return static_cast<StopReason>(reason_.load(std::memory_order_relaxed));
  }
  bool Requested() const noexcept { return reason_.load(std::memory_order_relaxed) != 0; }
  void Clear() noexcept { reason_.store(0); }

 private:
  static_assert(std::atomic<int>::is_always_lock_free);
  std::atomic<int> reason_{0};
};

// One run (a scan, a comparison, a synchronisation). It stops when the program is asked
// to stop or when the run itself is cancelled (Abort). Clean-ups registered with AtEnd run
// once, newest first, at End() or when the scope goes, whichever way the run ended: other
// parts hook what they must remove or close there.
class RunScope {
 public:
  explicit RunScope(const StopFlag& program) : program_(program) {}
  ~RunScope() { End(); }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

  void AtEnd(std::function<void()> cleanup) { cleanups_.push_back(std::move(cleanup)); }
  void Cancel(StopReason reason) noexcept { own_.Request(reason); }
  bool Stopping() const noexcept { return own_.Requested() || program_.Requested(); }
  // Why the run stops: its own cancel first, else the program's request; kNone when it
  // ran to its end.
  StopReason Reason() const noexcept {
    return own_.Requested() ? own_.Reason() : program_.Reason();
  }
  // Runs the clean-ups now, newest first; a clean-up that throws does not keep the others
  // from running.
  void End() noexcept {
    while (!cleanups_.empty()) {
      std::function<void()> cleanup = std::move(cleanups_.back());
      cleanups_.pop_back();
      try {
        cleanup();
      } catch (...) {
      }
    }
  }

 private:
  const StopFlag& program_;
  StopFlag own_;
  std::vector<std::function<void()>> cleanups_;
};

}  // namespace tavrik
