// The console's exclusion rules: its options, the user's file, the count on standard error,
// --explain, and rule files that cannot be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

struct RuleTrees {
  RuleTrees() {
    for (const char* side : {"L/", "R/"}) {
      t.Write(std::string(side) + "src/a.c", "a", 1700000000);
      t.Write(std::string(side) + "build/a.o", side, 1700000000);
      t.Write(std::string(side) + "app.log", "l", 1700000000);
      t.Write(std::string(side) + "keep.log", "k", 1700000000);
    }
    t.Write("L/Thumbs.db", "t", 1700000000);
    t.Write("cfg/tavrik/ignore", "# the user's own\n*.log\nThumbs.db\n");
    left = t.Path("L");
    right = t.Path("R");
  }
  std::vector<std::string> Env() const { return {"XDG_CONFIG_HOME=" + t.Path("cfg")}; }
  TempTree t;
  std::string left;
  std::string right;
};

// Catches a source of rules left out or applied out of order on the console (the user's
// file, then the options in the order given), the count of what was left out missing from
// standard error or printed despite --quiet, and --no-user-rules that still reads the file.
TEST(RulesCliTest, UserFileAndOptionsCombineInOrderAndTheCountGoesToStandardError) {
  RuleTrees r;
  Outcome o =
      RunCli(r.t, {"compare", "--age", "--exclude=build/", "--include=keep.log", r.left, r.right},
             r.Env());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "keep.log\t=\tkeep.log\r\nsrc/a.c\t=\tsrc/a.c\r\n");
  // Left: app.log, Thumbs.db, build/; right: app.log, build/.
  EXPECT_NE(o.err.find("tavrik-cli: 5 entries left out by the exclusion rules (3 left, 2 right)\n"),
            std::string::npos)
      << o.err;
  Outcome quiet =
      RunCli(r.t, {"compare", "--age", "--quiet", "--exclude=build/", r.left, r.right}, r.Env());
  EXPECT_EQ(quiet.err, "");
  Outcome no_user = RunCli(r.t, {"fill", "--no-user-rules", "--exclude=*.o", r.left}, r.Env());
  EXPECT_EQ(no_user.out, "app.log\t\t\nkeep.log\t\t\nsrc/a.c\t\t\nThumbs.db\t\t\n");
  EXPECT_EQ(no_user.err, "tavrik-cli: 1 entry left out by the exclusion rules\n");
  // A later --exclude wins over an earlier --include.
  Outcome later = RunCli(r.t, {"fill", "--include=*.log", "--exclude=app.log", r.left}, r.Env());
  EXPECT_EQ(later.out, "build/a.o\t\t\nkeep.log\t\t\nsrc/a.c\t\t\n");
}

// Catches --explain naming the wrong rule, file or line, missing that a folder above the
// path decides it, or taking a folder for a file.
TEST(RulesCliTest, ExplainSaysWhichRuleFileAndLineDecide) {
  RuleTrees r;
  r.t.Write("more", "\n!keep.log\nsrc/\nbuild/\n");
  const std::string more = r.t.Path("more");
  auto explain = [&](const std::string& path) {
    return RunCli(r.t,
                  {"fill", "--exclude-from=" + more, "--explain", path, "--exclude=x/", r.left},
                  r.Env())
        .out;
  };
  const std::string user = r.t.Path("cfg") + "/tavrik/ignore";
  EXPECT_EQ(explain("app.log"), "app.log: excluded by '*.log' (" + user + ", line 2)\n");
  EXPECT_EQ(explain("keep.log"), "keep.log: included by '!keep.log' (" + more + ", line 2)\n");
  EXPECT_EQ(explain("src/a.c"),
            "src/a.c: excluded: its folder 'src' is excluded by 'src/' (" + more + ", line 3)\n");
  EXPECT_EQ(explain("x"), "x: included: no rule decides it\n");
  EXPECT_EQ(explain("x/"), "x/: excluded by 'x/' (command line, argument 5)\n");
  // build is a folder in the left tree, so "build/" holds for it.
  EXPECT_EQ(explain("build"), "build: excluded by 'build/' (" + more + ", line 4)\n");
  EXPECT_EQ(
      explain("build/a.o"),
      "build/a.o: excluded: its folder 'build' is excluded by 'build/' (" + more + ", line 4)\n");
  EXPECT_EQ(explain(".git/config"),
            ".git/config: left out: names beginning with a dot are always left out\n");
}

// Catches a rule file that exists but cannot be read being taken for no rules (the run
// would touch what the user meant to leave out), a FIFO in its place holding the start up,
// and a rule that can never match passing without a word.
TEST(RulesCliTest, UnreadableRuleFilesStopTheRunBeforeAnythingHappens) {
  RuleTrees r;
  r.t.Mkdir("folder");
  Outcome folder =
      RunCli(r.t, {"sync", "--exclude-from=" + r.t.Path("folder"), r.left, r.right}, r.Env());
  EXPECT_EQ(folder.status, 2);
  EXPECT_EQ(folder.out, "");
  EXPECT_EQ(folder.err, "tavrik-cli: Die Ausschlussdatei '" + r.t.Path("folder") +
                            "' kann nicht gelesen werden.\nGrund: Das ist ein Verzeichnis. (21)\n");
  EXPECT_EQ(r.t.Read("R/build/a.o"), "R/");
  ASSERT_EQ(mkfifo(r.t.Path("fifo").c_str(), 0600), 0);
  Outcome fifo = RunCli(r.t, {"fill", "--exclude-from=" + r.t.Path("fifo"), r.left}, r.Env());
  EXPECT_EQ(fifo.status, 2);
  EXPECT_NE(fifo.err.find("Das ist keine gewöhnliche Datei."), std::string::npos) << fifo.err;
  r.t.Mkdir("bad/tavrik/ignore");
  Outcome user = RunCli(r.t, {"run", r.t.Path("none.ini")}, {"XDG_CONFIG_HOME=" + r.t.Path("bad")});
  EXPECT_EQ(user.status, 2);
  EXPECT_NE(user.err.find("Die Ausschlussdatei '" + r.t.Path("bad") + "/tavrik/ignore'"),
            std::string::npos);
  EXPECT_EQ(user.err.find("Steuerdatei"), std::string::npos) << "the batch ran: " << user.err;
  Outcome never = RunCli(r.t, {"fill", "--exclude=[abc", r.left}, r.Env());
  EXPECT_EQ(never.status, 0);
  EXPECT_NE(never.err.find("tavrik-cli: command line, argument 2: the rule '[abc' can never match"),
            std::string::npos)
      << never.err;
  Outcome missing = RunCli(r.t, {"fill", r.left}, {"XDG_CONFIG_HOME=" + r.t.Path("nothing")});
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.err, "");
}

// Runs the console as the user nobody through setpriv, with HOME set to home and no
// XDG_CONFIG_HOME, as a service or "sudo -u" without a new HOME runs it.
Outcome RunAsNobody(const TempTree& t, const std::string& home,
                    const std::vector<std::string>& args) {
  return RunCliWith(t, args, {"HOME=" + home}, {"XDG_CONFIG_HOME"},
                    {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
}

// Catches the user's own files stopping every run where their folder cannot be searched
// (another user with the first one's HOME: there is no file to read, git warns and goes
// on), a warning where they simply do not exist, and the user's or a named file that exists
// but cannot be read no longer stopping the run (its rules would let excluded files through,
// a sync would keep no versions).
TEST(RulesCliTest, UserFilesWhoseFolderCannotBeSearchedAreLeftOutWithAWarning) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIP: running as another user needs root";
  TempTree t;
  if (RunAsNobody(t, "/", {"--version"}).status != 0)
    GTEST_SKIP() << "SKIP: setpriv cannot run the console as nobody";
  ASSERT_EQ(chmod(t.Path("").c_str(), 0755), 0);
  t.Write("d/a.txt", "a");
  t.Write("d/b.log", "b");
  const std::string d = t.Path("d");
  // A home only its owner may search, with rules that would leave b.log out.
  t.Write("closed/.config/tavrik/ignore", "*.log\n");
  t.Write("closed/.config/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\n");
  ASSERT_EQ(chmod(t.Path("closed").c_str(), 0700), 0);
  t.Mkdir("open");
  t.Write("rules/.config/tavrik/ignore", "*.log\n");
  ASSERT_EQ(chmod(t.Path("rules/.config/tavrik/ignore").c_str(), 0), 0);
  t.Write("ini/.config/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\n");
  ASSERT_EQ(chmod(t.Path("ini/.config/tavrik/tavrik.ini").c_str(), 0), 0);
  t.Mkdir("link/.config/tavrik");
  ASSERT_EQ(symlink(t.Path("closed/.config/tavrik/ignore").c_str(),
                    t.Path("link/.config/tavrik/ignore").c_str()),
            0);
  const std::string closed_rules = t.Path("closed/.config/tavrik/ignore");
  const std::string warning = "tavrik-cli: warning: unable to access '" + t.Path("closed") +
                              "/.config/tavrik/': " + strerror(EACCES) +
                              "; going on without the rules and settings kept there\n";
  const auto unreadable = [](const char* what, const std::string& path) {
    return "tavrik-cli: Die " + std::string(what) + " '" + path +
           "' kann nicht gelesen werden.\nGrund: Zugriff verweigert. (13)\n";
  };
  struct Case {
    const char* what;
    const char* home;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"home closed", "closed", {"fill", d}, 0, "a.txt\t\t\nb.log\t\t\n", warning},
      {"home closed, compare", "closed", {"compare", "--age", "--quiet", d, d}, 0, "", warning},
      {"home closed, no user rules",
       "closed",
       {"fill", "--no-user-rules", d},
       0,
       "a.txt\t\t\nb.log\t\t\n",
       warning},
      {"no files", "open", {"fill", d}, 0, "a.txt\t\t\nb.log\t\t\n", ""},
      {"rule file unreadable",
       "rules",
       {"fill", d},
       2,
       "",
       unreadable("Ausschlussdatei", t.Path("rules/.config/tavrik/ignore"))},
      {"settings file unreadable",
       "ini",
       {"fill", d},
       2,
       "",
       unreadable("Einstellungsdatei", t.Path("ini/.config/tavrik/tavrik.ini"))},
      {"rule file a link into the closed home",
       "link",
       {"fill", d},
       2,
       "",
       unreadable("Ausschlussdatei", t.Path("link/.config/tavrik/ignore"))},
      {"named rule file in the closed home",
       "open",
       {"fill", "--exclude-from=" + closed_rules, d},
       2,
       "",
       unreadable("Ausschlussdatei", closed_rules)},
  };
  for (const Case& c : cases) {
    Outcome o = RunAsNobody(t, t.Path(c.home), c.args);
    EXPECT_EQ(o.status, c.status) << c.what;
    EXPECT_EQ(o.out, c.out) << c.what;
    EXPECT_EQ(o.err, c.err) << c.what;
  }
}

}  // namespace
}  // namespace tavrik::testing
