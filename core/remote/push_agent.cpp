#include "core/remote/push_agent.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "core/fs/error_text.h"
#include "core/remote/channel.h"

namespace tavrik::remote {

namespace {

// The far commands below run under sh whatever the far user's login shell is; their text is
// single-quoted for that shell, so it holds no single quote.
constexpr std::string_view kProbeMark = "tavrik-probe";
constexpr size_t kProbeLimit = 64 * 1024;

std::vector<std::string> FarShell(const std::string& script) {
  return {"sh", "-c", "'" + script + "'"};
}

std::string FarAgentFile(const std::string& hash) { return "$HOME/.cache/tavrik/agent-" + hash; }

// What a far command printed and how it ended; started false with errno in code when ssh
// itself could not be started, stopped when a stop was asked for meanwhile.
struct FarRun {
  bool started = false;
  bool stopped = false;
  int code = 0;
  int exit_code = -1;
  std::string out;
};

FarRun RunFar(const std::vector<std::string>& ssh_command, const FarName& name,
              const std::vector<std::string>& far, std::string_view input,
              const std::function<bool()>& stopped) {
  FarRun run;
  std::unique_ptr<ProcessChannel> child = ProcessChannel::Spawn(SshArgv(ssh_command, name, far));
  if (!child) {
    run.code = errno;
    return run;
  }
  run.started = true;
  child->StopWhen(stopped);
  const auto stop = [&] {
    run.stopped = true;
    child->Finish(std::chrono::milliseconds(0));
    return run;
  };
  if (!input.empty()) {
    // A far command that ends early breaks the pipe: its exit status tells why.
    if (!child->Write(input.data(), input.size()) && errno == EINTR) return stop();
    child->EndInput();
  }
  // Up to the end of its output, which comes when the far command ended.
  char buf[4096];
  for (;;) {
    const ssize_t n = child->Read(buf, sizeof buf);
    if (n < 0 && errno == EINTR && stopped && stopped()) return stop();
    if (n <= 0) break;
    if (run.out.size() < kProbeLimit) run.out.append(buf, static_cast<size_t>(n));
  }
  run.exit_code = child->Finish().exit_code;
  return run;
}

std::string Trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(begin, end - begin + 1));
}

// The lines the probe printed after its mark (a login may print first).
std::vector<std::string> ProbeLines(const std::string& out) {
  std::vector<std::string> lines;
  size_t at = 0;
  bool marked = false;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = Trimmed(std::string_view(out).substr(at, end - at));
    if (marked) lines.push_back(std::move(line));
    // A login may print a last line without its end.
    if (std::string_view(line).ends_with(kProbeMark)) marked = true;
    at = end + 1;
  }
  return lines;
}

bool ReadWhole(FileSystem& fs, const std::string& path, std::string* bytes, int* code) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fs.Fstat(fd.get(), &st) != 0) {
    *code = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *code = EINVAL;
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes->size()) {
    const ssize_t n =
        fs.PRead(fd.get(), bytes->data() + got, bytes->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *code = errno;
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  return true;
}

uint16_t Half(std::string_view header, size_t at, bool big) {
  const auto b0 = static_cast<unsigned char>(header[at]);
  const auto b1 = static_cast<unsigned char>(header[at + 1]);
  return static_cast<uint16_t>(big ? b0 << 8 | b1 : b1 << 8 | b0);
}

void Failed(ConnectError* error, int code, std::string text) { *error = {code, std::move(text)}; }

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  const BlockDigest digest = HashBlock(bytes.data(), bytes.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < digest.size(); ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

std::vector<std::string> ElfMachineNames(std::string_view header) {
  if (header.size() < 20 || header.substr(0, 4) !=
                                "\x7f"
                                "ELF")
    return {};
  const bool wide = header[4] == 2;
  const bool big = header[5] == 2;
  if ((header[4] != 1 && !wide) || (header[5] != 1 && !big)) return {};
  const uint16_t type = Half(header, 16, big);
  if (type != 2 && type != 3) return {};  // neither an executable nor a position-independent one
  switch (Half(header, 18, big)) {
    case 62:
      if (wide) return {"x86_64"};
      break;
    case 3:
      if (!wide) return {"i686", "i586", "i486", "i386"};
      break;
    case 183:
      if (wide) return {"aarch64", "arm64"};
      break;
    case 40:
      if (!wide) return {"armv7l", "armv8l"};
      break;
    case 243:
      if (wide) return {"riscv64"};
      break;
    case 21:
      if (wide) return {big ? "ppc64" : "ppc64le"};
      break;
    case 22:
      if (wide && big) return {"s390x"};
      break;
    case 258:
      if (wide) return {"loongarch64"};
      break;
  }
  return {};
}

std::string AgentBesideProgram(FileSystem& fs) {
  char buf[4096];
  const ssize_t n = fs.ReadLinkAt(AT_FDCWD, "/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "";
  std::string self(buf, static_cast<size_t>(n));
  const size_t slash = self.rfind('/');
  if (slash == std::string::npos) return "";
  return self.substr(0, slash + 1) + kAgentName;
}

std::string FarAgentPath(const std::string& hash) { return "~/.cache/tavrik/agent-" + hash; }

std::optional<std::vector<std::string>> PushAgent(FileSystem& fs, const std::string& agent_path,
                                                  const FarName& name,
                                                  const std::vector<std::string>& ssh_command,
                                                  ConnectError* error,
                                                  std::function<bool()> stopped) {
  const std::string ssh = ssh_command.empty() ? std::string("ssh") : ssh_command[0];
  std::string agent;
  int code = 0;
  if (agent_path.empty() || !ReadWhole(fs, agent_path, &agent, &code)) {
    if (agent_path.empty()) code = ENOENT;
    Failed(error, code,
           "--push-agent braucht das Programm " + std::string(kAgentName) +
               " neben tavrik-cli: " + (agent_path.empty() ? kAgentName : agent_path) +
               " lässt sich nicht lesen: " + GermanErrorText(code));
    return std::nullopt;
  }
  const std::vector<std::string> machines = ElfMachineNames(agent);
  if (machines.empty()) {
    Failed(error, ENOEXEC,
           "--push-agent: " + agent_path + " ist kein Programm für einen bekannten Rechnertyp.");
    return std::nullopt;
  }
  const std::string hash = Sha256Hex(agent);
  const std::string size = std::to_string(agent.size());

  const FarRun probe =
      RunFar(ssh_command, name,
             FarShell("echo " + std::string(kProbeMark) + "; uname -m; f=" + FarAgentFile(hash) +
                      "; if [ -f \"$f\" ] && [ -x \"$f\" ]; then wc -c < \"$f\"; fi"),
             {}, stopped);
  if (probe.stopped) {
    Failed(error, ECANCELED, "");
    return std::nullopt;
  }
  if (!probe.started) {
    Failed(error, probe.code,
           "Das Programm " + ssh + " lässt sich nicht starten: " + GermanErrorText(probe.code));
    return std::nullopt;
  }
  const std::vector<std::string> lines = ProbeLines(probe.out);
  if (probe.exit_code != 0 || lines.empty() || lines[0].empty()) {
    Failed(error, EPROTO,
           "Der Rechnertyp von " + name.host + " lässt sich nicht erfragen (" + ssh +
               " endete mit Status " + std::to_string(probe.exit_code) + ").");
    return std::nullopt;
  }
  const std::string& far_machine = lines[0];
  bool fits = false;
  for (const std::string& m : machines) fits = fits || m == far_machine;
  if (!fits) {
    Failed(error, ENOEXEC,
           "Das Programm " + std::string(kAgentName) + " ist für " + machines[0] + " gebaut, " +
               name.host + " ist aber ein " + far_machine +
               "-Rechner. Bitte dort Tavrik installieren oder " + kAgentName + " für " +
               far_machine + " bauen.");
    return std::nullopt;
  }

  // The name holds the hash: a present file of the right size is this agent.
  const bool present = lines.size() > 1 && lines[1] == size;
  if (!present) {
    // Written under a name of its own, and given the final one only once it arrived whole:
    // a copy cut short never passes for the agent.
    const FarRun copy =
        RunFar(ssh_command, name,
               FarShell("f=" + FarAgentFile(hash) + "; t=$f.$$; mkdir -p \"${f%/*}\" && " +
                        "cat > \"$t\" && [ $(wc -c < \"$t\") -eq " + size + " ] && " +
                        "chmod 755 \"$t\" && mv -f \"$t\" \"$f\" || { rm -f \"$t\"; exit 1; }"),
               agent, stopped);
    if (copy.stopped) {
      Failed(error, ECANCELED, "");
      return std::nullopt;
    }
    if (!copy.started) {
      Failed(error, copy.code,
             "Das Programm " + ssh + " lässt sich nicht starten: " + GermanErrorText(copy.code));
      return std::nullopt;
    }
    if (copy.exit_code != 0) {
      Failed(error, EIO,
             "Das Programm " + std::string(kAgentName) + " lässt sich nicht nach " + name.host +
                 " kopieren (" + ssh + " endete mit Status " + std::to_string(copy.exit_code) +
                 ").");
      return std::nullopt;
    }
  }
  return std::vector<std::string>{FarAgentPath(hash), "serve"};
}

std::optional<std::vector<std::string>> FarCommandFor(FileSystem& fs, bool push,
                                                      const FarName& name,
                                                      const std::vector<std::string>& ssh_command,
                                                      ConnectError* error,
                                                      std::function<bool()> stopped) {
  if (!push) return InstalledFarCommand();
  return PushAgent(fs, AgentBesideProgram(fs), name, ssh_command, error, std::move(stopped));
}

}  // namespace tavrik::remote
