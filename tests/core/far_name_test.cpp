// How folder names on another machine are told from local ones, and what reaches ssh.
#include <gtest/gtest.h>

#include "core/remote/channel.h"
#include "core/remote/far_name.h"

namespace tavrik::testing {
namespace {

using remote::SshArgv;
using remote::SshCommandWords;

struct NameCase {
  const char* text;
  FarNameKind command_line;
  FarNameKind control_file;
  const char* user;
  const char* host;
  int port;
  const char* path;
};

constexpr FarNameKind L = FarNameKind::kLocal;
constexpr FarNameKind F = FarNameKind::kFar;
constexpr FarNameKind X = FarNameKind::kRefused;

const NameCase kNames[] = {
    {"nas:fotos", F, L, "", "nas", 0, "fotos"},
    {"anna@nas:/srv/fotos", F, L, "anna", "nas", 0, "/srv/fotos"},
    {"a@b@nas:x", F, L, "a@b", "nas", 0, "x"},
    {"nas:", F, L, "", "nas", 0, ""},
    {"nas:dir:with:colons", F, L, "", "nas", 0, "dir:with:colons"},
    {"D:\\Daten", F, L, "", "D", 0, "\\Daten"},
    {"./nas:fotos", L, L, "", "", 0, ""},
    {"/mnt/nas:fotos", L, L, "", "", 0, ""},
    {"fotos/nas:x", L, L, "", "", 0, ""},
    {":fotos", L, L, "", "", 0, ""},
    {"fotos", L, L, "", "", 0, ""},
    {"[::1]:/srv", F, L, "", "::1", 0, "/srv"},
    {"anna@[fe80::1%eth0]:x", F, L, "anna", "fe80::1%eth0", 0, "x"},
    {"ssh://nas/srv/fotos", F, F, "", "nas", 0, "/srv/fotos"},
    {"ssh://anna@nas:2222/srv", F, F, "anna", "nas", 2222, "/srv"},
    {"ssh://[::1]:22/srv", F, F, "", "::1", 22, "/srv"},
    {"ssh://nas:/srv", X, X, "", "", 0, ""},
    {"ssh://nas:0/srv", X, X, "", "", 0, ""},
    {"ssh://nas:65536/srv", X, X, "", "", 0, ""},
    {"ssh://nas:22x/srv", X, X, "", "", 0, ""},
    {"ssh://nas", X, X, "", "", 0, ""},
    {"ssh:///srv", X, X, "", "", 0, ""},
    {"ssh://-oProxyCommand=x/srv", X, X, "", "", 0, ""},
    {"-oProxyCommand=touch:x", X, L, "", "", 0, ""},
    {"-oProxyCommand=x@nas:path", X, L, "", "", 0, ""},
    {"ssh://-l@nas/srv", X, X, "", "", 0, ""},
    {"[::1:/srv", X, L, "", "", 0, ""},
    {"[::1]x:/srv", X, L, "", "", 0, ""},
};

// Catches a local path taken for a host (or the other way round), a control file's Windows
// name sent to ssh, and a name that ssh would read as an option getting through.
TEST(FarNameTest, TellsFarFromLocalAndRefusesWhatSshWouldMisread) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(c.text);
    const FarNameParse line = ParseFolderName(c.text);
    EXPECT_EQ(line.kind, c.command_line);
    EXPECT_EQ(ParseControlFileFolderName(c.text).kind, c.control_file);
    if (line.kind == FarNameKind::kRefused) {
      EXPECT_FALSE(line.why.empty());
    }
    if (line.kind != FarNameKind::kFar) continue;
    EXPECT_EQ(line.name.user, c.user);
    EXPECT_EQ(line.name.host, c.host);
    EXPECT_EQ(line.name.port, c.port);
    EXPECT_EQ(line.name.path, c.path);
    EXPECT_EQ(line.name.as_given, c.text);
  }
}

struct CommandCase {
  const char* option;  // nullptr: no --ssh
  const char* environment;
  const char* name;
  std::vector<std::string> argv;
};

// Catches the path reaching the far shell, a port dropped, or --ssh and TAVRIK_SSH taking
// the wrong precedence.
TEST(FarNameTest, SshCommandCarriesNoPath) {
  const CommandCase cases[] = {
      {nullptr, nullptr, "nas:/srv/a b", {"ssh", "nas", "tavrik-cli", "serve"}},
      {nullptr, "", "anna@nas:x", {"ssh", "anna@nas", "tavrik-cli", "serve"}},
      {nullptr,
       "ssh -F  cfg",
       "ssh://nas:2222/srv",
       {"ssh", "-F", "cfg", "-p", "2222", "nas", "tavrik-cli", "serve"}},
      {"ssh -4", "other", "nas:x", {"ssh", "-4", "nas", "tavrik-cli", "serve"}},
      {"", "other", "nas:x", {"ssh", "nas", "tavrik-cli", "serve"}},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string option = c.option ? c.option : "";
    const FarNameParse parse = ParseFolderName(c.name);
    ASSERT_EQ(parse.kind, FarNameKind::kFar);
    EXPECT_EQ(SshArgv(SshCommandWords(c.option ? &option : nullptr, c.environment), parse.name),
              c.argv);
  }
}

}  // namespace
}  // namespace tavrik::testing
