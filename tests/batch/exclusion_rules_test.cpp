// The control file's section of exclusion rules, and how the rules of every source combine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch/exclusion_rules.h"
#include "batch/run_batch.h"
#include "batch_fixture.h"
#include "support/mem_session.h"
#include "support/session.h"

namespace tavrik {
namespace {

using testing::ControlText;
using testing::FakeHost;

// A batch run's session on the in-memory file system.
using MemBatch = testing::MemSession;

// Catches a section read by the profile-string rules (one value per key name, blanks and
// quotes taken off) instead of line by line: a "name=" dropped, the same name twice, lines
// without "=", ";" comments, 8-bit umlauts, a rule that holds "=", and each rule's line.
TEST(ControlFileRulesTest, EveryLineOfTheSectionIsARuleInFileOrder) {
  MemBatch b;
  b.mem.AddFile("/job.ini", ControlText("/l", "/r", "Altersvergleich=1\n") +
                                "[Ausschluss]\r\n"
                                "Regel=*.tmp\r\n"
                                "Regel=!keep.tmp\r\n"
                                "  build/\r\n"
                                "; a comment of the INI file\r\n"
                                "\r\n"
                                "x = Gr\xF6\xDF"
                                "e.txt\r\n"  // Windows-1252: "Größe.txt"
                                "=a=b\r\n"
                                "[Andere]\r\n"
                                "Regel=*.c\r\n");
  IniReader reader(b.mem);
  const RuleLines rules = ReadBatchRules(reader, "/job.ini");
  std::vector<std::string> texts;
  for (const RuleLine& r : rules) texts.push_back(r.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"*.tmp", "!keep.tmp", "build/",
                                             "Gr\xC3\xB6\xC3\x9F"
                                             "e.txt",
                                             "a=b"}));
  ASSERT_EQ(rules.size(), 5u);
  EXPECT_EQ(rules[0].line, 7);  // after the five lines of the folders and the requests
  EXPECT_EQ(rules[4].line, 13);
  EXPECT_EQ(rules[4].origin, "/job.ini");
}

// Catches a source applied out of order (later lines win: the user's file, the control
// file, the command line), the control file's rules left out of the batch's fills, and
// --no-user-rules that still reads the user's file.
TEST(ControlFileRulesTest, SourcesCombineInOrderAndTheBatchFillsUseThem) {
  MemBatch b;
  b.mem.AddFile("/cfg/tavrik/ignore", "*.log\n");
  b.mem.AddFile("/job.ini", ControlText("/l", "/r", "Altersvergleich=1\n") +
                                "[Ausschluss]\n!keep.log\n!x.log\n");
  b.mem.AddFile("/rules", "# from a file\n!late.log\n");
  for (const char* name : {"a.log", "keep.log", "x.log", "late.log", "plain.txt"}) {
    b.mem.AddFile(std::string("/l/") + name, "1", 100);
    b.mem.AddFile(std::string("/r/") + name, "1", 100);
  }
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  RuleOptions options;
  ASSERT_TRUE(TakeRuleOption("--exclude=x.log", 3, &options));
  ASSERT_TRUE(TakeRuleOption("--exclude-from=/rules", 4, &options));
  ASSERT_FALSE(TakeRuleOption("--exclude", 5, &options));
  ASSERT_TRUE(LoadRules(b.mem, options, b.state).ok());
  RunBatch(b.ctx, "/job.ini");
  std::vector<std::string> rows;
  for (int i = 1; i <= b.list.RowCount(); ++i) rows.emplace_back(b.list.LeftName(i));
  EXPECT_EQ(rows, (std::vector<std::string>{"keep.log", "late.log", "plain.txt"}));
  RuleOptions without_user;
  without_user.no_user_rules = true;
  MemBatch without;
  without.mem.AddFile("/cfg/tavrik/ignore", "*.txt\n");
  without.mem.AddFile("/l/plain.txt", "1");
  ASSERT_TRUE(LoadRules(without.mem, without_user, without.state).ok());
  bool left = true;
  FillColumn(without.ctx, "/l", left);
  EXPECT_EQ(without.list.RowCount(), 1);
  unsetenv("XDG_CONFIG_HOME");
}

// Catches an unreadable rule file taken for no rules, and rules half put in force when one
// of several files fails: the error names the file, and nothing changes.
TEST(ControlFileRulesTest, AnUnreadableRuleFileIsAnErrorAndChangesNothing) {
  MemFileSystem mem;
  mem.AddFolder("/cfg/tavrik/ignore");
  mem.AddFile("/good", "*.o\n");
  SharedState state;
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  RuleOptions options;
  FsResult loaded = LoadRules(mem, options, state);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().path, "/cfg/tavrik/ignore");
  EXPECT_EQ(RuleFileProblem(loaded.error()),
            "Die Ausschlussdatei '/cfg/tavrik/ignore' kann nicht gelesen werden.\r"
            "Das ist ein Verzeichnis.");
  options.no_user_rules = true;
  TakeRuleOption("--exclude-from=/good", 1, &options);
  TakeRuleOption("--exclude-from=/missing", 2, &options);
  loaded = LoadRules(mem, options, state);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().path, "/missing");
  EXPECT_TRUE(state.rules.empty());
  EXPECT_TRUE(state.command_rules.empty());
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tavrik
