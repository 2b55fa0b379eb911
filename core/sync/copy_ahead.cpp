#include "core/sync/copy_ahead.h"

#include <algorithm>

namespace tavrik {

namespace {

CopyOutcome Prepare(FileSystem& fs, const CopyJob& job) {
  const TreePath src{job.src_root, job.src_rel, job.src_root_id};
  const TreePath dst{job.dst_root, job.dst_rel, job.dst_root_id};
  bool folder_missing = false;
  Result<std::unique_ptr<PreparedCopy>> copy =
      PrepareCopy(fs, src, dst, job.src_seen ? &*job.src_seen : nullptr,
                  job.dst_seen ? &*job.dst_seen : nullptr, &folder_missing);
  CopyOutcome outcome;
  if (copy.ok()) {
    outcome.copy = std::move(copy.value());
  } else if (folder_missing) {
    outcome.not_prepared = true;
  } else {
    outcome.error = copy.error();
  }
  return outcome;
}

}  // namespace

CopyAhead::CopyAhead(FileSystem& fs, int helpers, int max_helpers, int window)
    : fs_(fs),
      window_(static_cast<size_t>(std::max(window, 1))),
      max_helpers_(std::max(helpers, max_helpers)) {
  for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { HelperLoop(); });
}

CopyAhead::~CopyAhead() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  // The slots go with their prepared copies, and so do the temporary files.
}

bool CopyAhead::HasRoom() const {
  std::lock_guard lock(mutex_);
  return slots_.size() < window_;
}

void CopyAhead::Add(CopyJob job) {
  {
    std::lock_guard lock(mutex_);
    auto slot = std::make_unique<Slot>();
    slot->job = std::move(job);
    slots_.push_back(std::move(slot));
  }
  work_ready_.notify_one();
}

int CopyAhead::NextRow() const {
  std::lock_guard lock(mutex_);
  return slots_.empty() ? 0 : slots_.front()->job.row;
}

CopyAhead::Slot* CopyAhead::FirstWaiting() {
  for (auto& slot : slots_)
    if (slot->state == Slot::kWaiting) return slot.get();
  return nullptr;
}

void CopyAhead::RunSlot(Slot& slot, std::unique_lock<std::mutex>& lock) {
  slot.state = Slot::kRunning;
  lock.unlock();
  const int64_t waits_before = VoluntarySwitches();
  CopyOutcome outcome = Prepare(fs_, slot.job);
  const int64_t waits = VoluntarySwitches() - waits_before;
  lock.lock();
  gauge_.Add(waits);
  slot.outcome = std::move(outcome);
  slot.state = Slot::kDone;
  done_.notify_all();
}

void CopyAhead::GrowIfWaiting() {
  const int now = static_cast<int>(threads_.size());
  if (now >= max_helpers_ || !gauge_.SampleSaysWaiting()) return;
  const int more = std::min(now + 1, max_helpers_ - now);
  for (int i = 0; i < more; ++i) threads_.emplace_back([this] { HelperLoop(); });
}

CopyOutcome CopyAhead::Take() {
  std::unique_lock lock(mutex_);
  GrowIfWaiting();
  Slot& slot = *slots_.front();
  while (slot.state != Slot::kDone) {
    if (slot.state == Slot::kWaiting) {
      RunSlot(slot, lock);
    } else {
      done_.wait(lock);
    }
  }
  CopyOutcome outcome = std::move(slot.outcome);
  slots_.pop_front();
  return outcome;
}

void CopyAhead::HelperLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Slot* slot = nullptr;
    work_ready_.wait(lock, [&] { return stop_ || (slot = FirstWaiting()) != nullptr; });
    if (stop_) return;
    RunSlot(*slot, lock);
  }
}

}  // namespace tavrik
