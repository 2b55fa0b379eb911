// The core's own runs on a folder served by the far end: the fill, both comparisons and the
// sync give the same rows, boxes and trees as on the local disk.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>

#include "core/compare/compare.h"
#include "core/remote/remote_file_system.h"
#include "core/remote/serve.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/session.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {
namespace {

struct Seen {
  std::vector<std::string> rows;  // after each step
  std::vector<std::string> boxes;
  Snapshot tree;
};

void MakePair(const TempTree& t, const std::string& top) {
  t.Write(top + "/L/same.txt", "same", 1600000000);
  t.Write(top + "/R/same.txt", "same", 1600000000);
  t.Write(top + "/L/newer_left.txt", "new left", 1600000100);
  t.Write(top + "/R/newer_left.txt", "old", 1600000000);
  t.Write(top + "/L/sub/deep/newer_right.txt", "old", 1600000000);
  t.Write(top + "/R/sub/deep/newer_right.txt", "new right", 1600000200);
  t.Write(top + "/L/only_left.txt", "left only", 1600000000);
  t.Write(top + "/R/only_right/x.txt", "right only", 1600000000);
  t.Write(top + "/L/same_time.txt", "abc", 1600000000);
  t.Write(top + "/R/same_time.txt", "abd", 1600000000);
  t.Write(top + "/L/gone.txt", "gone", 1600000000);
  t.Write(top + "/R/gone.txt", "gone", 1600000000);
  symlink("same.txt", t.Path(top + "/L/link").c_str());
  const struct timespec when[2] = {{1600000000, 0}, {1600000000, 0}};
  utimensat(AT_FDCWD, t.Path(top + "/L/link").c_str(), when, AT_SYMLINK_NOFOLLOW);
}

std::string Normal(std::string text, const std::string& root) {
  for (size_t at = text.find(root); at != std::string::npos; at = text.find(root))
    text.replace(at, root.size(), "ROOT");
  return text;
}

Seen RunAll(FileSystem& fs, const std::string& root, const std::string& disk_root) {
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, fs};
  Seen seen;
  const auto note = [&] {
    for (const std::string& row : RowsOf(list)) seen.rows.push_back(row);
    seen.rows.push_back("--");
  };
  const auto fill = [&] {
    bool left = true;
    FillColumn(ctx, root + "/L", left);
    left = false;
    FillColumn(ctx, root + "/R", left);
    note();
  };
  // Both runs remember the pair's state; the second one sees a deletion as one.
  state.compare_options.two_way = true;
  fill();
  CompareFolders(ctx, false);
  note();
  // New files travel too (folders made on the way, a link copied as a link), one pair is
  // deleted on one side, and what the sync replaces or deletes is kept as a version.
  for (int i = 1; i <= list.RowCount(); ++i) {
    if (list.GetMark(i) == Mark::kOrphanCopyRight) list.SetMark(i, Mark::kCopyRight);
    if (list.GetMark(i) == Mark::kOrphanCopyLeft) list.SetMark(i, Mark::kCopyLeft);
    if (list.LeftName(i) == "gone.txt") list.SetMark(i, Mark::kDeleteRight);
  }
  state.sync_options.versions = true;
  SyncFolders(ctx);
  note();
  CompareFolders(ctx, true);
  note();
  std::filesystem::remove(disk_root + "/L/same.txt");
  fill();
  CompareFolders(ctx, false);
  note();
  SyncFolders(ctx);
  note();
  for (const auto& box : host.boxes) seen.boxes.push_back(Normal(box.text, root));
  // The run's folder is named by the clock and its record and the pair's state hold inode
  // numbers and times of the moment: those are the run's, not the file system's.
  for (const auto& [taken, state] : TakeSnapshot(disk_root)) {
    std::string path = taken;
    EntryState entry = state;
    entry.inode = 0;
    const size_t versions = path.find("/.tavrik-versions/");
    if (versions != std::string::npos) {
      const size_t run = versions + std::string("/.tavrik-versions/").size();
      path.replace(run, path.find('/', run) - run, "RUN");
    }
    if (path.ends_with("/.tavrik-record")) entry = EntryState();
    // The pair's state is named after both roots' paths, which differ here by design.
    const size_t state_at = path.find("/.tavrik-state/");
    if (state_at != std::string::npos) {
      const size_t name = state_at + std::string("/.tavrik-state/").size();
      path.replace(name,
                   path.find('.', name) == std::string::npos ? std::string::npos
                                                             : path.find('.', name) - name,
                   "STATE");
      entry = EntryState();
    }
    seen.tree[path] = entry;
  }
  return seen;
}

// A far end serving root on a thread of its own, reached over a socket pair as host "nas".
struct FarEnd {
  explicit FarEnd(const std::string& root) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    channel = remote::FdChannel(pair[1], pair[1], true);
    remote::ServeOptions options;
    options.temp_prefix = std::string(kTempPrefix);
    thread = std::thread([this, options] { remote::Serve(RealFileSystem(), *channel, options); });
    fs = remote::RemoteFileSystem::Connect(remote::FdChannel(pair[0], pair[0], true), "nas", root,
                                           &error);
  }
  ~FarEnd() {
    fs.reset();
    if (thread.joinable()) thread.join();
  }
  std::unique_ptr<remote::Channel> channel;
  std::thread thread;
  remote::ConnectError error;
  std::unique_ptr<remote::RemoteFileSystem> fs;
};

// Catches a seam call the core's runs depend on that the far end answers differently (a
// listing's types, the status of a link, a temporary name or a rename into place), which
// would make a far folder's rows, marks, boxes or resulting tree differ from a local one's.
TEST(RemoteCoreTest, FillCompareAndSyncAsOnTheLocalDisk) {
  TempTree t;
  MakePair(t, "local");
  MakePair(t, "far");
  const Seen local = RunAll(RealFileSystem(), t.Path("local"), t.Path("local"));

  Seen far;
  {
    FarEnd end(t.Path("far"));
    ASSERT_TRUE(end.fs) << end.error.text;
    far = RunAll(*end.fs, end.fs->Root(), t.Path("far"));
  }

  EXPECT_EQ(far.rows, local.rows);
  EXPECT_EQ(far.boxes, local.boxes);
  EXPECT_EQ(Changes(local.tree, far.tree), std::vector<std::string>{});
  EXPECT_TRUE(far.tree.count("R/.tavrik-versions/RUN/gone.txt"));
  EXPECT_EQ(far.tree.at("R/only_left.txt").hash, far.tree.at("L/only_left.txt").hash);
  EXPECT_EQ(far.tree.at("R/link").kind, 'l');
  EXPECT_FALSE(far.tree.count("R/same.txt"));
}

// Catches a row that fails on a broken connection to a far folder with the system's general
// text instead of saying that the connection to that host broke, or a copy made anyway.
TEST(RemoteCoreTest, ARowFailingOnALostConnectionNamesTheHost) {
  TempTree t;
  t.Write("L/a.txt", "new", 1600000100);
  t.Write("R/a.txt", "old", 1600000000);
  {
    FarEnd end(t.Path("R"));
    ASSERT_TRUE(end.fs) << end.error.text;
    remote::RemoteFileSystem* fs = end.fs.get();
    ComparisonList list;
    SharedState state;
    FakeHost host;
    Context ctx{list, state, host, RealFileSystem()};
    ctx.right_fs = fs;
    bool left = true;
    FillColumn(ctx, t.Path("L"), left);
    left = false;
    FillColumn(ctx, fs->Root(), left);
    CompareFolders(ctx, false);
    ASSERT_EQ(RowsOf(list), std::vector<std::string>{"a.txt|-->|a.txt"});
    fs->Disconnect();
    SyncFolders(ctx);
    bool told = false;
    for (const auto& box : host.boxes)
      told = told || box.text.find("Die Verbindung zu nas ist abgebrochen.") != std::string::npos;
    EXPECT_TRUE(told);
  }
  EXPECT_EQ(t.Read("R/a.txt"), "old");
}

}  // namespace
}  // namespace tavrik::testing
