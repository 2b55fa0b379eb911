#include "cli/json_lines.h"

#include <cstdio>
#include <ctime>

#include "batch/ansi_text.h"
#include "core/fs/error_text.h"
#include "core/list/comparison_list.h"
#include "core/list/host.h"

namespace tavrik {

namespace {

void AppendEscaped(std::string& out, std::string_view utf8) {
  out.push_back('"');
  for (char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string ToUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto at = [&](size_t k) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    for (int shift : {18, 12, 6, 0}) out.push_back(kDigits[(v >> shift) & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest == 1) {
    const unsigned v = at(i) << 16;
    out.push_back(kDigits[(v >> 18) & 63]);
    out.push_back(kDigits[(v >> 12) & 63]);
    out += "==";
  } else if (rest == 2) {
    const unsigned v = at(i) << 16 | at(i + 1) << 8;
    out.push_back(kDigits[(v >> 18) & 63]);
    out.push_back(kDigits[(v >> 12) & 63]);
    out.push_back(kDigits[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::string IsoUtc(int64_t sec, int32_t nsec) {
  const time_t t = static_cast<time_t>(sec);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(nsec));
  return text;
}

void JsonLine::Key(std::string_view key) {
  if (text_.size() > 1) text_.push_back(',');
  AppendEscaped(text_, key);
  text_.push_back(':');
}

JsonLine& JsonLine::Name(std::string_view key, std::string_view bytes) {
  Key(key);
  if (IsValidUtf8(bytes)) {
    AppendEscaped(text_, bytes);
    return *this;
  }
  AppendEscaped(text_, ToUtf8Lossy(bytes));
  Key(std::string(key) + "_base64");
  AppendEscaped(text_, Base64(bytes));
  return *this;
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view text) {
  Key(key);
  AppendEscaped(text_, text);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Stamp(std::string_view key, const FileStamp& stamp) {
  Number(std::string(key) + "_size", stamp.size);
  return Text(std::string(key) + "_mtime", IsoUtc(stamp.mtime_sec, stamp.mtime_nsec));
}

std::string JsonLine::Finish() {
  std::string line = std::move(text_);
  line.push_back('}');
  line.push_back('\n');
  text_.clear();
  text_.push_back('{');
  return line;
}

std::string RowJson(const ComparisonList& list, int pos, const std::string* left_link,
                    const std::string* right_link, std::string_view why) {
  JsonLine line;
  line.Name("left", list.LeftName(pos));
  line.Text("mark", MarkText(list.GetMark(pos)));
  line.Name("right", list.RightName(pos));
  if (const FileStamp* left = list.LeftStamp(pos)) line.Stamp("left", *left);
  if (const FileStamp* right = list.RightStamp(pos)) line.Stamp("right", *right);
  if (!why.empty()) line.Text("why", why);
  if (list.LeftKind(pos) == FileKind::kLink) {
    line.Text("left_kind", "link");
    if (left_link) line.Name("left_link", *left_link);
  }
  if (list.RightKind(pos) == FileKind::kLink) {
    line.Text("right_kind", "link");
    if (right_link) line.Name("right_link", *right_link);
  }
  return line.Finish();
}

std::string LeftOutJson(std::string_view path, std::string_view why) {
  JsonLine line;
  line.Name("left_out", path);
  line.Text("why", why);
  return line.Finish();
}

namespace {

const char* WhatOf(SyncAction::Kind kind) {
  switch (kind) {
    case SyncAction::kCopy:
      return "copy";
    case SyncAction::kDelete:
      return "delete";
    case SyncAction::kMove:
      return "move";
  }
  return "";
}

}  // namespace

std::string ActionJson(const SyncAction& action, bool with_outcome) {
  JsonLine line;
  line.Text("what", WhatOf(action.kind));
  line.Text("mark", action.mark);
  line.Name("from", action.from);
  if (action.kind != SyncAction::kDelete) line.Name("to", action.to);
  if (action.link) line.Name("link", *action.link);
  if (!action.why.empty()) line.Text("why", action.why);
  if (!with_outcome) return line.Finish();
  static constexpr const char* kOutcomes[] = {"done", "skipped", "aborted"};
  line.Text("outcome", kOutcomes[action.outcome]);
  if (action.failure) {
    line.Text("reason", ReasonText(*action.failure));
    line.Number("code", action.failure->code);
  }
  return line.Finish();
}

}  // namespace tavrik
