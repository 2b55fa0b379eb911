#include "batch/ini_text.h"

#include <cstring>

#include "batch/ansi_text.h"
#include "core/fs/paths.h"

namespace tavrik {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view TrimFront(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view Trim(std::string_view s) {
  s = TrimFront(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view CutAtNul(std::string_view s) {
  size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

// A wanted section or key name, folded once, so that the names in the file (mostly
// ASCII) are matched without allocating.
class WantedName {
 public:
  explicit WantedName(std::string_view name) : folded_(FoldCase(name)) {}
  bool Matches(std::string_view name) const {
    if (!IsAscii(name)) return FoldCase(AsUtf8(name)) == folded_;
    if (name.size() != folded_.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
      if (AsciiLower(name[i]) != folded_[i]) return false;
    return true;
  }
  // A cheap first test for a line: a name starting with a different ASCII letter can
  // never match.
  bool MayStartWith(char c) const {
    if (folded_.empty() || static_cast<unsigned char>(c) >= 0x80) return true;
    return AsciiLower(c) == folded_[0];
  }

 private:
  std::string folded_;
};

// Walks the text line by line without copying it.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  // What follows the line returned last.
  std::string_view Rest() const { return rest_; }
  bool Next(std::string_view* line) {
    if (done_) return false;
    size_t n = LineLength();
    if (n == rest_.size()) {
      *line = rest_;
      rest_.remove_prefix(rest_.size());
      done_ = true;
      return true;
    }
    *line = rest_.substr(0, n);
    rest_.remove_prefix(n + 1);
    return true;
  }

 private:
  size_t LineLength() const {
    const void* lf = std::memchr(rest_.data(), '\n', rest_.size());
    if (!lf) return rest_.size();
    return static_cast<size_t>(static_cast<const char*>(lf) - rest_.data());
  }

  std::string_view rest_;
  bool done_ = false;
};

// The name of a section header line (already trimmed, starting with "["); false when
// the line has no closing bracket.
bool SectionName(std::string_view line, std::string_view* name) {
  size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  *name = Trim(CutAtNul(line.substr(1, close - 1)));
  return true;
}

std::string ValueText(std::string_view raw) {
  std::string_view v = Trim(CutAtNul(raw));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return AsUtf8Prefix(v, kMaxIniValueChars);
}

}  // namespace

bool FindIniSection(std::string_view text, std::string_view section, std::string_view* body) {
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  const WantedName wanted(section);
  Lines lines(text);
  std::string_view line;
  bool found = false;
  const char* start = nullptr;
  while (lines.Next(&line)) {
    const char* line_start = line.data();
    line = TrimFront(line);
    std::string_view name;
    if (line.empty() || line.front() != '[' || !SectionName(line, &name)) continue;
    if (found) {
      // Only the first section of the wanted name counts; the next header ends it.
      *body = std::string_view(start, static_cast<size_t>(line_start - start));
      return true;
    }
    found = wanted.Matches(name);
    start = lines.Rest().data();
  }
  if (!found) return false;
  *body = std::string_view(start, static_cast<size_t>(text.data() + text.size() - start));
  return true;
}

bool FindIniKey(std::string_view body, std::string_view key, std::string* value) {
  const WantedName wanted(key);
  Lines lines(body);
  std::string_view line;
  while (lines.Next(&line)) {
    // Most lines of a large section are turned away by their first character.
    line = TrimFront(line);
    if (line.empty() || !wanted.MayStartWith(line.front())) continue;
    if (line.front() == ';' || line.front() == '[') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!wanted.Matches(Trim(CutAtNul(line.substr(0, eq))))) continue;
    *value = ValueText(line.substr(eq + 1));
    return true;
  }
  return false;
}

bool FindIniValue(std::string_view text, std::string_view section, std::string_view key,
                  std::string* value) {
  std::string_view body;
  return FindIniSection(text, section, &body) && FindIniKey(body, key, value);
}

}  // namespace tavrik
