#include "batch/safety_settings.h"

#include <cmath>

#include "batch/leading_number.h"
#include "core/fs/user_config.h"

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
}

SafetySettings UserSafetySettings(FileSystem& fs) {
  SafetySettings settings;
  IniReader reader(fs);
  ReadSafetySettings(reader, UserConfigFile("tavrik.ini"), &settings);
  return settings;
}

void ApplySafetySettings(const SafetySettings& settings, SharedState& state) {
  if (settings.versions) state.sync_options.versions = *settings.versions;
  if (settings.keep) state.sync_options.keep_versions = *settings.keep;
  if (settings.hour_correction) state.compare_options.hour_correction = *settings.hour_correction;
}

}  // namespace tavrik
