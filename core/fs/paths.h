// Path helpers. Paths are byte strings exactly as the file system gives them; a root
// folder ends in exactly one separator, a relative path never begins with one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik {

// The platform's folder separator: every place that splits or joins paths uses it.
inline constexpr char kSep = '/';

// The path with one separator appended when its last character is not one.
// An empty path yields the separator alone; a path ending in two keeps both.
std::string AddBackslash(std::string_view path);

// The folder that holds the running program, with its trailing separator.
std::string AppPath();

// ASCII lower-casing of one byte; every other byte stays as it is.
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// True when every byte is below 0x80, so folding is plain ASCII lower-casing.
bool IsAscii(std::string_view text);

// Simple per-character case folding: ASCII fast path, UTF-8 letters such as Ä → ä
// through utf8proc. Bytes that are not valid UTF-8 are kept as they are.
void FoldCase(std::string_view text, std::string& out);
std::string FoldCase(std::string_view text);

// Equality and hash without regard to letter case, consistent with FoldCase.
bool CaselessEqual(std::string_view a, std::string_view b);
uint64_t CaselessHash(std::string_view text);

// Three-way text order for the list's sorting: case-insensitive, then by bytes.
int CaselessCompare(std::string_view a, std::string_view b);

// A root folder: the folder as the user named it, with exactly one separator at its end.
// An empty name stays empty, so a root never chosen can never stand for the whole disk.
class RootPath {
 public:
  RootPath() = default;
  explicit RootPath(std::string_view folder);
  const std::string& str() const { return text_; }
  operator std::string_view() const { return text_; }
  bool empty() const { return text_.empty(); }
  size_t size() const { return text_.size(); }
  bool operator==(const RootPath&) const = default;

 private:
  std::string text_;
};

// The key under which a name of one side pairs with a name of the other: canonically
// composed (NFC, so names written decomposed by other systems pair with composed ones) and
// then folded per character as FoldCase does ("ß" stays "ß" and does not pair with "SS",
// as FAT media keep them apart too). Bytes that are not valid UTF-8 are kept as they are.
std::string PairingKey(std::string_view text);

// A path below a root (never beginning with a separator) and the key under which a file of
// one side pairs with a file of the other. The pairing rule lives here and nowhere else.
class RelPath {
 public:
  explicit RelPath(std::string_view text) : text_(text) {}
  std::string_view text() const { return text_; }
  uint64_t KeyHash() const;
  bool SameKey(std::string_view other) const;

 private:
  std::string_view text_;
};

// Joins a root folder (ending in its separator) and a relative path.
inline std::string JoinPath(std::string_view root, std::string_view rel) {
  std::string full;
  full.reserve(root.size() + rel.size());
  full.append(root).append(rel);
  return full;
}

}  // namespace tavrik
