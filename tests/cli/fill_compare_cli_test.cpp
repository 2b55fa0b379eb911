// The console front end's fill and compare commands on real folder trees: what they print,
// where, and the exit code a script relies on.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/age_trees.h"
#include "support/cli_runner.h"

namespace tavrik::testing {
namespace {

// Catches fill printing other rows than the list holds (pairing, sorted order, marks) or writing
// anything but rows to standard output.
TEST(FillCliTest, PrintsTheRowsOfOneOrBothColumns) {
  AgeTrees trees;
  Outcome one = RunCli(trees.t, {"fill", trees.left});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, "alt.txt\t\t\ngleich.txt\t\t\nneu.txt\t\t\nnur-links.txt\t\t\n");
  EXPECT_EQ(one.err, "");
  Outcome both = RunCli(trees.t, {"fill", trees.left, trees.right});
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out,
            "\t\tnur-rechts.txt\nalt.txt\t\talt.txt\ngleich.txt\t\tgleich.txt\n"
            "neu.txt\t\tneu.txt\nnur-links.txt\t\t\n");
}

// Catches a folder that cannot be listed being passed over in silence with success: a root
// that is missing stops the run with status 2 before anything is printed.
TEST(FillCliTest, AFolderThatCannotBeListedIsReported) {
  AgeTrees trees;
  Outcome o = RunCli(trees.t, {"fill", trees.left, trees.t.Path("gibt-es-nicht")});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "tavrik-cli: " + trees.t.Path("gibt-es-nicht") + ": " + strerror(ENOENT) + "\n");
  EXPECT_EQ(o.out, "");
}

// Catches compare exit codes that do not tell a script what it found: 0 only when every
// row is "=", 1 when a row differs, 2 when something could not be read.
TEST(CompareCliTest, ExitCodesSayEqualDifferentOrUnreadable) {
  AgeTrees trees;
  Outcome age = RunCli(trees.t, {"compare", "--age", trees.left, trees.right});
  EXPECT_EQ(age.status, 1);
  EXPECT_EQ(age.out,
            "\t? <--\tnur-rechts.txt\r\nalt.txt\t<--\talt.txt\r\ngleich.txt\t=\tgleich.txt\r\n"
            "neu.txt\t-->\tneu.txt\r\nnur-links.txt\t? -->\t\r\n");
  EXPECT_NE(age.err.find("Ergebnis des Versionsvergleichs von 5 Dateien:"), std::string::npos);

  const std::string a = trees.t.Mkdir("a");
  const std::string b = trees.t.Mkdir("b");
  trees.t.Write("a/same.txt", "same", 1000000000);
  trees.t.Write("b/same.txt", "same", 1200000000);
  Outcome equal = RunCli(trees.t, {"compare", "--binary", a, b});
  EXPECT_EQ(equal.status, 0) << equal.err;
  EXPECT_EQ(equal.out, "same.txt\t=\tsame.txt\r\n");
  EXPECT_NE(equal.err.find("Beide Verzeichnisse sind vollkommen identisch!"), std::string::npos);

  Outcome missing = RunCli(trees.t, {"compare", "--binary", a, trees.t.Path("fehlt")});
  EXPECT_EQ(missing.status, 2);
}

// Catches an empty LEFT (or one whose entries the rules all leave out) turning the right
// fill into a left fill: BACKUP's files reported as left-only, a dry run planning copies to
// paths without a root, and a restore into an empty folder that fails every row.
TEST(FillCliTest, AnEmptyLeftFolderKeepsTheSidesAsNamed) {
  struct Case {
    const char* what;
    const char* left_file;  // the one file LEFT holds, or nullptr
  };
  for (const Case& c : {Case{"empty", nullptr}, Case{"excluded entries only", "x.tmp"}}) {
    TempTree t;
    const std::string left = t.Mkdir("leer") + "/";
    if (c.left_file) t.Write(std::string("leer/") + c.left_file, "x");
    t.Write("backup/a.txt", "a", 1500000000);
    t.Write("backup/sub/b.txt", "bb", 1500000000);
    const std::string backup = t.Path("backup/");
    const std::string rules = "--exclude=*.tmp";

    Outcome fill = RunCli(t, {"fill", rules, "--quiet", left, backup});
    EXPECT_EQ(fill.out, "") << c.what;
    fill = RunCli(t, {"fill", rules, left, backup});
    EXPECT_EQ(fill.out, "\t\ta.txt\n\t\tsub/b.txt\n") << c.what;

    Outcome compare = RunCli(t, {"compare", "--age", rules, left, backup});
    EXPECT_EQ(compare.status, 1) << c.what << compare.err;
    EXPECT_EQ(compare.out, "\t? <--\ta.txt\r\n\t? <--\tsub/b.txt\r\n") << c.what;
    Outcome json = RunCli(t, {"compare", "--age", "--format=json", rules, left, backup});
    EXPECT_EQ(json.out.find("{\"left\":\"\",\"mark\":\"? <--\",\"right\":\"a.txt\""), 0u)
        << c.what << json.out;

    Outcome dry = RunCli(t, {"sync", "--copy-new", "--dry-run", rules, left, backup});
    EXPECT_EQ(dry.status, 0) << c.what << dry.err;
    EXPECT_EQ(dry.out, "<--\t" + left + "sub/b.txt\t" + backup + "sub/b.txt\n<--\t" + left +
                           "a.txt\t" + backup + "a.txt\n")
        << c.what;

    Outcome restore = RunCli(t, {"sync", "--copy-new", rules, left, backup});
    EXPECT_EQ(restore.status, 0) << c.what << restore.err;
    EXPECT_EQ(t.Read("leer/a.txt"), "a") << c.what;
    EXPECT_EQ(t.Read("leer/sub/b.txt"), "bb") << c.what;
    EXPECT_EQ(t.Read("backup/a.txt"), "a") << c.what;
    EXPECT_FALSE(t.Exists("a.txt")) << c.what;
  }
}

}  // namespace
}  // namespace tavrik::testing
