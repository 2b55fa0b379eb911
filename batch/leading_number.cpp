#include "batch/leading_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace tavrik {

namespace {

std::string WithoutBlanks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n') out.push_back(c);
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

double RadixNumber(std::string_view digits, int radix) {
  double value = 0;
  for (char c : digits) {
    int d = DigitValue(c);
    if (d >= radix) break;
    value = value * radix + d;
  }
  return value;
}

size_t SkipDigits(std::string_view s, size_t i) {
  while (i < s.size() && IsDigit(s[i])) ++i;
  return i;
}

// Where the exponent that starts at s[i] ("e", sign, digits) ends; i when there is none.
size_t ExponentEnd(std::string_view s, size_t i) {
  if (i >= s.size() || (s[i] != 'e' && s[i] != 'E')) return i;
  size_t j = i + 1;
  if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
  size_t end = SkipDigits(s, j);
  return end == j ? i : end;
}

// The power of ten of the mantissa's first non-zero digit ("12.5" gives 1, "0.05"
// gives -2); false when every digit is zero.
bool LeadingPower(std::string_view mantissa, long long* power) {
  size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  for (size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.' || mantissa[i] == '0') continue;
    *power = i < point ? static_cast<long long>(point - i) - 1 : -static_cast<long long>(i - point);
    return true;
  }
  return false;
}

// The exponent's value, held within a range that keeps the sums below from overflowing.
long long ExponentValue(std::string_view exponent) {
  bool negative = !exponent.empty() && exponent[0] == '-';
  long long value = 0;
  for (char c : exponent) {
    if (!IsDigit(c)) continue;
    value = std::min(value * 10 + (c - '0'), 1000000000LL);
  }
  return negative ? -value : value;
}

// For a number too large or too small for a double: true when it is too large.
bool Overflows(std::string_view number) {
  size_t e = number.find_first_of("eE");
  std::string_view mantissa = number.substr(0, e);
  long long power = 0;
  if (!LeadingPower(mantissa, &power)) return false;
  if (e != std::string_view::npos) power += ExponentValue(number.substr(e + 1));
  return power > 0;
}

double DecimalNumber(std::string_view s) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const size_t start = i;
  const size_t int_end = SkipDigits(s, i);
  const bool point = int_end < s.size() && s[int_end] == '.';
  const size_t frac_end = point ? SkipDigits(s, int_end + 1) : int_end;
  const size_t digits = (int_end - start) + (point ? frac_end - int_end - 1 : 0);
  if (digits == 0) return 0;
  const size_t end = ExponentEnd(s, frac_end);
  std::string_view number = s.substr(start, end - start);
  double value = 0;
  auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc::result_out_of_range) value = Overflows(number) ? HUGE_VAL : 0.0;
  return negative ? -value : value;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  const std::string s = WithoutBlanks(text);
  if (s.size() >= 2 && s[0] == '&') {
    if (s[1] == 'H' || s[1] == 'h') return RadixNumber(std::string_view(s).substr(2), 16);
    if (s[1] == 'O' || s[1] == 'o') return RadixNumber(std::string_view(s).substr(2), 8);
    return 0;
  }
  return DecimalNumber(s);
}

}  // namespace tavrik
