#include "core/rules/glob.h"

namespace tavrik {

namespace {

// The ASCII classes; bytes above 0x7f belong to none. "space" is blank, tab, CR and LF
// only, not the vertical tab or form feed of the C library.
bool InClass(std::string_view name, int c, bool* known) {
  *known = true;
  const bool upper = c >= 'A' && c <= 'Z';
  const bool lower = c >= 'a' && c <= 'z';
  const bool digit = c >= '0' && c <= '9';
  const bool print = c >= 0x20 && c <= 0x7e;
  if (name == "alnum") return upper || lower || digit;
  if (name == "alpha") return upper || lower;
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return (c >= 0 && c < 0x20) || c == 0x7f;
  if (name == "digit") return digit;
  if (name == "graph") return print && c != ' ';
  if (name == "lower") return lower;
  if (name == "print") return print;
  if (name == "punct") return print && c != ' ' && !upper && !lower && !digit;
  if (name == "space") return c == ' ' || c == '\t' || c == '\n' || c == '\r';
  if (name == "upper") return upper;
  if (name == "xdigit") return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  *known = false;
  return false;
}

// Reads the set that starts after the "[" at text[*pos]; *pos ends after its "]".
bool ReadSet(std::string_view text, size_t* pos, ByteSet* set) {
  size_t i = *pos;
  bool negate = false;
  if (i < text.size() && (text[i] == '!' || text[i] == '^')) {
    negate = true;
    ++i;
  }
  bool first = true;
  int range_start = -1;  // the byte just taken, which a "-" may extend to a range
  for (;;) {
    if (i >= text.size()) return false;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ']' && !first) {
      ++i;
      break;
    }
    first = false;
    if (c == '\\') {
      if (++i >= text.size()) return false;
      range_start = static_cast<unsigned char>(text[i++]);
      set->set(static_cast<size_t>(range_start));
      continue;
    }
    if (c == '-' && range_start >= 0 && i + 1 < text.size() && text[i + 1] != ']') {
      i += 1;
      if (text[i] == '\\' && ++i >= text.size()) return false;
      const int end = static_cast<unsigned char>(text[i++]);
      // A range written backwards holds its first byte only.
      for (int b = range_start; b <= end; ++b) set->set(static_cast<size_t>(b));
      range_start = -1;
      continue;
    }
    if (c == '[' && i + 1 < text.size() && text[i + 1] == ':') {
      const size_t name_begin = i + 2;
      const size_t close = text.find(']', name_begin);
      if (close != std::string_view::npos && close > name_begin && text[close - 1] == ':') {
        const std::string_view name = text.substr(name_begin, close - 1 - name_begin);
        bool known = true;
        for (int b = 0; b < 128 && known; ++b)
          if (InClass(name, b, &known)) set->set(static_cast<size_t>(b));
        if (!known) return false;
        i = close + 1;
        range_start = -1;
        continue;
      }
    }
    set->set(c);
    range_start = c;
    ++i;
  }
  if (negate) set->flip();
  *pos = i;
  return true;
}

}  // namespace

bool TokenizeGlob(std::string_view pattern, GlobTokens* out) {
  out->tokens.clear();
  out->sets.clear();
  size_t i = 0;
  while (i < pattern.size()) {
    const unsigned char c = static_cast<unsigned char>(pattern[i]);
    GlobToken token{GlobToken::kByte, c, 0, 0, false};
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return false;
      token.byte = static_cast<unsigned char>(pattern[i + 1]);
      token.escaped = true;
      // An escaped separator is still a separator: names never hold one.
      if (token.byte == '/') token.op = GlobToken::kSep;
      i += 2;
    } else if (c == '/') {
      token.op = GlobToken::kSep;
      ++i;
    } else if (c == '?') {
      token.op = GlobToken::kAny;
      ++i;
    } else if (c == '*') {
      token.op = GlobToken::kStar;
      while (i < pattern.size() && pattern[i] == '*') {
        ++token.stars;
        ++i;
      }
    } else if (c == '[') {
      ++i;
      ByteSet set;
      if (!ReadSet(pattern, &i, &set)) return false;
      token.op = GlobToken::kSet;
      token.set = static_cast<uint16_t>(out->sets.size());
      out->sets.push_back(set);
    } else {
      ++i;
    }
    out->tokens.push_back(token);
  }
  return true;
}

NameGlob::NameGlob(const GlobTokens& pattern, size_t begin, size_t end) {
  const std::vector<GlobToken>& t = pattern.tokens;
  size_t head_end = begin;
  while (head_end < end && t[head_end].op == GlobToken::kByte)
    head_.push_back(static_cast<char>(t[head_end++].byte));
  if (head_end == end) {
    // A name is never empty, so an empty pattern matches nothing.
    shape_ = head_.empty() ? Shape::kNever : Shape::kLiteral;
    return;
  }
  size_t tail_begin = end;
  while (tail_begin > head_end && t[tail_begin - 1].op == GlobToken::kByte) --tail_begin;
  for (size_t i = tail_begin; i < end; ++i) tail_.push_back(static_cast<char>(t[i].byte));
  const bool one_star = tail_begin == head_end + 1 && t[head_end].op == GlobToken::kStar;
  if (one_star && head_.empty() && tail_.empty()) {
    shape_ = Shape::kAnything;
    return;
  }
  if (one_star && head_.empty()) {
    shape_ = Shape::kSuffix;
    return;
  }
  if (one_star && tail_.empty()) {
    shape_ = Shape::kPrefix;
    return;
  }
  shape_ = Shape::kGeneral;
  min_size_ = head_.size() + tail_.size();
  for (size_t i = head_end; i < tail_begin; ++i) {
    GlobToken token = t[i];
    if (token.op == GlobToken::kSet) {
      token.set = static_cast<uint16_t>(sets_.size());
      sets_.push_back(pattern.sets[t[i].set]);
    }
    if (token.op != GlobToken::kStar) ++min_size_;
    tokens_.push_back(token);
  }
}

// The middle between the fixed head and tail, with the classic one-star backtracking: on a
// mismatch only the last star needs to take one more byte, so the cost stays linear per star.
bool NameGlob::MatchesGeneral(std::string_view name) const {
  if (name.size() < min_size_) return false;
  if (name.compare(0, head_.size(), head_) != 0) return false;
  if (name.compare(name.size() - tail_.size(), tail_.size(), tail_) != 0) return false;
  const std::string_view text =
      name.substr(head_.size(), name.size() - head_.size() - tail_.size());
  const size_t m = tokens_.size();
  size_t p = 0;
  size_t t = 0;
  size_t star_p = m + 1;  // none yet
  size_t star_t = 0;
  while (t < text.size()) {
    if (p < m && tokens_[p].op == GlobToken::kStar) {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (p < m) {
      const GlobToken& token = tokens_[p];
      const unsigned char c = static_cast<unsigned char>(text[t]);
      const bool one = token.op == GlobToken::kAny ||
                       (token.op == GlobToken::kByte && token.byte == c) ||
                       (token.op == GlobToken::kSet && sets_[token.set].test(c));
      if (one) {
        ++p;
        ++t;
        continue;
      }
    }
    if (star_p > m) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < m && tokens_[p].op == GlobToken::kStar) ++p;
  return p == m;
}

}  // namespace tavrik
