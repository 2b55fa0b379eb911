// End-to-end runs of versions, "tavrik-cli undo" and the hour correction: options, the
// user's tavrik.ini and a control file, exit statuses, and what the console says.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/real_fs.h"
#include "support/temp_tree.h"
#include "support/tree_snapshot.h"

namespace tavrik::testing {
namespace {

// Keeps the user's real configuration out of the runs: the child sees the test's own.
class UndoCliTest : public ::testing::Test {
 protected:
  UndoCliTest() {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv("XDG_CONFIG_HOME", t.Path("cfg").c_str(), 1);
    for (int i = 0; i < 4; ++i) {
      t.Write("L/f" + std::to_string(i), "new " + std::to_string(i), 1700001000 + i);
      t.Write("R/f" + std::to_string(i), "old " + std::to_string(i), 1700000000 + i);
    }
  }
  ~UndoCliTest() override {
    if (had_)
      setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  Outcome Cli(const std::vector<std::string>& args) { return RunCli(t, args); }
  Snapshot Right() const { return TakeSnapshotWithout(t.Path("R"), ".tavrik-versions"); }
  int Runs(const std::string& side) const {
    int n = 0;
    for (const auto& [path, state] : TakeSnapshot(t.Path(side + "/.tavrik-versions")))
      n += path.find('/') == std::string::npos;
    return n;
  }

  TempTree t;

 private:
  bool had_ = false;
  std::string saved_;
};

// Catches an undo the console cannot reach, a dry run that changes files or prints no
// steps, a changed file that is overwritten or does not fail the exit status, and an undo
// of the undo that does not bring the run's result back.
TEST_F(UndoCliTest, SyncWithVersionsThenUndoItAndUndoTheUndo) {
  const Snapshot before = Right();
  ASSERT_EQ(Cli({"sync", "--versions", t.Path("L"), t.Path("R")}).status, 0);
  const Snapshot synced = Right();
  ASSERT_NE(before, synced);

  Outcome dry = Cli({"undo", "--dry-run", t.Path("R")});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("put-back\t" + t.Path("R/f2") + "\n"), std::string::npos) << dry.out;
  EXPECT_EQ(Right(), synced);

  t.Write("R/f3", "edited after the sync", 1700009999);
  Outcome undo = Cli({"undo", t.Path("R")});
  EXPECT_EQ(undo.status, 1);
  EXPECT_NE(undo.err.find("Die Datei '" + t.Path("R/f3") +
                          "'\nwurde nach dem Abgleich verändert und bleibt, wie sie ist."),
            std::string::npos)
      << undo.err;
  EXPECT_NE(undo.out.find("3 replaced files put back"), std::string::npos) << undo.out;
  EXPECT_EQ(t.Read("R/f0"), "old 0");
  EXPECT_EQ(t.Read("R/f3"), "edited after the sync");

  Outcome again = Cli({"undo", t.Path("R")});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(t.Read("R/f0"), "new 0");
  EXPECT_EQ(Cli({"undo", t.Path("L")}).status, 0) << "the left side has the run's record too";
}

// Catches options that do not override the user's file, a control file that does not
// override it, retention that ignores Behalten, --versions with --trash accepted, and
// bad numbers or an undo with nothing recorded passing as success.
TEST_F(UndoCliTest, FilesAndOptionsDecideVersionsAndBadUseIsRefused) {
  t.Write("cfg/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\nBehalten=2\n");
  for (int run = 0; run < 3; ++run) {
    t.Write("L/g", "run " + std::to_string(run), 1700002000 + 10 * run);
    Outcome o = Cli({"sync", "--copy-new", t.Path("L"), t.Path("R")});
    ASSERT_EQ(o.status, 0) << o.err;
  }
  EXPECT_EQ(Runs("R"), 2);
  t.Write("L/g", "run 4", 1700003000);
  ASSERT_EQ(Cli({"sync", "--no-versions", t.Path("L"), t.Path("R")}).status, 0);
  ASSERT_EQ(Cli({"sync", "--trash", t.Path("L"), t.Path("R")}).status, 0);
  EXPECT_EQ(Runs("R"), 2);
  t.Write("L/g", "run 5", 1700004000);
  Outcome pruned = Cli({"sync", "--keep-versions=1", t.Path("L"), t.Path("R")});
  EXPECT_EQ(Runs("R"), 1);
  EXPECT_NE(pruned.err.find("pruned old versions: " + t.Path("R/.tavrik-versions/")),
            std::string::npos)
      << pruned.err;

  t.Write("job.ini",
          "[Pfade]\nLinks=" + t.Path("L") + "\nRechts=" + t.Path("R") +
              "\n[AutoStart]\nAltersvergleich=1\nAbgleich=1\n[Sicherung]\nVersionen=0\n");
  t.Write("L/g", "run 6", 1700005000);
  ASSERT_EQ(Cli({"run", t.Path("job.ini")}).status, 0);
  EXPECT_EQ(Runs("R"), 1) << "the control file switched versions off";
  t.Write("L/g", "run 7", 1700006000);
  ASSERT_EQ(Cli({"run", "--versions", "--keep-versions=5", t.Path("job.ini")}).status, 0);
  EXPECT_EQ(Runs("R"), 2) << "the option overrode the control file";

  EXPECT_EQ(Cli({"sync", "--versions", "--trash", t.Path("L"), t.Path("R")}).status, 2);
  for (const char* bad : {"--keep-versions=0", "--keep-versions=x", "--keep-versions="})
    EXPECT_EQ(Cli({"sync", bad, t.Path("L"), t.Path("R")}).status, 2) << bad;
  EXPECT_EQ(Cli({"undo"}).status, 2);
  t.Mkdir("empty");
  Outcome nothing = Cli({"undo", t.Path("empty")});
  EXPECT_EQ(nothing.status, 2);
  EXPECT_NE(nothing.err.find("no run recorded"), std::string::npos) << nothing.err;
  Outcome help = Cli({"--help"});
  for (const char* option : {"--versions", "--keep-versions=N", "--no-hour-correction", "undo"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

// Catches a console that keeps quiet about a shift it corrected, or one whose option or
// control-file key does not switch the correction off. Needs the real FAT driver, which
// reads the stick's local times by its own time zone.
TEST_F(UndoCliTest, TheConsoleSaysWhenItCorrectedTheHourOfAFatFolder) {
  RealFs fat(RealFsKind::kFat);
  REAL_FS_OR_SKIP(fat);
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  ASSERT_TRUE(fat.Remount()) << fat.why();
  t.Mkdir("H");
  for (int i = 0; i < 22; ++i) {
    const std::string name = "h" + std::to_string(i);
    t.Write("H/" + name, "same", 1700000000 + 2 * i);
    std::ofstream(fat.Path(name)) << "same";
    struct timespec times[2] = {{1700000000 + 2 * i, 0}, {1700000000 + 2 * i, 0}};
    utimensat(AT_FDCWD, fat.Path(name).c_str(), times, 0);
  }
  setenv("TZ", "UTC-1", 1);
  const bool remounted = fat.Remount();
  if (old_tz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  ASSERT_TRUE(remounted) << fat.why();
  Outcome corrected = Cli({"compare", "--age", t.Path("H"), fat.Dir()});
  EXPECT_EQ(corrected.status, 0) << corrected.out;
  EXPECT_NE(corrected.err.find("time of the right folder shifted by -1 h: FAT stores local time; "
                               "0 pairs left undecided\n"),
            std::string::npos)
      << corrected.err;
  Outcome plain = Cli({"compare", "--age", "--no-hour-correction", t.Path("H"), fat.Dir()});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err.find("shifted"), std::string::npos) << plain.err;
  t.Write("cfg/tavrik/tavrik.ini", "[Sicherung]\nStundenkorrektur=0\n");
  EXPECT_EQ(Cli({"compare", "--age", t.Path("H"), fat.Dir()}).status, 1);
}

}  // namespace
}  // namespace tavrik::testing
