// The synchronisation run's walk: actions by mark, row removal, error boxes and answers,
// progress, yields and the end steps, on real files.
#include <sys/stat.h>

#include "support/sync_fixture.h"

namespace tavrik::testing {
namespace {

using SyncRunTest = SyncBench;

const std::string kNoLeftFile = "Die Zeile hat links keine Datei.";
const std::string kNoRightFile = "Die Zeile hat rechts keine Datei.";

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// Catches an empty list that skips the status texts, leaves the progress set or the
// compare button disabled.
TEST_F(SyncRunTest, EmptyListStillRunsTheStartAndEndSteps) {
  Fill();
  s.host.status1 = "7 Dateien";
  Sync();
  EXPECT_EQ(s.host.status_log, (std::vector<std::string>{"2:Status: Datenabgleich läuft ...",
                                                         "2:Status: Datenabgleich beendet."}));
  EXPECT_EQ(s.host.progress_log, std::vector<float>{0.0f});
  EXPECT_EQ(s.host.compare_log, (std::vector<bool>{false, true}));
  EXPECT_EQ(s.host.status1, "7 Dateien");  // the fill's row count stays
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_FALSE(s.host.running);
}

// Catches a run that acts on marks outside the five action marks (or on look-alikes), or
// keeps rows it had nothing to do for.
TEST_F(SyncRunTest, MarksWithoutActionTouchNothingAndTheirRowsLeave) {
  const Mark idle[] = {Mark::kNone,    Mark::kSkip,   Mark::kEqual,           Mark::kLess,
                       Mark::kGreater, Mark::kDiffer, Mark::kOrphanCopyRight, Mark::kOrphanCopyLeft,
                       Mark::kOrphan};
  for (size_t k = 0; k < std::size(idle); ++k) {
    std::string name = "f" + std::to_string(k) + ".txt";
    tree.Write("left/" + name, "left " + name, 2000000000);
    tree.Write("right/" + name, "right", 1000000000);
    tree.Write("left/only/" + name, "x");
    tree.Write("right/alone/" + name, "y");
  }
  Fill();
  for (int i = 1; i <= s.list.RowCount(); ++i)
    s.list.SetMark(i, idle[static_cast<size_t>(i) % std::size(idle)]);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_TRUE(s.host.boxes.empty());
}

// Catches a copy onto the empty side that uses the wrong root or relative path, fails on a
// missing folder chain, or loses the source's time (to the nanosecond) or mode.
TEST_F(SyncRunTest, CopyOntoEmptySideBuildsTheFolderChainAndKeepsTimeAndMode) {
  tree.Write("left/a/b/c.txt", "from the left");
  tree.SetTime("left/a/b/c.txt", 1500000000, 123456789);
  chmod(tree.Path("left/a/b/c.txt").c_str(), 0640);
  tree.Write("right/x/y.txt", "from the right");
  tree.SetTime("right/x/y.txt", 1400000000, 987654321);
  Fill();
  SetMark("a/b/c.txt", "", Mark::kCopyRight);
  SetMark("", "x/y.txt", Mark::kCopyLeft);
  Snapshot before = Snap();
  Sync();
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_EQ(ChangedSince(before), (std::vector<std::string>{"left/x", "left/x/y.txt", "right/a",
                                                            "right/a/b", "right/a/b/c.txt"}));
  Snapshot after = Snap();
  for (auto [from, to] : {std::pair{"left/a/b/c.txt", "right/a/b/c.txt"},
                          std::pair{"right/x/y.txt", "left/x/y.txt"}}) {
    EntryState a = after[from], b = after[to];
    EXPECT_EQ(b.kind, 'f');
    EXPECT_EQ(b.hash, a.hash) << to;
    EXPECT_EQ(b.mode, a.mode) << to;
    EXPECT_EQ(b.mtime_sec, a.mtime_sec) << to;
    EXPECT_EQ(b.mtime_nsec, a.mtime_nsec) << to;
  }
}

// Catches a copy that writes into the existing target (truncating it first) instead of
// replacing it whole, or that leaves its temporary file behind.
TEST_F(SyncRunTest, CopyReplacesTheTargetWholeAndLeavesNoTemporaryFile) {
  tree.Write("left/d/t.txt", "new and longer content", 2000000000);
  tree.Write("right/d/t.txt", "old", 1000000000);
  Fill();
  SetMark("d/t.txt", "d/t.txt", Mark::kCopyRight);
  ino_t old_inode = StatOf(tree.Path("right/d/t.txt")).st_ino;
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{"right/d/t.txt"});
  EXPECT_EQ(tree.Read("right/d/t.txt"), "new and longer content");
  EXPECT_NE(StatOf(tree.Path("right/d/t.txt")).st_ino, old_inode);
  EXPECT_EQ(s.list.RowCount(), 0);
}

// Catches a walk in the wrong direction, a wrong progress formula, or yields that ignore
// the speed box.
TEST_F(SyncRunTest, WalksFromLastRowToFirstWithProgressAndAYieldPerRow) {
  for (const char* name : {"a", "b", "c", "d"}) tree.Write(std::string("left/") + name, name);
  for (bool speed : {false, true}) {
    Fill();
    s.host.speed = speed;
    for (int i = 1; i <= 4; ++i) s.list.SetMark(i, Mark::kDeleteRight);  // no right files
    Sync();
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                              DeleteBox(R("d"), kNoRightFile), DeleteBox(R("c"), kNoRightFile),
                              DeleteBox(R("b"), kNoRightFile), DeleteBox(R("a"), kNoRightFile)}));
    EXPECT_EQ(s.host.progress_log, (std::vector<float>{0.0f, 25.0f, 50.0f, 75.0f, 0.0f}));
    EXPECT_EQ(s.host.yields, speed ? 0 : 4);
    EXPECT_EQ(s.list.RowCount(), 4);
  }
  // The boxes come from the last row first: rows 2 and 4 fail with their own paths.
  tree.Write("right/b", "b");
  tree.Write("right/d", "d");
  Fill();
  SetMark("b", "b", Mark::kDeleteRight);
  SetMark("d", "d", Mark::kDeleteRight);
  tree.Write("right/b", "changed");
  tree.Write("right/d", "changed");
  Sync();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{DeleteBox(R("d"), kWhyChanged),
                                                  DeleteBox(R("b"), kWhyChanged)}));
}

// Catches wrong error texts: paths from the wrong side, a copy onto an empty side that
// does not show the path formed from the other side, or a wrong box style.
TEST_F(SyncRunTest, ErrorBoxesNameTheRowsPathsExactly) {
  tree.Write("left/gone.txt", "l");
  tree.Write("right/away.txt", "r");
  tree.Write("left/both.txt", "l");
  tree.Write("right/both.txt", "r");
  Fill();
  SetMark("gone.txt", "", Mark::kCopyRight);
  SetMark("", "away.txt", Mark::kCopyLeft);
  SetMark("both.txt", "both.txt", Mark::kDeleteBoth);
  for (const char* rel : {"left/gone.txt", "right/away.txt", "left/both.txt", "right/both.txt"})
    tree.Write(rel, "changed since the fill");
  std::remove(tree.Path("left/gone.txt").c_str());
  std::remove(tree.Path("right/away.txt").c_str());
  Sync();
  ASSERT_EQ(s.host.boxes.size(), 4u);
  for (const Box& box : s.host.boxes) EXPECT_EQ(box.intent, Intent::kRetryError);
  std::vector<std::string> expected = {CopyBox(L("gone.txt"), R("gone.txt"), kNoSuchFile),
                                       CopyBox(R("away.txt"), L("away.txt"), kNoSuchFile),
                                       DeleteBox(L("both.txt"), kWhyChanged),
                                       DeleteBox(R("both.txt"), kWhyChanged)};
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> texts = BoxTexts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, expected);
}

// Catches a mark aimed at a side without a file that reaches the root folder or another
// row's file, or whose box names the file '' instead of the side that has none.
TEST_F(SyncRunTest, AMarkAimedAtASideWithoutAFileNamesThatSideAndTouchesNothing) {
  tree.Write("left/only-left.txt", "l");
  tree.Write("right/only-right.txt", "r");
  Fill();  // the roots for the expected paths
  struct Case {
    Mark mark;
    bool left_only;  // the row's one file is on the left
    std::string box;
  };
  const Case cases[] = {
      {Mark::kDeleteRight, true, DeleteBox(R("only-left.txt"), kNoRightFile)},
      {Mark::kDeleteLeft, false, DeleteBox(L("only-right.txt"), kNoLeftFile)},
      {Mark::kCopyLeft, true, CopyBox(R("only-left.txt"), L("only-left.txt"), kNoRightFile)},
      {Mark::kCopyRight, false, CopyBox(L("only-right.txt"), R("only-right.txt"), kNoLeftFile)},
  };
  for (const Case& c : cases) {
    Fill();
    for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kSkip);
    // A file that appeared since the fill where the row has none must stay as it is.
    const std::string appeared = c.left_only ? "right/only-left.txt" : "left/only-right.txt";
    tree.Write(appeared, "appeared");
    if (c.left_only) {
      SetMark("only-left.txt", "", c.mark);
    } else {
      SetMark("", "only-right.txt", c.mark);
    }
    Snapshot before = Snap();
    s.host.answers = {MsgAnswer::kRetry, MsgAnswer::kIgnore};
    Sync();
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{c.box, c.box})) << MarkText(c.mark);
    for (const Box& box : s.host.boxes) EXPECT_EQ(box.intent, Intent::kRetryError);
    EXPECT_EQ(ChangedSince(before), std::vector<std::string>{}) << MarkText(c.mark);
    EXPECT_EQ(s.list.RowCount(), 1) << MarkText(c.mark);
    ASSERT_EQ(s.host.actions.size(), 1u);
    EXPECT_EQ(s.host.actions[0].outcome, SyncAction::kSkipped);
    std::remove(tree.Path(appeared).c_str());
  }
}

// Catches "XX" on a row with one file that leaves the file, or shows a box for the side
// without one, or keeps the row.
TEST_F(SyncRunTest, DeleteBothOnARowWithOneFileDeletesThatFileAlone) {
  tree.Write("left/only-left.txt", "l");
  tree.Write("right/only-right.txt", "r");
  tree.Write("left/sub/deep.txt", "d");
  Fill();
  SetMark("only-left.txt", "", Mark::kDeleteBoth);
  SetMark("", "only-right.txt", Mark::kDeleteBoth);
  SetMark("sub/deep.txt", "", Mark::kDeleteBoth);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
  EXPECT_EQ(ChangedSince(before),
            (std::vector<std::string>{"left/only-left.txt", "left/sub/deep.txt",
                                      "right/only-right.txt"}));
  EXPECT_TRUE(tree.Exists("left/sub"));
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_EQ(s.host.actions.size(), 3u);
}

// Catches an Abort that finishes the row or goes on with the next one, or that skips the
// end steps.
TEST_F(SyncRunTest, AbortStopsAtOnceAndRunsTheEndSteps) {
  for (const char* name : {"1", "2", "3", "4"}) {
    tree.Write(std::string("left/") + name, name);
    tree.Write(std::string("right/") + name, "old");
  }
  Fill();
  for (int i = 1; i <= 4; ++i) s.list.SetMark(i, Mark::kDeleteBoth);
  tree.Write("right/3", "changed");  // row 3: right fails, ignored
  tree.Write("left/2", "changed");   // row 2: left fails, aborted
  s.host.answers = {MsgAnswer::kIgnore, MsgAnswer::kAbort};
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), (std::vector<std::string>{"left/3", "left/4", "right/4"}));
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"1|XX|1", "2|XX|2", "3|XX|3"}));
  EXPECT_EQ(s.host.progress_log, (std::vector<float>{0.0f, 25.0f, 0.0f}));
  EXPECT_EQ(s.host.status2, "Status: Datenabgleich beendet.");
  EXPECT_EQ(s.host.compare_log, (std::vector<bool>{false, true}));
}

// Catches a Retry that does not run the failed copy again.
TEST_F(SyncRunTest, RetryRunsTheFailedCopyAgain) {
  tree.Write("left/r.txt", "content", 1500000000);
  Fill();
  SetMark("r.txt", "", Mark::kCopyRight);
  std::rename(tree.Path("left/r.txt").c_str(), tree.Path("outside/r.txt").c_str());
  s.host.answers = {MsgAnswer::kRetry};
  s.host.on_box = [&](const std::string&, Intent) {
    std::rename(tree.Path("outside/r.txt").c_str(), tree.Path("left/r.txt").c_str());
  };
  Sync();
  EXPECT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(tree.Read("right/r.txt"), "content");
  EXPECT_EQ(s.list.RowCount(), 0);
}

// Catches "XX" that gives up on the right file after a skipped left failure, and a Retry
// that hides the skipped failure so the row is dropped with its left file still there.
TEST_F(SyncRunTest, SkippedLeftDeletionStillTriesTheRightAndKeepsTheRow) {
  tree.Write("left/p.txt", "l");
  tree.Write("right/p.txt", "r");
  tree.Write("left/q.txt", "l");
  tree.Write("right/q.txt", "r");
  Fill();
  SetMark("p.txt", "p.txt", Mark::kDeleteBoth);
  SetMark("q.txt", "q.txt", Mark::kDeleteBoth);
  tree.Write("left/p.txt", "changed");
  tree.Write("left/q.txt", "changed");
  const FileStamp seen = *s.list.RightStamp(Row("q.txt", "q.txt"));
  tree.Write("right/q.txt", "changed");
  // q (walked first): left ignored, right retried after the fill's file is put back;
  // p: left ignored, right deleted.
  s.host.answers = {MsgAnswer::kIgnore, MsgAnswer::kRetry, MsgAnswer::kIgnore};
  s.host.on_box = [&](const std::string& text, Intent) {
    if (text != DeleteBox(R("q.txt"), kWhyChanged)) return;
    tree.Write("right/q.txt", "r");
    tree.SetTime("right/q.txt", seen.mtime_sec, seen.mtime_nsec);
  };
  Sync();
  EXPECT_FALSE(tree.Exists("right/p.txt"));
  EXPECT_FALSE(tree.Exists("right/q.txt"));
  EXPECT_TRUE(tree.Exists("left/p.txt"));
  EXPECT_TRUE(tree.Exists("left/q.txt"));
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"p.txt|XX|p.txt", "q.txt|XX|q.txt"}));
}

// Catches a second run started while another operation holds the list.
TEST_F(SyncRunTest, RefusedWhileAnotherOperationRuns) {
  tree.Write("left/a.txt", "a");
  Fill();
  SetMark("a.txt", "", Mark::kCopyRight);
  s.state.busy = true;
  Sync();
  EXPECT_FALSE(tree.Exists("right/a.txt"));
  EXPECT_EQ(s.list.RowCount(), 1);
  EXPECT_TRUE(s.host.status_log.empty());
}

// Catches PrepareCopyTarget creating or emptying the target file, not making the chain,
// or refusing the root "/" as an empty first prefix.
TEST_F(SyncRunTest, PrepareCopyTargetMakesFoldersOnlyAndReportsAFileInTheChain) {
  tree.Write("right/keep.txt", "precious");
  const std::string root = tree.Path("right/");
  FileSystem& fs = RealFileSystem();
  EXPECT_EQ(PrepareCopyTarget(fs, {root, "keep.txt"}), 0);
  EXPECT_EQ(tree.Read("right/keep.txt"), "precious");
  EXPECT_EQ(PrepareCopyTarget(fs, {root, "n1/n2/n3/f.txt"}), 0);
  EXPECT_TRUE(tree.Exists("right/n1/n2/n3"));
  EXPECT_FALSE(tree.Exists("right/n1/n2/n3/f.txt"));
  EXPECT_EQ(PrepareCopyTarget(fs, {root, "keep.txt/sub/f.txt"}), ENOTDIR);
  EXPECT_EQ(PrepareCopyTarget(fs, {"/", "tmp/f.txt"}), 0);
  EXPECT_EQ(tree.Read("right/keep.txt"), "precious");
}

}  // namespace
}  // namespace tavrik::testing
