// A far folder whose connection breaks in the middle of a fill or a sync: what is left
// undone, what the user is asked, and what stays on both disks.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "core/compare/compare.h"
#include "core/remote/remote_file_system.h"
#include "core/remote/serve.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/fault_file_system.h"
#include "support/session.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {
namespace {

constexpr const char* kLost = "Die Verbindung zu nas ist abgebrochen.";

// A far end for root on threads of this process, reached over socket pairs as host "nas";
// its disk is a fault file system, and each reconnection starts a new far end on it.
struct FarEnd {
  explicit FarEnd(const std::string& root) {
    fs = remote::RemoteFileSystem::Connect(NewChannel(), "nas", root, &error);
    if (fs) fs->SetReopen([this] { return NewChannel(); });
  }
  ~FarEnd() {
    fs.reset();
    for (std::thread& t : threads) t.join();
  }
  std::unique_ptr<remote::Channel> NewChannel() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    std::shared_ptr<remote::Channel> far(remote::FdChannel(pair[1], pair[1], true));
    remote::ServeOptions options;
    options.temp_prefix = std::string(kTempPrefix);
    threads.emplace_back([this, far, options] { remote::Serve(disk, *far, options); });
    return remote::FdChannel(pair[0], pair[0], true);
  }
  // The connection breaks the first time the far end makes a call of this kind on a name
  // holding part (the call itself still happens there; its answer is lost).
  void CutAt(FsCall call, const std::string& part) {
    disk.SetHook([this, call, part](FsCall c, const std::string& name) {
      if (c == call && name.find(part) != std::string::npos && !cut.exchange(true))
        fs->Disconnect();
      return 0;
    });
  }
  FaultFileSystem disk;
  std::atomic<bool> cut{false};
  std::vector<std::thread> threads;
  remote::ConnectError error;
  std::unique_ptr<remote::RemoteFileSystem> fs;
};

// A folder pair of t ("L", "R") whose one side is served by a far end.
struct FarPair {
  FarPair(const TempTree& t, bool far_left)
      : end(t.Path(far_left ? "L" : "R")),
        left_root(far_left && end.fs ? end.fs->Root() : t.Path("L")),
        right_root(!far_left && end.fs ? end.fs->Root() : t.Path("R")) {
    (far_left ? ctx.left_fs : ctx.right_fs) = end.fs.get();
  }
  void Fill() {
    bool left = true;
    FillColumn(ctx, left_root, left);
    left = false;
    FillColumn(ctx, right_root, left);
  }
  FarEnd end;
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, RealFileSystem()};
  std::string left_root, right_root;
};

// The user's files of a tree, the program's own (state, versions, temporaries) left out.
Snapshot UserFiles(const std::string& root) {
  Snapshot files;
  for (const auto& [path, state] : TakeSnapshot(root))
    if (path.find(".tavrik") == std::string::npos) files[path] = state;
  return files;
}

int CountBoxes(const FakeHost& host, const std::string& part) {
  int n = 0;
  for (const Box& box : host.boxes) n += box.text.find(part) != std::string::npos;
  return n;
}

// Catches a fill cut off by a lost connection taken for the whole tree: a comparison that
// marks the files it never saw as new or deleted, a sync (one-way or two-way) that then
// copies or deletes them, or one box per folder it could not list.
TEST(FarFaultTest, AFillCutOffLeadsToNoComparisonAndNoSync) {
  const struct {
    const char* what;
    bool far_left;
    bool two_way;
  } cases[] = {
      {"far right, one-way", false, false},
      {"far right, two-way after a complete run", false, true},
      {"far left, one-way", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    for (const char* side : {"L", "R"}) {
      t.Write(std::string(side) + "/a.txt", "a", 1600000000);
      for (int i = 0; i < 5; ++i)
        t.Write(std::string(side) + "/sub" + std::to_string(i) + "/f.txt", "f", 1600000000);
    }
    const std::string far_side = c.far_left ? "L" : "R";
    const std::string near_side = c.far_left ? "R" : "L";
    FarPair pair(t, c.far_left);
    ASSERT_TRUE(pair.end.fs) << pair.end.error.text;
    FakeHost& host = pair.host;
    pair.state.compare_options.two_way = c.two_way;
    if (c.two_way) {
      // The pair's state then knows every file: one missing now would read as deleted.
      pair.Fill();
      CompareFolders(pair.ctx, false);
      SyncFolders(pair.ctx);
      ASSERT_EQ(CountBoxes(host, kLost), 0);
    }
    const Snapshot near_before = UserFiles(t.Path(near_side));
    const Snapshot far_before = UserFiles(t.Path(far_side));
    host.boxes.clear();
    pair.end.CutAt(FsCall::kOpen, "sub2");
    pair.Fill();
    EXPECT_TRUE(pair.end.cut.load());
    EXPECT_EQ(CountBoxes(host, kLost), 1);
    CompareFolders(pair.ctx, false);
    for (int i = 1; i <= pair.list.RowCount(); ++i)
      EXPECT_EQ(pair.list.GetMark(i), Mark::kNone) << i;
    SyncFolders(pair.ctx);
    EXPECT_EQ(CountBoxes(host, "Der Vergleich wird nicht ausgeführt:"), 1);
    EXPECT_EQ(CountBoxes(host, "Der Datenabgleich wird nicht ausgeführt:"), 1);
    EXPECT_EQ(Changes(near_before, UserFiles(t.Path(near_side))), std::vector<std::string>{});
    EXPECT_EQ(Changes(far_before, UserFiles(t.Path(far_side))), std::vector<std::string>{});
    // The next fill lists the far folder over a new connection, whole again.
    host.boxes.clear();
    pair.Fill();
    CompareFolders(pair.ctx, false);
    EXPECT_EQ(CountBoxes(host, kLost), 0);
    EXPECT_EQ(CountBoxes(host, "nicht ausgeführt"), 0);
    EXPECT_EQ(pair.list.RowCount(), 6);
  }
}

// Catches a sync whose far folder's connection breaks mid-copy doing the wrong thing with
// the user's answer: a Retry that does not reconnect or reuses the broken connection's
// handles or prepared copies, an Ignore that still asks once per row, an Abort that goes
// on, and a half-written temporary file left on the far disk.
TEST(FarFaultTest, ALostConnectionMidCopyFollowsTheAnswer) {
  const struct {
    const char* what;
    MsgAnswer answer;
    int rows_left;
    int boxes;        // in all, the failure's box included
    bool one_line;    // the rows given up are told in one line
    bool copied_all;  // else the far tree is as before
    // Replaced files are kept in the run's folder; the copies go one at a time and the
    // connection breaks after two rows, so the run's folder is open by then.
    bool versions;
  } cases[] = {
      {"Retry", MsgAnswer::kRetry, 0, 1, false, true, false},
      {"Retry, versions kept", MsgAnswer::kRetry, 0, 1, false, true, true},
      {"Ignore", MsgAnswer::kIgnore, 4, 2, true, false, false},
      {"Abort", MsgAnswer::kAbort, 4, 1, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    for (int i = 1; i <= 4; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      t.Write("L/" + name, std::string(100000, static_cast<char>('0' + i)), 1600000100);
      t.Write("R/" + name, "old", 1600000000);
    }
    const Snapshot far_before = TakeSnapshot(t.Path("R"));
    {
      FarPair pair(t, false);
      ASSERT_TRUE(pair.end.fs) << pair.end.error.text;
      FakeHost& host = pair.host;
      pair.Fill();
      CompareFolders(pair.ctx, false);
      ASSERT_EQ(pair.list.RowCount(), 4);
      pair.state.sync_options.versions = c.versions;
      if (c.versions) pair.state.io.copy_window = 0;
      host.boxes.clear();
      pair.end.CutAt(c.versions ? FsCall::kStat : FsCall::kWrite, c.versions ? "f2.txt" : "");
      host.answers = {c.answer};
      SyncFolders(pair.ctx);
      EXPECT_TRUE(pair.end.cut.load());
      EXPECT_EQ(pair.list.RowCount(), c.rows_left);
      EXPECT_EQ(static_cast<int>(host.boxes.size()), c.boxes);
      ASSERT_FALSE(host.boxes.empty());
      EXPECT_NE(host.boxes[0].text.find(kLost), std::string::npos);
      EXPECT_EQ(
          CountBoxes(host, "3 weitere Zeilen wurden nicht abgeglichen: " + std::string(kLost)),
          c.one_line ? 1 : 0);
    }
    for (int i = 1; i <= 4; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      EXPECT_EQ(t.Read("R/" + name), c.copied_all ? t.Read("L/" + name) : "old") << name;
    }
    // No copy in progress is left; the run's record outlives the connections it was written
    // over.
    const Snapshot far_after = TakeSnapshot(t.Path("R"));
    int kept = 0, records = 0;
    for (const auto& [path, state] : far_after) {
      const bool versions = path.find(".tavrik-versions") != std::string::npos;
      EXPECT_TRUE(versions || path.find(kTempPrefix) == std::string::npos) << path;
      kept += versions && path.ends_with(".txt");
      records += path.ends_with("/.tavrik-record");
    }
    EXPECT_EQ(kept, c.versions ? 4 : 0);
    EXPECT_EQ(records, c.versions ? 1 : 0);
    if (!c.copied_all) {
      EXPECT_EQ(Changes(far_before, far_after), std::vector<std::string>{});
    }
  }
}

// Catches a binary comparison that blames the disk ("Transportendpunkt ...") when a far
// folder's connection broke, calls a pair it could not read alike, or shows one box per
// pair still to come.
TEST(FarFaultTest, AComparisonCutOffSaysSoOnceAndMarksTheRestUnknown) {
  for (const bool far_left : {false, true}) {
    SCOPED_TRACE(far_left ? "far left" : "far right");
    TempTree t;
    for (int i = 1; i <= 5; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      t.Write("L/" + name, "same", 1600000000);
      t.Write("R/" + name, "same", 1600000000);
    }
    FarPair pair(t, far_left);
    ASSERT_TRUE(pair.end.fs) << pair.end.error.text;
    // Pairs in row order, none read ahead of the cut.
    pair.state.io.compare_helpers = 0;
    pair.Fill();
    pair.end.CutAt(FsCall::kOpen, "f3");
    CompareFolders(pair.ctx, true);
    EXPECT_TRUE(pair.end.cut.load());
    EXPECT_EQ(CountBoxes(pair.host, std::string("konnte nicht verglichen werden:") + kCr + kLost),
              1);
    EXPECT_EQ(CountBoxes(pair.host, "konnte nicht verglichen werden"), 1);
    ASSERT_EQ(pair.list.RowCount(), 5);
    for (int i = 1; i <= 5; ++i) {
      const bool before_cut = pair.list.LeftName(i) < "f3";
      EXPECT_EQ(pair.list.GetMark(i), before_cut ? Mark::kEqual : Mark::kOrphan)
          << pair.list.LeftName(i);
    }
  }
}

// Catches copies put in place together on a far folder going past one that cannot be
// placed (a file changed there since the fill): it must keep the far end's file and say so
// once, while the copies before and after it go in.
TEST(FarFaultTest, CopiesPlacedTogetherStopAtOneThatCannotGo) {
  TempTree t;
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    t.Write("L/" + name, "new " + std::to_string(i), 1600000100);
    t.Write("R/" + name, "old", 1600000000);
  }
  FarPair pair(t, false);
  ASSERT_TRUE(pair.end.fs) << pair.end.error.text;
  pair.Fill();
  CompareFolders(pair.ctx, false);
  ASSERT_EQ(pair.list.RowCount(), 6);
  // The first row's copy comes last, so that the others are ready to go with it; f4.txt
  // changes there just before its turn, as the one before it goes into place.
  pair.end.disk.SetHook([&t](FsCall call, const std::string& name) {
    if (name.find("f6.txt") != std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (call == FsCall::kRename && name.find("f5.txt") != std::string::npos)
      t.Write("R/f4.txt", "theirs", 1600000200);
    return 0;
  });
  pair.host.boxes.clear();
  SyncFolders(pair.ctx);
  EXPECT_EQ(CountBoxes(pair.host, "f4.txt"), 1);
  ASSERT_EQ(pair.list.RowCount(), 1);
  EXPECT_EQ(pair.list.LeftName(1), "f4.txt");
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    EXPECT_EQ(t.Read("R/" + name), i == 4 ? "theirs" : "new " + std::to_string(i)) << name;
  }
  for (const auto& [path, state] : TakeSnapshot(t.Path("R")))
    EXPECT_EQ(path.find(kTempPrefix), std::string::npos) << path;
}

// Catches a descriptor of a broken connection reaching a file of the new one: the far end
// numbers its handles anew, so an old number could name another file there.
TEST(FarFaultTest, DescriptorsOfABrokenConnectionStayInvalid) {
  TempTree t;
  t.Write("R/one.txt", "one");
  t.Write("R/two.txt", "two");
  FarEnd end(t.Path("R"));
  ASSERT_TRUE(end.fs) << end.error.text;
  FileSystem& fs = *end.fs;
  const std::string one = end.fs->Root() + "/one.txt";
  const std::string two = end.fs->Root() + "/two.txt";
  const int old_fd = fs.OpenAt(AT_FDCWD, one.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(old_fd, remote::kFdBase);
  end.fs->Disconnect();
  EXPECT_NE(end.fs->LostConnectionText(), "");
  ASSERT_EQ(fs.Reconnect({}), 0);
  EXPECT_EQ(end.fs->LostConnectionText(), "");
  const int new_fd = fs.OpenAt(AT_FDCWD, two.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(new_fd, remote::kFdBase);
  char buf[8] = {};
  errno = 0;
  EXPECT_EQ(fs.PRead(old_fd, buf, sizeof buf, 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(fs.Close(old_fd), -1);
  EXPECT_EQ(fs.PRead(new_fd, buf, sizeof buf, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "two");
  EXPECT_EQ(fs.Close(new_fd), 0);
}

}  // namespace
}  // namespace tavrik::testing
