// The far end reached through the real OpenSSH client and a real sshd on localhost, started
// for the test with a host key and an authorized key of its own (needs root for sshd).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "cli/far_listing.h"
#include "core/remote/push_agent.h"
#include "support/temp_tree.h"

extern char** environ;

namespace tavrik::testing {
namespace {

using remote::RemoteFileSystem;

constexpr const char* kSshd = "/usr/sbin/sshd";

bool Found(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A port nobody listens on just now.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  int port = -1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0)
    port = ntohs(a.sin_port);
  ::close(s);
  return port;
}

bool Accepts(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

bool RootLocked() {
  std::ifstream shadow("/etc/shadow");
  for (std::string line; std::getline(shadow, line);)
    if (line.rfind("root:", 0) == 0) return line.compare(5, 1, "!") == 0;
  return false;
}

// sshd in the foreground on 127.0.0.1:port, logging to log; ended with the object.
class Sshd {
 public:
  Sshd(const std::string& config, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string f = config;
    char* argv[] = {const_cast<char*>(kSshd),
                    const_cast<char*>("-D"),
                    const_cast<char*>("-e"),
                    const_cast<char*>("-f"),
                    f.data(),
                    nullptr};
    if (::posix_spawn(&pid_, kSshd, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Sshd() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  // Waits until the port takes connections; false when sshd ended or never listened.
  bool Ready(int port) const {
    for (int i = 0; i < 200 && pid_ > 0; ++i) {
      if (Accepts(port)) return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

// Catches a far end that cannot be reached through a real ssh login: options and a port on
// ssh's command line, the far command through the far user's shell, the handshake past
// whatever the login prints, and --push-agent's probe and copy through a real session.
TEST(SshdCliTest, AFolderIsListedAndReadThroughARealSshd) {
  if (::geteuid() != 0) GTEST_SKIP() << "SKIP: starting sshd needs root";
  if (::access(kSshd, X_OK) != 0) GTEST_SKIP() << "SKIP: " << kSshd << " missing (openssh-server)";
  if (!Found("ssh") || !Found("ssh-keygen"))
    GTEST_SKIP() << "SKIP: ssh or ssh-keygen missing (openssh-client)";
  if (RootLocked())
    GTEST_SKIP() << "SKIP: root's password field starts with \"!\" (locked): sshd without PAM "
                    "lets no key in for a locked account";
  // sshd refuses to start without its privilege separation folder.
  ::mkdir("/run/sshd", 0755);

  TempTree t;
  t.Write("tree/a.txt", "far a");
  t.Write("tree/sub/b.txt", "über ssh");
  t.Mkdir("home");
  for (const char* key : {"host_key", "user_key"})
    ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f " + t.Path(key)).c_str()), 0);
  const int port = FreePort();
  ASSERT_GT(port, 0);
  std::ofstream(t.Path("sshd_config"))
      << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << t.Path("host_key")
      << "\nAuthorizedKeysFile " << t.Path("user_key.pub") << "\nPidFile " << t.Path("sshd.pid")
      << "\nStrictModes no\nUsePAM no\nPermitRootLogin prohibit-password\n"
         "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
         "SetEnv HOME="
      << t.Path("home") << "\n";
  Sshd sshd(t.Path("sshd_config"), t.Path("sshd.log"));
  ASSERT_TRUE(sshd.Ready(port)) << t.Read("sshd.log");

  // As --ssh would give it.
  const std::string command = "ssh -F /dev/null -i " + t.Path("user_key") +
                              " -o IdentitiesOnly=yes -o BatchMode=yes"
                              " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
                              " -o LogLevel=ERROR -o ConnectTimeout=20";
  const std::vector<std::string> ssh = remote::SshCommandWords(&command, nullptr);
  const FarNameParse parse =
      ParseFolderName("ssh://root@127.0.0.1:" + std::to_string(port) + t.Path("tree"));
  ASSERT_EQ(parse.kind, FarNameKind::kFar);

  // The static agent, or where it is not built (sanitizer builds) tavrik-cli, which serves
  // the same way on this machine.
  const std::string agent = std::string(TAVRIK_AGENT).empty() ? TAVRIK_CLI : TAVRIK_AGENT;
  for (const bool push : {false, true}) {
    SCOPED_TRACE(push ? "pushed agent" : "installed far end");
    std::vector<std::string> far = {TAVRIK_CLI, "serve"};
    remote::ConnectError error;
    if (push) {
      std::optional<std::vector<std::string>> pushed =
          remote::PushAgent(RealFileSystem(), agent, parse.name, ssh, &error);
      ASSERT_TRUE(pushed) << error.text << "\n" << t.Read("sshd.log");
      far = *pushed;
    }
    std::unique_ptr<RemoteFileSystem> fs = RemoteFileSystem::Open(parse.name, ssh, &error, {}, far);
    ASSERT_TRUE(fs) << error.text << "\n" << t.Read("sshd.log");
    EXPECT_EQ(fs->Host(), "127.0.0.1");
    EXPECT_EQ(FarNames(*fs), "a.txt sub");
    EXPECT_EQ(FarText(*fs, "sub/b.txt"), "über ssh");
    if (push) {
      EXPECT_TRUE(t.Exists("home/.cache/tavrik"));
    }
  }
}

}  // namespace
}  // namespace tavrik::testing
