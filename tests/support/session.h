// A comparison list, shared state and fake host wired together, as the window has them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/list/shared_state.h"
#include "core/scan/fill.h"
#include "support/fake_host.h"
#include "support/fault_file_system.h"

namespace tavrik::testing {

// The rows of a list as "left|mark|right" for compact expectations.
inline std::vector<std::string> RowsOf(const ComparisonList& list) {
  std::vector<std::string> rows;
  for (int i = 1; i <= list.RowCount(); ++i)
    rows.push_back(std::string(list.LeftName(i)) + "|" + std::string(MarkText(list.GetMark(i))) +
                   "|" + std::string(list.RightName(i)));
  return rows;
}

// The mark of each row by its name (the left one, else the right one).
inline std::map<std::string, std::string> MarksOf(const ComparisonList& list) {
  std::map<std::string, std::string> marks;
  for (int i = 1; i <= list.RowCount(); ++i) {
    const std::string name(list.LeftName(i).empty() ? list.RightName(i) : list.LeftName(i));
    marks[name] = std::string(MarkText(list.GetMark(i)));
  }
  return marks;
}

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
  std::vector<std::string> Rows() const { return RowsOf(list); }
};

}  // namespace tavrik::testing
