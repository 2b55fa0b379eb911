// End-to-end runs of the console front end's batch command on real folder trees.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/age_trees.h"
#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::Outcome;
using testing::RunCli;
using testing::TempTree;

// The age-comparison trees with the control file that runs on them.
struct Trees : testing::AgeTrees {
  std::string Control(const std::string& autostart) const {
    return t.Write("steuer.ini", "[Pfade]\r\nLinks=" + left + "\r\nRechts=" + right +
                                     "\r\n[AutoStart]\r\n" + autostart);
  }
};

const char* const kAgeClipboard =
    "\t? <--\tnur-rechts.txt\r\n"
    "alt.txt\t<--\talt.txt\r\n"
    "gleich.txt\t=\tgleich.txt\r\n"
    "neu.txt\t-->\tneu.txt\r\n"
    "nur-links.txt\t? -->\t\r\n";

// Catches the clipboard text altered on its way to standard output, a result box in an
// unattended run, and the synchronisation not carrying out the marks.
// The tree assertions need the real synchronisation run.
TEST(RunCliTest, AgeComparisonClipboardAndSync) {
  Trees trees;
  const std::string control =
      trees.Control("Altersvergleich=1\r\nZwischenablage=1\r\nAbgleich=1\r\n");
  Outcome o = RunCli(trees.t, {"run", "--on-error=abort", control});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, kAgeClipboard);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(trees.t.Read("rechts/neu.txt"), "left new");
  EXPECT_EQ(trees.t.Read("links/alt.txt"), "right new");
  EXPECT_EQ(trees.t.Read("links/gleich.txt"), "same");
  // Lone files are only proposed for copying, never copied.
  EXPECT_FALSE(trees.t.Exists("rechts/nur-links.txt"));
  EXPECT_FALSE(trees.t.Exists("links/nur-rechts.txt"));
}

// Catches the program's end losing the clipboard text or the exit status.
TEST(RunCliTest, EndAfterClipboardExitsWithZero) {
  Trees trees;
  Outcome o =
      RunCli(trees.t, {"run", trees.Control("Altersvergleich=1\nZwischenablage=1\nEnde=1\n")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, kAgeClipboard);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(trees.t.Read("rechts/neu.txt"), "right old") << "no sync was asked for";
}

// Catches a refused control file reported with the wrong status, with actions run
// anyway, or with a box text that lost its lines.
TEST(RunCliTest, RefusedControlFileExitsWithTwo) {
  Trees trees;
  Outcome o = RunCli(trees.t, {"run", trees.Control("Ende=1\n")});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "Sie haben Tavrik 1.5 im Batch-Modus aufgerufen. Dabei kam es zu folgendem Fehler:\n"
            "\n * Sie haben keinen Vergleichstyps eingestellt, sondern nur das autom. Ende des "
            "Programms.\n\nDer Batch-Modus wird daher unterbrochen. Bitte überprüfen Sie Ihre "
            "Angaben und starten Sie erneut.\n");
  o = RunCli(trees.t, {"run", trees.t.Path("fehlt.ini")});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find(" * Die Steuerdatei ''" + trees.t.Path("fehlt.ini") +
                       "'' wurde nicht gefunden.\n"),
            std::string::npos)
      << o.err;
}

// Catches the name split at a blank: the control file's name is the whole argument text.
TEST(RunCliTest, ArgumentsAreJoinedIntoOneName) {
  Trees trees;
  const std::string control = trees.Control("Altersvergleich=1\nZwischenablage=1\nEnde=1\n");
  const std::string spaced = trees.t.Path("mein steuer.ini");
  ASSERT_EQ(rename(control.c_str(), spaced.c_str()), 0);
  Outcome o = RunCli(trees.t, {"run", trees.t.Path("mein"), "steuer.ini"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, kAgeClipboard);
}

// Removes a tree whose paths are too long for the path-based calls, through folder
// handles.
void RemoveAt(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd >= 0) {
    DIR* dir = fdopendir(fd);
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    for (const auto& n : names) RemoveAt(dirfd(dir), n.c_str());
    closedir(dir);
    unlinkat(parent, name, AT_REMOVEDIR);
    return;
  }
  unlinkat(parent, name, 0);
}

// Catches "compare" exit codes that do not tell equal trees (0) from different ones (1) and
// from trees that could not be read completely (2).
TEST(RunCliTest, CompareExitsLikeDiff) {
  TempTree t;
  t.Write("L/a.txt", "same");
  t.Write("R/a.txt", "same");
  for (const char* mode : {"--binary", "--age"}) {
    t.SetTime("L/a.txt", 1000000000);
    t.SetTime("R/a.txt", 1000000000);
    EXPECT_EQ(RunCli(t, {"compare", mode, t.Path("L"), t.Path("R")}).status, 0) << mode;
  }
  t.Write("R/a.txt", "different", 1000000000);
  EXPECT_EQ(RunCli(t, {"compare", "--binary", t.Path("L"), t.Path("R")}).status, 1);
  t.Write("R/a.txt", "same", 1000000000);
  t.Write("L/only.txt", "orphan");
  EXPECT_EQ(RunCli(t, {"compare", "--age", t.Path("L"), t.Path("R")}).status, 1);
  Outcome missing = RunCli(t, {"compare", "--age", t.Path("L"), t.Path("nowhere")});
  EXPECT_EQ(missing.status, 2) << missing.err;
}

// Catches a failure during the actions (here a folder the scan cannot open because its
// path is too long, which no permission trick can undo) not turning into status 1.
TEST(RunCliTest, FailureDuringTheActionsExitsWithOne) {
  Trees trees;
  const std::string name(200, 'd');
  int fd = open(trees.left.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int depth = 0; depth < 24; ++depth) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0);
  }
  close(fd);
  Outcome o = RunCli(trees.t, {"run", trees.Control("Altersvergleich=1\nZwischenablage=1\n")});
  int root = open(trees.left.c_str(), O_RDONLY | O_DIRECTORY);
  RemoveAt(root, name.c_str());
  close(root);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Zugriffsfehler 36 auf '"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("Ergebnis des Versionsvergleichs von 5 Dateien:"), std::string::npos);
  EXPECT_EQ(o.out, kAgeClipboard) << "the later steps still run";
}

}  // namespace
}  // namespace tavrik
