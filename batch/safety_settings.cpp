#include "batch/safety_settings.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cmath>

#include "batch/leading_number.h"
#include "core/fs/error_text.h"
#include "core/fs/user_config.h"
#include "core/list/host.h"

namespace tavrik {

namespace {

// No value can hold a line break: the default tells a missing key from an empty value.
constexpr const char* kMissing = "\n";

std::optional<double> Value(IniReader& reader, const std::string& name, const char* key) {
  const std::string text = reader.ReadIniString(kSafetySection, key, kMissing, name);
  if (text == kMissing) return std::nullopt;
  return LeadingNumber(text);
}

}  // namespace

void ReadSafetySettings(IniReader& reader, const std::string& name, SafetySettings* settings) {
  if (name.empty()) return;
  if (std::optional<double> on = Value(reader, name, "Versionen")) settings->versions = *on != 0;
  // The run in progress is always one of the kept ones, so fewer than one means nothing;
  // a value that is no such number (a typo) leaves the earlier one, rather than let the
  // next run prune old versions the user meant to keep.
  if (std::optional<double> keep = Value(reader, name, "Behalten"); keep && *keep >= 1)
    settings->keep = static_cast<int>(std::min(std::floor(*keep), 1e6));
  if (std::optional<double> on = Value(reader, name, "Stundenkorrektur"))
    settings->hour_correction = *on != 0;
  if (std::optional<double> on = Value(reader, name, "Verknüpfungen"))
    settings->follow_links = *on != 0;
  if (std::optional<double> on = Value(reader, name, "Zweiweg")) settings->two_way = *on != 0;
}

std::optional<DeleteLimit> ParseDeleteLimit(std::string_view text) {
  const bool share = !text.empty() && text.back() == '%';
  if (share) text.remove_suffix(1);
  int64_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < 0)
    return std::nullopt;
  if (share && n > 100) return std::nullopt;
  DeleteLimit limit;
  limit.value = n;
  limit.percent = share;
  return limit;
}

std::string BadDeleteLimitText(std::string_view option) {
  return "Ungültige Grenze in '" + std::string(option) +
         "': erwartet wird eine Anzahl von Dateien (etwa 100) oder ein Anteil (etwa 25%).";
}

Result<SafetySettings> UserSafetySettings(FileSystem& fs) {
  SafetySettings settings;
  const std::string name = UserConfigFile("tavrik.ini");
  if (name.empty() || UserFileUnreachable(fs, name)) return settings;
  {
    // The reader takes a file it cannot open for a missing one.
    Fd fd(fs, fs.OpenAt(AT_FDCWD, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return settings;
      return ErrorAt(name);
    }
  }
  IniReader reader(fs);
  ReadSafetySettings(reader, name, &settings);
  return settings;
}

std::string SettingsFileSentence(const FsError& error) {
  return "Die Einstellungsdatei '" + error.path + "' kann nicht gelesen werden.";
}

std::string SettingsFileProblem(const FsError& error) {
  return SettingsFileSentence(error) + kCr + ReasonText(error);
}

void ApplySafetySettings(const SafetySettings& settings, SharedState& state) {
  if (settings.versions) state.sync_options.versions = *settings.versions;
  if (settings.keep) state.sync_options.keep_versions = *settings.keep;
  if (settings.hour_correction) state.compare_options.hour_correction = *settings.hour_correction;
  if (settings.follow_links) state.follow_links = *settings.follow_links;
}

}  // namespace tavrik
