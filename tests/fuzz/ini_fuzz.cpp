// libFuzzer target for the INI lookup: the first byte picks a section and a key, the
// rest is the file's text. Aborts when an invariant breaks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "batch/ansi_text.h"
#include "batch/ini_text.h"
#include "batch/leading_number.h"

namespace {

const char* const kSections[] = {"Pfade", "AutoStart", "", "Bücher"};
const char* const kKeys[] = {"Links",    "Rechts",         "Binärvergleich", "Altersvergleich",
                             "Abgleich", "Zwischenablage", "Ende",           ""};

size_t CountChars(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* section = kSections[data[0] & 3];
  const char* key = kKeys[(data[0] >> 2) & 7];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string value = "<missing>";
  const bool found = tavrik::FindIniValue(text, section, key, &value);
  if (found) {
    Check(tavrik::IsValidUtf8(value));
    Check(value.find('\0') == std::string::npos);
    Check(CountChars(value) <= tavrik::kMaxIniValueChars);
    Check(tavrik::LeadingNumber(value) == tavrik::LeadingNumber(value));  // never NaN
  }
  // Line ends and a byte-order mark must not change the reading.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string other = "<missing>";
  Check(tavrik::FindIniValue(crlf, section, key, &other) == found && other == value);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) return 0;  // only one mark is skipped
  other = "<missing>";
  Check(tavrik::FindIniValue("\xEF\xBB\xBF" + text, section, key, &other) == found &&
        other == value);
  return 0;
}
