// The console front end as a conventional command: help and version, usage errors, checked
// roots, exit statuses of compare, quiet runs, progress only on a terminal, dry runs,
// copying new files and the trash.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
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

class CliConventionsTest : public ::testing::Test {
 protected:
  CliConventionsTest() {
    tree.Mkdir("left");
    tree.Mkdir("right");
    tree.Mkdir("io");
  }

  // Runs the program with standard output in a file and standard error in a file, or on
  // a pseudo terminal when err_on_terminal is set.
  CliRun Run(std::vector<std::string> args, bool err_on_terminal = false) const {
    std::vector<std::string> all = {TAVRIK_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string out = tree.Path("io/out"), err = tree.Path("io/err");
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int master = -1;
    if (err_on_terminal) {
      master = posix_openpt(O_RDWR | O_NOCTTY);
      if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo terminal: " << strerror(errno);
        return {};
      }
      posix_spawn_file_actions_addopen(&files, 2, ptsname(master), O_RDWR | O_NOCTTY, 0);
    } else {
      posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    CliRun run;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      if (master >= 0)
        run.err = Drain(master, pid, &status);
      else
        waitpid(pid, &status, 0);
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&files);
    if (master >= 0) close(master);
    run.out = tree.Read("io/out");
    if (master < 0) run.err = tree.Read("io/err");
    return run;
  }

  // Reads the terminal until the child has ended and nothing more comes.
  static std::string Drain(int master, pid_t pid, int* status) {
    std::string text;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
          text.append(buffer, static_cast<size_t>(n));
          continue;
        }
      }
      if (waitpid(pid, status, WNOHANG) == pid) return text;
    }
  }

  CliRun Sync(std::vector<std::string> options = {}, bool err_on_terminal = false) const {
    options.insert(options.begin(), "sync");
    options.push_back(tree.Path("left"));
    options.push_back(tree.Path("right"));
    return Run(options, err_on_terminal);
  }
  Snapshot Snap() const { return TakeSnapshotWithout(tree.Path(""), "io"); }
  // Newer on the left, newer on the right, equal, and one file on each side alone.
  void AgeTrees() const {
    tree.Write("left/neu.txt", "left new", 2000000000);
    tree.Write("right/neu.txt", "right old", 1000000000);
    tree.Write("left/sub/alt.txt", "left old", 1000000000);
    tree.Write("right/sub/alt.txt", "right new", 2000000000);
    tree.Write("left/gleich.txt", "same", 1500000000);
    tree.Write("right/gleich.txt", "same", 1500000000);
    tree.Write("left/nur-links.txt", "l", 1500000000);
    tree.Write("right/nur-rechts.txt", "r", 1500000000);
  }

  TempTree tree;
};

// Catches help going to standard error or exiting non-zero, a missing version, and a
// subcommand taking "--help" for a folder name.
TEST_F(CliConventionsTest, HelpAndVersionGoToStandardOutput) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                               {"-h"},
                                               {"fill", "--help"},
                                               {"sync", "--help"},
                                               {"compare", "-h"},
                                               {"run", "--help"}}) {
    CliRun run = Run(args);
    EXPECT_EQ(run.status, 0) << args.back();
    EXPECT_EQ(run.out.rfind("usage: tavrik-cli fill", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("--dry-run"), std::string::npos);
    EXPECT_EQ(run.err, "");
  }
  CliRun run = Run({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("tavrik-cli [0-9]+\\.[0-9]+\n"))) << run.out;
}

// Catches an unknown option that is ignored, taken as a folder, or reported without its
// name or with another status than 2, and options of one command accepted by another.
TEST_F(CliConventionsTest, UnknownOptionsAreNamedWithStatusTwo) {
  const std::string l = tree.Path("left"), r = tree.Path("right");
  struct Case {
    std::vector<std::string> args;
    std::string named;
  };
  for (const Case& c : {Case{{"--bogus"}, "'--bogus'"}, Case{{"fill", "--bogus", l}, "'--bogus'"},
                        Case{{"compare", "--binary", "--dry-run", l, r}, "'--dry-run'"},
                        Case{{"fill", "--trash", l}, "'--trash'"},
                        Case{{"sync", "--on-error=maybe", l, r}, "'--on-error=maybe'"},
                        Case{{"frobnicate"}, "'frobnicate'"}}) {
    CliRun run = Run(c.args);
    EXPECT_EQ(run.status, 2) << c.named;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  CliRun run = Run({"compare", l, r});
  EXPECT_EQ(run.status, 2) << "compare without a mode";
  EXPECT_EQ(Run({"sync", l}).status, 2) << "one folder for sync";
}

// Catches a missing root or a file as a root compared as an empty folder (a sync against
// it would propose copying everything), and a message without the path or the reason.
TEST_F(CliConventionsTest, UnusableRootsStopBeforeAnythingRuns) {
  AgeTrees();
  tree.Write("a-file", "not a folder");
  const Snapshot before = Snap();
  struct Case {
    std::vector<std::string> args;
    std::string path;
    int error;
  };
  const std::string missing = tree.Path("missing");
  const std::string file = tree.Path("a-file");
  for (const Case& c : {Case{{"sync", tree.Path("left"), missing}, missing, ENOENT},
                        Case{{"sync", file, tree.Path("right")}, file, ENOTDIR},
                        Case{{"compare", "--age", missing, tree.Path("right")}, missing, ENOENT},
                        Case{{"fill", file}, file, ENOTDIR}}) {
    CliRun run = Run(c.args);
    EXPECT_EQ(run.status, 2) << c.path;
    EXPECT_EQ(run.err, "tavrik-cli: " + c.path + ": " + strerror(c.error) + "\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Changes(before, Snap()), std::vector<std::string>{});
}

// Catches compare exiting 0 whatever it found, instead of 0 (all equal), 1 (a difference)
// and 2 (a folder that could not be listed), and --quiet printing the rows or the result.
TEST_F(CliConventionsTest, CompareStatusTellsTheResult) {
  tree.Write("left/a.txt", "same", 1500000000);
  tree.Write("right/a.txt", "same", 1500000000);
  const std::string l = tree.Path("left"), r = tree.Path("right");
  CliRun run = Run({"compare", "--binary", l, r});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "a.txt\t=\ta.txt\r\n");
  EXPECT_EQ(Run({"compare", "--age", "--quiet", l, r}).status, 0);

  tree.Write("right/a.txt", "diff", 1500000000);
  run = Run({"compare", "--binary", "--quiet", l, r});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Run({"compare", "--age", l, r}).status, 0) << "same times";
  tree.Write("right/b.txt", "alone");
  EXPECT_EQ(Run({"compare", "--age", l, r}).status, 1) << "a file on one side only";

  // A folder too deep to be opened by its path: its listing fails.
  std::string deep = "right";
  for (int i = 0; i < 24; ++i) deep += "/" + std::string(200, 'd');
  int fd = open(tree.Path("right").c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < 24 && fd >= 0; ++i) {
    const std::string name(200, 'd');
    mkdirat(fd, name.c_str(), 0755);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(fd);
  run = Run({"compare", "--binary", "--quiet", l, r});
  EXPECT_EQ(run.status, 2);
  // The error line carries the system's reason next to the number.
  EXPECT_NE(run.err.find("Zugriffsfehler " + std::to_string(ENAMETOOLONG) + " auf '"),
            std::string::npos)
      << run.err;
  EXPECT_NE(
      run.err.find("\nGrund: Der Dateiname ist zu lang. (" + std::to_string(ENAMETOOLONG) + ")\n"),
      std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
  std::system(("rm -rf " + tree.Path("right") + "/ddd*").c_str());
}

// Catches a dry run that changes anything, or whose lines miss an action, its mark or
// either path; and --copy-new not turning the one-sided rows into copies.
TEST_F(CliConventionsTest, DryRunPrintsEachActionAndTouchesNothing) {
  AgeTrees();
  const Snapshot before = Snap();
  const std::string l = tree.Path("left/"), r = tree.Path("right/");
  CliRun run = Sync({"--dry-run"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // In the order the sync handles the rows: from the last up.
  EXPECT_EQ(run.out, "<--\t" + l + "sub/alt.txt\t" + r + "sub/alt.txt\n-->\t" + l + "neu.txt\t" +
                         r + "neu.txt\n");
  run = Sync({"--dry-run", "--copy-new", "--trash"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string& line : {"-->\t" + l + "nur-links.txt\t" + r + "nur-links.txt\n",
                                  "<--\t" + l + "nur-rechts.txt\t" + r + "nur-rechts.txt\n",
                                  "-->\t" + l + "neu.txt\t" + r + "neu.txt\n"})
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
  EXPECT_EQ(Changes(before, Snap()), std::vector<std::string>{});
  EXPECT_FALSE(tree.Exists("data"));
}

// Catches one-sided files copied without --copy-new, or left alone with it.
TEST_F(CliConventionsTest, CopyNewCopiesOneSidedFilesBothWays) {
  AgeTrees();
  CliRun run = Sync();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(tree.Exists("right/nur-links.txt"));
  EXPECT_FALSE(tree.Exists("left/nur-rechts.txt"));
  run = Sync({"--copy-new", "--quiet"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(tree.Read("right/nur-links.txt"), "l");
  EXPECT_EQ(tree.Read("left/nur-rechts.txt"), "r");
}

// Catches --trash unlinking a replaced file, putting it in a trash on another file system,
// or writing an info file a trash reader cannot use.
TEST_F(CliConventionsTest, TrashKeepsReplacedFilesWithTheirInfo) {
  AgeTrees();
  setenv("XDG_DATA_HOME", tree.Path("data").c_str(), 1);
  CliRun run = Sync({"--trash"});
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(tree.Read("right/neu.txt"), "left new");
  EXPECT_EQ(tree.Read("left/sub/alt.txt"), "right new");
  EXPECT_EQ(tree.Read("data/Trash/files/neu.txt"), "right old");
  EXPECT_EQ(tree.Read("data/Trash/files/alt.txt"), "left old");
  char real[PATH_MAX];
  ASSERT_NE(realpath(tree.Path("left").c_str(), real), nullptr);
  const std::string info = tree.Read("data/Trash/info/alt.txt.trashinfo");
  EXPECT_TRUE(std::regex_match(info, std::regex("\\[Trash Info\\]\nPath=" + std::string(real) +
                                                "/sub/alt\\.txt\nDeletionDate=[0-9]{4}-[0-9]{2}-"
                                                "[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
      << info;
}

// Catches a sync error line without the system's reason for the failure.
TEST_F(CliConventionsTest, SyncErrorsCarryTheSystemsReason) {
  tree.Write("left/t.txt", "new", 2000000000);
  tree.Write("right/t.txt", "old", 1000000000);
  Immutable lock(tree.Path("right/t.txt"));
  if (!lock.ok()) GTEST_SKIP() << "the file system refuses the immutable flag";
  CliRun run = Sync();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(
      run.err.find("Bitte quittieren oder abbrechen\nGrund: Die Operation ist nicht erlaubt. (" +
                   std::to_string(EPERM) + ")\n"),
      std::string::npos)
      << run.err;
}

// Catches progress written to standard output or to a non-terminal, progress without the
// file count, and --quiet not silencing it.
TEST_F(CliConventionsTest, ProgressOnlyOnATerminal) {
  AgeTrees();
  tree.Write("left/big.bin", std::string(3000000, 'b'), 2000000000);
  tree.Write("right/big.bin", "small", 1000000000);
  CliRun run = Sync({}, true);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Abgleich: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" Dateien"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" MB"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Abgleich"), std::string::npos);
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  tree.Write("left/neu.txt", "again newer", 2100000000);
  run = Sync({"--quiet"}, true);
  EXPECT_EQ(run.err, "") << "quiet";
}

}  // namespace
}  // namespace tavrik::testing
