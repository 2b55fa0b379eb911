#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/list/status.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::Session;
using testing::TempTree;

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Catches a left fill that keeps old rows, forgets the header or misses the date column.
TEST(FillColumnTest, LeftFillEntersRelativePathsHeadersAndDates) {
  TempTree t;
  t.Write("L/Briefe/a.txt", "a", 1700000000);
  t.Write("L/b.txt", "bb", 1600000000);
  Session s;
  s.list.AddRow(1, "stale");
  EXPECT_TRUE(s.Fill(t.Path("L"), true));
  EXPECT_EQ(Sorted(s.Rows()), Sorted({"Briefe/a.txt||", "b.txt||"}));
  EXPECT_EQ(s.list.Header(1), t.Path("L/"));
  EXPECT_EQ(s.list.Header(3), "Zweiter Ordner");
  EXPECT_EQ(s.state.left_root.str(), t.Path("L/"));
  int row = s.list.FindFirstPairing("b.txt");
  EXPECT_EQ(s.list.Text(row, 5), FileDateText(FileStamp{2, 1600000000, 0}));
  EXPECT_EQ(s.list.Text(row, 6), "");
  EXPECT_EQ(s.host.status1, "2 Dateien");
  EXPECT_EQ(s.host.status2, "Status: Eintragung der Dateien abgeschlossen.");
}

// Catches a right fill into an empty list staying on the right.
TEST(FillColumnTest, FillIntoAnEmptyListIsALeftFill) {
  TempTree t;
  t.Write("R/only.txt", "o");
  Session s;
  EXPECT_TRUE(s.Fill(t.Path("R"), false));
  EXPECT_EQ(s.Rows(), std::vector<std::string>{"only.txt||"});
  EXPECT_EQ(s.list.Header(1), t.Path("R/"));
  EXPECT_EQ(s.list.Header(3), "Zweiter Ordner");
  EXPECT_EQ(s.host.status1, "1 Datei");
}

// Catches wrong pairing: case-only differences, umlauts, orphans on both sides.
TEST(FillColumnTest, RightFillPairsByRelativePathWithoutRegardToCase) {
  TempTree t;
  t.Write("L/briefe/a.txt", "1");
  t.Write("L/Ärger.txt", "2");
  t.Write("L/left-only.txt", "3");
  t.Write("R/Briefe/A.TXT", "1");
  t.Write("R/ärger.txt", "2");
  t.Write("R/right-only.txt", "4");
  Session s;
  s.Fill(t.Path("L"), true);
  EXPECT_FALSE(s.Fill(t.Path("R"), false));
  EXPECT_EQ(Sorted(s.Rows()),
            Sorted({"|"
                    "|right-only.txt",
                    "briefe/a.txt||Briefe/A.TXT", "left-only.txt||", "Ärger.txt||ärger.txt"}));
  EXPECT_EQ(s.list.Header(3), t.Path("R/"));
  EXPECT_EQ(s.host.status1, "4 Dateien");
  int row = s.list.FindFirstPairing("briefe/a.txt");
  EXPECT_NE(s.list.Text(row, 6), "");
}

// Catches one right file displacing another when a side holds names differing only in case.
TEST(FillColumnTest, CaseOnlyTwinsOnOneSideNeverDisplaceEachOther) {
  TempTree t;
  t.Write("L/readme", "1");
  t.Write("L/README", "2");
  t.Write("R/README", "2");
  t.Write("R/Readme", "3");
  t.Write("R/readme", "1");
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  EXPECT_EQ(Sorted(s.Rows()), Sorted({"|"
                                      "|Readme",
                                      "README||README", "readme||readme"}));
}

// Catches a second right fill that keeps old right names or marks.
TEST(FillColumnTest, SecondRightFillEmptiesColumnsTwoAndThreeFirst) {
  TempTree t;
  t.Write("L/a", "1");
  t.Write("R1/a", "1");
  t.Write("R1/extra", "x");
  t.Write("R2/b", "2");
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R1"), false);
  for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kSkip);
  s.Fill(t.Path("R2"), false);
  EXPECT_EQ(Sorted(s.Rows()), Sorted({"|"
                                      "|",
                                      "|"
                                      "|b",
                                      "a||"}));
  EXPECT_EQ(s.state.right_root.str(), t.Path("R2/"));
  // A left fill afterwards puts the caption back and keeps the right root.
  s.Fill(t.Path("L"), true);
  EXPECT_EQ(s.list.Header(3), "Zweiter Ordner");
  EXPECT_EQ(s.state.right_root.str(), t.Path("R2/"));
}

// Catches progress values, yields and button states out of step with the fill.
TEST(FillColumnTest, ProgressYieldsAndCompareButtonFollowTheFill) {
  TempTree t;
  for (int i = 0; i < 130; ++i) t.Write("L/f" + std::to_string(i), "x");
  Session s;
  s.Fill(t.Path("L"), true);
  const auto& p = s.host.progress_log;
  ASSERT_GE(p.size(), 4u);
  EXPECT_EQ(p[0], 25.f);
  EXPECT_EQ(p[1], 50.f);
  EXPECT_FLOAT_EQ(p[2], 50.f + 50.f / 130);
  EXPECT_EQ(p[p.size() - 2], 100.f);
  EXPECT_EQ(p.back(), 0.f);
  EXPECT_EQ(s.host.yields, 1 + 2);  // one folder listed, files 64 and 128
  EXPECT_EQ(s.host.compare_log, (std::vector<bool>{false, true}));
  EXPECT_EQ(s.host.pointer_log, (std::vector<bool>{true, false}));
  EXPECT_EQ(s.host.status_log[0], "1:");
  EXPECT_EQ(s.host.status_log[1], "2:");
  EXPECT_EQ(s.host.status_log[2],
            "2:Status: Aufstellung der Dateien im betr. Verzeichnis läuft ...");
  EXPECT_EQ(s.host.status_log[3],
            "2:Status: Eintragung der Dateien in die Vergleichsliste läuft ...");

  Session fast;
  fast.host.speed = true;
  fast.Fill(t.Path("L"), true);
  EXPECT_EQ(fast.host.yields, 1);  // the scan's own yield stays
}

// Catches a right fill whose matching pass runs without progress or yields, so the window
// freezes while a large tree is lined up with the rows.
TEST(FillColumnTest, RightFillShowsProgressAndYieldsWhileMatching) {
  TempTree t;
  for (int i = 0; i < 130; ++i) {
    t.Write("L/f" + std::to_string(i), "x");
    t.Write("R/f" + std::to_string(i), "y");
  }
  Session s;
  s.Fill(t.Path("L"), true);
  s.host = testing::FakeHost();
  std::vector<int> paired_at_yield;
  s.host.on_yield = [&] {
    int paired = 0;
    for (int i = 1; i <= s.list.RowCount(); ++i) paired += !s.list.RightName(i).empty();
    paired_at_yield.push_back(paired);
  };
  s.Fill(t.Path("R"), false);
  // The scan's yield first, then one after the 64th and the 128th matched file.
  EXPECT_EQ(paired_at_yield, (std::vector<int>{0, 64, 128}));
  const auto& p = s.host.progress_log;
  ASSERT_EQ(p.size(), 2u + 130u + 1u);
  EXPECT_FLOAT_EQ(p[2], 50.f + 50.f / 130);
  EXPECT_EQ(p[p.size() - 2], 100.f);
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end() - 1));
}

// Catches a fill sorted by something other than the sort column, or left unsorted.
TEST(FillColumnTest, SortingIsSwitchedBackOnAtTheEnd) {
  TempTree t;
  t.Write("L/b", "1");
  t.Write("L/C", "1");
  t.Write("L/a", "1");
  Session s;
  s.Fill(t.Path("L"), true);
  EXPECT_TRUE(s.list.Sorted());
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"a||", "b||", "C||"}));
}

// Catches the immediate start firing after a left fill, during a batch run, or not at all.
TEST(FillColumnTest, ImmediateStartOnlyAfterARightFillOutsideABatchRun) {
  TempTree t;
  t.Write("L/a", "1");
  t.Write("R/a", "1");
  Session s;
  s.host.sofort_start = true;
  s.Fill(t.Path("R"), false);  // empty list: a left fill, no comparison
  EXPECT_TRUE(s.host.boxes.empty());
  s.Fill(t.Path("R"), false);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kInformation);
  EXPECT_EQ(s.list.GetMark(1), Mark::kEqual);

  Session batch;
  batch.host.sofort_start = true;
  batch.state.batch_active = true;
  batch.Fill(t.Path("L"), true);
  batch.Fill(t.Path("R"), false);
  EXPECT_TRUE(batch.host.boxes.empty());
  EXPECT_EQ(batch.list.GetMark(1), Mark::kNone);
}

// Catches a fill started during another fill's yield rebuilding the list under it.
TEST(FillColumnTest, FillStartedDuringAFillIsRefused) {
  TempTree t;
  t.Write("L/a", "1");
  t.Write("X/x", "1");
  Session s;
  s.host.on_yield = [&] {
    bool left = true;
    FillColumn(s.ctx, t.Path("X"), left);
  };
  s.Fill(t.Path("L"), true);
  EXPECT_EQ(s.Rows(), std::vector<std::string>{"a||"});
  EXPECT_FALSE(s.state.busy);
}

// Catches an unreadable root being entered as an empty success without a message.
TEST(FillColumnTest, MissingRootIsReportedAndLeavesAnEmptyList) {
  TempTree t;
  Session s;
  s.Fill(t.Path("missing"), true);
  EXPECT_EQ(s.list.RowCount(), 0);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
  EXPECT_EQ(s.host.status1, "0 Dateien");
}

}  // namespace
}  // namespace tavrik
