#include "core/fs/paths.h"

#include <unistd.h>
#include <utf8proc.h>

#include <array>
#include <climits>
#include <cstdlib>

namespace tavrik {

std::string AddBackslash(std::string_view path) {
  std::string result(path);
  if (result.empty() || result.back() != kSep) result.push_back(kSep);
  return result;
}

std::string AppPath() {
  std::array<char, PATH_MAX + 1> buffer{};
  ssize_t n = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
  if (n <= 0) return AddBackslash(".");
  std::string exe(buffer.data(), static_cast<size_t>(n));
  size_t cut = exe.rfind(kSep);
  if (cut == std::string::npos) return AddBackslash(".");
  return AddBackslash(exe.substr(0, cut));
}

namespace {

// Folds one character starting at text[i] into out; returns the bytes consumed.
size_t FoldOne(std::string_view text, size_t i, std::string& out) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) {
    out.push_back(AsciiLower(static_cast<char>(c)));
    return 1;
  }
  utf8proc_int32_t cp = 0;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                            static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
  if (n <= 0) {
    out.push_back(static_cast<char>(c));
    return 1;
  }
  utf8proc_uint8_t encoded[4];
  auto len = utf8proc_encode_char(utf8proc_tolower(cp), encoded);
  out.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(len));
  return static_cast<size_t>(n);
}

}  // namespace

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

void FoldCase(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) i += FoldOne(text, i, out);
}

std::string FoldCase(std::string_view text) {
  std::string out;
  FoldCase(text, out);
  return out;
}

int CaselessCompare(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  for (; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if ((x | y) & 0x80) break;
    x = static_cast<unsigned char>(AsciiLower(static_cast<char>(x)));
    y = static_cast<unsigned char>(AsciiLower(static_cast<char>(y)));
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < n) {
    // All before i is ASCII, so i starts a character in both: fold the rest and compare.
    std::string fa = FoldCase(a.substr(i));
    std::string fb = FoldCase(b.substr(i));
    if (int c = fa.compare(fb); c != 0) return c < 0 ? -1 : 1;
  } else if (a.size() != b.size()) {
    return a.size() < b.size() ? -1 : 1;
  }
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool CaselessEqual(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
  }
  return FoldCase(a) == FoldCase(b);
}

namespace {

// FNV-1a over bytes already folded.
uint64_t HashFolded(std::string_view folded) {
  uint64_t h = 1469598103934665603ull;
  for (char c : folded) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

uint64_t CaselessHash(std::string_view text) {
  if (!IsAscii(text)) return HashFolded(FoldCase(text));
  // The same as hashing FoldCase(text), without building it.
  uint64_t h = 1469598103934665603ull;
  for (char c : text) {
    h ^= static_cast<unsigned char>(AsciiLower(c));
    h *= 1099511628211ull;
  }
  return h;
}

namespace {

// True when every character is below U+0300: ASCII, Latin-1 and the Latin extensions. Such
// a text is composed already (no combining mark can follow a letter), so it needs no
// normalisation; this spares the common umlaut names the work.
bool ComposedBelowCombiningMarks(std::string_view text) {
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && (b < 0xC2 || b > 0xCB)) return false;
  }
  return true;
}

}  // namespace

std::string PairingKey(std::string_view text) {
  if (ComposedBelowCombiningMarks(text)) return FoldCase(text);
  utf8proc_uint8_t* composed = nullptr;
  utf8proc_ssize_t n =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  // Not valid UTF-8: fold the bytes as they are.
  if (n < 0) return FoldCase(text);
  std::string key =
      FoldCase(std::string_view(reinterpret_cast<const char*>(composed), static_cast<size_t>(n)));
  std::free(composed);
  return key;
}

uint64_t RelPath::KeyHash() const {
  // The key is folded already: hash its bytes as they are.
  if (IsAscii(text_)) return CaselessHash(text_);
  return HashFolded(PairingKey(text_));
}

bool RelPath::SameKey(std::string_view other) const {
  if (IsAscii(text_) && IsAscii(other)) return CaselessEqual(text_, other);
  return PairingKey(text_) == PairingKey(other);
}

RootPath::RootPath(std::string_view folder) {
  if (folder.empty()) return;
  size_t end = folder.size();
  while (end > 1 && folder[end - 1] == kSep) --end;
  text_.assign(folder.substr(0, end));
  if (text_.back() != kSep) text_.push_back(kSep);
}

}  // namespace tavrik
