// Looking a value up in the text of an INI file, by the rules of the Windows
// profile-string reader that control files were written for:
//  - section and key names match without regard to letter case (ä/Ä included);
//  - only the first section of a name counts, and in it the first key of a name;
//  - blanks, tabs and other white space (such as the CR of a CR LF line end) around
//    section names, key names and values are dropped;
//  - a value framed by a matching pair of ' or " loses the pair;
//  - a line whose first non-blank character is ";" is a comment; a ";" later in a line
//    is part of the value;
//  - a line without "=" defines no key; a "[" line without "]" is ignored;
//  - lines end in LF or CR LF; a UTF-8 byte-order mark at the start is skipped;
//  - a NUL byte ends the name or value it stands in, as it would in a C string;
//  - a value is at most kMaxIniValueChars characters long; the rest is cut off.
// Each name and each value may be UTF-8 or Windows-1252 on its own (see AsUtf8); a value
// is judged on the characters returned (AsUtf8Prefix) and comes back as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik {

// The platform's reader copies into a buffer of 32,767 characters including the NUL.
inline constexpr size_t kMaxIniValueChars = 32766;

// Finds key in section of text (a whole file's content). False when the section or the
// key is missing; value is then left alone. section and key are UTF-8.
bool FindIniValue(std::string_view text, std::string_view section, std::string_view key,
                  std::string* value);

// The two halves of FindIniValue, so a reader can keep a section it has found. body is
// the part of text after the first matching header, up to the next header.
bool FindIniSection(std::string_view text, std::string_view section, std::string_view* body);
bool FindIniKey(std::string_view body, std::string_view key, std::string* value);

}  // namespace tavrik
