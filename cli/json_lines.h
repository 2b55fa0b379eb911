// One JSON object a line, for scripts that read the console's rows. Names are byte strings:
// a name that is not valid UTF-8 is given as UTF-8 with U+FFFD for each bad sequence, and
// its bytes beside it in base64 (key + "_base64"), so a script can still reach the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_stamp.h"

namespace tavrik {

class ComparisonList;
struct SyncAction;

// Builds one object; fields keep the order they were added in.
class JsonLine {
 public:
  // A name or path: escaped, and with key_base64 beside it where it is not valid UTF-8.
  JsonLine& Name(std::string_view key, std::string_view bytes);
  // A text of our own (a mark, a reason): always UTF-8.
  JsonLine& Text(std::string_view key, std::string_view text);
  JsonLine& Number(std::string_view key, int64_t value);
  // size and mtime (ISO 8601 in UTC with nanoseconds) of a stamp, as key_size, key_mtime.
  JsonLine& Stamp(std::string_view key, const FileStamp& stamp);
  // The object and its line end.
  std::string Finish();

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

// One row of the list: the left name, the mark and the right name as the list holds them,
// and the size and time of each side whose file was read ("left_size", "left_mtime", ...).
// A side that is a link listed as itself adds "left_kind": "link" and its target text as
// "left_link" (a name: base64 beside it where it is not UTF-8), when given; a two-way
// comparison's reason as "why" where given.
std::string RowJson(const ComparisonList& list, int pos, const std::string* left_link = nullptr,
                    const std::string* right_link = nullptr, std::string_view why = {});
// An entry the scan left out, by full path: {"left_out": PATH, "why": "fifo"}.
std::string LeftOutJson(std::string_view path, std::string_view why);
// One action of the sync: "what" (copy, delete or move), "mark", "from" (the copied, deleted
// or moved file) and, for a copy or a move, "to" (and "link", a link's target text, where the
// action has it); "why" in a two-way run; with_outcome adds "outcome" (done, skipped,
// aborted) and, after a failure, "reason" and its "code".
std::string ActionJson(const SyncAction& action, bool with_outcome);

// bytes with every ill-formed sequence replaced by U+FFFD.
std::string ToUtf8Lossy(std::string_view bytes);
std::string Base64(std::string_view bytes);
// "2026-12-07T15:06:54.123456789Z"
std::string IsoUtc(int64_t sec, int32_t nsec);

}  // namespace tavrik
