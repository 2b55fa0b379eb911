// End-to-end runs of "tavrik-cli sync": rows left in clipboard format on standard output,
// error boxes on standard error, exit status, and system calls made to fail under strace.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/fault_tools.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

extern char** environ;

namespace tavrik::testing {
namespace {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

class SyncCliTest : public ::testing::Test {
 protected:
  SyncCliTest() {
    tree.Mkdir("left");
    tree.Mkdir("right");
    tree.Mkdir("io");
  }

  // Runs the program (under a wrapper such as strace when given) with its output in files.
  CliRun Run(std::vector<std::string> args, std::vector<std::string> wrapper = {}) const {
    std::vector<std::string> all = wrapper;
    all.push_back(TAVRIK_CLI);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string out = tree.Path("io/out"), err = tree.Path("io/err");
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CliRun run;
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&files);
    run.out = tree.Read("io/out");
    run.err = tree.Read("io/err");
    return run;
  }
  CliRun Sync(std::vector<std::string> options = {}, std::vector<std::string> wrapper = {}) const {
    options.insert(options.begin(), "sync");
    options.push_back(tree.Path("left"));
    options.push_back(tree.Path("right"));
    return Run(options, wrapper);
  }

  Snapshot Snap() const { return TakeSnapshotWithout(tree.Path(""), "io"); }

  // The box as the console prints it, with the reason line under the detail.
  std::string CopyBox(const std::string& rel, const std::string& reason) const {
    return "Abgleichsfehler:\n\nDie Datei '" + tree.Path("left/" + rel) + "'\nkonnte nicht nach '" +
           tree.Path("right/" + rel) + "'\nkopiert werden.\n" + reason +
           "\n\nBitte quittieren oder abbrechen\n";
  }

  static int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  TempTree tree;
};

// Catches a sync that does not copy newer files both ways with their times, or that
// reports failures or rows where there were none.
TEST_F(SyncCliTest, CopiesNewerFilesBothWaysAndLeavesNoRows) {
  tree.Write("left/a.txt", "left is newer", 2000000000);
  tree.Write("right/a.txt", "old", 1000000000);
  tree.Write("left/sub/b.txt", "old", 1000000000);
  tree.Write("right/sub/b.txt", "right is newer", 2000000000);
  tree.Write("left/only.txt", "orphan, not copied");
  CliRun run = Sync();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");  // nothing failed: no box, not even the comparison's result
  Snapshot after = Snap();
  EXPECT_EQ(after["right/a.txt"].hash, after["left/a.txt"].hash);
  EXPECT_EQ(after["right/a.txt"].mtime_sec, 2000000000);
  EXPECT_EQ(after["left/sub/b.txt"].hash, after["right/sub/b.txt"].hash);
  EXPECT_FALSE(tree.Exists("right/only.txt"));
  // A second run finds every pair equal.
  EXPECT_EQ(Sync().status, 0);
}

// Catches failures that are not reported on standard error, rows that are not left in
// the list, or a wrong exit status, for each answer the console gives.
TEST_F(SyncCliTest, FailedCopiesAreReportedAndTheirRowsPrinted) {
  tree.Write("left/t1.txt", "new", 2000000000);
  tree.Write("right/t1.txt", "old", 1000000000);
  tree.Write("left/t2.txt", "new", 2000000000);
  tree.Write("right/t2.txt", "old", 1000000000);
  Immutable lock1(tree.Path("right/t1.txt"));
  Immutable lock2(tree.Path("right/t2.txt"));
  if (!lock1.ok() || !lock2.ok()) GTEST_SKIP() << "the file system refuses the immutable flag";
  const std::string rows = "t1.txt\t-->\tt1.txt\r\nt2.txt\t-->\tt2.txt\r\n";
  Snapshot before = Snap();
  struct Case {
    std::vector<std::string> options;
    int boxes;
  };
  for (const Case& c : {Case{{}, 2}, Case{{"--on-error=ignore"}, 2}, Case{{"--on-error=abort"}, 1},
                        Case{{"--on-error=retry-once"}, 4}}) {
    const std::string name = c.options.empty() ? "default" : c.options[0];
    CliRun run = Sync(c.options);
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.out, rows) << name;
    EXPECT_EQ(Count(run.err, "Abgleichsfehler:"), c.boxes) << name;
    EXPECT_NE(run.err.find(CopyBox("t2.txt", "Die Operation ist nicht erlaubt.")),
              std::string::npos)
        << name << run.err;
    EXPECT_EQ(Changes(before, Snap()), std::vector<std::string>{}) << name;
  }
}

// Catches an unknown error answer that is taken as a default instead of refused.
TEST_F(SyncCliTest, UnknownErrorAnswerIsAUsageError) {
  CliRun run = Sync({"--on-error=maybe"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("'--on-error=maybe'"), std::string::npos);
}

// strace failing the given calls with error. Leak checking is off under it: a sanitizer
// build's leak checker cannot run in a traced process.
std::vector<std::string> Strace(const std::string& calls, const std::string& error) {
  return {"env",
          "ASAN_OPTIONS=detect_leaks=0",
          "strace",
          "-f",
          "-qq",
          "-o",
          "/dev/null",
          "-e",
          "trace=" + calls,
          "-e",
          "inject=" + calls + ":error=" + error};
}

bool StraceWorks() { return std::system("strace -f -qq -o /dev/null true >/dev/null 2>&1") == 0; }

// Catches a copy that, when rename or copy_file_range fail in the real program,
// leaves a damaged target or a temporary file, or hides the failure.
TEST_F(SyncCliTest, FailingSystemCallsLeaveTheTargetAndAreReported) {
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  tree.Write("left/t.bin", std::string(300000, 'n'), 2000000000);
  tree.Write("right/t.bin", "old target", 1000000000);
  Snapshot before = Snap();
  for (const char* calls : {"rename,renameat,renameat2", "copy_file_range"}) {
    const std::string set = calls;
    CliRun run = Sync({}, Strace(set, "EIO"));
    EXPECT_EQ(run.status, 1) << set << run.err;
    EXPECT_EQ(run.out, "t.bin\t-->\tt.bin\r\n") << set;
    EXPECT_NE(run.err.find(CopyBox("t.bin", "Ein-/Ausgabefehler.")), std::string::npos) << set;
    EXPECT_EQ(Changes(before, Snap()), std::vector<std::string>{}) << set;
  }
}

// Catches a sync on nested roots that runs (and overwrites one row's source with another
// row's copy) or ends with status 0.
TEST_F(SyncCliTest, OverlappingRootsAreRefusedWithStatusOne) {
  tree.Write("left/x.txt", "newer", 2000000000);
  tree.Write("left/sub/x.txt", "older", 1000000000);
  Snapshot before = Snap();
  CliRun run = Run({"sync", tree.Path("left"), tree.Path("left/sub")});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Der Datenabgleich wird nicht ausgeführt:"), std::string::npos) << run.err;
  EXPECT_EQ(Changes(before, Snap()), std::vector<std::string>{});
}

// Catches "compare" calling a pair that could not be read equal or merely different: it
// exits with 2, as diff does on trouble.
TEST_F(SyncCliTest, CompareOfAPairThatCannotBeReadExitsWithTwo) {
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  tree.Write("left/a.bin", "same bytes");
  tree.Write("right/a.bin", "same bytes");
  // -P: only the reads of that one file fail, not the loader's.
  std::vector<std::string> wrapper = Strace("pread64", "EIO");
  wrapper.insert(wrapper.begin() + 5, {"-P", tree.Path("right/a.bin")});
  CliRun run = Run({"compare", "--binary", tree.Path("left"), tree.Path("right")}, wrapper);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("konnte nicht verglichen werden"), std::string::npos) << run.err;
  EXPECT_EQ(Run({"compare", "--binary", tree.Path("left"), tree.Path("right")}).status, 0);
}

// Catches a copy that gives up where copy_file_range is refused across file systems
// instead of copying through a buffer.
TEST_F(SyncCliTest, RefusedCopyFileRangeFallsBackToABufferCopy) {
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  const std::string content(700001, 'q');
  tree.Write("left/t.bin", content, 2000000000);
  tree.Write("right/t.bin", "old", 1000000000);
  CliRun run = Sync({}, Strace("copy_file_range", "EXDEV"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(tree.Read("right/t.bin"), content);
}

}  // namespace
}  // namespace tavrik::testing
