// The pieces of the folder walk that the scan and the listing ahead of a later scan share:
// what one folder of the walk is, what its listing holds, and the pipeline that lists them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/list/shared_state.h"
#include "core/parallel/ordered_pipeline.h"
#include "core/parallel/run_scope.h"
#include "core/scan/folder_listing.h"

namespace tavrik {

// A folder of the walk and, once listed, what its listing holds.
struct ScanItem {
  std::string path;  // as the parent's listing named it
  bool root = false;
  // Where links are followed: this folder and those above it (null for the root).
  std::shared_ptr<const FolderChain> chain;
};

struct ScanResult {
  FolderListing listing;
  uint64_t listed_at = 0;  // the walk's yields when the listing began
};

struct NoWorker {};

using ScanPipeline = OrderedPipeline<ScanItem, ScanResult, NoWorker>;

uint64_t WeightOf(const ScanResult& result);

// The walk of folder's tree: depth first, the subfolders of a folder taken last found
// first. yields counts the walk's yields; a listing remembers it to tell later whether it
// may be stale. follow_links: links are read as what they lead to. fs, rules and yields
// must outlive the pipeline.
std::unique_ptr<ScanPipeline> MakeScanPipeline(FileSystem& fs, const IoTuning& io,
                                               const RuleSet& rules, const std::string& folder,
                                               const std::atomic<uint64_t>& yields,
                                               const RunScope& scope, bool follow_links = false);

// The subfolders a listing names, in listing order (the order the walk adds them).
std::vector<ScanItem> SubfoldersOf(const ScanItem& item, const FolderListing& listing);

// The listing of item's folder as the scan's pipeline makes it: rules (nullptr: none) as they
// hold below the root's first root_size characters, links as follow_links says; listed_at is
// the walk's yields as it begins.
ScanResult ListScanItem(FileSystem& fs, const ScanItem& item, const RuleSet* rules,
                        size_t root_size, bool follow_links, uint64_t listed_at);

}  // namespace tavrik
