// The [Sicherung] section of the user's tavrik.ini and of a control file: versions of what
// a sync replaces or deletes, how many runs of them to keep, the hour correction on FAT
// media, and how links are read. A key a later file gives overrides the same key of an earlier one;
// a key it leaves out keeps the earlier value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "batch/ini_reader.h"
#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/list/shared_state.h"

namespace tavrik {

inline constexpr const char* kSafetySection = "Sicherung";

// The keys a file gave; the others stay unset.
struct SafetySettings {
  std::optional<bool> versions;         // Versionen: a number other than 0 switches them on
  std::optional<int> keep;              // Behalten: runs kept per root; below 1 ignored
  std::optional<bool> hour_correction;  // Stundenkorrektur: 0 switches it off
  std::optional<bool> follow_links;     // Verknüpfungen: 1 reads links as what they lead to
  // Zweiweg: a number other than 0 makes the age comparison and the sync two-way. Read
  // from every file, but taken from a control file (or an option) alone, and from the
  // user's own file only for the folders the window's user fills by hand: one setting for
  // every pair would turn backup scripts two-way. ApplySafetySettings leaves it out.
  std::optional<bool> two_way;
};

// The value of --max-delete: "N" or "N%" (N a whole number, a share at most 100); nothing
// for anything else.
std::optional<DeleteLimit> ParseDeleteLimit(std::string_view text);
// The complaint about a value of --max-delete that is no such limit.
std::string BadDeleteLimitText(std::string_view option);

// Reads the section of the INI file name into settings, key by key over what is there.
void ReadSafetySettings(IniReader& reader, const std::string& name, SafetySettings* settings);

// The user's own file, $XDG_CONFIG_HOME/tavrik/tavrik.ini; nothing when it is missing or
// its folder cannot be searched (UserFileUnreachable). A file that is there but cannot be
// opened is the error: a sync without the versions it asks for could lose what it deletes.
Result<SafetySettings> UserSafetySettings(FileSystem& fs);

// The sentence that reports a settings file that cannot be read, and the window's text with
// the reason on a line of its own.
std::string SettingsFileSentence(const FsError& error);
std::string SettingsFileProblem(const FsError& error);

// Puts the keys given into the state's options.
void ApplySafetySettings(const SafetySettings& settings, SharedState& state);

}  // namespace tavrik
