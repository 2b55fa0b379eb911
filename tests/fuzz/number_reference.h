// An independent reading of an AutoStart number for differential tests: a regular
// expression for the shape and the C library's strtod in the "C" locale for the value.
#pragma once

#include <locale.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

namespace tavrik::testing {

struct ReferenceNumber {
  double value = 0;
  bool exact = true;  // false for radix numbers too long to hold exactly in a double
};

inline ReferenceNumber ReferenceRadix(const std::string& digits, int base) {
  ReferenceNumber r;
  bool any_non_zero = digits.find_first_not_of('0') != std::string::npos;
  if (digits.size() > 13) return {any_non_zero ? 1.0 : 0.0, false};
  r.value = digits.empty() ? 0.0 : static_cast<double>(std::stoull(digits, nullptr, base));
  return r;
}

inline ReferenceNumber ReferenceLeadingNumber(std::string_view text) {
  static const std::regex kHex("^&[Hh]([0-9A-Fa-f]*)");
  static const std::regex kOct("^&[Oo]([0-7]*)");
  static const std::regex kDec("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?");
  static const locale_t kC = newlocale(LC_ALL_MASK, "C", nullptr);
  std::string s;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n') s.push_back(c);
  std::smatch m;
  if (std::regex_search(s, m, kHex)) return ReferenceRadix(m[1].str(), 16);
  if (std::regex_search(s, m, kOct)) return ReferenceRadix(m[1].str(), 8);
  if (std::regex_search(s, m, kDec)) return {strtod_l(m[0].str().c_str(), nullptr, kC), true};
  return {};
}

}  // namespace tavrik::testing
