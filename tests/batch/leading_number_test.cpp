#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "batch/leading_number.h"

namespace tavrik {
namespace {

struct NumberCase {
  const char* text;
  double value;
};

// Catches a parse that reads the decimal comma, words, or whole-string numbers only.
TEST(LeadingNumberTest, ReadsTheNumberAtTheStartAndStopsAtTheFirstMisfit) {
  const NumberCase cases[] = {
      {"0", 0},      {"1", 1},   {"-1", -1},   {"2", 2},       {"0,5", 0},  {"0.5", 0.5},
      {"nein", 0},   {"ja", 0},  {"true", 0},  {"", 0},        {"+7", 7},   {".5", 0.5},
      {"5.", 5},     {".", 0},   {"-", 0},     {"1.5.3", 1.5}, {"3abc", 3}, {"1e3", 1000},
      {"2E-1", 0.2}, {"1e", 1},  {"1e+", 1},   {"1ex", 1},     {"--5", 0},  {"+-5", 0},
      {"12,5", 12},  {"007", 7}, {"1,000", 1}, {"-0", 0},      {"e5", 0},   {"1d2", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(LeadingNumber(c.text), c.value) << c.text;
}

// Catches blanks, tabs or line feeds ending the number instead of being ignored, and
// other control characters being ignored too.
TEST(LeadingNumberTest, BlanksTabsAndLineFeedsAreIgnoredAnywhere) {
  EXPECT_EQ(LeadingNumber(" 1 2 3 "), 123);
  EXPECT_EQ(LeadingNumber("\t-\n4 . 5"), -4.5);
  EXPECT_EQ(LeadingNumber("1 e 2"), 100);
  EXPECT_EQ(LeadingNumber("\r1"), 0);
  EXPECT_EQ(LeadingNumber("1\r2"), 1);
}

// Catches the hexadecimal and octal prefixes read as no number, or digits beyond the
// radix taken.
TEST(LeadingNumberTest, HexadecimalAndOctalPrefixes) {
  EXPECT_EQ(LeadingNumber("&H1F"), 31);
  EXPECT_EQ(LeadingNumber("&hff"), 255);
  EXPECT_EQ(LeadingNumber("& H 1 0"), 16);
  EXPECT_EQ(LeadingNumber("&O17"), 15);
  EXPECT_EQ(LeadingNumber("&o18"), 1);
  EXPECT_EQ(LeadingNumber("&H"), 0);
  EXPECT_EQ(LeadingNumber("&HG1"), 0);
  EXPECT_EQ(LeadingNumber("&O9"), 0);
  EXPECT_EQ(LeadingNumber("&X1"), 0);
  EXPECT_EQ(LeadingNumber("&"), 0);
  EXPECT_EQ(LeadingNumber("-&H1"), 0);
  EXPECT_NE(LeadingNumber("&H" + std::string(300, 'F')), 0);
}

// Catches numbers beyond double's range turning into 0 (a request lost) or staying
// non-zero when they are too small to represent.
TEST(LeadingNumberTest, MagnitudesBeyondDouble) {
  EXPECT_EQ(LeadingNumber("1e400"), HUGE_VAL);
  EXPECT_EQ(LeadingNumber("-1e400"), -HUGE_VAL);
  EXPECT_EQ(LeadingNumber("1" + std::string(400, '0')), HUGE_VAL);
  EXPECT_EQ(LeadingNumber("1e-400"), 0);
  EXPECT_EQ(LeadingNumber("0." + std::string(400, '0') + "1"), 0);
  EXPECT_EQ(LeadingNumber("1" + std::string(400, '0') + "e-400"), 1);
  EXPECT_EQ(LeadingNumber("0e99999999999999999999"), 0);
  EXPECT_EQ(LeadingNumber("1e99999999999999999999"), HUGE_VAL);
  EXPECT_EQ(LeadingNumber("1e-99999999999999999999"), 0);
}

// Catches the on/off rule taken from the text instead of the number.
TEST(LeadingNumberTest, RequestsAreOnForEveryNumberButZero) {
  for (const char* on : {"1", "-1", "2", "0.5", "&H1", " 1", "1x", "1e-300"})
    EXPECT_TRUE(RequestOn(on)) << on;
  for (const char* off : {"0", "0,5", "nein", "ja", "true", "", "-0", "0.0", "&H0", "1e-400"})
    EXPECT_FALSE(RequestOn(off)) << off;
}

}  // namespace
}  // namespace tavrik
