#include "core/scan/scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "core/fs/paths.h"
#include "core/parallel/cpu_count.h"
#include "core/parallel/far_helpers.h"
#include "core/parallel/ordered_pipeline.h"
#include "core/parallel/run_scope.h"
#include "core/scan/folder_listing.h"
#include "core/scan/scan_ahead.h"
#include "core/scan/scan_walk.h"

namespace tavrik {

namespace {

void ReportAccessError(Context& ctx, int error_number, const std::string& path) {
  Warn(ctx.host, AccessErrorText(error_number, path), FsError{error_number, path, {}});
}

// The connection to a far root broke: the rest of the tree cannot be listed. Said once, as a
// listing error is said, with the reason naming the host; the walk ends here.
bool BrokeOff(Context& ctx, FileSystem& fs, const std::string& path) {
  std::string lost = fs.LostConnectionText();
  if (lost.empty()) return false;
  Warn(ctx.host, "Zugriffsfehler " + std::to_string(ENOTCONN) + " auf '" + path + "'\r" + lost,
       FsError{ENOTCONN, path, lost});
  return true;
}

// The chain of a subfolder where links are followed; null otherwise.
std::shared_ptr<const FolderChain> ChainBelow(const FolderListing& listing,
                                              const ListedEntry& entry) {
  if (!listing.chain) return nullptr;
  return std::make_shared<const FolderChain>(
      FolderChain{static_cast<uint64_t>(entry.stamp.size),
                  static_cast<uint64_t>(entry.stamp.mtime_sec), listing.chain});
}

// A folder listed ahead of its turn may have gone in the meantime (the window handled
// input at the yields in between); then it is reported as a listing at its turn would be.
// A folder reached through a link, where links are followed, is looked at through it.
int GoneSinceListed(FileSystem& fs, const std::string& path, bool follow_links) {
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Reports what could not be read, enters the files and returns the subfolders' paths, all
// in listing order.
std::vector<ScanItem> TakeListing(Context& ctx, FileSystem& fs, const ScanItem& item,
                                  const ScanResult& result, uint64_t yields) {
  std::vector<ScanItem> subfolders;
  const FolderListing& listing = result.listing;
  // Listed before a yield (or a box before it) that came before its turn.
  // A far folder's listing is the far end's picture of it at one moment, whenever taken;
  // asking again at its turn would cost a round trip per folder.
  const bool stale = result.listed_at < yields && !fs.IsFar();
  int gone = stale && !item.root ? GoneSinceListed(fs, item.path, ctx.state.follow_links) : 0;
  if (listing.open_error != 0 || gone != 0) {
    ReportAccessError(ctx, gone != 0 ? gone : listing.open_error, item.path);
    ctx.state.file_table.AddHole(item.path);
    return subfolders;
  }
  const std::string base = AddBackslash(item.path);
  std::string full;
  for (const ListedEntry& entry : listing.entries) {
    full.assign(base).append(listing.Name(entry));
    switch (entry.kind) {
      case ListedEntry::kError:
        ReportAccessError(ctx, entry.error, full);
        ctx.state.file_table.AddHole(full);
        break;
      case ListedEntry::kFolder:
        subfolders.push_back({full, false, ChainBelow(listing, entry)});
        break;
      case ListedEntry::kFile:
        ctx.state.file_table.Add(full, entry.stamp, entry.file_kind);
        break;
      case ListedEntry::kLeftOut:
        ctx.state.file_table.AddLeftOut(full, entry.why);
        break;
      case ListedEntry::kExcludedFile:
      case ListedEntry::kExcludedFolder:
        ctx.state.file_table.AddExcluded(full, entry.kind == ListedEntry::kExcludedFolder);
        break;
    }
  }
  if (listing.read_error != 0) {
    ReportAccessError(ctx, listing.read_error, item.path);
    ctx.state.file_table.AddHole(item.path);
  }
  return subfolders;
}

// The walk from items on (the root, or what the listings ahead left), listed here.
void WalkHere(Context& ctx, FileSystem& fs, const std::string& folder,
              std::vector<ScanItem> items) {
  // The walk's yields so far: a folder listed before one may have changed by its turn.
  std::atomic<uint64_t> yields{0};
  RunScope scope(ctx.state.stop);
  std::unique_ptr<ScanPipeline> walk = MakeScanPipeline(fs, ctx.state.io, ctx.state.rules, folder,
                                                        yields, scope, ctx.state.follow_links);
  walk->AddAll(std::move(items));
  while (const ScanItem* next = walk->Next()) {
    if (scope.Stopping()) break;
    const ScanItem item = *next;
    const ScanResult result = walk->Take();
    if (BrokeOff(ctx, fs, item.path)) break;
    std::vector<ScanItem> subfolders = TakeListing(ctx, fs, item, result, yields.load());
    ctx.host.ProcessEvents();
    yields.fetch_add(1);
    walk->AddAll(std::move(subfolders));
  }
}

// The walk over the listings made ahead, in the same order and with the same yields as
// WalkHere; what they lack (their thread could not go on) is listed here.
void WalkAhead(Context& ctx, FileSystem& fs, const std::string& folder, ScanAhead& ahead) {
  std::vector<ScanItem> stack{{folder, true, nullptr}};
  while (!stack.empty() && !ctx.state.stop.Requested()) {
    std::optional<ScanResult> result = ahead.Take(stack.back().path);
    if (!result) break;
    const ScanItem item = std::move(stack.back());
    stack.pop_back();
    if (BrokeOff(ctx, fs, item.path)) {
      stack.clear();
      break;
    }
    std::vector<ScanItem> subfolders = TakeListing(ctx, fs, item, *result, ahead.Yields());
    ctx.host.ProcessEvents();
    ahead.Yielded();
    // Taken last first, as the pipeline's newest-first order takes them.
    stack.insert(stack.end(), std::make_move_iterator(subfolders.begin()),
                 std::make_move_iterator(subfolders.end()));
  }
  ahead.Stop();
  if (!stack.empty() && !ctx.state.stop.Requested()) WalkHere(ctx, fs, folder, std::move(stack));
}

}  // namespace

uint64_t WeightOf(const ScanResult& result) {
  return sizeof(ScanResult) + result.listing.names.size() +
         result.listing.entries.size() * sizeof(ListedEntry);
}

std::vector<ScanItem> SubfoldersOf(const ScanItem& item, const FolderListing& listing) {
  std::vector<ScanItem> subfolders;
  const std::string base = AddBackslash(item.path);
  for (const ListedEntry& entry : listing.entries)
    if (entry.kind == ListedEntry::kFolder)
      subfolders.push_back(
          {base + std::string(listing.Name(entry)), false, ChainBelow(listing, entry)});
  return subfolders;
}

std::unique_ptr<ScanPipeline> MakeScanPipeline(FileSystem& fs, const IoTuning& io,
                                               const RuleSet& rule_set, const std::string& folder,
                                               const std::atomic<uint64_t>& yields,
                                               const RunScope& scope, bool follow_links) {
  PipelineShape shape;
  shape.helpers = io.scan_helpers >= 0 ? io.scan_helpers : (UsableCpuCount() > 1 ? 1 : 0);
  shape.max_helpers = io.scan_max_helpers;
  if (io.scan_helpers < 0 && fs.IsFar()) {
    // A far folder's listing mostly waits for its answer: many in flight hide the delay.
    shape.helpers = std::max(shape.helpers, kFarHelpers);
    shape.max_helpers = std::max(shape.max_helpers, kFarMaxHelpers);
  }
  shape.window = static_cast<size_t>(std::max(1, io.scan_window));
  shape.window_weight = io.scan_window_bytes;
  shape.order = TakeOrder::kNewestFirst;
  shape.sample = io.scan_sample;
  const RuleSet* rules = rule_set.empty() ? nullptr : &rule_set;
  const size_t root_size = AddBackslash(folder).size();
  ScanPipeline::Tasks tasks;
  tasks.make_worker = [] { return std::make_unique<NoWorker>(); };
  tasks.run = [&fs, &yields, rules, root_size, follow_links](NoWorker&, const ScanItem& item) {
    return ListScanItem(fs, item, rules, root_size, follow_links, yields.load());
  };
  tasks.failed = [](const ScanItem&, const char*) {
    ScanResult result;
    result.listing.open_error = ENOMEM;
    return result;
  };
  tasks.weigh = WeightOf;
  return std::make_unique<ScanPipeline>(shape, std::move(tasks), scope);
}

ScanResult ListScanItem(FileSystem& fs, const ScanItem& item, const RuleSet* rules,
                        size_t root_size, bool follow_links, uint64_t listed_at) {
  ScanResult result;
  result.listed_at = listed_at;
  const LinkWalk links{follow_links, item.chain};
  if (!rules) {
    result.listing = ListFolder(fs, AddBackslash(item.path), item.root, nullptr, links);
    return result;
  }
  // The rules of a folder follow from its path below the root; each thread keeps those of
  // the path it listed last, so a folder mostly costs one step down.
  const std::string_view rel =
      std::string_view(item.path).substr(std::min(root_size, item.path.size()));
  thread_local FolderRulesChain chain;
  result.listing =
      ListFolder(fs, AddBackslash(item.path), item.root, &chain.For(*rules, rel), links);
  return result;
}

std::string AccessErrorText(int error_number, const std::string& path) {
  return "Zugriffsfehler " + std::to_string(error_number) + " auf '" + path + "'\r" +
         "Dieser Name wird fortan ignoriert ...";
}

void ScanFolder(Context& ctx, FileSystem& fs, const std::string& folder, ScanAhead* ahead) {
  // Depth-first with an explicit stack instead of recursion, so deep trees cannot exhaust
  // the call stack; one yield per folder, after its listing has been taken.
  // No folder named is no folder at all, never the whole disk.
  if (folder.empty()) {
    if (ahead) ahead->Stop();
    ReportAccessError(ctx, ENOENT, folder);
    return;
  }
  if (ahead) {
    WalkAhead(ctx, fs, folder, *ahead);
    return;
  }
  WalkHere(ctx, fs, folder, {{folder, true, nullptr}});
}

}  // namespace tavrik
