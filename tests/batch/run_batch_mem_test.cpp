#include <gtest/gtest.h>

#include <string>

#include "batch/run_batch.h"
#include "batch_fixture.h"
#include "support/mem_session.h"

namespace tavrik {
namespace {

using testing::ControlText;
using testing::FakeHost;

// A batch run's session on the in-memory file system.
using MemBatch = testing::MemSession;

// Catches a batch run that reads its control file or checks its folders on the real disk
// while it fills from the file system it was given.
TEST(RunBatchOnTheSeamTest, ControlFileAndFolderChecksUseTheGivenFileSystem) {
  MemBatch b;
  b.mem.AddFile("/jobs/job.ini", ControlText("/mem/l", "/mem/r", "Altersvergleich=1\n"));
  b.mem.AddFile("/mem/l/a.txt", "a", 100);
  b.mem.AddFile("/mem/r/a.txt", "a", 100);
  RunBatch(b.ctx, "/jobs/job.ini");
  ASSERT_EQ(b.list.RowCount(), 1);
  EXPECT_EQ(b.list.GetMark(1), Mark::kEqual);
  for (const auto& box : b.host.boxes) EXPECT_NE(box.intent, Intent::kRefusal) << box.text;
}

// Catches folder checks that look at the real disk: "/tmp" exists there, not in memory.
TEST(RunBatchOnTheSeamTest, AFolderOnlyTheRealDiskHasIsReportedMissing) {
  MemBatch b;
  b.mem.AddFile("/jobs/job.ini", ControlText("/tmp", "/mem/r", "Altersvergleich=1\n"));
  b.mem.AddFolder("/mem/r");
  RunBatch(b.ctx, "/jobs/job.ini");
  ASSERT_EQ(b.host.boxes.size(), 1u);
  EXPECT_NE(b.host.boxes[0].text.find("''/tmp/'' für die linke Spalte existiert nicht."),
            std::string::npos)
      << b.host.boxes[0].text;
  EXPECT_EQ(b.list.RowCount(), 0);
}

// Catches the control file being looked for on the real disk.
TEST(RunBatchOnTheSeamTest, AControlFileOnlyTheRealDiskHasIsNotFound) {
  MemBatch b;
  RunBatch(b.ctx, "/etc/hostname");
  ASSERT_EQ(b.host.boxes.size(), 1u);
  EXPECT_NE(b.host.boxes[0].text.find("Die Steuerdatei ''/etc/hostname'' wurde nicht gefunden."),
            std::string::npos);
}

}  // namespace
}  // namespace tavrik
