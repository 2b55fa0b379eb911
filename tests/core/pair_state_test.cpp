// The pair's common state on the in-memory file system: the file format with names of any
// bytes, the verdict on whether a state can be trusted, the save that leaves both roots at
// one generation whatever fails, the undo's forgetting, and the lock of a running pair.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "core/state/pair_lock.h"
#include "core/state/pair_state.h"
#include "core/state/pair_state_ahead.h"
#include "core/state/state_file.h"
#include "support/two_way_pair.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kT0 = 1700000000;

SideState Sample(const std::vector<std::string>& paths) {
  SideState side;
  StateHeader& h = side.header;
  h.pair_id = std::string(32, 'a');
  h.generation = std::string(31, '0') + "1";
  h.side = 'R';
  h.root = "/media/stick 1/back%up\n";
  h.identity = {"uuid:12 34", false, 0, "/back up"};
  h.peer = {"dev:8:1", true, 42, {}};
  h.shift_seconds = -3600;
  h.stable_inodes = false;
  int64_t n = 0;
  for (const std::string& p : paths) {
    StateEntry e;
    e.size = n * 1000;
    e.mtime_sec = kT0 - n;
    e.mtime_nsec = static_cast<int32_t>(n * 7);
    e.ino = n % 2 ? static_cast<uint64_t>(n) : 0;
    e.kind = n % 3 ? StateKind::kFile : StateKind::kLink;
    side.entries.Add(p, e);
    ++n;
  }
  side.entries.Sort();
  return side;
}

void ExpectSame(const SideState& a, const SideState& b) {
  EXPECT_EQ(a.header.pair_id, b.header.pair_id);
  EXPECT_EQ(a.header.generation, b.header.generation);
  EXPECT_EQ(a.header.side, b.header.side);
  EXPECT_EQ(a.header.root, b.header.root);
  EXPECT_EQ(a.header.identity, b.header.identity);
  EXPECT_EQ(a.header.peer, b.header.peer);
  EXPECT_EQ(a.header.shift_seconds, b.header.shift_seconds);
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (size_t i = 0; i < a.entries.size(); ++i) {
    EXPECT_EQ(a.entries.Path(i), b.entries.Path(i));
    EXPECT_EQ(a.entries[i].size, b.entries[i].size);
    EXPECT_EQ(a.entries[i].mtime_sec, b.entries[i].mtime_sec);
    EXPECT_EQ(a.entries[i].mtime_nsec, b.entries[i].mtime_nsec);
    EXPECT_EQ(a.entries[i].ino, b.entries[i].ino);
    EXPECT_EQ(a.entries[i].kind, b.entries[i].kind);
  }
}

// A name with blanks, percent signs, line breaks, control bytes or bytes that are no UTF-8
// that comes back other than written, or a file longer than one read block that breaks.
TEST(StateFile, RoundTripOfAnyNames) {
  std::vector<std::string> odd = {"a b",         "100%",     "line\nbreak", "tab\there",
                                  "\x01\x7f",    "\xff\xfe", "ä/ö ü",       "sub/x y/z",
                                  "e 1 2 3 - p", "end 3",    "%41"};
  // Lengths told in one, two and three bytes before the path in memory.
  odd.push_back(std::string(127, 'm'));
  odd.push_back(std::string(200, 'n') + "/" + std::string(16400, 'o'));
  // Long enough for several read blocks, each line cut at some block's end.
  for (int i = 0; i < 40000; ++i)
    odd.push_back("folder " + std::to_string(i % 97) + "/" + std::string(20, 'n') +
                  std::to_string(i));
  const SideState written = Sample(odd);
  SideState parsed;
  std::string error;
  ASSERT_EQ(ParseStateText(StateText(written), &parsed, &error), StateRead::kOk) << error;
  ExpectSame(written, parsed);
  MemFileSystem mem;
  mem.AddFolder("/s");
  Fd dir(mem, mem.OpenAt(AT_FDCWD, "/s", O_RDONLY | O_DIRECTORY, 0));
  ASSERT_EQ(WriteStateFile(mem, dir.get(), "f", written), 0);
  ASSERT_GT(mem.Content("/s/f")->size(), 2u << 20);
  SideState read;
  ASSERT_EQ(ReadStateFile(mem, "/s/f", &read, false, &error), StateRead::kOk) << error;
  ExpectSame(written, read);
  // Read beside the other side's entries, sharing their paths: the same entries.
  SideState beside;
  ASSERT_EQ(ReadStateFile(mem, "/s/f", &beside, false, &error, &read.entries), StateRead::kOk);
  ExpectSame(written, beside);
  // Each path is found from wherever the last search ended, in any order; others are not.
  std::vector<size_t> order(odd.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = (i * 7919) % order.size();
  size_t hint = 0;
  for (size_t i : order) {
    const StateEntry* e = beside.entries.FindNear(odd[i], &hint);
    ASSERT_NE(e, nullptr) << odd[i];
    EXPECT_EQ(beside.entries.PathOf(*e), odd[i]);
    EXPECT_EQ(beside.entries.FindNear(odd[i] + "x", &hint), nullptr);
    EXPECT_EQ(beside.entries.Find(odd[i]), e);
  }
  // The header alone stops before the entries.
  SideState head;
  ASSERT_EQ(ReadStateFile(mem, "/s/f", &head, true), StateRead::kOk);
  EXPECT_EQ(head.header.root, written.header.root);
  EXPECT_TRUE(head.entries.empty());
}

// A broken, cut, foreign or newer file read as a state, or a path that climbs out of the
// root (or is no clean relative path) accepted from one.
TEST(StateFile, BrokenFilesAreNeverRead) {
  const std::string good = StateText(Sample({"a", "b/c"}));
  auto replace = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    const char* name;
    std::string text;
    StateRead want;
  };
  const std::vector<Case> cases = {
      {"good", good, StateRead::kOk},
      {"cut before end", good.substr(0, good.find("end ")), StateRead::kUnreadable},
      {"cut in a line", good.substr(0, good.size() - 2), StateRead::kUnreadable},
      {"count wrong", replace("end 2", "end 3"), StateRead::kUnreadable},
      {"newer format", replace("tavrik-state 1", "tavrik-state 2"), StateRead::kNewer},
      {"foreign", "hello\n", StateRead::kUnreadable},
      {"empty", "", StateRead::kUnreadable},
      {"header line missing", replace("inodes 0\n", ""), StateRead::kUnreadable},
      {"header line twice", replace("inodes 0\n", "inodes 0\ninodes 0\n"), StateRead::kUnreadable},
      {"climbs out", replace(" b/c\n", " ../c\n"), StateRead::kUnreadable},
      {"absolute", replace(" b/c\n", " /etc/c\n"), StateRead::kUnreadable},
      {"dot part", replace(" b/c\n", " b/./c\n"), StateRead::kUnreadable},
      {"empty part", replace(" b/c\n", " b//c\n"), StateRead::kUnreadable},
      {"trailing slash", replace(" b/c\n", " b/c/\n"), StateRead::kUnreadable},
      {"NUL escaped", replace(" b/c\n", " b/%00c\n"), StateRead::kUnreadable},
      {"unsorted", replace(" a\n", " z\n"), StateRead::kUnreadable},
      {"a path twice", replace(" a\n", " b/c\n"), StateRead::kUnreadable},
      {"bad id", replace("pair aaaa", "pair AAAA"), StateRead::kUnreadable},
      {"nanoseconds out of range", replace(" 0 - a\n", " 1000000000 - a\n"),
       StateRead::kUnreadable},
      {"seconds beyond what an entry holds",
       replace(" " + std::to_string(kT0) + " 0 - a\n", " 36028797018963968 0 - a\n"),
       StateRead::kUnreadable},
      {"text after end", good + "e f 1 1 0 - zz\n", StateRead::kUnreadable},
  };
  // Read beside the other side's entries too, which skips the checks of the paths it shares.
  SideState other;
  ASSERT_EQ(ParseStateText(good, &other), StateRead::kOk);
  MemFileSystem mem;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SideState out;
    EXPECT_EQ(ParseStateText(c.text, &out), c.want);
    mem.AddFile("/state", c.text);
    SideState beside;
    EXPECT_EQ(ReadStateFile(mem, "/state", &beside, false, nullptr, &other.entries), c.want);
  }
}

struct TrustCase {
  const char* name;
  std::function<void(TwoWayPair&)> after_save;
  Trust want;
  bool untouched = false;  // the state files must stay byte for byte as they are
  // The next save writes the pair found (its files replaced); false: a new pair beside it,
  // so the files of the true pair (or one that cannot be read) stay.
  bool same_pair = true;
};

// A state that must not be trusted (first run, lost or forgotten on one side, a folder copied
// with its state or restored from a backup, another machine's stick, an unreadable or newer
// file, a path that is not clean) trusted anyway, so that a deletion would be proposed.
TEST(PairStateTrust, OnlyTheSameStateInBothRootsCounts) {
  auto rewrite = [](TwoWayPair& p, const std::string& from, const std::string& to) {
    const std::string path = StateFilePath(p.RightRoot(), p.state.two_way.state.pair_id);
    std::string text = *p.mem.Content(path);
    text.replace(text.find(from), from.size(), to);
    p.mem.AddFile(path, text);
  };
  auto copy_tree = [](TwoWayPair& p, const std::string& from, const std::string& to) {
    std::function<void(const std::string&, const std::string&)> copy = [&](const std::string& f,
                                                                           const std::string& t) {
      for (const std::string& name : p.mem.Names(f)) {
        const auto st = p.mem.Status(f + "/" + name);
        if (S_ISDIR(st->st_mode)) {
          p.mem.AddFolder(t + "/" + name);
          copy(f + "/" + name, t + "/" + name);
        } else {
          p.mem.AddFile(t + "/" + name, *p.mem.Content(f + "/" + name), st->st_mtim.tv_sec);
        }
      }
    };
    p.mem.AddFolder(to);
    copy(from, to);
  };
  const std::vector<TrustCase> cases = {
      {"trusted", [](TwoWayPair&) {}, Trust::kTrusted},
      {"first run",
       [](TwoWayPair& p) {
         p.mem.Remove("/L/.tavrik-state");
         p.mem.Remove("/R/.tavrik-state");
       },
       Trust::kFirstRun, false, false},
      {"lost on the right", [](TwoWayPair& p) { p.mem.Remove("/R/.tavrik-state"); },
       Trust::kLostRight},
      {"lost on the left", [](TwoWayPair& p) { p.mem.Remove("/L/.tavrik-state"); },
       Trust::kLostLeft},
      {"forgotten by an undo", [](TwoWayPair& p) { EXPECT_EQ(ForgetPairStates(p.mem, "/R/"), 1); },
       Trust::kForgotten},
      {"right folder copied with its state",
       [&](TwoWayPair& p) {
         copy_tree(p, "/R", "/R2");
         p.right = "/R2";
       },
       Trust::kIdentityRight, false, false},
      {"right root restored from a backup",
       [&](TwoWayPair& p) {
         copy_tree(p, "/R", "/backup");
         p.mem.Remove("/R");
         copy_tree(p, "/backup", "/R");
       },
       Trust::kIdentityRight, false, false},
      {"an older state of one side",
       [](TwoWayPair& p) {
         const std::string path = StateFilePath(p.RightRoot(), p.state.two_way.state.pair_id);
         p.mem.AddFile(path, *p.mem.Content(path + ".prev"));
       },
       Trust::kGeneration},
      {"unreadable", [&](TwoWayPair& p) { rewrite(p, "end ", "ende "); }, Trust::kUnreadable, true,
       false},
      {"newer", [&](TwoWayPair& p) { rewrite(p, "tavrik-state 1", "tavrik-state 7"); },
       Trust::kNewer, true, false},
      {"unclean path", [&](TwoWayPair& p) { rewrite(p, " b.txt\n", " ../b.txt\n"); },
       Trust::kUnreadable, true, false},
  };
  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair pair;
    for (const std::string& root : std::vector<std::string>{"/L", "/R"}) {
      pair.mem.AddFile(root + "/a.txt", "aaa", kT0);
      pair.mem.AddFile(root + "/b.txt", "bbbb", kT0);
    }
    // Two saves, so an older generation lies beside the newest one.
    ASSERT_TRUE(pair.SaveInLine());
    ASSERT_TRUE(pair.SaveInLine());
    pair.Compare();
    ASSERT_TRUE(pair.state.two_way.trusted);
    c.after_save(pair);
    // A deletion on the left that only a trusted state may propose.
    pair.mem.Remove("/L/a.txt");
    auto snapshot = [&pair] {
      std::vector<std::string> files;
      for (const std::string& root : {pair.left, pair.right})
        for (const std::string& name : pair.mem.Names(root + "/.tavrik-state"))
          files.push_back(name + "=" +
                          pair.mem.Content(root + "/.tavrik-state/" + name).value_or("?"));
      return files;
    };
    const auto before = snapshot();
    const std::string id = pair.state.two_way.state.pair_id;
    pair.Compare();
    const TwoWaySession& s = pair.state.two_way;
    EXPECT_EQ(s.verdict.trust, c.want) << s.verdict.reason;
    EXPECT_EQ(pair.AnyDeletion(), c.want == Trust::kTrusted);
    EXPECT_EQ(s.verdict.reason.empty(), c.want == Trust::kTrusted) << s.verdict.reason;
    if (c.want != Trust::kTrusted) {
      EXPECT_TRUE(s.moves.empty());
    }
    // A comparison never writes a state, and never touches one it cannot read.
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(s.state.pair_id == id, c.same_pair) << s.state.pair_id;
    if (c.untouched) {
      EXPECT_NE(s.verdict.reason.find(".tavrik-state/"), std::string::npos);
    }
  }
}

// A stick brought from another machine (its state names that machine's folder as its peer)
// trusted here, or a stick's state lost because it is mounted elsewhere now.
TEST(PairStateTrust, SticksByTheirVolume) {
  TwoWayPair pair;
  pair.mem.Mount("/R", "vfat", 2000000000);
  pair.mem.SetVolumeId("/R", "uuid:AB12-CD34");
  pair.mem.AddFile("/L/a.txt", "aaa", kT0);
  pair.mem.AddFile("/R/a.txt", "aaa", kT0);
  ASSERT_TRUE(pair.SaveInLine());
  pair.Compare();
  EXPECT_TRUE(pair.state.two_way.trusted) << pair.state.two_way.verdict.reason;
  EXPECT_FALSE(pair.state.two_way.state.right_identity.by_inode);
  // Another folder of this machine meets the stick: no pair of theirs.
  pair.mem.AddFile("/L2/a.txt", "aaa", kT0);
  pair.left = "/L2";
  pair.Compare();
  EXPECT_EQ(pair.state.two_way.verdict.trust, Trust::kFirstRun);
}

// A state read while the folders were listed used although a save, a new pair file or a
// lost state folder changed what loading it now would give.
TEST(PairStateAhead, TakenOnlyWhileNothingItReadChanged) {
  struct Case {
    const char* name;
    std::function<void(TwoWayPair&)> meanwhile;
    bool taken;
  };
  const std::vector<Case> cases = {
      {"nothing", [](TwoWayPair&) {}, true},
      {"saved again", [](TwoWayPair& p) { ASSERT_TRUE(p.SaveInLine()); }, false},
      {"another pair's file",
       [](TwoWayPair& p) { p.mem.AddFile("/R/.tavrik-state/" + std::string(32, 'a'), "x"); },
       false},
      {"state folder gone", [](TwoWayPair& p) { p.mem.Remove("/L/.tavrik-state"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TwoWayPair p;
    p.mem.AddFile("/L/a.txt", "aaa", kT0);
    p.mem.AddFile("/R/a.txt", "aaa", kT0);
    ASSERT_TRUE(p.SaveInLine());
    PairStateAhead ahead(p.mem, p.LeftRoot(), p.mem, p.RightRoot());
    ahead.Wait();
    c.meanwhile(p);
    PairState taken;
    TrustVerdict verdict;
    ASSERT_EQ(ahead.Take(p.LeftRoot(), p.RightRoot(), &taken, &verdict), c.taken);
    if (!c.taken) continue;
    PairState loaded;
    const TrustVerdict now = LoadPairState(p.mem, p.LeftRoot(), p.mem, p.RightRoot(), &loaded);
    EXPECT_EQ(verdict.trust, now.trust);
    EXPECT_EQ(taken.generation, loaded.generation);
    EXPECT_EQ(taken.left.entries.size(), loaded.left.entries.size());
  }
  // Loaded for other roots: never taken.
  TwoWayPair p;
  PairStateAhead ahead(p.mem, p.LeftRoot(), p.mem, p.RightRoot());
  PairState taken;
  TrustVerdict verdict;
  EXPECT_FALSE(ahead.Take(p.LeftRoot(), "/other/", &taken, &verdict));
}

// A save that fails in either root halfway leaves the roots at different generations (or a
// half-written file in place), so the next run trusts a mix or loses the state on one side.
TEST(PairStateSave, BothRootsOrNeither) {
  for (FsCall call : {FsCall::kRename, FsCall::kWrite, FsCall::kSyncData, FsCall::kMkdir}) {
    for (int nth = 1; nth <= 4; ++nth) {
      SCOPED_TRACE(std::to_string(static_cast<int>(call)) + "/" + std::to_string(nth));
      TwoWayPair pair;
      for (const std::string& root : std::vector<std::string>{"/L", "/R"})
        pair.mem.AddFile(root + "/a.txt", "aaa", kT0);
      ASSERT_TRUE(pair.SaveInLine());
      pair.Compare();
      const std::string old_generation = pair.state.two_way.state.generation;
      const std::string id = pair.state.two_way.state.pair_id;
      pair.mem.AddFile("/L/new.txt", "n", kT0);
      pair.mem.AddFile("/R/new.txt", "n", kT0);
      pair.FillBoth(pair.left, pair.right);
      PairState next = pair.state.two_way.state;
      StateEntry e;
      e.size = 1;
      e.mtime_sec = kT0;
      next.left.entries.Add("zz-new.txt", e);
      next.right.entries.Add("zz-new.txt", e);
      pair.fs.FailNth(call, nth, EIO);
      std::string error;
      const bool saved =
          SavePairState(pair.fs, pair.LeftRoot(), pair.fs, pair.RightRoot(), next, &error);
      pair.fs.Reset();
      PairState loaded;
      const TrustVerdict v =
          LoadPairState(pair.fs, pair.LeftRoot(), pair.fs, pair.RightRoot(), &loaded);
      ASSERT_EQ(v.trust, Trust::kTrusted) << v.reason << " saved=" << saved;
      EXPECT_EQ(loaded.pair_id, id);
      if (saved) {
        EXPECT_NE(loaded.generation, old_generation);
        EXPECT_EQ(loaded.left.entries.size(), 2u);
      } else {
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(loaded.generation, old_generation);
        EXPECT_EQ(loaded.left.entries.size(), 1u);
      }
      // No temporary file stays behind.
      for (const std::string& root : std::vector<std::string>{"/L", "/R"})
        for (const std::string& name : pair.mem.Names(root + "/.tavrik-state"))
          EXPECT_EQ(name.find(".tmp-"), std::string::npos) << root << "/" << name;
    }
  }
}

// A second run on a pair that one runs already is let in, or the lock of a process that has
// ended (or is a zombie) blocks the pair for ever.
TEST(PairLockTest, OneRunPerPair) {
  TwoWayPair pair;
  pair.mem.AddFolder("/L");
  pair.mem.AddFolder("/R");
  PairState state;
  LoadPairState(pair.mem, "/L/", pair.mem, "/R/", &state);
  const std::string lock = "/L/.tavrik-state/" + PairLockKey(state) + ".lock";
  auto holder = [&](const std::string& host, int64_t pid) {
    pair.mem.AddFile(lock, "host " + host + "\npid " + std::to_string(pid) + "\n");
  };
  // A child that has ended and been reaped, and one left a zombie.
  const pid_t reaped = fork();
  if (reaped == 0) _exit(0);
  waitpid(reaped, nullptr, 0);
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  // Give the zombie time to end.
  for (int i = 0; i < 200 && !ProcessEnded(zombie); ++i) usleep(5000);
  const pid_t alive = getppid();  // the runner of this test is alive and not us
  struct Case {
    const char* name;
    std::string host;
    int64_t pid;
    bool taken;
  };
  const std::vector<Case> cases = {
      {"free", "", 0, true},
      {"ended here", MachineName(), reaped, true},
      {"zombie here", MachineName(), zombie, true},
      {"alive here", MachineName(), alive, false},
      {"other machine", "elsewhere", reaped, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pair.mem.Remove(lock);
    if (!c.host.empty()) holder(c.host, c.pid);
    PairLock first;
    std::string error;
    EXPECT_EQ(first.Take(pair.fs, "/L/", pair.fs, "/R/", state, &error), c.taken) << error;
    if (!c.taken) {
      EXPECT_NE(error.find(c.host), std::string::npos) << error;
      EXPECT_NE(error.find(std::to_string(c.pid)), std::string::npos) << error;
      // Nothing left behind on the right either.
      EXPECT_TRUE(pair.mem.Names("/R/.tavrik-state").empty());
      continue;
    }
    // Held in both roots, naming this machine and process; released by its holder.
    const std::string mine =
        "host " + MachineName() + "\npid " + std::to_string(OwnProcessId()) + "\n";
    EXPECT_EQ(pair.mem.Content(lock), mine);
    EXPECT_EQ(pair.mem.Content("/R/.tavrik-state/" + PairLockKey(state) + ".lock"), mine);
    first.Release();
    EXPECT_FALSE(pair.mem.Exists(lock));
  }
  // An undo and a sync of a pair of its root exclude each other, whichever came first.
  const std::string undo_lock = "/R/.tavrik-state/undo.lock";
  struct Mixed {
    const char* name;
    std::string held;  // the lock file another process holds
    int64_t pid;
    bool undo;  // the undo on /R tries (else the pair's sync)
    bool taken;
  };
  const std::vector<Mixed> mixed = {
      {"undo beside a running sync", "/R/.tavrik-state/" + PairLockKey(state) + ".lock", alive,
       true, false},
      {"undo beside an ended sync", "/R/.tavrik-state/" + PairLockKey(state) + ".lock", reaped,
       true, true},
      {"sync beside a running undo", undo_lock, alive, false, false},
      {"sync beside an ended undo", undo_lock, reaped, false, true},
  };
  for (const Mixed& c : mixed) {
    SCOPED_TRACE(c.name);
    pair.mem.Remove("/L/.tavrik-state");
    pair.mem.Remove("/R/.tavrik-state");
    pair.mem.AddFile(c.held, "host " + MachineName() + "\npid " + std::to_string(c.pid) + "\n");
    std::string error;
    UndoLock undo;
    PairLock sync;
    const bool taken = c.undo ? undo.Take(pair.fs, "/R/", &error)
                              : sync.Take(pair.fs, "/L/", pair.fs, "/R/", state, &error);
    EXPECT_EQ(taken, c.taken) << error;
    if (!taken) {
      EXPECT_NE(error.find(std::to_string(c.pid)), std::string::npos) << error;
      // The refused run's own lock files are gone again.
      EXPECT_EQ(pair.mem.Names("/R/.tavrik-state").size(), 1u);
      EXPECT_TRUE(pair.mem.Names("/L/.tavrik-state").empty());
    }
  }
  waitpid(zombie, nullptr, 0);
}

}  // namespace
}  // namespace tavrik::testing
