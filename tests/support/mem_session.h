// A session whose file system is held in memory, wrapped in the fault decorator: for what a
// real disk cannot show on demand (coarse times, case-insensitive media, a read error in
// the middle of a file, a folder that goes away between two steps).
#pragma once

#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/list/shared_state.h"
#include "core/scan/fill.h"
#include "support/fake_host.h"
#include "support/fault_file_system.h"
#include "support/mem_file_system.h"
#include "support/session.h"

namespace tavrik::testing {

struct MemSession {
  explicit MemSession(MemFsOptions options = {}) : mem(std::move(options)) {}

  MemFileSystem mem;
  FaultFileSystem fs{mem};
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, fs};

  void FillBoth(const std::string& left, const std::string& right) {
    bool side = true;
    FillColumn(ctx, left, side);
    side = false;
    FillColumn(ctx, right, side);
  }
  // Runs helpers threads beside the caller for the scan and the comparison.
  void Threads(int helpers) {
    state.io.scan_helpers = state.io.scan_max_helpers = helpers;
    state.io.compare_helpers = state.io.compare_max_helpers = helpers;
  }
  std::vector<std::string> Rows() const { return RowsOf(list); }
};

}  // namespace tavrik::testing
