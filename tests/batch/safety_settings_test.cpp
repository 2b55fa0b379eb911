#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "batch/exclusion_rules.h"
#include "batch/run_batch.h"
#include "batch/safety_settings.h"
#include "batch_fixture.h"
#include "support/fault_file_system.h"
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
    ApplySafetySettings(UserSafetySettings(mem).value(), fresh);
    EXPECT_EQ(fresh.sync_options.versions, c.versions) << c.text;
    EXPECT_EQ(fresh.sync_options.keep_versions, c.keep) << c.text;
    EXPECT_EQ(fresh.compare_options.hour_correction, c.hour) << c.text;
  }
}

// Catches the control file not overriding the user's file key by key, or the console's
// options not overriding the control file; and the link policy's key not read when the
// control file is written in Windows-1252.
TEST_F(SafetySettingsTest, TheControlFileOverridesTheUsersFileAndOptionsOverrideBoth) {
  mem.AddFile("/cfg/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\nBehalten=4\n");
  mem.AddFile("/jobs/job.ini", ControlText("/m/l", "/m/r", "Altersvergleich=1\n") +
                                   "[Sicherung]\nBehalten=2\nStundenkorrektur=0\n"
                                   "Verkn\xfcpfungen=1\n");
  mem.AddFolder("/m/l");
  mem.AddFolder("/m/r");
  ApplySafetySettings(UserSafetySettings(mem).value(), state);
  RunBatch(ctx, "/jobs/job.ini");
  EXPECT_TRUE(state.sync_options.versions);
  EXPECT_EQ(state.sync_options.keep_versions, 2);
  EXPECT_FALSE(state.compare_options.hour_correction);
  EXPECT_TRUE(state.follow_links);

  SafetySettings options;
  options.versions = false;
  options.hour_correction = true;
  options.follow_links = false;
  RunBatch(ctx, "/jobs/job.ini", options);
  EXPECT_FALSE(state.sync_options.versions);
  EXPECT_EQ(state.sync_options.keep_versions, 2);
  EXPECT_TRUE(state.compare_options.hour_correction);
  EXPECT_FALSE(state.follow_links);
}

// Catches a control file turned two-way by the user's own Zweiweg=1, a control file's
// Zweiweg=1 not taken, and --two-way / --no-two-way not overriding the control file.
TEST_F(SafetySettingsTest, TwoWayComesFromTheControlFileAndTheOptionsOnly) {
  struct Case {
    const char* user;
    const char* control;
    std::optional<bool> option;
    bool two_way;
  };
  const Case cases[] = {
      {"Zweiweg=1\n", "", std::nullopt, false},
      {"", "Zweiweg=1\n", std::nullopt, true},
      {"Zweiweg=1\n", "Zweiweg=0\n", std::nullopt, false},
      {"", "Zweiweg=1\n", false, false},
      {"", "", true, true},
  };
  mem.AddFolder("/m/l");
  mem.AddFolder("/m/r");
  for (const Case& c : cases) {
    mem.AddFile("/cfg/tavrik/tavrik.ini", std::string("[Sicherung]\n") + c.user);
    mem.AddFile("/jobs/job.ini",
                ControlText("/m/l", "/m/r", "Altersvergleich=1\n") + "[Sicherung]\n" + c.control);
    SharedState fresh;
    Context run{list, fresh, host, mem};
    const SafetySettings user = UserSafetySettings(mem).value();
    ApplySafetySettings(user, fresh);
    SafetySettings options;
    options.two_way = c.option;
    RunBatch(run, "/jobs/job.ini", options);
    EXPECT_EQ(fresh.compare_options.two_way, c.two_way) << c.user << "|" << c.control;
  }
}

// Catches a limit of --max-delete read as something else than the user wrote: a share above
// the whole, a negative or partial number taken for the default.
TEST(DeleteLimitTest, CountOrShare) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
    bool percent;
  };
  const Case cases[] = {
      {"10", true, 10, false},   {"0", true, 0, false},     {"25%", true, 25, true},
      {"100%", true, 100, true}, {"101%", false, 0, false}, {"-1", false, 0, false},
      {"", false, 0, false},     {"%", false, 0, false},    {"5x", false, 0, false},
      {"1.5", false, 0, false},  {" 5", false, 0, false},   {"5%%", false, 0, false},
  };
  for (const Case& c : cases) {
    const std::optional<DeleteLimit> limit = ParseDeleteLimit(c.text);
    ASSERT_EQ(limit.has_value(), c.ok) << c.text;
    if (!limit) continue;
    EXPECT_EQ(limit->value, c.value) << c.text;
    EXPECT_EQ(limit->percent, c.percent) << c.text;
  }
}

// Catches the user's files stopping the window or the console where their folder cannot be
// searched (there is nothing to read; the window shows no box), and a file that is there
// but cannot be opened taken for a missing one: its rules would let excluded files through,
// its Versionen=1 would be dropped.
TEST_F(SafetySettingsTest, UserFilesAreOptionalButOnesThereMustBeReadable) {
  struct Case {
    const char* what;
    bool folder_closed;
    bool file_closed;
  };
  const Case cases[] = {
      {"readable", false, false},
      {"folder cannot be searched", true, false},
      {"file cannot be opened", false, true},
  };
  mem.AddFile("/cfg/tavrik/ignore", "*.log\n");
  mem.AddFile("/cfg/tavrik/tavrik.ini", "[Sicherung]\nVersionen=1\n");
  for (const Case& c : cases) {
    FaultFileSystem fault(mem);
    fault.SetHook([&](FsCall call, const std::string& name) {
      if (name.rfind("/cfg/tavrik/", 0) != 0) return 0;
      if (c.folder_closed && (call == FsCall::kStat || call == FsCall::kOpen)) return EACCES;
      return c.file_closed && call == FsCall::kOpen ? EACCES : 0;
    });
    SharedState fresh;
    const FsResult rules = LoadRules(fault, {}, fresh);
    Result<SafetySettings> settings = UserSafetySettings(fault);
    ASSERT_EQ(rules.ok(), !c.file_closed) << c.what;
    ASSERT_EQ(settings.ok(), !c.file_closed) << c.what;
    if (c.file_closed) {
      EXPECT_EQ(rules.error().path, "/cfg/tavrik/ignore");
      EXPECT_EQ(SettingsFileProblem(settings.error()),
                "Die Einstellungsdatei '/cfg/tavrik/tavrik.ini' kann nicht gelesen werden.\r"
                "Zugriff verweigert.");
      continue;
    }
    EXPECT_EQ(fresh.user_rules.size(), c.folder_closed ? 0u : 1u) << c.what;
    EXPECT_EQ(settings.value().versions, c.folder_closed ? std::nullopt : std::optional(true))
        << c.what;
  }
}

}  // namespace
}  // namespace tavrik
