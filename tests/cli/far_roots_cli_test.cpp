// Far folders where the console's fill, compare and sync are not the caller: a control file's
// folders and the undo, each reaching the far end through a command that stands in for ssh.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/stand_in.h"
#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

// Catches a control file's ssh:// folder read from this machine's disk (refused as missing,
// or synced there), a "host:path" or "D:\Daten" name in a control file taken for a far folder,
// and a far folder that cannot be reached reported without the reason.
TEST(FarRootsCliTest, AControlFileNamesAFarFolderOnlyAsSshUrl) {
  const struct {
    const char* what;
    std::string right;  // the control file's Rechts=, PATH standing for the right tree
    bool via_option;    // --ssh= instead of TAVRIK_SSH
    int status;
    const char* err_part;  // in standard error
    bool synced;
  } cases[] = {
      {"ssh:// with TAVRIK_SSH", "ssh://nas/PATH", false, 0, "", true},
      {"ssh:// with a user and a port, --ssh", "ssh://anna@nas:2222/PATH", true, 0, "", true},
      {"scp's form stays a name here", "nas:PATH", false, 2, "Spalte existiert nicht", false},
      {"a Windows drive stays a name here", "D:\\Daten", false, 2, "Spalte existiert nicht", false},
      {"a host like an option", "ssh://-oProxyCommand=x/PATH", false, 2,
       "darf nicht mit \"-\" beginnen", false},
      {"a far folder that is not there", "ssh://nas/PATH/fehlt", false, 2, "fehlt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    t.Write("L/a.txt", "new");
    t.Write("R/a.txt", "old");
    t.SetTime("L/a.txt", 2000000000);
    t.SetTime("R/a.txt", 1000000000);
    std::string right = c.right;
    const size_t at = right.find("PATH");
    if (at != std::string::npos) right.replace(at, 4, t.Path("R").substr(1));
    if (right.rfind("nas:", 0) == 0) right = "nas:" + t.Path("R");
    const std::string control =
        t.Write("steuer.ini", "[Pfade]\r\nLinks=" + t.Path("L") + "\r\nRechts=" + right +
                                  "\r\n[AutoStart]\r\nAltersvergleich=1\r\nAbgleich=1\r\n");
    const std::string ssh = StandInSsh(t);
    std::vector<std::string> args = {"run", "--on-error=abort"};
    std::vector<std::string> env;
    if (c.via_option)
      args.push_back("--ssh=" + ssh);
    else
      env.push_back("TAVRIK_SSH=" + ssh);
    args.push_back(control);
    const Outcome o = RunCli(t, args, env);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.err_part), std::string::npos) << o.err;
    EXPECT_EQ(t.Read("R/a.txt"), c.synced ? "new" : "old");
  }
}

// Catches the undo of a far folder carried out on this machine's disk (or refused), and one
// whose record the far end cannot read: what the sync replaced at the far end comes back.
TEST(FarRootsCliTest, UndoRunsInTheFarFolder) {
  TempTree t;
  t.Write("L/a.txt", "new");
  t.Write("R/a.txt", "old");
  t.SetTime("L/a.txt", 2000000000);
  t.SetTime("R/a.txt", 1000000000);
  const std::string ssh = StandInSsh(t);
  const std::string far = "nas:" + t.Path("R");
  const std::vector<std::string> env = {"TAVRIK_SSH=" + ssh};
  const Outcome sync = RunCli(t, {"sync", "--versions", t.Path("L"), far}, env);
  ASSERT_EQ(sync.status, 0) << sync.err;
  ASSERT_EQ(t.Read("R/a.txt"), "new");
  const Outcome undo = RunCli(t, {"undo", far}, env);
  EXPECT_EQ(undo.status, 0) << undo.err;
  EXPECT_EQ(t.Read("R/a.txt"), "old");
  EXPECT_EQ(t.Read("L/a.txt"), "new");
  const Outcome unreachable = RunCli(t, {"undo", "ssh://-x/" + t.Path("R")}, env);
  EXPECT_EQ(unreachable.status, 2);
}

}  // namespace
}  // namespace tavrik::testing
