#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "batch/run_batch.h"
#include "batch/safety_settings.h"
#include "batch_fixture.h"
#include "support/mem_file_system.h"

namespace tavrik {
namespace {

using testing::ControlText;
using testing::FakeHost;

// The user's tavrik.ini below a configuration folder of the test's own.
class SafetySettingsTest : public ::testing::Test {
 protected:
  SafetySettingsTest() {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
  }
  ~SafetySettingsTest() override {
    if (had_)
      setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  MemFileSystem mem;
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, mem};

 private:
  bool had_ = false;
  std::string saved_;
};

// Catches keys read from the wrong section or file, a missing key taken as 0 (which would
// switch the hour correction off), numbers not read the control file's way, and a retention
// below one run (or a typo) pruning the versions the user meant to keep.
TEST_F(SafetySettingsTest, KeysAreReadOnlyWhereGivenAndRetentionStaysAtLeastOne) {
  struct Case {
    const char* text;
    bool versions;
    int keep;
    bool hour;
  };
  const Case cases[] = {
      {"", false, kDefaultKeepVersions, true},
      {"[Sicherung]\nVersionen=1\nBehalten=3\nStundenkorrektur=0\n", true, 3, false},
      {"[Sicherung]\nVersionen=ja\nBehalten= 2.9\n", false, 2, true},
      {"[Sicherung]\nBehalten=0\n", false, kDefaultKeepVersions, true},
      {"[Sicherung]\nBehalten=zehn\n", false, kDefaultKeepVersions, true},
      {"[AutoStart]\nVersionen=1\n[Sicherung]\nStundenkorrektur=\n", false, kDefaultKeepVersions,
       false},
  };
  for (const Case& c : cases) {
    mem.AddFile("/cfg/tavrik/tavrik.ini", c.text);
    SharedState fresh;
    ApplySafetySettings(UserSafetySettings(mem), fresh);
    EXPECT_EQ(fresh.sync_options.versions, c.versions) << c.text;
    EXPECT_EQ(fresh.sync_options.keep_versions, c.keep) << c.text;
    EXPECT_EQ(fresh.compare_options.hour_correction, c.hour) << c.text;
  }
}

// Catches the control file not overriding the user's file key by key, or the console's
// options not overriding the control file.
TEST_F(SafetySettingsTest, TheControlFileOverridesTheUsersFileAndOptionsOverrideBoth) {
  mem.AddFile("/cfg/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\nBehalten=4\n");
  mem.AddFile("/jobs/job.ini", ControlText("/m/l", "/m/r", "Altersvergleich=1\n") +
                                   "[Sicherung]\nBehalten=2\nStundenkorrektur=0\n");
  mem.AddFolder("/m/l");
  mem.AddFolder("/m/r");
  ApplySafetySettings(UserSafetySettings(mem), state);
  RunBatch(ctx, "/jobs/job.ini");
  EXPECT_TRUE(state.sync_options.versions);
  EXPECT_EQ(state.sync_options.keep_versions, 2);
  EXPECT_FALSE(state.compare_options.hour_correction);

  SafetySettings options;
  options.versions = false;
  options.hour_correction = true;
  RunBatch(ctx, "/jobs/job.ini", options);
  EXPECT_FALSE(state.sync_options.versions);
  EXPECT_EQ(state.sync_options.keep_versions, 2);
  EXPECT_TRUE(state.compare_options.hour_correction);
}

}  // namespace
}  // namespace tavrik
