#include <gtest/gtest.h>

#include <string>

#include "batch/ini_text.h"

namespace tavrik {
namespace {

// "<missing>" when the key is not found, so a found empty value stays distinguishable.
std::string Find(const std::string& text, const std::string& section, const std::string& key) {
  std::string value = "<missing>";
  FindIniValue(text, section, key, &value);
  return value;
}

// Catches names compared byte for byte: control files are written by hand in any case.
TEST(IniTextTest, SectionAndKeyNamesIgnoreLetterCase) {
  const std::string text = "[pFADE]\nLINKS=/a\n[AutoStart]\nbinärvergleich=1\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a");
  EXPECT_EQ(Find(text, "AUTOSTART", "BINÄRVERGLEICH"), "1");
}

// Catches the umlaut key missed when the file is in the 8-bit code page or in UTF-8.
TEST(IniTextTest, UmlautKeyIsFoundInWindows1252AndInUtf8) {
  EXPECT_EQ(Find("[AutoStart]\nBin\xE4rvergleich=1\n", "AutoStart", "Binärvergleich"), "1");
  EXPECT_EQ(Find("[AutoStart]\nBIN\xC4RVERGLEICH=2\n", "AutoStart", "Binärvergleich"), "2");
  EXPECT_EQ(Find("[AutoStart]\nBin\xC3\xA4rvergleich=3\n", "AutoStart", "Binärvergleich"), "3");
  // A different letter in the same place must not match.
  EXPECT_EQ(Find("[AutoStart]\nBin\xF6rvergleich=1\n", "AutoStart", "Binärvergleich"), "<missing>");
}

// Catches 8-bit values passed on as bytes that no UTF-8 path or message can show.
TEST(IniTextTest, ValuesComeBackAsUtf8) {
  EXPECT_EQ(Find("[Pfade]\nLinks=/home/j\xF6rg/B\xFC"
                 "cher\n",
                 "Pfade", "Links"),
            "/home/jörg/Bücher");
  EXPECT_EQ(Find("[Pfade]\nLinks=/home/jörg\n", "Pfade", "Links"), "/home/jörg");
  // 0x80 is the euro sign in Windows-1252, not U+0080.
  EXPECT_EQ(Find("[Pfade]\nLinks=\x80\n", "Pfade", "Links"), "€");
  // Byte runs shaped like UTF-8 but not allowed in it (a surrogate, an overlong form)
  // are 8-bit text too.
  EXPECT_EQ(Find("[Pfade]\nLinks=\xED\xA0\x80\n", "Pfade", "Links"), "í\u00A0€");
  EXPECT_EQ(Find("[Pfade]\nLinks=\xC0\xAF\n", "Pfade", "Links"), "À¯");
}

// Catches a later section or key of the same name overriding the first one.
TEST(IniTextTest, FirstSectionAndFirstKeyWin) {
  const std::string text =
      "[Pfade]\nLinks=/first\nlinks=/second\n[AutoStart]\nEnde=1\n[PFADE]\nLinks=/third\n"
      "Rechts=/only-in-repeat\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/first");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), "<missing>");
  EXPECT_EQ(Find(text, "AutoStart", "Ende"), "1");
}

// Catches blanks, tabs or quotes left in values and names.
TEST(IniTextTest, BlanksAroundNamesAndValuesAndMatchingQuotesAreDropped) {
  const std::string text =
      "  [ Pfade ]  \n \t Links \t=  /a b  \t\nRechts = \" /q \" \n[AutoStart]\n"
      "Ende='1'\nAbgleich=\"1'\nZwischenablage=\"\nBinärvergleich=''\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a b");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), " /q ");
  EXPECT_EQ(Find(text, "AutoStart", "Ende"), "1");
  EXPECT_EQ(Find(text, "AutoStart", "Abgleich"), "\"1'");
  EXPECT_EQ(Find(text, "AutoStart", "Zwischenablage"), "\"");
  EXPECT_EQ(Find(text, "AutoStart", "Binärvergleich"), "");
}

// Catches comment lines read as keys, or inline ";" cut from a value.
TEST(IniTextTest, OnlyWholeLinesAreComments) {
  const std::string text = "[Pfade]\n;Links=/commented\n  ; Rechts=/too\nLinks=/a;b ; c\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a;b ; c");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), "<missing>");
}

// Catches CR left at the end of values from Windows files, and a BOM spoiling the first
// section header.
TEST(IniTextTest, CrLfLineEndsAndByteOrderMark) {
  const std::string text = "\xEF\xBB\xBF[Pfade]\r\nLinks=/a\r\nRechts=/b";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), "/b");  // last line without line end
}

// Catches lines without "=" taken as keys, keys outside any section, and broken headers
// switching the section.
TEST(IniTextTest, MalformedLinesDefineNothing) {
  const std::string text =
      "Links=/before-any-section\n[Pfade]\nLinks\n=/no-name\n[AutoStart\nRechts=/r\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "<missing>");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), "/r");
  EXPECT_EQ(Find(text, "AutoStart", "Rechts"), "<missing>");
}

// Catches a value cut below or above the platform reader's 32,766 characters, or cut
// inside a multi-byte character.
TEST(IniTextTest, ValuesAreCutAt32766Characters) {
  const std::string exact(32766, 'x');
  EXPECT_EQ(Find("[S]\nK=" + exact + "\n", "S", "K"), exact);
  EXPECT_EQ(Find("[S]\nK=" + std::string(100000, 'y') + "\n", "S", "K"), std::string(32766, 'y'));
  std::string umlauts;
  for (int i = 0; i < 40000; ++i) umlauts += "ä";
  std::string cut = Find("[S]\nK=" + umlauts + "\n", "S", "K");
  EXPECT_EQ(cut.size(), 2u * 32766);
  EXPECT_EQ(cut.substr(cut.size() - 2), "ä");
  // Only the characters returned decide between UTF-8 and the 8-bit code page.
  EXPECT_EQ(Find("[S]\nK=" + umlauts + "\xE4\n", "S", "K"), cut);
  // 8-bit characters count one each as well.
  EXPECT_EQ(Find("[S]\nK=" + std::string(40000, '\xE4') + "\n", "S", "K").size(), 2u * 32766);
}

// Catches a NUL byte carried into a path (stat would look at a different name) or
// ending the whole file.
TEST(IniTextTest, NulEndsTheValueItStandsIn) {
  const char raw[] = "[Pfade]\nLinks=/a\0/b\n\0\nRechts=/r\n";
  const std::string text(raw, sizeof raw - 1);
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a");
  EXPECT_EQ(Find(text, "Pfade", "Rechts"), "/r");
}

// Catches junk that derails the reader for the lines after it.
TEST(IniTextTest, BinaryJunkBeforeTheSectionsIsSkipped) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) % 256));
  std::string text = junk + "\n[Pfade]\nLinks=/a\n";
  EXPECT_EQ(Find(text, "Pfade", "Links"), "/a");
}

}  // namespace
}  // namespace tavrik
