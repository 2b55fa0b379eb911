// The far end brought along: the built tavrik-agent copied through a command that stands in
// for ssh (it drops ssh's options and the host and hands the far command to sh, as the far
// user's shell would), into a far home of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "cli/far_listing.h"
#include "core/remote/push_agent.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

using remote::RemoteFileSystem;

// An executable stand-in for ssh whose far machine has its home in t's "home" and, where
// machine is given, says so when asked for its type. before runs ahead of the far command,
// with the command's text in "$*"; every command is logged to t's "log".
std::string StandIn(const TempTree& t, const std::string& machine, const std::string& before) {
  const std::string bin = t.Mkdir("bin");
  if (!machine.empty()) {
    std::ofstream(bin + "/uname") << "#!/bin/sh\necho " << machine << "\n";
    chmod((bin + "/uname").c_str(), 0755);
  }
  t.Mkdir("home");
  const std::string path = t.Path("ssh");
  std::ofstream(path) << "#!/bin/sh\n"
                      << "while [ \"$1\" = -p ]; do shift 2; done\n"
                      << "shift\n"
                      << "echo \"$*\" >> " << t.Path("log") << "\n"
                      << "HOME=" << t.Path("home") << "; PATH=" << bin << ":$PATH\n"
                      << "export HOME PATH\n"
                      << before << "\n"
                      << "exec sh -c \"$*\"\n";
  chmod(path.c_str(), 0755);
  return path;
}

// The program pushed: the static agent, or where it is not built (the sanitizers do not link
// statically) tavrik-cli itself, which serves the same way on this machine.
std::string Agent() {
  const std::string agent = TAVRIK_AGENT;
  return agent.empty() ? TAVRIK_CLI : agent;
}

// The far copies of the agent and what else lies in the far cache folder.
std::vector<std::string> FarCache(const TempTree& t) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(t.Path("home/.cache/tavrik"), ec))
    names.push_back(e.path().filename().string());
  return names;
}

int Copies(const TempTree& t) {
  std::ifstream log(t.Path("log"));
  int copies = 0;
  for (std::string line; std::getline(log, line);) copies += line.find("cat >") != line.npos;
  return copies;
}

std::unique_ptr<RemoteFileSystem> PushAndOpen(const TempTree& t, const std::string& agent,
                                              const std::string& ssh, remote::ConnectError* error) {
  const FarNameParse parse = ParseFolderName("nas:" + t.Path("tree"));
  std::optional<std::vector<std::string>> far =
      remote::PushAgent(RealFileSystem(), agent, parse.name, {ssh}, error);
  if (!far) return nullptr;
  return RemoteFileSystem::Open(parse.name, {ssh}, error, {}, *far);
}

// Catches a pushed agent that does not start as the far end, one copied again at every
// connection, and a far copy cut short or damaged that is trusted for its name.
TEST(PushAgentCliTest, TheAgentIsCopiedOnceAndServes) {
  std::ostringstream bytes;
  bytes << std::ifstream(Agent(), std::ios::binary).rdbuf();
  const std::string agent = bytes.str();
  const std::string hash = remote::Sha256Hex(agent);
  const struct {
    const char* what;
    std::optional<std::string> far_file;  // what the far cache holds before
    mode_t mode;
    int copies;
    const char* login = "";  // what the far login prints first
  } cases[] = {
      {"first time", std::nullopt, 0, 1},
      {"a far copy of another size", "cut short", 0755, 1},
      {"a far copy that cannot be run", agent, 0644, 1},
      {"a far copy already there", agent, 0755, 0},
      {"after a login banner", std::nullopt, 0, 1, "echo Willkommen; printf 'auf nas'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    t.Write("tree/a.txt", "far a");
    t.Write("tree/sub/b.txt", "far b");
    if (c.far_file) {
      const std::string far = t.Write("home/.cache/tavrik/agent-" + hash, *c.far_file);
      chmod(far.c_str(), c.mode);
    }
    const std::string ssh = StandIn(t, "", c.login);
    for (int connection = 1; connection <= 2; ++connection) {
      SCOPED_TRACE(connection);
      remote::ConnectError error;
      std::unique_ptr<RemoteFileSystem> fs = PushAndOpen(t, Agent(), ssh, &error);
      ASSERT_TRUE(fs) << error.text;
      EXPECT_EQ(FarNames(*fs), "a.txt sub");
      EXPECT_EQ(FarText(*fs, "sub/b.txt"), "far b");
      EXPECT_EQ(Copies(t), c.copies);
      EXPECT_EQ(FarCache(t), std::vector<std::string>{"agent-" + hash});
    }
    EXPECT_EQ(std::filesystem::file_size(t.Path("home/.cache/tavrik/agent-" + hash)),
              std::filesystem::file_size(Agent()));
  }
}

// This machine's type, as uname -m says it.
std::string Here() {
  FILE* p = ::popen("uname -m", "r");
  char buf[64] = {};
  const bool got = p && std::fgets(buf, sizeof buf, p);
  if (p) ::pclose(p);
  std::string m = got ? buf : "";
  while (!m.empty() && m.back() == '\n') m.pop_back();
  return m;
}

// Catches an agent pushed to a machine it cannot run on, a missing or foreign agent file
// reaching the far end, a copy cut short left behind as the agent (or as a stray temporary
// file), and failures told without the host or in another language than the others.
TEST(PushAgentCliTest, RefusalsNameWhatIsWrong) {
  TempTree scratch;
  const std::string script = scratch.Write("script", "#!/bin/sh\necho hello\n");
  const struct {
    const char* what;
    std::string agent;
    std::string machine;
    std::string before;
    std::string message;
    bool far_cache;  // whether the far cache folder may exist afterwards
  } cases[] = {
      {"another machine", Agent(), "sparc64", "",
       "Das Programm tavrik-agent ist für " + Here() +
           " gebaut, nas ist aber ein sparc64-Rechner. Bitte dort Tavrik installieren oder "
           "tavrik-agent für sparc64 bauen.",
       false},
      {"no agent", scratch.Path("none/tavrik-agent"), "", "",
       "--push-agent braucht das Programm tavrik-agent neben tavrik-cli: " +
           scratch.Path("none/tavrik-agent") + " lässt sich nicht lesen: ",
       false},
      {"not a program", script, "", "",
       "--push-agent: " + script + " ist kein Programm für einen bekannten Rechnertyp.", false},
      {"an unreachable host", Agent(), "", "exit 255",
       "Der Rechnertyp von nas lässt sich nicht erfragen (", false},
      {"a copy cut short", Agent(), "",
       "case \"$*\" in *\"cat >\"*) head -c 5000 | sh -c \"$*\"; exit $?;; esac",
       "Das Programm tavrik-agent lässt sich nicht nach nas kopieren (", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    t.Mkdir("tree");
    const std::string ssh = StandIn(t, c.machine, c.before);
    remote::ConnectError error;
    EXPECT_FALSE(PushAndOpen(t, c.agent, ssh, &error));
    EXPECT_EQ(error.text.substr(0, c.message.size()), c.message) << error.text;
    EXPECT_NE(error.code, 0);
    EXPECT_EQ(FarCache(t), std::vector<std::string>{});
    EXPECT_EQ(t.Exists("home/.cache"), c.far_cache);
  }
  // No agent lies beside the test program: the far machine is not even asked.
  TempTree t;
  const std::string ssh = StandIn(t, "", "");
  remote::ConnectError error;
  EXPECT_FALSE(
      remote::FarCommandFor(RealFileSystem(), true, ParseFolderName("nas:x").name, {ssh}, &error));
  EXPECT_NE(error.text.find("/tavrik-agent lässt sich nicht lesen: "), std::string::npos)
      << error.text;
  EXPECT_FALSE(t.Exists("log"));
}

// Catches a far machine that stops answering while it is asked for its type or while the
// agent is sent (the program then waits on a full pipe) keeping the program past a stop.
TEST(PushAgentCliTest, AStopEndsAPushThatStalls) {
  const struct {
    const char* what;
    std::string stall;  // the far command that never ends by itself
  } cases[] = {
      {"while asked for its type", "*"},
      {"while the agent is sent", "*\"cat >\"*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree t;
    const std::string ssh = StandIn(
        t, "",
        "case \"$*\" in " + c.stall + ") echo $$ > " + t.Path("pid") + "; exec sleep 3600;; esac");
    const FarNameParse parse = ParseFolderName("nas:" + t.Path("tree"));
    const auto asked = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    remote::ConnectError error;
    std::future<bool> pushed = std::async(std::launch::async, [&] {
      return remote::PushAgent(RealFileSystem(), Agent(), parse.name, {ssh}, &error,
                               [&] { return std::chrono::steady_clock::now() > asked; })
          .has_value();
    });
    if (pushed.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
      ADD_FAILURE() << "still waiting 20 s after the stop";
      ::kill(std::stoi(t.Read("pid")), SIGKILL);
    }
    EXPECT_FALSE(pushed.get());
    EXPECT_EQ(error.code, ECANCELED) << error.text;
    EXPECT_EQ(FarCache(t), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace tavrik::testing
