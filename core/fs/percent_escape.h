// %XX escapes: the one escaper for names written into text files of ours and of the
// freedesktop trash.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

// Which bytes stay as they are; every other byte is written as % and two upper-case hex
// digits, and % itself always is.
enum class KeepBytes {
  kPrintable,         // everything but control bytes and DEL (our record files: one name per field)
  kPrintableNoBlank,  // the same but blanks too (fields of a line split at blanks)
  kUrlPath,           // letters, digits, "-_.~/" (the trash's Path= key, a URL path)
};

std::string PercentEscape(std::string_view text, KeepBytes keep);
// The bytes back; false when an escape is broken or the result holds a NUL byte.
bool PercentUnescape(std::string_view text, std::string* out);

}  // namespace tavrik
