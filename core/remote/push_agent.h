// Bringing the far end along (--push-agent): the separately built, statically linked
// tavrik-agent is copied into the far user's cache folder, under a name holding its hash, and
// started there instead of an installed tavrik-cli. Everything travels through the same ssh
// command as the connection itself.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_system.h"
#include "core/remote/far_name.h"
#include "core/remote/remote_file_system.h"

namespace tavrik::remote {

inline constexpr const char* kAgentName = "tavrik-agent";

// The lower-case hex SHA-256 of bytes.
std::string Sha256Hex(std::string_view bytes);

// The machine names `uname -m` gives where an ELF program with this header runs: its first
// entry is the one a message names. Empty for anything but an ELF executable header of a
// machine known here.
std::vector<std::string> ElfMachineNames(std::string_view header);

// <folder of the running program>/tavrik-agent; empty when the running program cannot be
// told.
std::string AgentBesideProgram(FileSystem& fs);

// The far file the agent with this hash is kept in, as the far shell names it.
std::string FarAgentPath(const std::string& hash);

// Makes sure the far machine of name holds the agent at agent_path (a local file read
// through fs) and gives the far command words that start it as the far end; nothing with
// *error when the agent is missing, built for another machine, or cannot be copied. The far
// file is written only when it is missing or of another size, and takes its final name only
// once it arrived whole. stopped, when given, is asked while the far machine is awaited.
std::optional<std::vector<std::string>> PushAgent(FileSystem& fs, const std::string& agent_path,
                                                  const FarName& name,
                                                  const std::vector<std::string>& ssh_command,
                                                  ConnectError* error,
                                                  std::function<bool()> stopped = {});

// The far command for name: the installed far end, or with push the agent beside the
// running program, pushed first (PushAgent, with its failures).
std::optional<std::vector<std::string>> FarCommandFor(FileSystem& fs, bool push,
                                                      const FarName& name,
                                                      const std::vector<std::string>& ssh_command,
                                                      ConnectError* error,
                                                      std::function<bool()> stopped = {});

}  // namespace tavrik::remote
