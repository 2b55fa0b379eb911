// Text of control files: Windows editors write the 8-bit code page 1252, Linux editors
// write UTF-8, and everything the program shows or uses as a path is UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);
// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// Every byte read as Windows-1252; the five bytes that code page leaves undefined become
// the C1 control characters of the same number, as Windows itself maps them.
std::string Windows1252ToUtf8(std::string_view text);

// The text itself when it is valid UTF-8, otherwise its Windows-1252 reading. Pure ASCII
// is both, so old control files and new ones read the same.
std::string AsUtf8(std::string_view text);

// At most max_chars characters from the start of text, as UTF-8: taken as they are when
// they are valid UTF-8, otherwise as the Windows-1252 reading of the first max_chars
// bytes. Only the part returned is looked at, so a huge text costs no more than a short.
std::string AsUtf8Prefix(std::string_view text, size_t max_chars);

}  // namespace tavrik
