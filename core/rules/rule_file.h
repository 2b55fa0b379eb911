// Rule files: the user's own, and any named on the command line, read through the
// file-system seam.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/rules/rule_set.h"

namespace tavrik {

// A rule file larger than this is no rule file; it is refused rather than read into memory.
inline constexpr int64_t kMaxRuleFileBytes = int64_t{16} << 20;

// Appends the lines of a rule file's text, numbered from 1: LF or CR LF ends a line, and a
// UTF-8 byte-order mark at the start is skipped.
void AppendRuleLines(std::string_view text, const std::string& origin, RuleLines* out);

// The lines of the rule file at path. With missing_ok a file that does not exist gives no
// lines; any other failure, and anything but an ordinary file, is an error with its reason.
Result<RuleLines> ReadRuleFile(FileSystem& fs, const std::string& path, bool missing_ok);

}  // namespace tavrik
