// The record of one run under one root: what it replaced, deleted and created there. It
// lies beside the files the run kept, in <root>/.tavrik-versions/<run>/, and is written
// line by line as the run goes, so even a run that was cut off can be put back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"

namespace tavrik {

// The folder below a root that holds one folder per run; a scan never lists dot names.
inline constexpr std::string_view kVersionsFolder = ".tavrik-versions";
// The record inside a run's folder; no file of the tree can have its name (a dot name).
inline constexpr std::string_view kRecordName = ".tavrik-record";

enum class EntryKind : char {
  kReplaced = 'R',       // before: the kept file, after: the file put in its place
  kDeleted = 'D',        // before: the kept file
  kCreated = 'C',        // after: the file that appeared where none was
  kFolderMade = 'M',     // a folder made for a copy
  kFolderRemoved = 'X',  // a folder an undo removed
  kMoved = 'V',          // after: the file as it lies under its new name, to
};

struct RecordEntry {
  EntryKind kind = EntryKind::kCreated;
  std::string rel;
  FileStamp before;
  FileStamp after;
  std::string to;  // kMoved: the new relative path (rel is the old one)
};

struct RunHeader {
  // Runs are ordered by this number, one above the highest found under the root when the
  // run's folder was made: clocks can go back and folder names sort badly.
  uint64_t seq = 0;
  int64_t start_sec = 0;
  int32_t start_nsec = 0;
  bool undo = false;
  std::string undoes;  // for an undo: the folder name of the run it put back
};

struct ParsedRecord {
  RunHeader header;
  std::vector<RecordEntry> entries;
  bool ended = false;  // the run closed its record; false after a crash or a kill
};

std::string HeaderText(const RunHeader& header);
std::string EntryText(const RecordEntry& entry);
std::string EndText();

// False when text is no record of ours or holds a damaged line (a relative path that
// would lead out of the root among them). A last line without its line break is a write
// cut off by the end of the process: it is left out.
bool ParseRecord(std::string_view text, ParsedRecord* out);

// A relative path an undo may act on: not empty, no leading separator, no empty, "." or
// ".." part.
bool SafeRelPath(std::string_view rel);

// The folder name of a run that started at start_sec (local time), before any suffix:
// YYYY-MM-DD_HHMMSS.
std::string RunFolderName(int64_t start_sec);

}  // namespace tavrik
