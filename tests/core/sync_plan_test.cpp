#include <gtest/gtest.h>

#include <string>

#include "core/sync/sync_plan.h"

namespace tavrik {
namespace {

struct PlanCase {
  const char* left;
  Mark mark;
  const char* right;
  bool acts;
  const char* left_full;   // what the plan's left side names, "" for nothing
  const char* right_full;  // the same on the right
};

// Catches the run and the dry run deciding a row differently: a copy aimed at the wrong
// name (the source's where the target side has a name of its own in another case), a copy
// onto a side without a file not taking the source's path, a deletion that names a path
// where the row has no file, or a mark acted on that only leaves the list.
TEST(SyncPlanTest, EachMarkAndEachSideGiveTheirPaths) {
  const PlanCase cases[] = {
      {"A.txt", Mark::kCopyRight, "a.txt", true, "/L/A.txt", "/R/a.txt"},
      {"n/x.txt", Mark::kCopyRight, "", true, "/L/n/x.txt", "/R/n/x.txt"},
      {"", Mark::kCopyLeft, "r.txt", true, "/L/r.txt", "/R/r.txt"},
      {"", Mark::kCopyRight, "r.txt", true, "", "/R/r.txt"},
      {"d.txt", Mark::kDeleteLeft, "", true, "/L/d.txt", ""},
      {"", Mark::kDeleteRight, "d.txt", true, "", "/R/d.txt"},
      {"b.txt", Mark::kDeleteBoth, "b.txt", true, "/L/b.txt", "/R/b.txt"},
      {"s.txt", Mark::kSkip, "s.txt", false, "/L/s.txt", "/R/s.txt"},
      {"e.txt", Mark::kEqual, "e.txt", false, "/L/e.txt", "/R/e.txt"},
      {"o.txt", Mark::kOrphanCopyRight, "", false, "/L/o.txt", ""},
  };
  for (const PlanCase& c : cases) {
    ComparisonList list;
    SharedState state;
    state.left_root = RootPath("/L");
    state.right_root = RootPath("/R");
    list.AddRow(1, c.left);
    list.SetRightName(1, c.right);
    list.SetMark(1, c.mark);
    const FileStamp stamp{3, 1000, 0};
    if (*c.left) list.SetLeftStamp(1, &stamp);
    if (*c.right) list.SetRightStamp(1, &stamp);
    const RowPlan plan = PlanRow(list, state, 1);
    const std::string row =
        std::string(c.left) + " " + std::string(MarkText(c.mark)) + " " + c.right;
    EXPECT_EQ(plan.Acts(), c.acts) << row;
    EXPECT_EQ(plan.left.full, c.left_full) << row;
    EXPECT_EQ(plan.right.full, c.right_full) << row;
    if (!plan.IsCopy()) continue;
    // The target side of a copy carries what the fill saw there, nothing where it had no file.
    EXPECT_EQ(plan.To().Seen() != nullptr, *(plan.mark == Mark::kCopyRight ? c.right : c.left) != 0)
        << row;
  }
}

}  // namespace
}  // namespace tavrik
