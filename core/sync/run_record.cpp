#include "core/sync/run_record.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "core/fs/percent_escape.h"

namespace tavrik {

namespace {

constexpr std::string_view kMagic = "tavrik-record 1";

std::string Escape(std::string_view text) { return PercentEscape(text, KeepBytes::kPrintable); }

bool Unescape(std::string_view text, std::string* out) { return PercentUnescape(text, out); }

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

template <typename T>
bool Number(std::string_view text, T* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

std::string StampFields(const FileStamp& stamp) {
  return std::to_string(stamp.size) + '\t' + std::to_string(stamp.mtime_sec) + '\t' +
         std::to_string(stamp.mtime_nsec);
}

bool ParseStamp(const std::vector<std::string_view>& f, size_t at, FileStamp* stamp) {
  int64_t size = 0, sec = 0;
  int32_t nsec = 0;
  if (!Number(f[at], &size) || !Number(f[at + 1], &sec) || !Number(f[at + 2], &nsec)) return false;
  if (size < 0 || nsec < 0 || nsec >= 1000000000) return false;
  *stamp = {size, sec, nsec};
  return true;
}

// Fields per kind: the kind, the stamps, the path last.
size_t FieldCount(EntryKind kind) {
  switch (kind) {
    case EntryKind::kReplaced:
      return 8;
    case EntryKind::kDeleted:
    case EntryKind::kCreated:
      return 5;
    case EntryKind::kFolderMade:
    case EntryKind::kFolderRemoved:
      return 2;
    case EntryKind::kMoved:
      return 6;
  }
  return 0;
}

bool ParseEntry(std::string_view line, RecordEntry* entry) {
  const std::vector<std::string_view> f = Fields(line);
  if (f[0].size() != 1) return false;
  const auto kind = static_cast<EntryKind>(f[0][0]);
  const size_t count = FieldCount(kind);
  if (count == 0 || f.size() != count) return false;
  entry->kind = kind;
  if (kind == EntryKind::kReplaced) {
    if (!ParseStamp(f, 1, &entry->before) || !ParseStamp(f, 4, &entry->after)) return false;
  } else if (kind == EntryKind::kDeleted) {
    if (!ParseStamp(f, 1, &entry->before)) return false;
  } else if (kind == EntryKind::kCreated) {
    if (!ParseStamp(f, 1, &entry->after)) return false;
  } else if (kind == EntryKind::kMoved) {
    if (!ParseStamp(f, 1, &entry->after) || !Unescape(f[4], &entry->rel)) return false;
    return SafeRelPath(entry->rel) && Unescape(f[5], &entry->to) && SafeRelPath(entry->to) &&
           entry->rel != entry->to;
  }
  return Unescape(f.back(), &entry->rel) && SafeRelPath(entry->rel);
}

bool ParseHeaderLine(std::string_view line, RunHeader* header) {
  const std::vector<std::string_view> f = Fields(line);
  if (f[0] == "seq" && f.size() == 2) return Number(f[1], &header->seq);
  if (f[0] == "start" && f.size() == 3)
    return Number(f[1], &header->start_sec) && Number(f[2], &header->start_nsec);
  if (f[0] == "kind" && f.size() == 2) {
    header->undo = f[1] == "undo";
    return header->undo || f[1] == "sync";
  }
  if (f[0] == "undoes" && f.size() == 2) return Unescape(f[1], &header->undoes);
  return false;
}

}  // namespace

std::string HeaderText(const RunHeader& header) {
  std::string text = std::string(kMagic) + "\nseq\t" + std::to_string(header.seq) + "\nstart\t" +
                     std::to_string(header.start_sec) + '\t' + std::to_string(header.start_nsec) +
                     "\nkind\t" + (header.undo ? "undo" : "sync") + '\n';
  if (header.undo) text += "undoes\t" + Escape(header.undoes) + '\n';
  return text;
}

std::string EntryText(const RecordEntry& entry) {
  std::string text(1, static_cast<char>(entry.kind));
  text += '\t';
  if (entry.kind == EntryKind::kReplaced)
    text += StampFields(entry.before) + '\t' + StampFields(entry.after) + '\t';
  else if (entry.kind == EntryKind::kDeleted)
    text += StampFields(entry.before) + '\t';
  else if (entry.kind == EntryKind::kCreated)
    text += StampFields(entry.after) + '\t';
  else if (entry.kind == EntryKind::kMoved)
    return text + StampFields(entry.after) + '\t' + Escape(entry.rel) + '\t' + Escape(entry.to) +
           '\n';
  return text + Escape(entry.rel) + '\n';
}

std::string EndText() { return "end\n"; }

bool ParseRecord(std::string_view text, ParsedRecord* out) {
  *out = ParsedRecord{};
  size_t start = 0;
  bool first = true;
  bool in_header = true;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) break;  // cut off mid-line
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (line != kMagic) return false;
      first = false;
      continue;
    }
    if (out->ended) return false;  // nothing may follow the end
    if (line == "end") {
      out->ended = true;
      continue;
    }
    if (in_header && ParseHeaderLine(line, &out->header)) continue;
    in_header = false;
    RecordEntry entry;
    if (!ParseEntry(line, &entry)) return false;
    out->entries.push_back(std::move(entry));
  }
  return !first && out->header.seq > 0;
}

bool SafeRelPath(std::string_view rel) {
  if (rel.empty() || rel.front() == '/' || rel.back() == '/') return false;
  for (size_t start = 0;;) {
    const size_t sep = rel.find('/', start);
    const std::string_view part = rel.substr(start, sep - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (sep == std::string_view::npos) return true;
    start = sep + 1;
  }
}

std::string RunFolderName(int64_t start_sec) {
  const time_t t = static_cast<time_t>(start_sec);
  struct tm local {};
  // Without a time zone to read the name is still a date, in UTC.
  if (!localtime_r(&t, &local)) gmtime_r(&t, &local);
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return name;
}

}  // namespace tavrik
