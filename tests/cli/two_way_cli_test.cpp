// End-to-end runs of the two-way sync through the console: the memory of the pair makes
// deletions travel, keeps a change on both sides, carries a rename out as a rename, refuses
// a root that looks lost, survives an aborted run and an undo.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

constexpr long long kT0 = 1700000000;

std::string Numbered(const std::string& folder, int i) {
  std::string name = folder;
  name += "/f";
  name += std::to_string(i);
  name += ".txt";
  return name;
}

class TwoWayCliTest : public ::testing::Test {
 protected:
  TwoWayCliTest() {
    t.Mkdir("L");
    t.Mkdir("R");
    t.Mkdir("cfg");
  }
  // Never the user's own settings: a tavrik.ini of the test's own, when one is written.
  Outcome Cli(std::vector<std::string> args) const {
    return RunCli(t, args, {"XDG_CONFIG_HOME=" + t.Path("cfg")});
  }
  Outcome Sync(std::vector<std::string> options = {}) const {
    options.insert(options.begin(), "sync");
    options.push_back(t.Path("L"));
    options.push_back(t.Path("R"));
    return Cli(options);
  }
  // The same file on both sides, as after a sync.
  void Both(const std::string& rel, const std::string& content, long long mtime = kT0) const {
    t.Write("L/" + rel, content, mtime);
    t.Write("R/" + rel, content, mtime);
  }
  bool HasState(const std::string& side) const { return t.Exists(side + "/.tavrik-state"); }

  TempTree t;
};

// A new user's first try: a deletion came back, a change on both sides was overwritten and
// a rename left both names on both sides.
TEST_F(TwoWayCliTest, DeletionTravelsConflictStaysRenameIsRenamed) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) Both(name, name);
  const Outcome first = Sync({"--two-way"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("noch keinen gemeinsamen Stand"), std::string::npos) << first.err;
  ASSERT_TRUE(HasState("L") && HasState("R"));

  std::remove(t.Path("L/b.txt").c_str());
  t.Write("L/c.txt", "left edit", kT0 + 100);
  t.Write("R/c.txt", "right edit, later", kT0 + 200);
  ASSERT_EQ(std::rename(t.Path("R/d.txt").c_str(), t.Path("R/d-renamed.txt").c_str()), 0);

  const Outcome second = Sync({"--two-way"});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_FALSE(t.Exists("R/b.txt"));
  EXPECT_FALSE(t.Exists("L/b.txt"));
  EXPECT_EQ(t.Read("L/c.txt"), "left edit");
  EXPECT_EQ(t.Read("R/c.txt"), "right edit, later");
  EXPECT_FALSE(t.Exists("L/d.txt"));
  EXPECT_FALSE(t.Exists("R/d.txt"));
  EXPECT_EQ(t.Read("L/d-renamed.txt"), "d.txt");
  EXPECT_EQ(t.Read("R/d-renamed.txt"), "d.txt");
  EXPECT_NE(second.err.find("1 Dateien wurden links gelöscht."), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("1 Dateien wurden auf beiden Seiten geändert und werden übergangen."),
            std::string::npos);
  EXPECT_NE(second.err.find("1 Dateien wurden verschoben."), std::string::npos);
  EXPECT_EQ(second.err.find("noch keinen gemeinsamen Stand"), std::string::npos);

  // Nothing left to do but the conflict.
  const Outcome third = Sync({"--two-way", "--dry-run"});
  EXPECT_EQ(third.status, 0);
  EXPECT_EQ(third.out, "") << third.out;
}

// A dry run that printed a move as a copy and a deletion, or JSON without the move's kind
// and the rows' reasons.
TEST_F(TwoWayCliTest, DryRunShowsMoveAsOneLine) {
  Both("sub/d.txt", "ddd");
  Both("keep.txt", "k");
  ASSERT_EQ(Sync({"--two-way"}).status, 0);
  t.Mkdir("L/moved");
  ASSERT_EQ(std::rename(t.Path("L/sub/d.txt").c_str(), t.Path("L/moved/d.txt").c_str()), 0);
  t.Write("L/new.txt", "n", kT0 + 5);

  const Outcome text = Sync({"--two-way", "--dry-run"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("mv\t" + t.Path("R/sub/d.txt") + "\t" + t.Path("R/moved/d.txt") + "\n"),
            std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("X->"), std::string::npos) << text.out;

  const Outcome json = Sync({"--two-way", "--dry-run", "--format=json"});
  EXPECT_NE(json.out.find("\"what\":\"move\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"why\":\"moved\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"why\":\"new\""), std::string::npos) << json.out;
  EXPECT_TRUE(t.Exists("R/sub/d.txt"));  // a dry run changes nothing

  const Outcome rows =
      Cli({"compare", "--age", "--two-way", "--format=json", t.Path("L"), t.Path("R")});
  EXPECT_NE(rows.out.find("\"why\":\"moved\""), std::string::npos) << rows.out;
}

// A wiped or unmounted side taken as "everything deleted": the other side emptied.
TEST_F(TwoWayCliTest, LostRootIsRefusedBeforeAnyChange) {
  for (int i = 0; i < 12; ++i) Both(Numbered("", i).substr(1), "x");
  ASSERT_EQ(Sync({"--two-way"}).status, 0);
  for (int i = 0; i < 12; ++i) std::remove(t.Path(Numbered("L", i)).c_str());
  t.Write("R/f0.txt", "changed on the right", kT0 + 60);

  // The dry run says so too, rather than show a plan that would never run.
  for (bool dry_run : {false, true}) {
    std::vector<std::string> options = {"--two-way"};
    if (dry_run) options.push_back("--dry-run");
    const Outcome refused = Sync(options);
    EXPECT_EQ(refused.status, 2) << dry_run << refused.err;
    EXPECT_NE(refused.err.find("12"), std::string::npos) << dry_run << refused.err;
  }
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(t.Exists(Numbered("R", i))) << i;
  EXPECT_FALSE(t.Exists("L/f0.txt"));

  // compare shows them as orphans and keeps its exit codes.
  const Outcome compared = Cli({"compare", "--age", "--two-way", t.Path("L"), t.Path("R")});
  EXPECT_EQ(compared.status, 1);
  EXPECT_EQ(compared.out.find("X->"), std::string::npos) << compared.out;
}

// Bad limits run on as the default, or the option taken where it means nothing.
TEST_F(TwoWayCliTest, OptionsAreChecked) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;
  };
  const std::string l = t.Path("L"), r = t.Path("R");
  const Case cases[] = {
      {{"sync", "--two-way", "--max-delete=abc", l, r}, 2, "Ungültige Grenze"},
      {{"sync", "--two-way", "--max-delete=101%", l, r}, 2, "Ungültige Grenze"},
      {{"sync", "--two-way", "--max-delete=-3", l, r}, 2, "Ungültige Grenze"},
      {{"sync", "--two-way", "--max-delete=", l, r}, 2, "Ungültige Grenze"},
      {{"compare", "--binary", "--two-way", l, r}, 2, "--age only"},
      {{"fill", "--two-way", l}, 2, "unknown option"},
      {{"sync", "--two-way", "--max-delete=25%", l, r}, 0, ""},
      {{"sync", "--no-two-way", "--max-delete=7", l, r}, 0, ""},
  };
  for (const Case& c : cases) {
    const Outcome o = Cli(c.args);
    EXPECT_EQ(o.status, c.status) << c.args[2] << " " << o.err;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
  }
}

// A run cut off by Abort that saved no state: the file it had copied looks changed on both
// sides at the next run, and the user's newer edit becomes a false conflict.
TEST_F(TwoWayCliTest, AbortedRunSavesWhatEndedEqual) {
  Both("a.txt", "a0");
  Both("z.txt", "z0");
  ASSERT_EQ(Sync({"--two-way"}).status, 0);
  t.Write("L/a.txt", "a1", kT0 + 10);
  t.Write("L/z.txt", "z1", kT0 + 10);
  // The walk goes from the last row to the first: z.txt is copied, then a.txt fails.
  ASSERT_EQ(chmod(t.Path("R/a.txt").c_str(), 0444), 0);
  const Outcome aborted = Sync({"--two-way", "--on-error=abort"});
  EXPECT_EQ(aborted.status, 1) << aborted.err;
  ASSERT_EQ(t.Read("R/z.txt"), "z1");

  ASSERT_EQ(chmod(t.Path("R/a.txt").c_str(), 0644), 0);
  t.Write("L/z.txt", "z2, edited again", kT0 + 20);
  const Outcome clean = Sync({"--two-way"});
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(clean.err.find("auf beiden Seiten"), std::string::npos) << clean.err;
  EXPECT_EQ(t.Read("R/z.txt"), "z2, edited again");
  EXPECT_EQ(t.Read("R/a.txt"), "a1");
}

// An undo that left a move in place, or left the state trusted so that the next run took
// the undone files for deletions.
TEST_F(TwoWayCliTest, UndoRenamesBackAndForgetsTheState) {
  Both("docs/d.txt", "ddd");
  Both("e.txt", "e");
  ASSERT_EQ(Sync({"--two-way", "--versions"}).status, 0);
  t.Mkdir("L/new");
  ASSERT_EQ(std::rename(t.Path("L/docs/d.txt").c_str(), t.Path("L/new/d.txt").c_str()), 0);
  ASSERT_EQ(rmdir(t.Path("L/docs").c_str()), 0);
  const Outcome moved = Sync({"--two-way", "--versions"});
  ASSERT_EQ(moved.status, 0) << moved.err;
  ASSERT_TRUE(t.Exists("R/new/d.txt"));
  ASSERT_FALSE(t.Exists("R/docs/d.txt"));
  ASSERT_FALSE(t.Exists("R/docs"));  // emptied by the move, gone on the left too

  const Outcome dry = Cli({"undo", "--dry-run", t.Path("R")});
  EXPECT_NE(dry.out.find("move-back\t" + t.Path("R/new/d.txt") + "\t" + t.Path("R/docs/d.txt")),
            std::string::npos)
      << dry.out;
  const Outcome undone = Cli({"undo", t.Path("R")});
  EXPECT_EQ(undone.status, 0) << undone.err;
  EXPECT_EQ(t.Read("R/docs/d.txt"), "ddd");
  EXPECT_FALSE(t.Exists("R/new/d.txt"));

  // The state no longer counts: nothing is proposed for deletion.
  const Outcome after = Sync({"--two-way", "--dry-run"});
  EXPECT_NE(after.err.find("noch keinen gemeinsamen Stand"), std::string::npos) << after.err;
  EXPECT_EQ(after.out.find("X->"), std::string::npos) << after.out;
  EXPECT_EQ(after.out.find("<-X"), std::string::npos) << after.out;
}

}  // namespace
}  // namespace tavrik::testing
