// The run's record and the ways a run with versions ends: cut off by a kill, stopped by
// Abort, a file on another file system below the root, and records an undo must not trust.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/fs/error_text.h"
#include "core/sync/run_record.h"
#include "core/sync/sync.h"
#include "core/sync/undo.h"
#include "core/sync/versions.h"
#include "support/mem_file_system.h"
#include "support/session.h"
#include "support/sync_fixture.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {
namespace {

// Catches names that break the line format (line breaks, tabs, the escape itself), a
// cut-off last line taken as an entry, and paths that would lead an undo out of its root.
TEST(RunRecordTest, EntriesRoundTripAndUnsafeOrCutOffLinesAreNotTrusted) {
  RunHeader header;
  header.seq = 7;
  header.start_sec = 1700000000;
  header.undo = true;
  header.undoes = "2024-03-31_021500";
  const std::vector<RecordEntry> entries = {
      {EntryKind::kReplaced, "a/b\tc\nd%e.txt", {10, 1700000001, 5}, {20, 1700000100, 0}, {}},
      {EntryKind::kDeleted, "x y/ümlaut.dat", {3, -5, 999999999}, {}, {}},
      {EntryKind::kCreated, "n.txt", {}, {0, 1700000200, 1}, {}},
      {EntryKind::kFolderMade, "neu", {}, {}, {}},
      {EntryKind::kFolderRemoved, "alt/sub", {}, {}, {}},
      {EntryKind::kMoved, "old dir/f\t.txt", {}, {4, 1700000300, 2}, "new%dir/f.txt"},
  };
  std::string text = HeaderText(header);
  for (const RecordEntry& e : entries) text += EntryText(e);
  ParsedRecord parsed;
  ASSERT_TRUE(ParseRecord(text, &parsed));
  EXPECT_FALSE(parsed.ended);
  EXPECT_EQ(parsed.header.seq, 7u);
  EXPECT_TRUE(parsed.header.undo);
  EXPECT_EQ(parsed.header.undoes, header.undoes);
  ASSERT_EQ(parsed.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(parsed.entries[i].kind, entries[i].kind);
    EXPECT_EQ(parsed.entries[i].rel, entries[i].rel);
    EXPECT_EQ(parsed.entries[i].before, entries[i].before);
    EXPECT_EQ(parsed.entries[i].after, entries[i].after);
    EXPECT_EQ(parsed.entries[i].to, entries[i].to);
  }
  ASSERT_TRUE(ParseRecord(text + "D\t1\t2\t3\tcut", &parsed));
  EXPECT_EQ(parsed.entries.size(), entries.size());
  ASSERT_TRUE(ParseRecord(text + EndText(), &parsed));
  EXPECT_TRUE(parsed.ended);
  for (const char* bad : {"../etc/passwd", "/etc/passwd", "a/../../b", "a//b", "./a", "a/"}) {
    EXPECT_FALSE(ParseRecord(text + EntryText({EntryKind::kCreated, bad, {}, {}, {}}), &parsed))
        << bad;
    // A move may lead neither from nor to a path outside the root.
    EXPECT_FALSE(ParseRecord(text + EntryText({EntryKind::kMoved, bad, {}, {}, "ok"}), &parsed))
        << bad;
    EXPECT_FALSE(ParseRecord(text + EntryText({EntryKind::kMoved, "ok", {}, {}, bad}), &parsed))
        << bad;
  }
  EXPECT_FALSE(ParseRecord(text + "Q\tx\n", &parsed));
  EXPECT_FALSE(ParseRecord("something else\n", &parsed));
}

class VersionsEndTest : public SyncBench {
 protected:
  // Ten files replaced on the right, five deleted there; a yield after every row.
  void MakeRun() {
    for (int i = 0; i < 10; ++i) {
      tree.Write("left/r" + std::to_string(i), "new " + std::to_string(i), 1700001000 + i);
      tree.Write("right/r" + std::to_string(i), "old " + std::to_string(i), 1700000000 + i);
    }
    for (int i = 0; i < 5; ++i) tree.Write("right/d" + std::to_string(i), "gone", 1700000000);
    Fill();
    CompareFolders(s.ctx, false);
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.GetMark(i) == Mark::kOrphanCopyLeft) s.list.SetMark(i, Mark::kDeleteRight);
    s.host = FakeHost();
    s.state.sync_options.versions = true;
  }
  // Without the versions and the temporary copies a killed run leaves for the next to sweep.
  Snapshot RightSnap() const { return TakeSnapshotWithout(tree.Path("right"), ".tavrik-"); }
};

// Catches a record that only reaches the disk when the run ends: a run killed halfway must
// still be undone completely, and one stopped by Abort closes its record.
TEST_F(VersionsEndTest, AKilledRunAndAnAbortedRunCanBeUndone) {
  MakeRun();
  const Snapshot before = RightSnap();
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int rows = 0;
    s.host.on_yield = [&rows] {
      if (++rows == 8) raise(SIGKILL);
    };
    SyncFolders(s.ctx);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_NE(Changes(before, RightSnap()), std::vector<std::string>{}) << "the kill came too late";
  UndoOutcome undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  EXPECT_EQ(undone.status, UndoOutcome::kDone);
  EXPECT_FALSE(undone.run_ended);
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(Changes(before, RightSnap()), std::vector<std::string>{});
  // The left side, which the run never changed, has its record too: an undo there finds this
  // run (with nothing to do), not an older one.
  undone = UndoLastRun(s.fs, s.host, tree.Path("left"), false);
  EXPECT_EQ(undone.status, UndoOutcome::kDone);
  EXPECT_TRUE(undone.actions.empty());

  // Now the same run stopped by Abort at its sixth row.
  MakeRun();
  const Snapshot again = RightSnap();
  InjectFaults faults(s.fs, {{FsCall::kRename, EIO, 9}});
  s.host.answers = {MsgAnswer::kAbort};
  SyncFolders(s.ctx);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  s.fs.Reset();
  s.host = FakeHost();
  undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  EXPECT_EQ(undone.status, UndoOutcome::kDone);
  EXPECT_TRUE(undone.run_ended);
  EXPECT_FALSE(undone.actions.empty());
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(Changes(again, RightSnap()), std::vector<std::string>{});
}

// Catches an undo that picks the run by folder name rather than by its record, and one that
// falls back to an older run when the newest record is damaged or the listing breaks off.
TEST_F(VersionsEndTest, TheNewestRecordDecidesAndADamagedOneStopsTheUndo) {
  MakeRun();
  SyncFolders(s.ctx);
  tree.Write("left/late", "late", 1700009000);
  Fill();
  CompareFolders(s.ctx, false);
  SetMark("late", "", Mark::kCopyRight);
  s.host = FakeHost();
  SyncFolders(s.ctx);
  const std::string versions = tree.Path("right/.tavrik-versions/");
  std::vector<std::string> names;
  for (const auto& [path, state] : TakeSnapshot(versions))
    if (path.find('/') == std::string::npos) names.push_back(path);
  ASSERT_EQ(names.size(), 2u);
  // The newest run gets a name that sorts first.
  ASSERT_EQ(rename((versions + names[1]).c_str(), (versions + "0000-00-00_000000").c_str()), 0);
  UndoOutcome undone = UndoLastRun(s.fs, s.host, tree.Path("right"), true);
  EXPECT_EQ(undone.run_name, "0000-00-00_000000");
  ASSERT_EQ(undone.actions.size(), 1u);
  EXPECT_EQ(undone.actions[0].rel, "late");

  // A listing of the runs that breaks off may have left the newest out.
  {
    InjectFaults faults(s.fs, {{FsCall::kReadDir, EIO, 2}});
    undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  }
  EXPECT_EQ(undone.status, UndoOutcome::kUnreadable);
  EXPECT_TRUE(tree.Exists("right/late"));

  tree.Write("right/.tavrik-versions/broken/.tavrik-record", "tavrik-record 1\nseq\t");
  undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  EXPECT_EQ(undone.status, UndoOutcome::kDamaged);
  EXPECT_EQ(undone.names, std::vector<std::string>{"broken"});
  EXPECT_TRUE(tree.Exists("right/late"));
}

// Catches a file below the root on another file system being copied into the versions or
// unlinked when its rename cannot reach them: the row fails with its reason, the file stays.
TEST(VersionsMountTest, AFileOnAnotherFileSystemFailsItsRowAndStays) {
  MemFileSystem mem;
  mem.AddFile("/l/keep.txt", "left", 1700000000);
  mem.AddFile("/r/stick/f.txt", "on the stick", 1700000000);
  mem.Mount("/r/stick", "vfat", 2000000000);
  mem.AddFile("/r/plain.txt", "on the disk", 1700000000);
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, mem};
  bool left = true;
  FillColumn(ctx, "/l", left);
  left = false;
  FillColumn(ctx, "/r", left);
  for (int i = 1; i <= list.RowCount(); ++i)
    if (!list.RightName(i).empty()) list.SetMark(i, Mark::kDeleteRight);
  state.sync_options.versions = true;
  SyncFolders(ctx);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_NE(host.boxes[0].text.find(kWhyOtherFileSystem), std::string::npos) << host.boxes[0].text;
  EXPECT_NE(host.boxes[0].text.find("/r/stick/f.txt"), std::string::npos);
  EXPECT_TRUE(mem.Exists("/r/stick/f.txt"));
  EXPECT_FALSE(mem.Exists("/r/plain.txt"));
  EXPECT_EQ(list.RowCount(), 1);
  std::vector<std::string> runs = mem.Names("/r/.tavrik-versions");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_FALSE(mem.Exists("/r/.tavrik-versions/" + runs[0] + "/stick/f.txt"));
  EXPECT_TRUE(mem.Exists("/r/.tavrik-versions/" + runs[0] + "/plain.txt"));
}

// Three files deleted on the right with versions, while the records' writes or the versions
// folder fail: a run's record is whole or not there at all.
class VersionsHeaderTest : public SyncBench {
 protected:
  void DeleteThreeOnTheRight() {
    tree.Write("left/keep", "keep", 1700000000);
    for (int i = 0; i < 3; ++i) tree.Write("right/d" + std::to_string(i), "gone", 1700000000);
    Fill();
    for (int i = 0; i < 3; ++i) SetMark("", "d" + std::to_string(i), Mark::kDeleteRight);
    s.state.sync_options.versions = true;
  }
};

// Catches an entry written at the start of a record whose header did not go in (the record
// cannot be read, and a damaged record stops every undo under its root), Retry that does not
// try the header again, a header that is never written where the other root kept files, a
// folder left behind with a headerless record, and a box that does not say the versions
// folder is the trouble.
TEST_F(VersionsHeaderTest, ARecordIsWholeOrNotThere) {
  struct Case {
    const char* name;
    FsCall call;
    int nth;  // the nth call of that kind fails
    int error;
    MsgAnswer answer;
    int deleted;         // of the three files
    int boxes;           // the one failure's box, or none
    int restored_right;  // by an undo of right/; -1: no run recorded there
    bool left_recorded;  // an undo of left/ finds this run (nothing to do)
  };
  // The first write is right/'s header, the second left/'s (made with it), then entries.
  const std::vector<Case> cases = {
      {"header, Retry", FsCall::kWrite, 1, ENOSPC, MsgAnswer::kRetry, 3, 1, 3, true},
      {"header, Ignore", FsCall::kWrite, 1, EIO, MsgAnswer::kIgnore, 2, 1, 2, true},
      {"header, Abort", FsCall::kWrite, 1, ENOSPC, MsgAnswer::kAbort, 0, 1, -1, false},
      {"the other root's header", FsCall::kWrite, 2, ENOSPC, MsgAnswer::kIgnore, 3, 0, 3, true},
      {"versions folder, Retry", FsCall::kMkdir, 1, EACCES, MsgAnswer::kRetry, 3, 1, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(tree.Path("left"));
    std::filesystem::remove_all(tree.Path("right"));
    DeleteThreeOnTheRight();
    s.host.answers = {c.answer};
    {
      InjectFaults faults(s.fs, {{c.call, c.error, c.nth}});
      Sync();
    }
    int deleted = 0;
    for (int i = 0; i < 3; ++i) deleted += !tree.Exists("right/d" + std::to_string(i));
    EXPECT_EQ(deleted, c.deleted);
    ASSERT_EQ(static_cast<int>(s.host.boxes.size()), c.boxes)
        << ::testing::PrintToString(BoxTexts());
    if (c.boxes == 1) {
      const std::string& text = s.host.boxes[0].text;
      EXPECT_NE(text.find("In den Versionsordner '" + tree.Path("right/.tavrik-versions")),
                std::string::npos)
          << text;
      EXPECT_NE(text.find(GermanErrorText(c.error)), std::string::npos) << text;
    }
    s.host = FakeHost();
    UndoOutcome undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
    if (c.restored_right < 0) {
      EXPECT_EQ(undone.status, UndoOutcome::kNothingRecorded);
    } else {
      EXPECT_EQ(undone.status, UndoOutcome::kDone) << ::testing::PrintToString(undone.names);
      EXPECT_EQ(static_cast<int>(undone.actions.size()), c.restored_right);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(tree.Read("right/d" + std::to_string(i)), "gone");
    }
    undone = UndoLastRun(s.fs, s.host, tree.Path("left"), false);
    EXPECT_EQ(undone.status, c.left_recorded ? UndoOutcome::kDone : UndoOutcome::kNothingRecorded)
        << ::testing::PrintToString(undone.names);
    EXPECT_TRUE(undone.actions.empty());
    EXPECT_TRUE(s.host.boxes.empty()) << ::testing::PrintToString(BoxTexts());
    s.host = FakeHost();
  }
}

}  // namespace
}  // namespace tavrik::testing

namespace tavrik::testing {
namespace {

// Catches folders made for a copy that stay off the record when noting them failed and the
// user answered Retry: the undo would then leave them behind.
TEST_F(VersionsHeaderTest, FoldersMadeForACopyAreRecordedAfterARetry) {
  tree.Write("left/a/b/new.txt", "new", 1700000000);
  Fill();
  SetMark("a/b/new.txt", "", Mark::kCopyRight);
  s.state.sync_options.versions = true;
  s.host.answers = {MsgAnswer::kRetry};
  {
    // The first writes are the two records' headers; the next is the first folder's entry.
    InjectFaults faults(s.fs, {{FsCall::kWrite, EIO, 3}});
    Sync();
  }
  ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
  EXPECT_EQ(tree.Read("right/a/b/new.txt"), "new");
  s.host = FakeHost();
  const UndoOutcome undone = UndoLastRun(s.fs, s.host, tree.Path("right"), false);
  EXPECT_EQ(undone.status, UndoOutcome::kDone);
  EXPECT_FALSE(tree.Exists("right/a")) << ::testing::PrintToString(undone.names);
}

}  // namespace
}  // namespace tavrik::testing
