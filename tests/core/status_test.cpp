#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "core/fs/paths.h"
#include "core/fs/user_config.h"
#include "core/list/status.h"
#include "support/fake_host.h"

namespace tavrik {
namespace {

using testing::FakeHost;

class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzGuard() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

FileStamp At(int64_t seconds) { return FileStamp{0, seconds, 0}; }

// Catches a missing or misplaced "Status: " prefix.
TEST(SetStatusTest, PrefixOnlyForNonEmptyPanelTwoTexts) {
  FakeHost host;
  SetStatus(host, 2, "Fertig.");
  EXPECT_EQ(host.status2, "Status: Fertig.");
  SetStatus(host, 2, "");
  EXPECT_EQ(host.status2, "");
  SetStatus(host, 1, "3 Dateien");
  EXPECT_EQ(host.status1, "3 Dateien");
  EXPECT_EQ(RowCountText(1), "1 Datei");
  EXPECT_EQ(RowCountText(0), "0 Dateien");
  EXPECT_EQ(RowCountText(2), "2 Dateien");
}

// Catches wrong field order, missing zero padding or a wrong length.
TEST(FileDateTextTest, LayoutOfKeyAndDisplayForm) {
  TzGuard tz("UTC");
  EXPECT_EQ(FileDateText(At(946684799)), "1999123123:59:59|31.12.1999 23:59:59");
  EXPECT_EQ(FileDateText(At(946684800)), "2000010100:00:00|01.01.2000 00:00:00");
  for (int64_t t : {0ll, 157766400ll, 1700000000ll, 4102444800ll, -86400ll}) {
    std::string text = FileDateText(At(t));
    EXPECT_EQ(text.size(), 36u) << t;
    EXPECT_EQ(text[16], '|') << t;
  }
}

// Catches the two-digit century rule: 1975 and 1970 must not count as newer than 2024.
TEST(FileDateTextTest, RealYearOrdersOldFilesBeforeNewOnes) {
  TzGuard tz("UTC");
  std::string y1970 = FileDateText(At(0));
  std::string y1975 = FileDateText(At(157766400));  // 1975-01-01
  std::string y2024 = FileDateText(At(1704067200));
  EXPECT_EQ(y1975.substr(0, 4), "1975");
  EXPECT_EQ(y1975.substr(23, 4), "1975");
  EXPECT_LT(y1970.substr(0, 16), y2024.substr(0, 16));
  EXPECT_LT(y1975.substr(0, 16), y2024.substr(0, 16));
  EXPECT_LT(DateKey(At(0)), DateKey(At(1704067200)));
}

// Catches a key built from local time: in the hour the clocks go back, a later file
// would get a smaller key than an earlier one.
TEST(FileDateTextTest, KeyOrdersTrueTimeAcrossDaylightSavingChange) {
  TzGuard tz("Europe/Berlin");
  // 2024-10-27 00:30 UTC is 02:30 CEST; 01:10 UTC is 02:10 CET.
  std::string earlier = FileDateText(At(1729989000));
  std::string later = FileDateText(At(1729991400));
  EXPECT_LT(earlier.substr(0, 16), later.substr(0, 16));
  EXPECT_EQ(earlier.substr(17), "27.10.2024 02:30:00");
  EXPECT_EQ(later.substr(17), "27.10.2024 02:10:00");
}

// Catches AddBackslash adding a second separator or none to an empty path.
TEST(PathsTest, AddBackslashAppendsExactlyOne) {
  EXPECT_EQ(AddBackslash("/a"), "/a/");
  EXPECT_EQ(AddBackslash("/a/"), "/a/");
  EXPECT_EQ(AddBackslash("/a//"), "/a//");
  EXPECT_EQ(AddBackslash(""), "/");
  EXPECT_EQ(AddBackslash("a\\"), "a\\/");  // a backslash is an ordinary character here
  std::string app = AppPath();
  EXPECT_EQ(app.back(), '/');
  EXPECT_NE(app.substr(0, app.size() - 1).back(), '/');
}

// Catches case folding that only knows ASCII or mangles bytes that are not UTF-8.
TEST(PathsTest, CaselessMatchingFoldsUmlautsAndKeepsOddBytes) {
  EXPECT_TRUE(CaselessEqual("ÄRGER.txt", "ärger.TXT"));
  EXPECT_FALSE(CaselessEqual("a", "ä"));
  EXPECT_TRUE(CaselessEqual("x\xff", "X\xff"));
  EXPECT_FALSE(CaselessEqual("x\xff", "x\xfe"));
  EXPECT_EQ(CaselessHash("ÖL"), CaselessHash("öl"));
  EXPECT_LT(CaselessCompare("apfel", "Birne"), 0);
  EXPECT_EQ(CaselessCompare("abc", "abc"), 0);
}

// Catches a relative XDG_CONFIG_HOME being used (it must be ignored) or HOME's default missing.
TEST(UserConfigTest, FollowsTheBaseDirectoryRules) {
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const char* old_home = std::getenv("HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "", saved_home = old_home ? old_home : "";
  setenv("XDG_CONFIG_HOME", "/cfg/", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(UserConfigFile("ignore"), "/cfg/tavrik/ignore");
  setenv("XDG_CONFIG_HOME", "rel", 1);
  EXPECT_EQ(UserConfigFile("ignore"), "/home/u/.config/tavrik/ignore");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserConfigFile("tavrik.ini"), "/home/u/.config/tavrik/tavrik.ini");
  unsetenv("HOME");
  EXPECT_EQ(UserConfigFile("ignore"), "");
  if (old_xdg) setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  if (old_home) setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
}  // namespace tavrik
