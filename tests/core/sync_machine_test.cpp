// The synchronisation run against failures the machine makes itself: a full disk, no free
// inodes, a read-only mount, immutable files and folders, a user without write access.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/fault_tools.h"
#include "support/sync_fixture.h"

namespace tavrik::testing {
namespace {

using SyncMachineTest = SyncBench;

// Catches a copy that leaves a truncated target or its temporary file behind when the
// disk fills up half-way.
TEST_F(SyncMachineTest, FullDiskLeavesTheOldTarget) {
  ScopedTmpfs disk(tree.Path("right"), "size=128k");
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  tree.Write("left/t.bin", std::string(1 << 20, 'x'), 2000000000);
  tree.Write("right/t.bin", "old target", 1000000000);
  Fill();
  SetMark("t.bin", "t.bin", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(BoxTexts(),
            std::vector<std::string>{CopyBox(
                L("t.bin"), R("t.bin"), "Auf dem Datenträger ist kein Speicherplatz mehr frei.")});
}

// Catches a copy that cannot make its temporary file (no inode left) and still touches
// the target.
TEST_F(SyncMachineTest, NoFreeInodeLeavesTheOldTarget) {
  ScopedTmpfs disk(tree.Path("right"), "nr_inodes=16");
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  tree.Write("left/t.txt", "new", 2000000000);
  tree.Write("right/t.txt", "old", 1000000000);
  for (int i = 0; i < 64; ++i) {
    std::string name = tree.Path("right/.used-" + std::to_string(i));
    std::ofstream(name) << i;
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) break;
  }
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.host.boxes.size(), 1u);
}

// Catches copies and deletes on a read-only mount whose failure is not reported.
TEST_F(SyncMachineTest, ReadOnlyMountFailsIntoTheErrorBox) {
  ScopedTmpfs disk(tree.Path("right"), "size=1m");
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  tree.Write("left/t.txt", "new", 2000000000);
  tree.Write("right/t.txt", "old", 1000000000);
  tree.Write("right/d.txt", "delete me");
  Fill();
  if (!disk.RemountReadOnly()) GTEST_SKIP() << "remount read-only refused";
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  Snapshot before = Snap();
  Sync();
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.host.boxes.size(), 2u);
  EXPECT_EQ(s.list.RowCount(), 2);
}

// Catches a copy over an immutable target, into an immutable folder, or a delete of an
// immutable file that does not report the failure or changes anything.
TEST_F(SyncMachineTest, ImmutableFilesAndFoldersFailIntoTheErrorBox) {
  tree.Write("left/t.txt", "new", 2000000000);
  tree.Write("right/t.txt", "old", 1000000000);
  tree.Write("left/locked/n.txt", "new", 2000000000);
  tree.Write("right/locked/n.txt", "old", 1000000000);
  tree.Write("right/d.txt", "delete me");
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("locked/n.txt", "locked/n.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  Snapshot before = Snap();
  {
    Immutable file(tree.Path("right/t.txt"));
    Immutable folder(tree.Path("right/locked"));
    Immutable doomed(tree.Path("right/d.txt"));
    if (!file.ok() || !folder.ok() || !doomed.ok())
      GTEST_SKIP() << "the file system refuses the immutable flag";
    Sync();
  }
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
  EXPECT_EQ(s.host.boxes.size(), 3u);
  EXPECT_EQ(s.list.RowCount(), 3);
}

// Catches a run as an ordinary user that, without write access to the target folder,
// loses the target or does not report the failure.
TEST_F(SyncMachineTest, NoWriteAccessFailsIntoTheErrorBox) {
  tree.Write("left/t.txt", "new", 2000000000);
  tree.Write("right/t.txt", "old", 1000000000);
  tree.Write("right/d.txt", "delete me");
  ASSERT_EQ(chmod(tree.Path("").c_str(), 0755), 0);
  Fill();
  SetMark("t.txt", "t.txt", Mark::kCopyRight);
  SetMark("", "d.txt", Mark::kDeleteRight);
  Snapshot before = Snap();
  int result = RunAsNobody([this] {
    Sync();
    return static_cast<int>(s.host.boxes.size()) * 10 + s.list.RowCount();
  });
  if (result == 200) GTEST_SKIP() << "cannot drop to uid nobody";
  EXPECT_EQ(result, 22);  // two boxes, two rows kept
  EXPECT_EQ(ChangedSince(before), std::vector<std::string>{});
}

}  // namespace
}  // namespace tavrik::testing
