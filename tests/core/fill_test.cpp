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

// Catches a right folder whose files land in column 1 when the left folder holds no file
// (a "-->" would then copy into the right root of an earlier fill, a restore into an empty
// folder would copy the wrong way), and a drop rule that no longer puts a first folder on
// the left, also into a list a sync has emptied.
TEST(FillColumnTest, WhichColumnAFillTakes) {
  TempTree t;
  t.Mkdir("E");
  t.Write("X/Thumbs.db", "x");
  t.Write("L/a.txt", "a");
  t.Write("R/b.txt", "b");
  t.Write("R2/c.txt", "c");
  struct Step {
    const char* folder;  // nullptr: every row removed, as a sync that did all leaves the list
    bool left;
    bool named;  // as the console, a control file and the command line fill
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    const char* left_root;
    const char* right_root;
    bool right_shown;  // header 3 shows the right root, not "Zweiter Ordner"
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"dropped right into a new list", {{"R", false, false}}, "R", "", false, {"b.txt||"}},
      {"named right after an empty left",
       {{"E", true, true}, {"R", false, true}},
       "E",
       "R",
       true,
       {"||b.txt"}},
      {"named right after a left of excluded entries only",
       {{"X", true, true}, {"R", false, true}},
       "X",
       "R",
       true,
       {"||b.txt"}},
      {"dropped right after an empty left, with a right root of an earlier fill",
       {{"L", true, false}, {"R2", false, false}, {"E", true, false}, {"R", false, false}},
       "E",
       "R",
       true,
       {"||b.txt"}},
      {"dropped right into a list a sync emptied",
       {{"L", true, false}, {"R", false, false}, {nullptr, false, false}, {"R2", false, false}},
       "R2",
       "R",
       false,
       {"c.txt||"}},
      {"dropped right after an empty left, a right fill and a sync",
       {{"E", true, false}, {"R", false, false}, {nullptr, false, false}, {"R2", false, false}},
       "R2",
       "R",
       false,
       {"c.txt||"}},
  };
  for (const Case& c : cases) {
    Session s;
    s.state.rules = RuleSet({{"Thumbs.db", "test", 1}});
    for (const Step& step : c.steps) {
      if (!step.folder) {
        while (s.list.RowCount() > 0) s.list.RemoveRow(s.list.RowCount());
      } else if (step.named) {
        FillNamedColumn(s.ctx, t.Path(step.folder), step.left);
      } else {
        s.Fill(t.Path(step.folder), step.left);
      }
    }
    const std::string left = t.Path(c.left_root) + "/";
    const std::string right = c.right_root[0] ? t.Path(c.right_root) + "/" : "";
    EXPECT_EQ(s.state.left_root.str(), left) << c.what;
    EXPECT_EQ(s.state.right_root.str(), right) << c.what;
    EXPECT_EQ(s.list.Header(1), left) << c.what;
    EXPECT_EQ(s.list.Header(3), c.right_shown ? right : "Zweiter Ordner") << c.what;
    EXPECT_EQ(s.Rows(), c.rows) << c.what;
  }
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
