// Wildcard patterns of exclusion rules, taken apart into path components. Matching is on
// bytes, case-sensitive: "?" is one byte (an umlaut in UTF-8 is two), "*" any run of bytes
// within one name, "[...]" one byte of a set (ranges, "!" or "^" to negate, the classes
// [:alpha:] and so on for ASCII), a backslash takes the next character literally.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

// One element of a pattern as written, before it is split at the separators.
struct GlobToken {
  enum Op : uint8_t { kByte, kAny, kSet, kStar, kSep };
  Op op;
  uint8_t byte;    // kByte
  uint16_t set;    // kSet: index into the pattern's sets
  uint16_t stars;  // kStar: how many asterisks stood in a row
  bool escaped;    // kByte, kSep: written with a backslash
};

using ByteSet = std::bitset<256>;

struct GlobTokens {
  std::vector<GlobToken> tokens;
  std::vector<ByteSet> sets;
};

// Reads a pattern into tokens; false when it can never match anything (a "[" that is never
// closed, an unknown character class, a backslash at the very end).
bool TokenizeGlob(std::string_view pattern, GlobTokens* out);

// The pattern of one name (no separator in it), with fast paths for the shapes rules
// mostly have: a plain name, "*.ext", "name*", "*".
class NameGlob {
 public:
  enum class Shape : uint8_t { kNever, kLiteral, kSuffix, kPrefix, kAnything, kGeneral };

  NameGlob() = default;
  // tokens[begin, end) of one component; runs of asterisks count as one.
  NameGlob(const GlobTokens& pattern, size_t begin, size_t end);

  Shape shape() const { return shape_; }
  // The literal bytes every match begins and ends with (kLiteral: the name is the head).
  const std::string& head() const { return head_; }
  const std::string& tail() const { return tail_; }

  bool Matches(std::string_view name) const {
    switch (shape_) {
      case Shape::kNever:
        return false;
      case Shape::kLiteral:
        return name == head_;
      case Shape::kSuffix:
        return name.size() >= tail_.size() &&
               name.compare(name.size() - tail_.size(), tail_.size(), tail_) == 0;
      case Shape::kPrefix:
        return name.size() >= head_.size() && name.compare(0, head_.size(), head_) == 0;
      case Shape::kAnything:
        return true;
      case Shape::kGeneral:
        return MatchesGeneral(name);
    }
    return false;
  }

 private:
  bool MatchesGeneral(std::string_view name) const;

  Shape shape_ = Shape::kNever;
  std::string head_;  // the literal bytes every match begins with
  std::string tail_;  // the literal bytes every match ends with (not for kLiteral)
  size_t min_size_ = 0;
  std::vector<GlobToken> tokens_;  // kGeneral: between head and tail
  std::vector<ByteSet> sets_;
};

}  // namespace tavrik
