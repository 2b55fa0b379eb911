// Randomised tests of the INI lookup and the number reading against simple models, with
// a fixed seed so that every run checks the same inputs.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "batch/ansi_text.h"
#include "batch/ini_reader.h"
#include "batch/ini_text.h"
#include "batch/leading_number.h"
#include "fuzz/number_reference.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

constexpr unsigned kSeed = 20240611;

const std::array<const char*, 4> kSections = {"Pfade", "AutoStart", "Extra", "Bücher"};
const std::array<const char*, 8> kKeys = {
    "Links",    "Rechts",         "Binärvergleich", "Altersvergleich",
    "Abgleich", "Zwischenablage", "Ende",           "Öl"};

// Every umlaut here has a one-byte form in Windows-1252 that is never valid UTF-8.
const std::array<const char*, 16> kValueChars = {"a", "Z",  "0", "/", " ", ";", "=",  "[",
                                                 "]", "\"", "'", "ä", "Ö", "ß", "\t", "#"};

struct Entry {
  std::string key;
  std::string value;
};
struct Section {
  std::string name;
  std::vector<Entry> entries;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < percent; }

  // A name as a person might type it: any letter case, blanks around it, and the file
  // in either encoding.
  std::string WriteName(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
      char c = name[i];
      if (c == '\xC3' && Chance(50)) {  // ä ö ü ↔ Ä Ö Ü
        out += c;
        out += static_cast<char>(name[++i] ^ 0x20);
        continue;
      }
      if (c >= 'a' && c <= 'z' && Chance(30)) c = static_cast<char>(c - 32);
      if (c >= 'A' && c <= 'Z' && Chance(30)) c = static_cast<char>(c + 32);
      out += c;
    }
    return Blanks() + Encode(out) + Blanks();
  }

  std::string Blanks() {
    std::string out;
    for (int n = Pick(3); n > 0; --n) out += Chance(50) ? ' ' : '\t';
    return out;
  }

  std::string Encode(const std::string& utf8) { return ansi_ ? Utf8ToWindows1252(utf8) : utf8; }

  std::string Value() {
    std::string v;
    const int length = Chance(2) ? 33000 + Pick(3000) : Pick(12);
    for (int i = 0; i < length; ++i) v += kValueChars[static_cast<size_t>(Pick(16))];
    return v;
  }

  // Quotes when the value could not survive without them, and now and then anyway.
  std::string WriteValue(const std::string& v) {
    bool blank_ends = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()));
    bool quoted_look =
        v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    std::string out = Encode(v);
    if (blank_ends || quoted_look || Chance(20)) {
      const char q = Chance(50) ? '"' : '\'';
      out = q + out + q;
    }
    return Blanks() + out + Blanks();
  }

  std::string Noise() {
    switch (Pick(4)) {
      case 0:
        return Blanks() + ";" + kKeys[static_cast<size_t>(Pick(8))] + "=commented";
      case 1:
        return Blanks();
      case 2:
        return std::string(kKeys[static_cast<size_t>(Pick(8))]) + " without equals";
      default:
        return "[" + std::string(kSections[static_cast<size_t>(Pick(4))]) + " broken";
    }
  }

  // A file of sections and keys; model receives what it defines.
  std::string File(std::vector<Section>* model) {
    ansi_ = Chance(50);
    const std::string eol = Chance(50) ? "\r\n" : "\n";
    std::string text = Chance(20) && !ansi_ ? "\xEF\xBB\xBF" : "";
    if (Chance(30)) text += "Links=/before/any/section" + eol;
    for (int s = Pick(6); s > 0; --s) {
      Section section{kSections[static_cast<size_t>(Pick(4))], {}};
      text += Blanks() + "[" + WriteName(section.name) + "]" + Blanks() + eol;
      for (int k = Pick(8); k > 0; --k) {
        if (Chance(20)) text += Noise() + eol;
        Entry e{kKeys[static_cast<size_t>(Pick(8))], Value()};
        text += WriteName(e.key) + "=" + WriteValue(e.value) + eol;
        section.entries.push_back(std::move(e));
      }
      model->push_back(std::move(section));
    }
    return text;
  }

 private:
  static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

  static std::string Utf8ToWindows1252(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
      if (utf8[i] != '\xC3') {
        out += utf8[i];
        continue;
      }
      out += static_cast<char>((static_cast<unsigned char>(utf8[++i]) & 0x3F) | 0xC0);
    }
    return out;
  }

  std::mt19937 rng_;
  bool ansi_ = false;
};

// What the model says a lookup gives: the first section of the name, its first key.
bool ModelLookup(const std::vector<Section>& model, const std::string& section,
                 const std::string& key, std::string* value) {
  for (const auto& s : model) {
    if (s.name != section) continue;
    for (const auto& e : s.entries) {
      if (e.key != key) continue;
      // The value's characters are ASCII or two-byte umlauts.
      size_t chars = 0, i = 0;
      for (; i < e.value.size() && chars < kMaxIniValueChars; ++chars)
        i += (static_cast<unsigned char>(e.value[i]) >= 0x80) ? 2 : 1;
      *value = e.value.substr(0, i);
      return true;
    }
    return false;
  }
  return false;
}

size_t CountChars(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// Catches any rule of the lookup (case, blanks, quotes, comments, first match, both
// encodings, line ends, the length limit) going wrong on files people could write.
TEST(IniRandomTest, GeneratedFilesReadAsTheModelSays) {
  Generator gen(kSeed);
  testing::TempTree t;
  int found = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<Section> model;
    const std::string text = gen.File(&model);
    IniReader reader(RealFileSystem());
    const std::string name = round % 100 == 0 ? t.Write("r.ini", text) : "";
    for (const char* section : kSections) {
      for (const char* key : kKeys) {
        std::string expected;
        bool exists = ModelLookup(model, section, key, &expected);
        std::string value = "<missing>";
        FindIniValue(text, section, key, &value);
        ASSERT_EQ(value, exists ? expected : "<missing>")
            << "round " << round << " [" << section << "] " << key << "\n"
            << text.substr(0, 2000);
        if (!name.empty()) {
          ASSERT_EQ(reader.ReadIniString(section, key, "<missing>", name), value);
        }
        found += exists;
      }
    }
  }
  EXPECT_GT(found, 10000) << "the generator should mostly write keys that are looked up";
}

// Catches a crash, an over-long value, a NUL or broken UTF-8 handed on, or a reading
// that depends on the line ends or a byte-order mark, for files of random bytes.
TEST(IniRandomTest, RandomBytesKeepTheInvariants) {
  std::mt19937 rng(kSeed);
  const char structure_bytes[] = "[]=;\n\r \t\"'\0\xE4\xC3\xA4PfadeLinksEnde";
  const std::string structure(structure_bytes, sizeof structure_bytes - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = std::uniform_int_distribution<int>(0, 400)(rng);
    for (int i = 0; i < length; ++i) {
      bool from_structure = rng() % 4 != 0;
      text += from_structure ? structure[rng() % structure.size()] : static_cast<char>(rng());
    }
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const char* section : kSections) {
      for (const char* key : kKeys) {
        std::string value = "<missing>";
        bool ok = FindIniValue(text, section, key, &value);
        if (ok) {
          ASSERT_TRUE(IsValidUtf8(value)) << round;
          ASSERT_EQ(value.find('\0'), std::string::npos) << round;
          ASSERT_LE(CountChars(value), kMaxIniValueChars);
        }
        std::string other = "<missing>";
        ASSERT_EQ(FindIniValue(crlf, section, key, &other), ok) << round;
        ASSERT_EQ(other, value) << round;
        if (text.rfind("\xEF\xBB\xBF", 0) == 0) continue;  // only one mark is skipped
        other = "<missing>";
        FindIniValue("\xEF\xBB\xBF" + text, section, key, &other);
        ASSERT_EQ(other, value) << round;
      }
    }
  }
}

// Catches the number reading parting from the classic rules anywhere in the space of
// signs, digits, points, exponents, prefixes and blanks.
TEST(LeadingNumberRandomTest, AgreesWithTheReference) {
  std::mt19937 rng(kSeed);
  const std::string alphabet = "0123456789012345+-.eE&HhOoxX ,\t\n\r";
  int non_zero = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    for (int n = static_cast<int>(rng() % 24); n > 0; --n)
      text += alphabet[rng() % alphabet.size()];
    const double got = LeadingNumber(text);
    const auto want = testing::ReferenceLeadingNumber(text);
    if (want.exact) {
      ASSERT_EQ(got, want.value) << "'" << text << "'";
    } else {
      ASSERT_EQ(got != 0, want.value != 0) << "'" << text << "'";
    }
    non_zero += got != 0;
  }
  EXPECT_GT(non_zero, 20000) << "the alphabet should produce numbers often";
}

}  // namespace
}  // namespace tavrik
