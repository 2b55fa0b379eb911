#include "core/scan/scan_ahead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

// Threads listing a far folder ahead, and the folders they may list before the walk takes
// them.
constexpr int kFarListers = 16;
constexpr size_t kFarListedAhead = 1024;

RootId IdOf(FileSystem& fs, const std::string& folder) {
  struct stat st {};
  return fs.StatAt(AT_FDCWD, folder.c_str(), &st, 0) == 0 ? RootIdOf(st) : RootId{};
}

bool SameId(const RootId& a, const RootId& b) {
  return a.known && b.known && a.dev == b.dev && a.ino == b.ino;
}

}  // namespace

ScanAhead::ScanAhead(Context& ctx, const std::string& folder)
    : fs_(ctx.RightFs()), folder_(RootPath(folder).str()), scope_(ctx.state.stop) {
  const IoTuning& io = ctx.state.io;
  max_count_ = static_cast<size_t>(std::max(0, io.scan_ahead_folders));
  max_weight_ = io.scan_ahead_bytes;
  ended_ = true;
  if (folder.empty() || max_count_ == 0 || scope_.Stopping()) return;
  root_id_ = IdOf(fs_, folder_);
  if (!root_id_.known) return;  // reported at its turn, as a fill without this reports it
  ended_ = false;
  try {
    // A far folder's listings wait for the link, not for a core: it has listers of its own.
    // Where the number of threads was set, the walk keeps to it, in the scan's order.
    const bool far = io.scan_helpers < 0 && fs_.IsFar();
    // Its own thread is the one more thread at first: on a warm disk the other fill keeps
    // the other cores busy. Helpers come as for any scan once its listings wait for the disk.
    IoTuning own = io;
    if (own.scan_helpers < 0) own.scan_helpers = 0;
    walker_ =
        std::thread([this, own, far, &rules = ctx.state.rules, follow = ctx.state.follow_links] {
          if (far)
            WalkFar(rules, follow);
          else
            Walk(own, rules, follow);
        });
  } catch (const std::system_error&) {
    ended_ = true;
  }
}

ScanAhead::~ScanAhead() { Stop(); }

void ScanAhead::Stop() {
  scope_.Cancel(StopReason::kAbort);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (walker_.joinable()) walker_.join();
  std::lock_guard lock(mutex_);
  ready_.clear();
  ready_weight_ = 0;
  ended_ = true;
}

bool ScanAhead::Serves(const FileSystem& fs, const std::string& root, const RootId& id) const {
  return &fs == &fs_ && root == folder_ && SameId(root_id_, id);
}

std::optional<ScanResult> ScanAhead::Take(const std::string& path) {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !ready_.empty() || ended_; });
    if (ready_.empty()) return std::nullopt;
    Listed listed = std::move(ready_.front());
    ready_.pop_front();
    ready_weight_ -= std::min(ready_weight_, listed.weight);
    changed_.notify_all();  // room for the walk again
    if (listed.item.path == path) return std::move(listed.result);
  }
}

bool ScanAhead::Hand(Listed listed) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return stop_ || ready_.empty() ||
           (ready_.size() < max_count_ && ready_weight_ + listed.weight <= max_weight_);
  });
  if (stop_) return false;
  ready_weight_ += listed.weight;
  ready_.push_back(std::move(listed));
  handed_.fetch_add(1);
  lock.unlock();
  changed_.notify_all();
  return true;
}

void ScanAhead::Walk(const IoTuning& io, const RuleSet& rules, bool follow_links) {
  // Whatever goes wrong here only ends the listing ahead: the scan lists at its turn what
  // it did not get.
  try {
    std::unique_ptr<ScanPipeline> walk =
        MakeScanPipeline(fs_, io, rules, folder_, yields_, scope_, follow_links);
    walk->Add({folder_, true, nullptr});
    while (const ScanItem* next = walk->Next()) {
      if (scope_.Stopping()) break;
      ScanItem item = *next;
      ScanResult result = walk->Take();
      // The root listed may not be the one named at the start (a medium mounted between).
      if (item.root && !SameId(root_id_, IdOf(fs_, folder_))) break;
      std::vector<ScanItem> subfolders = SubfoldersOf(item, result.listing);
      const uint64_t weight = WeightOf(result) + sizeof(Listed) + item.path.size();
      if (!Hand({std::move(item), std::move(result), weight})) break;
      walk->AddAll(std::move(subfolders));
    }
  } catch (...) {
  }
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

void ScanAhead::WalkFar(const RuleSet& rule_set, bool follow_links) {
  struct Slot {
    ScanItem item;
    enum State { kWaiting, kListing, kDone } state = kWaiting;
    ScanResult result;
    std::vector<ScanItem> subfolders;
  };
  const RuleSet* rules = rule_set.empty() ? nullptr : &rule_set;
  const size_t root_size = AddBackslash(folder_).size();
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<std::string, std::shared_ptr<Slot>> slots;  // by path, until handed on
  std::vector<std::shared_ptr<Slot>> to_list;  // newest last, as the walk takes them
  size_t held = 0;                             // slots listed or being listed, not handed on
  bool done = false;
  const auto add = [&](const ScanItem& item) {
    auto slot = std::make_shared<Slot>();
    slot->item = item;
    slots[item.path] = slot;
    to_list.push_back(std::move(slot));
  };
  // Lists a waiting slot; called and returns with the lock held.
  const auto list = [&](const std::shared_ptr<Slot>& slot, std::unique_lock<std::mutex>& lock) {
    slot->state = Slot::kListing;
    ++held;
    lock.unlock();
    ScanResult result;
    std::vector<ScanItem> subfolders;
    try {
      result = ListScanItem(fs_, slot->item, rules, root_size, follow_links, yields_.load());
      subfolders = SubfoldersOf(slot->item, result.listing);
    } catch (...) {
      result = ScanResult();
      result.listing.open_error = ENOMEM;
      subfolders.clear();
    }
    lock.lock();
    try {
      for (const ScanItem& sub : subfolders) add(sub);
    } catch (...) {
      // A subfolder without its slot ends the walk there; the fill lists the rest itself.
    }
    slot->result = std::move(result);
    slot->subfolders = std::move(subfolders);
    slot->state = Slot::kDone;
    changed.notify_all();
  };
  std::vector<std::thread> workers;
  {
    std::unique_lock lock(mutex);
    add({folder_, true, nullptr});
  }
  for (int i = 0; i < kFarListers; ++i) {
    try {
      workers.emplace_back([&] {
        std::unique_lock lock(mutex);
        for (;;) {
          changed.wait(lock, [&] { return done || (!to_list.empty() && held < kFarListedAhead); });
          if (done) return;
          std::shared_ptr<Slot> slot = std::move(to_list.back());
          to_list.pop_back();
          if (slot->state == Slot::kWaiting) list(slot, lock);
        }
      });
    } catch (const std::system_error&) {
      break;  // the walk lists what the others do not
    }
  }
  // Whatever goes wrong here only ends the listing ahead: the fill lists at its turn what
  // it did not get.
  try {
    std::vector<ScanItem> stack{{folder_, true, nullptr}};
    while (!stack.empty() && !scope_.Stopping()) {
      ScanItem item = std::move(stack.back());
      stack.pop_back();
      ScanResult result;
      std::vector<ScanItem> subfolders;
      {
        std::unique_lock lock(mutex);
        auto found = slots.find(item.path);
        if (found == slots.end()) break;
        std::shared_ptr<Slot> slot = found->second;
        // The one the walk needs next is never left to wait for room.
        if (slot->state == Slot::kWaiting) list(slot, lock);
        changed.wait(lock, [&] { return slot->state == Slot::kDone; });
        result = std::move(slot->result);
        subfolders = std::move(slot->subfolders);
        slots.erase(item.path);
        --held;
        changed.notify_all();
      }
      if (item.root && !SameId(root_id_, IdOf(fs_, folder_))) break;
      const uint64_t weight = WeightOf(result) + sizeof(Listed) + item.path.size();
      if (!Hand({std::move(item), std::move(result), weight})) break;
      stack.insert(stack.end(), subfolders.begin(), subfolders.end());
    }
  } catch (...) {
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  changed.notify_all();
  for (std::thread& worker : workers) worker.join();
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

}  // namespace tavrik
