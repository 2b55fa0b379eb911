// The exclusion rules in the scan and the fill: what is left out is never opened, queried,
// listed, compared or copied, and a pair is never split.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/rules/rule_file.h"
#include "core/sync/sync.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

RuleSet Rules(const std::vector<std::string>& texts) {
  RuleLines lines;
  for (const std::string& text : texts)
    lines.push_back({text, "test", static_cast<int>(lines.size()) + 1});
  return RuleSet(std::move(lines));
}

class ExcludedFolderTest : public ::testing::TestWithParam<bool> {};

// Catches an excluded folder being opened, listed or queried, or an excluded entry raising
// the access-error box, whether the listing tells folders apart (d_type) or not.
TEST_P(ExcludedFolderTest, ExcludedEntriesAreNeverOpenedNorQueried) {
  MemSession s;
  s.fs.HideEntryTypes(GetParam());
  s.mem.AddFile("/r/a.txt", "a");
  s.mem.AddFile("/r/node_modules/x/y.js", "y");
  s.mem.AddFile("/r/src/b.c", "b");
  s.mem.AddFile("/r/src/build/o.o", "o");
  s.mem.AddFile("/r/src/Thumbs.db", "t");
  s.state.rules = Rules({"node_modules", "build/", "Thumbs.db"});
  std::vector<std::string> names;
  std::mutex mutex;
  s.fs.SetHook([&](FsCall call, const std::string& name) {
    std::lock_guard lock(mutex);
    if (call == FsCall::kOpen || call == FsCall::kStat) names.push_back(name);
    // What the user left out may be unreadable: it must not matter.
    return name.find("node_modules") != std::string::npos ||
                   name.find("Thumbs") != std::string::npos
               ? EACCES
               : 0;
  });
  s.Threads(2);
  bool left = true;
  FillColumn(s.ctx, "/r", left);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"a.txt||", "src/b.c||"}));
  EXPECT_TRUE(s.host.boxes.empty()) << s.host.boxes[0].text;
  // Listed: the root and src only.
  EXPECT_EQ(s.fs.Count(FsCall::kOpenDir), 2);
  for (const std::string& name : names) {
    EXPECT_EQ(name.find("node_modules"), std::string::npos) << name;
    EXPECT_EQ(name.find("Thumbs"), std::string::npos) << name;
    EXPECT_EQ(name.find("build/"), std::string::npos) << name;
  }
  // "build/" holds for folders only: without the entry type its status decides, and only
  // that one query is made; a file called build stays in the list.
  const bool queried_build = std::count(names.begin(), names.end(), "build") > 0;
  EXPECT_EQ(queried_build, GetParam());
  std::vector<std::string> paths;
  for (const ExcludedEntry& e : s.state.left_exclusions.excluded)
    paths.push_back(e.path + (e.folder ? "/" : ""));
  std::sort(paths.begin(), paths.end());
  // The folder counts once, whatever it holds; without the type a name excluded either
  // way is not known to be a folder.
  EXPECT_EQ(paths, (std::vector<std::string>{GetParam() ? "node_modules" : "node_modules/",
                                             "src/Thumbs.db", "src/build/"}));
}

INSTANTIATE_TEST_SUITE_P(EntryTypes, ExcludedFolderTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unknown" : "Listed"; });

// Catches "build/" matching a file, a "!" rule bringing back a file below an excluded folder,
// or a rule decided on the name alone where it is anchored to a path.
TEST(RulesScanTest, FoldersOnlyNegationAndAnchoring) {
  MemSession s;
  s.mem.AddFile("/r/build", "a file called build");
  s.mem.AddFile("/r/lib/build/x.o", "o");
  s.mem.AddFile("/r/lib/keep.log", "k");
  s.mem.AddFile("/r/lib/drop.log", "d");
  s.mem.AddFile("/r/docs/drop.log", "d");
  s.mem.AddFile("/r/tmp/keep.log", "k");
  s.state.rules = Rules({"build/", "*.log", "!keep.log", "/tmp/", "!tmp/keep.log", "lib/drop.log"});
  bool left = true;
  FillColumn(s.ctx, "/r", left);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"build||", "lib/keep.log||"}));
}

// Catches a pair split by case: the rules see "Build" and "build" as different names, but a
// copy onto a case-insensitive stick would write into the excluded folder.
TEST(RulesScanTest, PairsDifferingInCaseAreLeftOutTogether) {
  MemSession s({.case_insensitive = true});
  s.mem.AddFile("/disk/Build/x.o", "new object", 1700000100);
  s.mem.AddFile("/disk/keep.txt", "k", 1700000000);
  s.mem.AddFile("/disk/cache/LOG", "disk log", 1700000100);
  s.mem.AddFile("/stick/build/x.o", "excluded, keep as it is", 1600000000);
  s.mem.AddFile("/stick/keep.txt", "k", 1700000000);
  s.mem.AddFile("/stick/Cache/log", "stick log", 1600000000);
  s.state.rules = Rules({"build/", "Cache/"});
  s.FillBoth("/disk", "/stick");
  // The rules keep disk/Build and disk/cache, but their partners on the stick are excluded.
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"keep.txt||keep.txt"}));
  EXPECT_EQ(s.state.left_exclusions.Count(), 2u);   // Build/x.o and cache/LOG kept out
  EXPECT_EQ(s.state.right_exclusions.Count(), 2u);  // build/ and Cache/
  CompareFolders(s.ctx, false);
  for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kCopyRight);
  SyncFolders(s.ctx);
  EXPECT_EQ(s.mem.Content("/stick/build/x.o"), "excluded, keep as it is");
  EXPECT_EQ(s.mem.Content("/stick/Cache/log"), "stick log");
}

// Catches a right file entered as an orphan although its partner on the left is excluded
// (decomposed on one side, composed on the other), and a left file kept out for good after
// a right fill of another folder no longer excludes its partner.
TEST(RulesScanTest, PartnersOfExcludedNamesStayOutUntilTheNextRightFill) {
  MemSession s;
  const std::string nfc = "Caf\xC3\xA9";   // "Café" composed
  const std::string nfd = "Cafe\xCC\x81";  // "Café" decomposed
  s.mem.AddFile("/left/" + nfc + "/menu.txt", "excluded");
  s.mem.AddFile("/left/" + nfd + "x/a.txt", "listed");
  s.mem.AddFile("/right/" + nfd + "/menu.txt", "listed");
  s.mem.AddFile("/right/" + nfc + "x/a.txt", "excluded");
  s.mem.AddFile("/left/both.txt", "b");
  s.mem.AddFile("/right/both.txt", "b");
  s.mem.AddFile("/other/z.txt", "z");
  s.state.rules = Rules({nfc + "/", nfc + "x/"});
  s.FillBoth("/left", "/right");
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"both.txt||both.txt"}));
  EXPECT_EQ(s.state.right_exclusions.partners, 1u);
  EXPECT_EQ(s.state.left_exclusions.partners, 1u);
  bool right = false;
  FillColumn(s.ctx, "/other", right);
  std::vector<std::string> rows = s.Rows();
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{nfd + "x/a.txt||", "both.txt||", "||z.txt"}));
  EXPECT_EQ(s.state.left_exclusions.partners, 0u);
}

// Catches a rule file read other than line by line as written (a byte-order mark, CR LF), a
// missing user file taken for an error, and an unreadable one taken for no rules.
TEST(RuleFileTest, LinesMissingAndUnreadableFiles) {
  MemFileSystem mem;
  mem.AddFile("/cfg/ignore", "\xEF\xBB\xBF*.tmp\r\n\r\n# note\n!keep.tmp");
  Result<RuleLines> lines = ReadRuleFile(mem, "/cfg/ignore", false);
  ASSERT_TRUE(lines.ok());
  ASSERT_EQ(lines.value().size(), 4u);
  EXPECT_EQ(lines.value()[0].text, "*.tmp");
  EXPECT_EQ(lines.value()[3].text, "!keep.tmp");
  EXPECT_EQ(lines.value()[3].line, 4);
  EXPECT_EQ(lines.value()[3].origin, "/cfg/ignore");
  Result<RuleLines> missing = ReadRuleFile(mem, "/cfg/none", true);
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing.value().empty());
  EXPECT_FALSE(ReadRuleFile(mem, "/cfg/none", false).ok());
  Result<RuleLines> folder = ReadRuleFile(mem, "/cfg", true);
  ASSERT_FALSE(folder.ok());
  EXPECT_EQ(folder.error().code, EISDIR);
  FaultFileSystem faults(mem);
  faults.FailNth(FsCall::kRead, 1, EIO);
  Result<RuleLines> broken = ReadRuleFile(faults, "/cfg/ignore", true);
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().code, EIO);
  EXPECT_EQ(broken.error().path, "/cfg/ignore");
}

}  // namespace
}  // namespace tavrik::testing
