// The one pool of helper threads behind the scan, the binary comparison and the copies
// prepared ahead. Items are handed out to helpers in order, at most a window ahead of the
// consumer; the consumer takes results strictly in order (oldest first, or newest first
// for the scan's depth-first stack) and runs an item itself rather than wait for nobody;
// a consumer that must stay free (the window's thread during a copy) waits instead,
// running its own tick meanwhile.
// Helpers widen while the work is seen waiting for the disk or the network. A helper's
// exception becomes its item's failure on the consumer's thread; a thread that cannot be
// made only stops the widening. The run's stop is polled before every item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "core/parallel/run_scope.h"
#include "core/parallel/wait_gauge.h"

namespace tavrik {

enum class TakeOrder { kOldestFirst, kNewestFirst };

struct PipelineShape {
  int helpers = 0;                      // threads at the start besides the consumer's own
  int max_helpers = 0;                  // at most, reached only while the items wait for their I/O
  size_t window = 64;                   // items started and not yet taken
  uint64_t window_weight = UINT64_MAX;  // what they hold (bytes of memory, of copies)
  TakeOrder order = TakeOrder::kOldestFirst;
  int watch_every = 1;  // every nth item is watched for waits (two system calls)
  int sample = WaitGauge::kSample;
  // While the next result is still being made, the consumer starts a later item itself.
  bool consumer_runs_ahead = true;
};

template <typename Item, typename Result, typename Worker>
class OrderedPipeline {
 public:
  struct Tasks {
    // What one thread needs for its items (buffers, an open folder); made on that thread.
    std::function<std::unique_ptr<Worker>()> make_worker;
    std::function<Result(Worker&, const Item&)> run;
    // The item's failure when run threw; called on the consumer's thread.
    std::function<Result(const Item&, const char* what)> failed;
    // What a result holds once made; empty: the weight given with the item stands.
    std::function<uint64_t(const Result&)> weigh;
  };

  OrderedPipeline(PipelineShape shape, Tasks tasks, const RunScope& scope)
      : shape_(shape),
        max_helpers_(std::max(shape.helpers, shape.max_helpers)),
        tasks_(std::move(tasks)),
        scope_(scope),
        gauge_(shape.sample) {
    if (shape_.window < 1) shape_.window = 1;
    std::lock_guard lock(mutex_);
    AddHelpers(shape.helpers);
  }

  // Stops handing out work, joins the helpers (an item in flight sees the run's stop and
  // breaks off) and drops every result not taken.
  ~OrderedPipeline() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    slots_.clear();
  }
  OrderedPipeline(const OrderedPipeline&) = delete;
  OrderedPipeline& operator=(const OrderedPipeline&) = delete;

  size_t Size() const {
    std::lock_guard lock(mutex_);
    return slots_.size();
  }
  // Room for one more item of this weight (an item alone always fits).
  bool HasRoom(uint64_t weight = 1) const {
    std::lock_guard lock(mutex_);
    return slots_.empty() ||
           (slots_.size() < shape_.window && total_weight_ + weight <= shape_.window_weight);
  }
  void Add(Item item, uint64_t weight = 1) {
    {
      std::lock_guard lock(mutex_);
      Push(std::move(item), weight);
    }
    work_ready_.notify_one();
  }
  // Several items in order (with the newest-first order, the last one is taken first).
  void AddAll(std::vector<Item> items) {
    if (items.empty()) return;
    {
      std::lock_guard lock(mutex_);
      for (Item& item : items) Push(std::move(item), 1);
    }
    work_ready_.notify_all();
  }
  // Whether the next result is there already, so that taking it does not wait.
  bool NextDone() const {
    std::lock_guard lock(mutex_);
    return !slots_.empty() && NextSlot().state == Slot::kDone;
  }
  // The item whose result comes next; nullptr when there is none. Valid until Take.
  const Item* Next() const {
    std::lock_guard lock(mutex_);
    if (slots_.empty()) return nullptr;
    return &NextSlot().item;
  }
  // The next result in order, waiting for it or making it here. Never called when empty.
  Result Take() {
    std::unique_lock lock(mutex_);
    GrowIfWaiting();
    Slot& slot = NextSlot();
    while (slot.state != Slot::kDone) {
      // Without a worker of its own (it could not be made) the consumer leaves the items to
      // the helpers while any is alive; with none, the item fails here.
      Worker* own = OwnWorker();
      const bool can_run = own || (alive_ == 0 && starting_ == 0);
      if (slot.state == Slot::kPending && can_run) {
        Start(slot);
        Run(slot, lock, own);
        continue;
      }
      Slot* other = shape_.consumer_runs_ahead && own ? PickPending() : nullptr;
      if (other) {
        Start(*other);
        Run(*other, lock, own);
        continue;
      }
      result_ready_.wait(lock);
    }
    return PopDone(lock);
  }
  // The next result in order, made on a helper while the consumer's thread stays free: it
  // runs tick (without the lock) every interval until the result is there, so a window
  // keeps handling its messages during one long item. It runs the item itself only when no
  // helper is left to do it, or when the run stops before the item started (the item then
  // breaks off at once). Never called when empty.
  Result TakeWaiting(const std::function<void()>& tick, std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex_);
    GrowIfWaiting();
    if (alive_ == 0 && starting_ == 0) AddHelpers(1);
    Slot& slot = NextSlot();
    auto next_tick = std::chrono::steady_clock::now() + interval;
    while (slot.state != Slot::kDone) {
      const bool nobody = alive_ == 0 && starting_ == 0;
      if (slot.state == Slot::kPending && (nobody || scope_.Stopping())) {
        Start(slot);
        Run(slot, lock, OwnWorker());
        continue;
      }
      if (result_ready_.wait_until(lock, next_tick) == std::cv_status::no_timeout) continue;
      lock.unlock();
      tick();
      lock.lock();
      next_tick = std::chrono::steady_clock::now() + interval;
    }
    return PopDone(lock);
  }
  // Threads besides the consumer's (for tests and figures).
  int Threads() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(threads_.size());
  }

 private:
  struct Slot {
    Item item;
    uint64_t weight = 1;  // the item's, then what its result holds
    enum State { kPending, kRunning, kDone } state = kPending;
    std::optional<Result> result;
    std::exception_ptr error;
  };

  static const char* WhatOf(const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
      return "zu wenig Arbeitsspeicher";
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
    }
    return "unbekannter Fehler";
  }

  // Hands out the next result, which is done; called with the lock held, releases it.
  Result PopDone(std::unique_lock<std::mutex>& lock) {
    std::unique_ptr<Slot> taken = Pop();
    lock.unlock();
    // The window has room for one more start: one helper is enough to wake (waking them all
    // for every result costs more than the work when many wait).
    work_ready_.notify_one();
    if (taken->error) return tasks_.failed(taken->item, WhatOf(taken->error));
    return std::move(*taken->result);
  }

  void Push(Item item, uint64_t weight) {
    auto slot = std::make_unique<Slot>();
    slot->item = std::move(item);
    slot->weight = weight;
    total_weight_ += weight;
    slots_.push_back(std::move(slot));
  }
  Slot& NextSlot() const {
    return shape_.order == TakeOrder::kOldestFirst ? *slots_.front() : *slots_.back();
  }
  std::unique_ptr<Slot> Pop() {
    std::unique_ptr<Slot> slot;
    if (shape_.order == TakeOrder::kOldestFirst) {
      slot = std::move(slots_.front());
      slots_.pop_front();
      if (first_pending_ > 0) --first_pending_;
    } else {
      slot = std::move(slots_.back());
      slots_.pop_back();
    }
    total_weight_ -= std::min(total_weight_, slot->weight);
    --started_;
    started_weight_ -= std::min(started_weight_, slot->weight);
    return slot;
  }

  // The next item nobody has started, in the order of taking.
  Slot* FirstPending() {
    if (shape_.order == TakeOrder::kOldestFirst) {
      // Items start in order, so the pending ones are the tail.
      while (first_pending_ < slots_.size() && slots_[first_pending_]->state != Slot::kPending)
        ++first_pending_;
      return first_pending_ < slots_.size() ? slots_[first_pending_].get() : nullptr;
    }
    for (auto it = slots_.rbegin(); it != slots_.rend(); ++it)
      if ((*it)->state == Slot::kPending) return it->get();
    return nullptr;
  }
  // A pending item the window lets start ahead of its turn.
  Slot* PickPending() {
    if (started_ >= shape_.window || started_weight_ >= shape_.window_weight) return nullptr;
    if (scope_.Stopping()) return nullptr;
    return FirstPending();
  }
  void Start(Slot& slot) {
    slot.state = Slot::kRunning;
    ++started_;
    started_weight_ += slot.weight;
  }

  Worker* OwnWorker() {
    if (!own_worker_) {
      try {
        own_worker_ = tasks_.make_worker();
      } catch (...) {
      }
    }
    return own_worker_.get();
  }

  // Runs a started item; called and returns with the lock held.
  void Run(Slot& slot, std::unique_lock<std::mutex>& lock, Worker* worker) {
    const bool watched =
        watch_count_++ % static_cast<uint64_t>(std::max(1, shape_.watch_every)) == 0 &&
        static_cast<int>(threads_.size()) < max_helpers_;
    lock.unlock();
    const int64_t waits_before = watched ? VoluntarySwitches() : 0;
    std::optional<Result> result;
    std::exception_ptr error;
    try {
      if (!worker) throw std::bad_alloc();
      result.emplace(tasks_.run(*worker, slot.item));
    } catch (...) {
      error = std::current_exception();
    }
    const int64_t waits = watched ? VoluntarySwitches() - waits_before : 0;
    uint64_t weight = slot.weight;
    if (result && tasks_.weigh) weight = tasks_.weigh(*result);
    lock.lock();
    if (watched) gauge_.Add(waits);
    started_weight_ += weight;
    started_weight_ -= std::min(started_weight_, slot.weight);
    slot.weight = weight;
    slot.result = std::move(result);
    slot.error = error;
    slot.state = Slot::kDone;
    result_ready_.notify_all();
  }

  void HelperLoop() {
    std::unique_ptr<Worker> worker;
    try {
      worker = tasks_.make_worker();
    } catch (...) {
    }
    std::unique_lock lock(mutex_);
    --starting_;
    if (!worker) {
      // The others and the consumer do the work; a consumer waiting for helpers looks again.
      result_ready_.notify_all();
      return;
    }
    ++alive_;
    for (;;) {
      Slot* slot = nullptr;
      work_ready_.wait(lock, [&] { return stop_ || (slot = PickPending()) != nullptr; });
      if (stop_) break;
      Start(*slot);
      Run(*slot, lock, worker.get());
    }
    --alive_;
    result_ready_.notify_all();
  }

  // Called with the lock held.
  void AddHelpers(int count) {
    for (int i = 0; i < count && static_cast<int>(threads_.size()) < max_helpers_; ++i) {
      try {
        threads_.emplace_back([this] { HelperLoop(); });
        ++starting_;
      } catch (const std::system_error&) {
        max_helpers_ = static_cast<int>(threads_.size());  // no more threads: stop widening
      }
    }
  }
  // Items wait for their reads: double the requests in flight, up to the limit.
  void GrowIfWaiting() {
    const int now = static_cast<int>(threads_.size());
    if (now >= max_helpers_ || !gauge_.SampleSaysWaiting()) return;
    AddHelpers(std::min(now + 1, max_helpers_ - now));
  }

  PipelineShape shape_;
  int max_helpers_;
  Tasks tasks_;
  const RunScope& scope_;
  WaitGauge gauge_;
  uint64_t watch_count_ = 0;
  std::deque<std::unique_ptr<Slot>> slots_;
  size_t first_pending_ = 0;
  size_t started_ = 0;  // running or done, not taken
  uint64_t started_weight_ = 0;
  uint64_t total_weight_ = 0;
  bool stop_ = false;
  std::unique_ptr<Worker> own_worker_;
  int alive_ = 0;     // helpers that have their worker
  int starting_ = 0;  // helpers still making it
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_ready_;
  std::vector<std::thread> threads_;
};

}  // namespace tavrik
