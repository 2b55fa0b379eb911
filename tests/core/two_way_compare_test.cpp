// The age comparison under the pair's common state, on the in-memory file system: the marks
// of every kind of change, the guards that keep a missing file from being taken as deleted,
// and two folders each paired with one stick.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/compare/two_way.h"
#include "support/two_way_pair.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kT0 = 1700000000;

using Marks = std::map<std::string, std::string>;

// A rename that keeps the file (its inode and times), into a folder made as needed.
void Move(MemFileSystem& mem, const std::string& from, const std::string& to) {
  mem.AddFolder(to.substr(0, to.rfind('/')));
  ASSERT_EQ(mem.RenameAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str()), 0) << from;
}

// Four files in line on both sides, each of its own size.
void Base(MemFileSystem& mem, const std::string& l, const std::string& r) {
  for (const std::string& root : {l, r}) {
    mem.AddFile(root + "/same.txt", "same", kT0);
    mem.AddFile(root + "/b.txt", "bbbbbb", kT0);
    mem.AddFile(root + "/c.txt", "cccccccc", kT0);
    mem.AddFile(root + "/sub/d.txt", "dddddddddd", kT0);
  }
}

struct MarkCase {
  const char* name;
  std::function<void(MemFileSystem&)> change;
  Marks want;                           // marks of the rows named; every other row must be "="
  std::vector<std::string> moves = {};  // "side:from>to" (case renames end in "^")
  std::vector<std::string> gone_both = {};
  int64_t deleted_left = 0, deleted_right = 0, conflicts = 0;
};

std::string MoveText(const MovePair& m) {
  return std::string(1, m.side) + ":" + m.from + ">" + m.to + (m.case_only ? "^" : "");
}

// A mark of the table given a wrong arrow, a deletion proposed where a change must survive,
// a conflict overwritten, or a move not seen (or seen where it is none).
TEST(TwoWayMarks, EachChangeAgainstTheStateGetsItsMark) {
  const std::vector<MarkCase> cases = {
      {"in line", [](MemFileSystem&) {}, {}},
      {"new left",
       [](MemFileSystem& m) { m.AddFile("/L/new.txt", "n", kT0 + 50); },
       {{"new.txt", "-->"}}},
      {"new right",
       [](MemFileSystem& m) { m.AddFile("/R/new.txt", "n", kT0 - 50); },
       {{"new.txt", "<--"}}},
      // Older than the right one, and still the left's change is what counts.
      {"changed left, older time",
       [](MemFileSystem& m) { m.AddFile("/L/c.txt", "cccccccX", kT0 - 100); },
       {{"c.txt", "-->"}}},
      {"changed right",
       [](MemFileSystem& m) { m.AddFile("/R/c.txt", "C", kT0 + 100); },
       {{"c.txt", "<--"}}},
      {"deleted left",
       [](MemFileSystem& m) { m.Remove("/L/b.txt"); },
       {{"b.txt", "X->"}},
       {},
       {},
       1,
       0},
      {"deleted right",
       [](MemFileSystem& m) { m.Remove("/R/b.txt"); },
       {{"b.txt", "<-X"}},
       {},
       {},
       0,
       1},
      {"deleted on both sides",
       [](MemFileSystem& m) {
         m.Remove("/L/b.txt");
         m.Remove("/R/b.txt");
       },
       {},
       {},
       {"b.txt", "b.txt"}},
      {"deleted left, changed right",
       [](MemFileSystem& m) {
         m.Remove("/L/b.txt");
         m.AddFile("/R/b.txt", "changed", kT0 - 10);
       },
       {{"b.txt", "<--"}}},
      {"changed left, deleted right",
       [](MemFileSystem& m) {
         m.AddFile("/L/b.txt", "changed", kT0 - 10);
         m.Remove("/R/b.txt");
       },
       {{"b.txt", "-->"}}},
      {"changed on both sides, differently",
       [](MemFileSystem& m) {
         m.AddFile("/L/c.txt", "left edit", kT0 + 10);
         m.AddFile("/R/c.txt", "right edit, later", kT0 + 20);
       },
       {{"c.txt", "]["}},
       {},
       {},
       0,
       0,
       1},
      {"new on both sides, different",
       [](MemFileSystem& m) {
         m.AddFile("/L/n.txt", "one", kT0 + 10);
         m.AddFile("/R/n.txt", "two", kT0 + 20);
       },
       {{"n.txt", "]["}},
       {},
       {},
       0,
       0,
       1},
      // The same bytes on both sides: no conflict, the plain comparison's mark.
      {"changed on both sides alike",
       [](MemFileSystem& m) {
         m.AddFile("/L/c.txt", "same edit", kT0 + 10);
         m.AddFile("/R/c.txt", "same edit", kT0 + 20);
       },
       {{"c.txt", "<--"}}},
      {"changed on both sides alike, same time",
       [](MemFileSystem& m) {
         m.AddFile("/L/c.txt", "same edit", kT0 + 10);
         m.AddFile("/R/c.txt", "same edit", kT0 + 10);
       },
       {}},
      {"moved left",
       [](MemFileSystem& m) { Move(m, "/L/sub/d.txt", "/L/other/d2.txt"); },
       {{"sub/d.txt", "X->"}, {"other/d2.txt", "-->"}},
       {"R:sub/d.txt>other/d2.txt"}},
      {"moved right",
       [](MemFileSystem& m) { Move(m, "/R/c.txt", "/R/c-renamed.txt"); },
       {{"c.txt", "<-X"}, {"c-renamed.txt", "<--"}},
       {"L:c.txt>c-renamed.txt"}},
      // Same size and time but other bytes and another file: a deletion and a new file.
      {"look-alike is no move",
       [](MemFileSystem& m) {
         m.Remove("/L/c.txt");
         m.AddFile("/L/c2.txt", "cccccccZ", kT0);
       },
       {{"c.txt", "X->"}, {"c2.txt", "-->"}},
       {},
       {},
       1,
       0},
      // Two files fit the one that went: none of them is taken for it.
      {"two candidates, no move",
       [](MemFileSystem& m) {
         Move(m, "/L/c.txt", "/L/c2.txt");
         m.AddFile("/L/c3.txt", "cccccccc", kT0);
       },
       {{"c.txt", "X->"}, {"c2.txt", "-->"}, {"c3.txt", "-->"}},
       {},
       {},
       1,
       0},
      {"moved but changed is no move",
       [](MemFileSystem& m) {
         Move(m, "/L/c.txt", "/L/c2.txt");
         m.AddFile("/L/c2.txt", "cccccccc+", kT0);
       },
       {{"c.txt", "X->"}, {"c2.txt", "-->"}},
       {},
       {},
       1,
       0},
      {"renamed in case only on the right",
       [](MemFileSystem& m) { Move(m, "/R/c.txt", "/R/C.TXT"); },
       {{"c.txt", "<--"}},
       {"L:c.txt>C.TXT^"}},
      // An empty file is like every other empty file: never taken for a move.
      {"empty file renamed is no move",
       [](MemFileSystem& m) { Move(m, "/L/empty", "/L/empty2"); },
       {{"empty", "X->"}, {"empty2", "-->"}},
       {},
       {},
       1,
       0},
      {"renamed in case only",
       [](MemFileSystem& m) { Move(m, "/L/c.txt", "/L/C.txt"); },
       {{"C.txt", "-->"}},
       {"R:c.txt>C.txt^"}},
  };
  for (const MarkCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair pair;
    Base(pair.mem, "/L", "/R");
    pair.mem.AddFile("/L/empty", "", kT0);
    pair.mem.AddFile("/R/empty", "", kT0);
    ASSERT_TRUE(pair.SaveInLine());
    c.change(pair.mem);
    pair.Compare();
    const TwoWaySession& s = pair.state.two_way;
    ASSERT_TRUE(s.trusted) << s.verdict.reason;
    Marks want = c.want;
    for (const auto& [name, mark] : pair.Marks())
      if (!want.count(name)) want[name] = "=";
    EXPECT_EQ(pair.Marks(), want);
    std::vector<std::string> moves;
    for (const MovePair& m : s.moves) moves.push_back(MoveText(m));
    EXPECT_EQ(moves, c.moves);
    EXPECT_EQ(s.deleted_both, c.gone_both);
    EXPECT_EQ(s.deleted_left, c.deleted_left);
    EXPECT_EQ(s.deleted_right, c.deleted_right);
    EXPECT_EQ(s.changed_both, c.conflicts);
    EXPECT_EQ(s.refusal.side, 0);
  }
}

// The reasons the front ends show per row get lost or mixed up between rows.
TEST(TwoWayMarks, EachRowKeepsItsReason) {
  TwoWayPair pair;
  Base(pair.mem, "/L", "/R");
  ASSERT_TRUE(pair.SaveInLine());
  pair.mem.AddFile("/L/new.txt", "n", kT0);
  pair.mem.AddFile("/R/c.txt", "changed", kT0);
  pair.mem.Remove("/L/b.txt");
  Move(pair.mem, "/R/sub/d.txt", "/R/sub/e.txt");
  pair.Compare();
  const TwoWaySession& s = pair.state.two_way;
  EXPECT_EQ(s.WhyOf("new.txt", ""), TwoWayWhy::kNew);
  EXPECT_EQ(s.WhyOf("c.txt", "c.txt"), TwoWayWhy::kChanged);
  EXPECT_EQ(s.WhyOf("", "b.txt"), TwoWayWhy::kDeleted);
  EXPECT_EQ(s.WhyOf("sub/d.txt", ""), TwoWayWhy::kMoved);
  EXPECT_EQ(s.WhyOf("", "sub/e.txt"), TwoWayWhy::kMoved);
  EXPECT_EQ(s.WhyOf("same.txt", "same.txt"), TwoWayWhy::kNone);
  // Without a state every row is today's.
  TwoWayPair fresh;
  Base(fresh.mem, "/L", "/R");
  fresh.mem.Remove("/L/b.txt");
  fresh.Compare();
  EXPECT_EQ(fresh.state.two_way.WhyOf("", "b.txt"), TwoWayWhy::kNoState);
  EXPECT_EQ(fresh.Marks()["b.txt"], "? <--");
}

// The hour shift of a FAT stick against its own state (read in another time zone, or after
// the clocks changed) makes every file look changed, or the stick's two-second steps make a
// file look changed that is not.
TEST(TwoWayMarks, FatTimesAgainstTheState) {
  struct Case {
    const char* name;
    int64_t shift;      // seconds every file on the stick moves
    bool edit = false;  // and one file really changes
    Marks want;
  };
  const std::vector<Case> cases = {
      {"one hour on", 3600, false, {}},
      {"two hours back", -7200, false, {}},
      {"one second (the medium's step)", 1, false, {}},
      {"one hour on, one file edited", 3600, true, {{"f07.txt", "<--"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair pair;
    pair.mem.Mount("/R", "vfat", 2000000000);
    for (int i = 0; i < 30; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%02d.txt", i);
      const std::string content(static_cast<size_t>(i + 1), 'x');
      pair.mem.AddFile(std::string("/L/") + name, content, kT0 + 2 * i);
      pair.mem.AddFile(std::string("/R/") + name, content, kT0 + 2 * i);
    }
    ASSERT_TRUE(pair.SaveInLine());
    for (int i = 0; i < 30; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%02d.txt", i);
      std::string content(static_cast<size_t>(i + 1), 'x');
      if (c.edit && i == 7) content = "edited on the stick";
      pair.mem.AddFile(std::string("/R/") + name, content, kT0 + 2 * i + c.shift);
    }
    pair.Compare();
    ASSERT_TRUE(pair.state.two_way.trusted) << pair.state.two_way.verdict.reason;
    Marks want = c.want;
    for (const auto& [name, mark] : pair.Marks())
      if (!want.count(name)) want[name] = "=";
    EXPECT_EQ(pair.Marks(), want);
  }
}

struct GuardCase {
  const char* name;
  std::function<void(TwoWayPair&)> change;
  Marks want;             // rows named; all others "="
  char refused_side = 0;  // the lost-root guard refuses the sync for this side
  int64_t kept_at_least = 0;
};

// A file the scan did not see because its folder could not be read, a folder became a file,
// a rule left it out, or a root is empty or lost most of its files, taken as deleted.
TEST(TwoWayGuards, MissingFilesThatWereNotDeletedStay) {
  const std::vector<GuardCase> cases = {
      {"folder unreadable",
       [](TwoWayPair& p) { p.fs.FailWhere(FsCall::kOpen, "/L/sub", EACCES); },
       {{"sub/d.txt", "? <--"}},
       0,
       1},
      {"folder now a file",
       [](TwoWayPair& p) {
         p.mem.Remove("/L/sub");
         p.mem.AddFile("/L/sub", "a file now", kT0);
       },
       {{"sub", "-->"}, {"sub/d.txt", "? <--"}},
       0,
       1},
      {"left out by a rule",
       [](TwoWayPair& p) {
         p.state.rules = RuleSet(RuleLines{{"c.txt", "test", 1}});
       },
       {},
       0,
       2},
      {"root empty",
       [](TwoWayPair& p) {
         for (const char* f : {"/L/same.txt", "/L/b.txt", "/L/c.txt", "/L/sub"}) p.mem.Remove(f);
       },
       {{"same.txt", "? <--"}, {"b.txt", "? <--"}, {"c.txt", "? <--"}, {"sub/d.txt", "? <--"}},
       'L'},
  };
  for (const GuardCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair pair;
    Base(pair.mem, "/L", "/R");
    ASSERT_TRUE(pair.SaveInLine());
    c.change(pair);
    pair.Compare();
    const TwoWaySession& s = pair.state.two_way;
    ASSERT_TRUE(s.trusted) << s.verdict.reason;
    Marks want = c.want;
    for (const auto& [name, mark] : pair.Marks())
      if (!want.count(name)) want[name] = "=";
    EXPECT_EQ(pair.Marks(), want);
    EXPECT_FALSE(pair.AnyDeletion());
    EXPECT_TRUE(s.deleted_both.empty());
    EXPECT_EQ(s.refusal.side, c.refused_side);
    if (c.refused_side) {
      EXPECT_NE(s.refusal.message.find("linke"), std::string::npos) << s.refusal.message;
    }
    EXPECT_GE(s.kept, c.kept_at_least);
  }
}

// The lost-root limit: more than half and at least ten by default, or --max-delete's count or
// share; moves never count as deletions.
TEST(TwoWayGuards, LostRootLimit) {
  struct Case {
    const char* name;
    int deleted;
    int moved;
    DeleteLimit limit;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"half of 20", 10, 0, {}, false},
      {"more than half", 11, 0, {}, true},
      {"all moved", 0, 20, {}, false},
      {"count 2, 2 deleted", 2, 0, {2, false}, false},
      {"count 2, 3 deleted", 3, 0, {2, false}, true},
      {"10 per cent, 3 of 20", 3, 0, {10, true}, true},
      {"10 per cent, 2 of 20", 2, 0, {10, true}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair pair;
    for (int i = 0; i < 20; ++i) {
      const std::string name = "/f" + std::to_string(i);
      const std::string content(static_cast<size_t>(i + 1), 'a');
      pair.mem.AddFile("/L" + name, content, kT0);
      pair.mem.AddFile("/R" + name, content, kT0);
    }
    ASSERT_TRUE(pair.SaveInLine());
    for (int i = 0; i < c.deleted; ++i) pair.mem.Remove("/L/f" + std::to_string(i));
    for (int i = 0; i < c.moved; ++i)
      Move(pair.mem, "/L/f" + std::to_string(i), "/L/moved/f" + std::to_string(i));
    pair.state.compare_options.max_delete = c.limit;
    pair.Compare();
    const TwoWaySession& s = pair.state.two_way;
    ASSERT_TRUE(s.trusted);
    EXPECT_EQ(s.refusal.side, c.refused ? 'L' : 0);
    EXPECT_EQ(pair.AnyDeletion(), !c.refused && (c.deleted > 0 || c.moved > 0));
    EXPECT_EQ(s.moved, c.moved);
    if (c.refused) {
      EXPECT_EQ(s.orphaned, c.deleted);
    }
  }
}

// Two machines' folders each synced with one stick: the stick's state of one pair leaks into
// the other, so a file the other machine never had is taken as deleted there.
TEST(TwoWayTriangle, EachPairKeepsItsOwnState) {
  MemFileSystem mem;
  // One session per pair over the same disk, as each machine runs its own.
  struct Run {
    explicit Run(MemFileSystem& fs) : ctx{list, state, host, fs} {}
    ComparisonList list;
    SharedState state;
    FakeHost host;
    Context ctx;
    std::set<std::string> Rows() const {
      const std::vector<std::string> rows = RowsOf(list);
      return {rows.begin(), rows.end()};
    }
  };
  auto run = [&mem](const std::string& l, const std::string& r) {
    auto s = std::make_unique<Run>(mem);
    bool side = true;
    FillColumn(s->ctx, l, side);
    side = false;
    FillColumn(s->ctx, r, side);
    s->state.compare_options.two_way = true;
    CompareFolders(s->ctx, false);
    return s;
  };
  // What a sync leaves when the rows marked "=" are all it has in line.
  auto save = [&mem](Run& s, const std::string& l, const std::string& r) {
    PairState pair = s.state.two_way.state;
    pair.left.entries.Clear();
    pair.right.entries.Clear();
    for (int i = 1; i <= s.list.RowCount(); ++i) {
      if (s.list.GetMark(i) != Mark::kEqual) continue;
      StateEntry e;
      e.size = s.list.LeftStamp(i)->size;
      e.mtime_sec = s.list.LeftStamp(i)->mtime_sec;
      pair.left.entries.Add(s.list.LeftName(i), e);
      e.size = s.list.RightStamp(i)->size;
      e.mtime_sec = s.list.RightStamp(i)->mtime_sec;
      pair.right.entries.Add(s.list.RightName(i), e);
    }
    pair.left.entries.Sort();
    pair.right.entries.Sort();
    std::string error;
    EXPECT_TRUE(SavePairState(mem, l + "/", mem, r + "/", pair, &error)) << error;
  };
  mem.AddFile("/A/x.txt", "xx", kT0);
  mem.AddFile("/S/x.txt", "xx", kT0);
  save(*run("/A", "/S"), "/A", "/S");
  // The other machine's folder met the stick after it had y from elsewhere.
  mem.AddFile("/B/x.txt", "xx", kT0);
  mem.AddFile("/B/y.txt", "yyy", kT0);
  mem.AddFile("/S/y.txt", "yyy", kT0);
  save(*run("/B", "/S"), "/B", "/S");
  // y came to A's pair through the stick: new there, not deleted on A; A's own z is new.
  mem.AddFile("/A/z.txt", "zzzz", kT0);
  auto as = run("/A", "/S");
  ASSERT_TRUE(as->state.two_way.trusted) << as->state.two_way.verdict.reason;
  EXPECT_EQ(as->Rows(), (std::set<std::string>{"x.txt|=|x.txt", "|<--|y.txt", "z.txt|-->|"}));
  // B deletes x: its pair proposes the deletion on the stick; A's pair still sees x in line.
  mem.Remove("/B/x.txt");
  auto bs = run("/B", "/S");
  ASSERT_TRUE(bs->state.two_way.trusted) << bs->state.two_way.verdict.reason;
  EXPECT_EQ(bs->Rows(), (std::set<std::string>{"|X->|x.txt", "y.txt|=|y.txt"}));
  EXPECT_EQ(run("/A", "/S")->Rows(), as->Rows());
  // The stick holds one state per pair; the pairs' ids differ.
  EXPECT_NE(as->state.two_way.state.pair_id, bs->state.two_way.state.pair_id);
}

}  // namespace
}  // namespace tavrik::testing
