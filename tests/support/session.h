// A comparison list, shared state and fake host wired together, as the window has them.
#pragma once

#include <string>

#include "core/fault_file_system.h"
#include "core/fill.h"
#include "core/shared_state.h"
#include "support/fake_host.h"

namespace tavrik::testing {

struct Session {
  ComparisonList list;
  SharedState state;
  FakeHost host;
  // The real disk, with a way to make single calls fail.
  FaultFileSystem fs;
  Context ctx{list, state, host, fs};

  // Fills a column; returns the side the fill really used.
  bool Fill(const std::string& folder, bool left) {
    bool side = left;
    FillColumn(ctx, folder, side);
    return side;
  }
  // The rows as "left|mark|right" for compact expectations.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (int i = 1; i <= list.RowCount(); ++i)
      rows.push_back(std::string(list.LeftName(i)) + "|" + std::string(MarkText(list.GetMark(i))) +
                     "|" + std::string(list.RightName(i)));
    return rows;
  }
};

}  // namespace tavrik::testing
