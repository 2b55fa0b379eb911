// The sync's side of a two-way run on the in-memory file system: a move as one rename, a
// rename in letter case only, the check right before a rename or deletion, and the state
// saved after an Abort.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/scan/fill.h"
#include "core/state/pair_lock.h"
#include "core/state/pair_state.h"
#include "core/sync/sync.h"
#include "core/sync/two_way_sync.h"
#include "core/sync/versions.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kT0 = 1700000000;

// A rename that ran on a file changed since the comparison, over a file put there meanwhile,
// or that lost the file when its second step failed.
TEST(RenameMoveTest, RenamesOnlyTheFileTheComparisonSaw) {
  struct Case {
    const char* name;
    bool case_insensitive;
    const char* from;
    const char* to;
    bool case_only;
    int64_t seen_size;    // the size the comparison saw (the file has 3 bytes)
    uint64_t seen_ino;    // 0: unknown; 1: the file's own inode; 2: another one
    const char* blocker;  // a file already at this path
    int fail_rename;      // errno of the second rename call (0: none)
    bool moved;
    int error;
  };
  const Case cases[] = {
      {"into a new folder", false, "a/f.txt", "b/c/f.txt", false, 3, 0, nullptr, 0, true, 0},
      {"same inode", false, "f.txt", "g.txt", false, 3, 1, nullptr, 0, true, 0},
      {"changed size", false, "f.txt", "g.txt", false, 4, 0, nullptr, 0, false, EAGAIN},
      {"other inode", false, "f.txt", "g.txt", false, 3, 2, nullptr, 0, false, EAGAIN},
      {"name taken", false, "f.txt", "g.txt", false, 3, 0, "g.txt", 0, false, EEXIST},
      {"case only, case-insensitive medium", true, "f.txt", "F.txt", true, 3, 0, nullptr, 0, true,
       0},
      {"case only, case-sensitive medium", false, "f.txt", "F.txt", true, 3, 0, nullptr, 0, true,
       0},
      {"case only, second step fails", true, "f.txt", "F.txt", true, 3, 0, nullptr, EIO, false,
       EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemFsOptions options;
    options.case_insensitive = c.case_insensitive;
    MemSession s(options);
    s.mem.AddFolder("/r");
    s.mem.AddFile(std::string("/r/") + c.from, "abc", kT0, 5);
    if (c.blocker) s.mem.AddFile(std::string("/r/") + c.blocker, "other", kT0);
    const struct stat st = *s.mem.Status(std::string("/r/") + c.from);
    MovePair move;
    move.side = 'R';
    move.from = c.from;
    move.to = c.to;
    move.case_only = c.case_only;
    move.from_stamp = {c.seen_size, kT0, 5};
    move.from_ino = c.seen_ino == 0 ? 0 : c.seen_ino == 1 ? st.st_ino : st.st_ino + 1;
    if (c.fail_rename) s.fs.FailNth(FsCall::kRename, 2, c.fail_rename);
    std::vector<std::string> made;
    FileStamp after;
    const FsResult result = RenameMove(s.fs, "/r/", nullptr, move, nullptr, &made, &after);
    EXPECT_EQ(result.ok(), c.moved) << (result.ok() ? "" : result.error().why);
    if (!result.ok()) {
      EXPECT_EQ(result.error().code, c.error);
    }
    if (c.moved) {
      EXPECT_EQ(s.mem.Content(std::string("/r/") + c.to), "abc");
      // Stored under the new spelling, and nothing left under the old one or a temporary name.
      if (c.case_only) {
        EXPECT_EQ(s.mem.Names("/r/"), std::vector<std::string>{c.to});
      } else {
        EXPECT_FALSE(s.mem.Exists(std::string("/r/") + c.from));
      }
      EXPECT_EQ(after.mtime_sec, kT0);
    } else {
      EXPECT_EQ(s.mem.Content(std::string("/r/") + c.from), "abc");
      if (c.case_only) {
        EXPECT_EQ(s.mem.Names("/r/"), std::vector<std::string>{c.from});
      }
    }
    if (std::string(c.name) == "into a new folder") {
      EXPECT_EQ(made, (std::vector<std::string>{"b", "b/c"}));
    }
  }
}

// A whole two-way round on the in-memory disk: a state, changes, a comparison and the sync.
class TwoWayRound : public ::testing::Test {
 protected:
  explicit TwoWayRound(MemFsOptions options = {}) : s(options) {
    s.mem.AddFolder("/L");
    s.mem.AddFolder("/R");
    s.state.compare_options.two_way = true;
    s.host.binary_mode = false;
    s.state.io.copy_window = 0;  // every copy at its row's turn, in walk order
  }
  void Both(const std::string& rel, const std::string& content, int64_t mtime = kT0) {
    s.mem.AddFile("/L/" + rel, content, mtime);
    s.mem.AddFile("/R/" + rel, content, mtime);
  }
  void Compare() {
    s.list.Clear();
    FillNamedColumn(s.ctx, "/L", true);
    FillNamedColumn(s.ctx, "/R", false);
    CompareFolders(s.ctx, false);
  }
  void Round() {
    Compare();
    SyncFolders(s.ctx);
  }
  MemSession s;
};

// A move carried out as a copy and a deletion (bytes copied), a move whose file changed
// since the comparison renamed anyway, or its deletion made without the check.
TEST_F(TwoWayRound, MoveIsOneRenameAndChangedFileIsNotDeleted) {
  // Each its own size and time: a move needs the only candidate.
  Both("docs/a.txt", "aaaa", kT0 + 1);
  Both("docs/b.txt", "bbbbb", kT0 + 2);
  Both("keep.txt", "k");
  Round();
  ASSERT_TRUE(s.state.two_way.active);

  s.mem.Remove("/L/docs/a.txt");
  s.mem.AddFile("/L/new/a.txt", "aaaa", kT0 + 1);
  s.mem.Remove("/L/docs/b.txt");
  s.mem.AddFile("/L/new/b.txt", "bbbbb", kT0 + 2);
  Compare();
  ASSERT_EQ(s.state.two_way.moves.size(), 2u) << ::testing::PrintToString(s.Rows());
  // b changes on the right between the comparison and the sync.
  s.mem.AddFile("/R/docs/b.txt", "bbbb-changed", kT0 + 50);
  s.host.actions.clear();
  SyncFolders(s.ctx);

  EXPECT_EQ(s.mem.Content("/R/new/a.txt"), "aaaa");
  EXPECT_FALSE(s.mem.Exists("/R/docs/a.txt"));
  EXPECT_EQ(s.mem.Content("/R/docs/b.txt"), "bbbb-changed");  // never deleted
  int moves = 0, copies = 0;
  for (const SyncAction& a : s.host.actions) {
    moves += a.kind == SyncAction::kMove;
    copies += a.kind == SyncAction::kCopy && a.outcome == SyncAction::kDone;
  }
  EXPECT_EQ(moves, 1);
  EXPECT_EQ(copies, 1);  // b's new name, copied when its rename was refused
  bool changed_box = false;
  for (const Box& box : s.host.boxes) changed_box |= box.reason && box.reason->why == kWhyChanged;
  EXPECT_TRUE(changed_box);
}

// A file replaced by a link of the same size and time taken for unchanged (the link would
// never travel), or the tree read under the other link policy taken for deletions.
TEST_F(TwoWayRound, LinksKeepTheirKindAndAPolicyChangeDeletesNothing) {
  Both("f.txt", "abcd");
  Both("real/in.txt", "x");
  s.mem.AddLink("/L/to-real", "real", kT0);
  s.mem.AddLink("/R/to-real", "real", kT0);
  s.mem.AddLink("/L/gone", "nowhere", kT0);
  s.mem.AddLink("/R/gone", "nowhere", kT0);
  Round();  // the first run saves the state
  Compare();
  ASSERT_TRUE(s.state.two_way.trusted) << s.state.two_way.verdict.reason;
  const auto mark_of = [this](const std::string& name) {
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.LeftName(i) == name || s.list.RightName(i) == name)
        return std::string(MarkText(s.list.GetMark(i)));
    return std::string("no row");
  };
  EXPECT_EQ(mark_of("f.txt"), "=");
  EXPECT_EQ(mark_of("to-real"), "=");

  // The left f.txt becomes a link whose text is as long as the file, at the file's time.
  s.mem.Remove("/L/f.txt");
  s.mem.AddLink("/L/f.txt", "wxyz", kT0);
  Compare();
  EXPECT_EQ(mark_of("f.txt"), "-->") << ::testing::PrintToString(s.Rows());
  s.mem.Remove("/L/f.txt");
  s.mem.AddFile("/L/f.txt", "abcd", kT0);

  // Followed, the folder link shows files and the dangling link none: no deletion either way.
  for (bool follow : {true, false}) {
    SCOPED_TRACE(follow ? "keep, then follow" : "back to keep");
    s.state.follow_links = follow;
    Compare();
    for (int i = 1; i <= s.list.RowCount(); ++i) {
      const Mark mark = s.list.GetMark(i);
      EXPECT_TRUE(mark != Mark::kDeleteRight && mark != Mark::kDeleteLeft &&
                  mark != Mark::kDeleteBoth)
          << ::testing::PrintToString(s.Rows());
    }
    if (follow) SyncFolders(s.ctx);  // saved under the follow policy
  }
  EXPECT_TRUE(s.mem.Exists("/R/gone"));
  EXPECT_TRUE(s.mem.Exists("/L/gone"));
}

// A row with a failure that the user aborted leaving no state, a state that takes rows not
// reached for done, or a second sync of the same comparison (the failed row retried after
// Ignore) saving from the state as first loaded: what the first sync put in line would be
// forgotten and a later edit taken for a conflict.
TEST_F(TwoWayRound, StateIsSavedAfterAbortAndKeptAcrossASecondSync) {
  for (MsgAnswer answer : {MsgAnswer::kAbort, MsgAnswer::kIgnore}) {
    SCOPED_TRACE(answer == MsgAnswer::kAbort ? "Abort" : "Ignore, then a second sync");
    Both("a.txt", "a0");
    Both("z.txt", "z0");
    Round();
    s.mem.AddFile("/L/a.txt", "a1", kT0 + 10);
    s.mem.AddFile("/L/z.txt", "z1", kT0 + 10);
    Compare();
    // The copy of a.txt cannot be put in place.
    bool failing = true;
    s.fs.SetHook([&failing](FsCall call, const std::string& name) {
      return failing && call == FsCall::kRename && name.find("a.txt") != std::string::npos ? EIO
                                                                                           : 0;
    });
    s.host.answers = {answer};
    SyncFolders(s.ctx);
    failing = false;
    ASSERT_EQ(s.mem.Content("/R/z.txt"), "z1");
    ASSERT_EQ(s.mem.Content("/R/a.txt"), "a0");
    const bool second = answer == MsgAnswer::kIgnore;
    if (second) {
      ASSERT_EQ(s.Rows(), std::vector<std::string>{"a.txt|-->|a.txt"});
      SyncFolders(s.ctx);
      ASSERT_EQ(s.mem.Content("/R/a.txt"), "a1");
    }

    // z was saved as in line; a too after the second sync, else still as before (new on the
    // left only).
    s.mem.AddFile("/L/z.txt", "z2", kT0 + 20);
    Compare();
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{second ? "a.txt|=|a.txt" : "a.txt|-->|a.txt",
                                                  "z.txt|-->|z.txt"}));
    EXPECT_EQ(s.state.two_way.changed_both, 0);
    s.fs.SetHook(nullptr);
  }
}

// A sync that changed something the state holds but kept the old state (so the next run
// sees changes that are none), or one that found the pair in line and rewrote both files.
TEST_F(TwoWayRound, OnlyASyncThatChangedTheStateSavesIt) {
  Both("a.txt", "a0");
  Both("b.txt", "b0");
  Round();
  struct Case {
    const char* name;
    std::function<void()> change;
    bool saved;
  };
  const std::vector<Case> cases = {
      {"in line", [] {}, false},
      {"times moved alike on both sides", [this] { Both("a.txt", "a0", kT0 + 100); }, true},
      {"a file new on the left", [this] { s.mem.AddFile("/L/c.txt", "c", kT0); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = s.state.two_way.state.generation;
    const std::string file = StateFilePath("/L/", s.state.two_way.state.pair_id);
    const std::string text = *s.mem.Content(file);
    c.change();
    Round();
    PairState loaded;
    ASSERT_TRUE(LoadPairState(s.mem, "/L/", s.mem, "/R/", &loaded).trusted());
    EXPECT_EQ(loaded.generation != before, c.saved);
    EXPECT_EQ(*s.mem.Content(file) != text, c.saved);
    // What the state holds now is what the disk holds: the next comparison finds all equal.
    Compare();
    for (const std::string& row : s.Rows()) EXPECT_NE(row.find("|=|"), std::string::npos) << row;
  }
}

class TwoWayCaseRound : public TwoWayRound {
 protected:
  TwoWayCaseRound() : TwoWayRound(CaseInsensitive()) {}
  static MemFsOptions CaseInsensitive() {
    MemFsOptions o;
    o.case_insensitive = true;
    return o;
  }
};

// A rename in letter case only that copied the file onto itself, or left the old spelling on
// a medium that ignores case.
TEST_F(TwoWayCaseRound, CaseRenameTravels) {
  Both("report.txt", "r");
  Round();
  s.mem.Remove("/L/report.txt");
  s.mem.AddFile("/L/Report.txt", "r", kT0);
  Round();
  EXPECT_EQ(s.mem.Names("/R/"), (std::vector<std::string>{".tavrik-state", "Report.txt"}));
  EXPECT_EQ(s.mem.Content("/R/Report.txt"), "r");
  // And the state holds the new spelling: nothing to do next time.
  Compare();
  EXPECT_EQ(s.Rows(), std::vector<std::string>{"Report.txt|=|Report.txt"});
}

}  // namespace
}  // namespace tavrik::testing

namespace tavrik::testing {
namespace {

// A folder renamed as a whole on one side that the sync renamed file by file (one round
// trip per file on a share), or renamed as a whole where it held more than its moved files.
TEST_F(TwoWayRound, FolderMovedAsAWholeIsOneRename) {
  for (const bool extra : {false, true}) {
    SCOPED_TRACE(extra ? "a file no row shows lies in the folder" : "only the moved files");
    s.mem.Remove("/L");
    s.mem.Remove("/R");
    s.mem.AddFolder("/L");
    s.mem.AddFolder("/R");
    Both("old/a.txt", "a", kT0 + 1);
    Both("old/sub/b.txt", "bb", kT0 + 2);
    Both("old/sub/c.txt", "ccc", kT0 + 3);
    Both("z.txt", "z");
    if (extra) s.mem.AddFile("/R/old/.hidden", "not in any row", kT0);
    Round();
    s.mem.Remove("/L/old");
    s.mem.AddFile("/L/new/deeper/a.txt", "a", kT0 + 1);
    s.mem.AddFile("/L/new/deeper/sub/b.txt", "bb", kT0 + 2);
    s.mem.AddFile("/L/new/deeper/sub/c.txt", "ccc", kT0 + 3);
    Compare();
    ASSERT_EQ(s.state.two_way.moves.size(), 3u);
    std::vector<std::string> renamed;
    s.fs.SetHook([&renamed](FsCall call, const std::string& name) {
      if (call == FsCall::kRename) renamed.push_back(name);
      return 0;
    });
    SyncFolders(s.ctx);
    s.fs.SetHook(nullptr);
    EXPECT_EQ(s.mem.Content("/R/new/deeper/a.txt"), "a");
    EXPECT_EQ(s.mem.Content("/R/new/deeper/sub/b.txt"), "bb");
    EXPECT_EQ(s.mem.Content("/R/new/deeper/sub/c.txt"), "ccc");
    int file_renames = 0;
    for (const std::string& name : renamed) file_renames += name.find(".txt") != std::string::npos;
    EXPECT_EQ(file_renames, extra ? 3 : 0) << ::testing::PrintToString(renamed);
    EXPECT_EQ(s.mem.Exists("/R/old/.hidden"), extra);
    EXPECT_EQ(s.mem.Exists("/R/old"), extra);
    int moves = 0;
    for (const SyncAction& a : s.host.actions) moves += a.kind == SyncAction::kMove;
    EXPECT_EQ(moves, 3);
    s.host.actions.clear();
    // In line afterwards: nothing but equal rows.
    Compare();
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{"new/deeper/a.txt|=|new/deeper/a.txt",
                                                  "new/deeper/sub/b.txt|=|new/deeper/sub/b.txt",
                                                  "new/deeper/sub/c.txt|=|new/deeper/sub/c.txt",
                                                  "z.txt|=|z.txt"}));
  }
}

}  // namespace
}  // namespace tavrik::testing

namespace tavrik::testing {
namespace {

// A second run on a pair that another run is syncing changing files before it is refused; a
// refusal that the front ends cannot tell from a finished run.
TEST_F(TwoWayRound, RefusedRunsChangeNothing) {
  for (int i = 0; i < 12; ++i) Both(std::string("f").append(std::to_string(i)), "x", kT0 + i);
  Round();
  s.mem.AddFile("/L/f0", "newer", kT0 + 100);
  Compare();
  {
    // Another process of this machine that still runs (the first process) holds the pair.
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::string lock =
        std::string("/L/") + kStateFolder + "/" + PairLockKey(s.state.two_way.state) + ".lock";
    s.mem.AddFile(lock, std::string("host ") + host + "\npid 1\n");
    s.host.boxes.clear();
    SyncFolders(s.ctx);
    EXPECT_TRUE(s.state.notes.two_way_refused);
    ASSERT_EQ(s.host.boxes.size(), 1u);
    EXPECT_EQ(s.host.boxes[0].intent, Intent::kRefusal);
    EXPECT_EQ(s.mem.Content("/R/f0"), "x");
    EXPECT_NE(s.host.boxes[0].text.find(host), std::string::npos) << s.host.boxes[0].text;
    s.mem.Remove(lock);
  }
  SyncFolders(s.ctx);
  EXPECT_FALSE(s.state.notes.two_way_refused);
  EXPECT_EQ(s.mem.Content("/R/f0"), "newer");
}

}  // namespace
}  // namespace tavrik::testing

namespace tavrik::testing {
namespace {

// A comparison's two-way findings surviving a new fill: the sync of the new folders then
// saves the old pair's state into them.
TEST_F(TwoWayRound, AFillEndsTheComparisonsSession) {
  Both("a.txt", "a");
  s.mem.AddFile("/R2/b.txt", "b", kT0);
  Round();
  Compare();
  ASSERT_TRUE(s.state.two_way.active);
  FillNamedColumn(s.ctx, "/R2", false);
  EXPECT_FALSE(s.state.two_way.active);
  SyncFolders(s.ctx);
  EXPECT_FALSE(s.mem.Exists("/R2/.tavrik-state"));
}

}  // namespace
}  // namespace tavrik::testing
