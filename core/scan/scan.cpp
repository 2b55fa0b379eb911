#include "core/scan/scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/fs/paths.h"
#include "core/parallel/wait_gauge.h"
#include "core/scan/folder_listing.h"

namespace tavrik {

namespace {

// The folders still to scan, in the order of a depth-first walk that enters the
// last-found subfolder first (the top of the stack comes next). A helper thread lists
// folders near the top ahead of time, so two cores share the attribute queries; the
// results are still taken, reported and entered strictly in walk order on the caller's
// thread.
class ScanStack {
 public:
  struct Job {
    std::string path;  // as the parent's listing named it
    bool root = false;
    bool ahead = false;  // listed before its turn
    enum State { kPending, kRunning, kDone } state = kPending;
    FolderListing listing;
  };

  ScanStack(FileSystem& fs, const RuleSet& rules, size_t root_size, int helpers, int max_helpers)
      : fs_(fs),
        rules_(rules.empty() ? nullptr : &rules),
        root_size_(root_size),
        max_helpers_(std::max(helpers, max_helpers)) {
    for (int i = 0; i < helpers; ++i) helpers_.emplace_back([this] { HelperLoop(); });
  }
  ~ScanStack() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
  }
  ScanStack(const ScanStack&) = delete;
  ScanStack& operator=(const ScanStack&) = delete;

  // Pushes folders in listing order, so the last one found is taken first.
  void Push(std::vector<std::string> paths, bool root) {
    {
      std::lock_guard lock(mutex_);
      for (auto& path : paths) {
        auto job = std::make_unique<Job>();
        job->path = std::move(path);
        job->root = root;
        stack_.push_back(std::move(job));
      }
    }
    changed_.notify_all();
  }

  // The next folder in walk order with its listing; nullptr when the walk is complete.
  std::unique_ptr<Job> Next() {
    std::unique_lock lock(mutex_);
    GrowIfWaiting();
    for (;;) {
      if (stack_.empty()) return nullptr;
      Job* top = stack_.back().get();
      if (top->state == Job::kDone) {
        std::unique_ptr<Job> job = std::move(stack_.back());
        stack_.pop_back();
        return job;
      }
      Job* work = top->state == Job::kPending ? top : TopmostPending();
      if (!work) {
        changed_.wait(lock);
        continue;
      }
      // While the helper lists the next folder, list one further down meanwhile.
      work->ahead = work != top;
      Run(work, lock);
    }
  }

 private:
  Job* TopmostPending() {
    for (auto it = stack_.rbegin(); it != stack_.rend(); ++it)
      if ((*it)->state == Job::kPending) return it->get();
    return nullptr;
  }

  // Listings that wait for the disk or the network: list more folders at once.
  void GrowIfWaiting() {
    const int now = static_cast<int>(helpers_.size());
    if (now >= max_helpers_ || !gauge_.SampleSaysWaiting()) return;
    const int more = std::min(now + 1, max_helpers_ - now);
    for (int i = 0; i < more; ++i) helpers_.emplace_back([this] { HelperLoop(); });
  }

  void Run(Job* job, std::unique_lock<std::mutex>& lock) {
    job->state = Job::kRunning;
    lock.unlock();
    const int64_t waits_before = VoluntarySwitches();
    if (rules_) {
      // The rules of a folder follow from its path below the root; deriving them here
      // keeps the walk's order of work free to change.
      const std::string_view rel =
          std::string_view(job->path).substr(std::min(root_size_, job->path.size()));
      thread_local FolderRulesChain chain;
      job->listing = ListFolder(fs_, AddBackslash(job->path), job->root, &chain.For(*rules_, rel));
    } else {
      job->listing = ListFolder(fs_, AddBackslash(job->path), job->root);
    }
    const int64_t waits = VoluntarySwitches() - waits_before;
    lock.lock();
    gauge_.Add(waits);
    job->state = Job::kDone;
    changed_.notify_all();
  }

  void HelperLoop() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      Job* job = TopmostPending();
      if (!job) {
        changed_.wait(lock);
        continue;
      }
      job->ahead = true;
      Run(job, lock);
    }
  }

  FileSystem& fs_;
  const RuleSet* rules_;  // null when no rule is given
  const size_t root_size_;
  const int max_helpers_;
  WaitGauge gauge_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Job>> stack_;
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};

void ReportAccessError(Context& ctx, int error_number, const std::string& path) {
  Warn(ctx.host, AccessErrorText(error_number, path), FsError{error_number, path, {}});
}

// A folder listed ahead of its turn may have gone in the meantime (the window handled
// input at the yields in between); then it is reported as a listing at its turn would be.
int GoneSinceListed(FileSystem& fs, const std::string& path) {
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Reports what could not be read, enters the files and returns the subfolders' paths, all
// in listing order.
std::vector<std::string> TakeListing(Context& ctx, const ScanStack::Job& job) {
  std::vector<std::string> subfolders;
  const FolderListing& listing = job.listing;
  int gone = job.ahead && !job.root ? GoneSinceListed(ctx.fs, job.path) : 0;
  if (listing.open_error != 0 || gone != 0) {
    ReportAccessError(ctx, gone != 0 ? gone : listing.open_error, job.path);
    return subfolders;
  }
  const std::string base = AddBackslash(job.path);
  std::string full;
  for (const ListedEntry& entry : listing.entries) {
    full.assign(base).append(listing.Name(entry));
    switch (entry.kind) {
      case ListedEntry::kError:
        ReportAccessError(ctx, entry.error, full);
        break;
      case ListedEntry::kFolder:
        subfolders.push_back(full);
        break;
      case ListedEntry::kFile:
        ctx.state.file_table.Add(full, entry.stamp);
        break;
      case ListedEntry::kExcludedFile:
      case ListedEntry::kExcludedFolder:
        ctx.state.file_table.AddExcluded(full, entry.kind == ListedEntry::kExcludedFolder);
        break;
    }
  }
  if (listing.read_error != 0) ReportAccessError(ctx, listing.read_error, job.path);
  return subfolders;
}

}  // namespace

std::string AccessErrorText(int error_number, const std::string& path) {
  return "Zugriffsfehler " + std::to_string(error_number) + " auf '" + path + "'\r" +
         "Dieser Name wird fortan ignoriert ...";
}

void ScanFolder(Context& ctx, const std::string& folder) {
  // Depth-first with an explicit stack instead of recursion, so deep trees cannot exhaust
  // the call stack; one yield per folder, after its listing has been taken.
  // No folder named is no folder at all, never the whole disk.
  if (folder.empty()) {
    ReportAccessError(ctx, ENOENT, folder);
    return;
  }
  int helpers = ctx.state.io.scan_helpers;
  if (helpers < 0) helpers = std::thread::hardware_concurrency() > 1 ? 1 : 0;
  ScanStack stack(ctx.fs, ctx.state.rules, AddBackslash(folder).size(), helpers,
                  ctx.state.io.scan_max_helpers);
  stack.Push({folder}, true);
  while (std::unique_ptr<ScanStack::Job> job = stack.Next()) {
    std::vector<std::string> subfolders = TakeListing(ctx, *job);
    ctx.host.ProcessEvents();
    stack.Push(std::move(subfolders), false);
  }
}

}  // namespace tavrik
