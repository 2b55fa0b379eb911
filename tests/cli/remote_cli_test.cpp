// The far end as the real program runs it: tavrik-cli serve started through a command that
// stands in for ssh (it drops ssh's options and the host and runs the far command, as the far
// shell would), so no sshd is needed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/remote/remote_file_system.h"
#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

using remote::RemoteFileSystem;

// Writes an executable script standing in for ssh; body runs after the far command's words
// were left in "$@", with tavrik-cli first in PATH.
std::string StandIn(const TempTree& t, const std::string& name, const std::string& body) {
  const std::string bin = t.Mkdir("bin");
  std::error_code ec;
  std::filesystem::create_symlink(TAVRIK_CLI, bin + "/tavrik-cli", ec);
  const std::string path = t.Path(name);
  std::ofstream(path) << "#!/bin/sh\n"
                      << "while [ \"$1\" = -p ]; do shift 2; done\n"
                      << "shift\n"
                      << "PATH=" << bin << ":$PATH\n"
                      << body << "\n";
  chmod(path.c_str(), 0755);
  return path;
}

std::unique_ptr<RemoteFileSystem> Open(const std::string& name, const std::string& command,
                                       remote::ConnectError* error) {
  const FarNameParse parse = ParseFolderName(name);
  if (parse.kind != FarNameKind::kFar) std::abort();
  return RemoteFileSystem::Open(parse.name, {command}, error);
}

std::string ReadAll(FileSystem& fs, const std::string& path) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text(64, '\0');
  const ssize_t n = fd.get() < 0 ? -1 : fs.PRead(fd.get(), text.data(), text.size(), 0);
  return n < 0 ? "E" + std::to_string(errno) : text.substr(0, static_cast<size_t>(n));
}

// Catches a far end that cannot be reached through ssh's command line: the far command's
// words, a port option, a login banner ahead of the greeting.
TEST(RemoteCliTest, TheFarEndAnswersThroughTheSshCommand) {
  TempTree t;
  t.Write("tree/sub/f.txt", "far content");
  const struct {
    const char* what;
    std::string body;
    std::string name;
  } cases[] = {
      {"plain", "exec \"$@\"", "nas:" + t.Path("tree")},
      {"with a port and a user", "exec \"$@\"", "ssh://anna@nas:2222" + t.Path("tree")},
      {"after a banner", "echo 'Willkommen auf nas'; exec \"$@\"", "nas:" + t.Path("tree")},
      {"in the far home", "HOME=" + t.Path("") + " exec \"$@\"", "nas:~/tree"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    remote::ConnectError error;
    std::unique_ptr<RemoteFileSystem> fs = Open(c.name, StandIn(t, "ssh", c.body), &error);
    ASSERT_TRUE(fs) << error.text;
    EXPECT_EQ(ReadAll(*fs, fs->Root() + "/sub/f.txt"), "far content");
    EXPECT_EQ(fs->Host(), "nas");
  }
}

// Catches a far folder on the console's command line read from this machine's disk, or not
// served at all: each command on "host:path" must give what it gives on the path itself, and
// a sync must change the far tree.
TEST(RemoteCliTest, TheConsoleWorksOnAFarFolder) {
  TempTree t;
  t.Write("L/a.txt", "a");
  t.Write("L/same.txt", "s");
  t.Write("R/r.txt", "r");
  // Folders at several levels, listed far ahead of their turns.
  for (const char* deep : {"d1/d2/x.txt", "d1/e/y.txt", "d1/d2/d3/w.txt", "f/z.txt"})
    t.Write(std::string("R/") + deep, deep);
  t.Write("L/d1/d2/x.txt", "near");
  std::filesystem::copy_file(t.Path("L/same.txt"), t.Path("R/same.txt"));
  std::filesystem::last_write_time(t.Path("R/same.txt"),
                                   std::filesystem::last_write_time(t.Path("L/same.txt")));
  const std::string stand_in = StandIn(t, "ssh", "exec \"$@\"");
  const std::string ssh = "TAVRIK_SSH=" + stand_in;
  const std::string far = "nas:" + t.Path("R");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"fill"}, {"compare", "--age"}, {"compare", "--binary"}}) {
    SCOPED_TRACE(command[0] + " " + command.back());
    std::vector<std::string> near_args = command, far_args = command;
    near_args.insert(near_args.end(), {t.Path("L"), t.Path("R")});
    far_args.insert(far_args.end(), {t.Path("L"), far});
    const Outcome near = RunCli(t, near_args);
    const Outcome remote = RunCli(t, far_args, {ssh});
    EXPECT_EQ(remote.status, near.status) << remote.err;
    EXPECT_EQ(remote.out, near.out);
  }
  // The option instead of the environment.
  const Outcome sync = RunCli(t, {"sync", "--copy-new", "--ssh=" + stand_in, t.Path("L"), far});
  EXPECT_EQ(sync.status, 0) << sync.err;
  EXPECT_EQ(t.Read("R/a.txt"), "a");
  EXPECT_EQ(t.Read("L/r.txt"), "r");
  // A host that would be taken for an option of ssh.
  const Outcome refused = RunCli(t, {"fill", "ssh://-oProxyCommand=x" + t.Path("R")}, {ssh});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("darf nicht mit \"-\" beginnen"), std::string::npos) << refused.err;
}

// Catches a far end without Tavrik (or with another protocol) taken for a connection, or
// reported without the host and what to install.
TEST(RemoteCliTest, AFarEndThatIsNotTavrikIsNamedInGerman) {
  TempTree t;
  t.Mkdir("tree");
  const std::string expected =
      "Auf nas läuft kein passendes tavrik-cli (Protokoll 3 erwartet). Bitte dort Tavrik "
      "installieren oder --push-agent angeben.";
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"not installed", "echo \"sh: 1: $1: not found\" >&2; exit 127"},
      {"another program", "echo 'Usage: tavrik-cli [options]'"},
      {"endless output", "yes garbage"},
      {"an older protocol", "printf 'TAVRIKFE\\002\\000\\000\\000'; cat >/dev/null"},
      {"a newer protocol", "printf 'TAVRIKFE\\004\\000\\000\\000'; cat >/dev/null"},
      {"a greeting cut short", "printf 'TAVRIKFE\\003'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    remote::ConnectError error;
    EXPECT_FALSE(Open("nas:" + t.Path("tree"), StandIn(t, "ssh", c.body), &error));
    EXPECT_EQ(error.text, expected);
  }
  remote::ConnectError error;
  EXPECT_FALSE(Open("nas:x", t.Path("no-such-ssh"), &error));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_EQ(
      error.text.rfind("Das Programm " + t.Path("no-such-ssh") + " lässt sich nicht starten", 0),
      0u)
      << error.text;
}

// Catches a login that hangs (a far machine that never answers) keeping the program waiting
// after a stop was asked for.
TEST(RemoteCliTest, AStopEndsTheWaitForAFarEndThatNeverAnswers) {
  TempTree t;
  const std::string ssh = StandIn(t, "ssh", "exec sleep 60");
  const auto asked = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  remote::ConnectError error;
  const FarNameParse parse = ParseFolderName("nas:" + t.Path("tree"));
  EXPECT_FALSE(RemoteFileSystem::Open(parse.name, {ssh}, &error,
                                      [&] { return std::chrono::steady_clock::now() > asked; }));
  EXPECT_EQ(error.code, ECANCELED);
  // The same for the new connection a Retry makes after a break.
  t.Mkdir("tree");
  std::unique_ptr<RemoteFileSystem> fs =
      RemoteFileSystem::Open(parse.name, {StandIn(t, "ssh-ok", "exec \"$@\"")}, &error);
  ASSERT_TRUE(fs) << error.text;
  fs->SetReopen([&ssh] { return remote::ProcessChannel::Spawn({ssh, "nas", "tavrik-cli"}); });
  const auto again = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  const int renewed = fs->Reconnect([&] { return std::chrono::steady_clock::now() > again; });
  const int why = errno;
  EXPECT_EQ(renewed, -1);
  EXPECT_EQ(why, ECANCELED);
}

bool WaitUntilEnded(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (ProcessEnded(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Catches a far end that keeps its half-written temporary file when it is stopped, and a near
// side that waits forever for a far end that is gone.
TEST(RemoteCliTest, AStoppedFarEndCleansUpAndEveryCallFails) {
  const struct {
    int signal;
    bool cleans;  // SIGKILL leaves the file for the sweep of the next run
  } cases[] = {{SIGTERM, true}, {SIGHUP, true}, {SIGINT, true}, {SIGKILL, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    TempTree t;
    t.Mkdir("tree");
    const std::string ssh = StandIn(t, "ssh", "echo $$ > " + t.Path("pid") + "; exec \"$@\"");
    remote::ConnectError error;
    std::unique_ptr<RemoteFileSystem> remote = Open("nas:" + t.Path("tree"), ssh, &error);
    ASSERT_TRUE(remote) << error.text;
    FileSystem& fs = *remote;
    const std::string temp = remote->Root() + "/.tavrik-nas-1-1";
    const int fd = fs.OpenAt(AT_FDCWD, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, remote::kFdBase);
    ASSERT_EQ(fs.PWrite(fd, "half", 4, 0), 4);
    const pid_t pid = std::stoi(t.Read("pid"));
    ASSERT_EQ(kill(pid, c.signal), 0);
    ASSERT_TRUE(WaitUntilEnded(pid));
    EXPECT_EQ(t.Exists("tree/.tavrik-nas-1-1"), !c.cleans);
    struct stat st {};
    errno = 0;
    EXPECT_EQ(fs.Fstat(fd, &st), -1);
    EXPECT_EQ(errno, remote::kLostErrno);
    EXPECT_EQ(fs.StatAt(AT_FDCWD, remote->Root().c_str(), &st, 0), -1);
    EXPECT_EQ(errno, remote::kLostErrno);
    EXPECT_EQ(remote->LostText(), "Die Verbindung zu nas ist abgebrochen.");
  }
}

}  // namespace
}  // namespace tavrik::testing
