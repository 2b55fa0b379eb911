// "--format=json" of the console: the rows of fill and compare, the dry run's actions and the
// sync's actions with their outcomes, one object a line, on names no text row can carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/fault_tools.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

class JsonCliTest : public ::testing::Test {
 protected:
  JsonCliTest() {
    t.Mkdir("l");
    t.Mkdir("r");
  }
  Outcome Cli(std::vector<std::string> args) const {
    args.push_back(t.Path("l"));
    args.push_back(t.Path("r"));
    return RunCli(t, args);
  }
  TempTree t;
};

// Catches names with tabs, line breaks or bytes that are not UTF-8 breaking a line or losing
// their bytes, sizes and times (with their nanoseconds) not those read, a side without a
// file given a stamp, and the default text output changed by the new format.
TEST_F(JsonCliTest, RowsOfFillAndCompareKeepEveryName) {
  t.Write("l/a\tb", "12345", 1700000000);
  t.SetTime("l/a\tb", 1700000000, 123456789);
  t.Write("r/a\tb", "123", 1600000000);
  t.Write("l/new\nline", "x", 1600000000);
  t.Write("r/bad\xff", "yy", 1600000000);
  const std::string stamp_l = "\"left_size\":5,\"left_mtime\":\"2023-11-14T22:13:20.123456789Z\"";
  const std::string stamp_r = "\"right_size\":3,\"right_mtime\":\"2020-09-13T12:26:40.000000000Z\"";
  const std::string stamp_new = "\"left_size\":1,\"left_mtime\":\"2020-09-13T12:26:40.000000000Z\"";
  const std::string stamp_bad =
      "\"right_size\":2,\"right_mtime\":\"2020-09-13T12:26:40.000000000Z\"";
  const std::string pair =
      "\"left\":\"a\\tb\",\"mark\":\"%\",\"right\":\"a\\tb\"," + stamp_l + "," + stamp_r + "}\n";
  const auto with = [](std::string line, const std::string& mark) {
    return line.replace(line.find('%'), 1, mark);
  };
  const std::string bad_row =
      "{\"left\":\"\",\"mark\":\"%\",\"right\":\"bad\xEF\xBF\xBD\",\"right_base64\":\"YmFk/w==\"," +
      stamp_bad + "}\n";
  const std::string new_row =
      "{\"left\":\"new\\nline\",\"mark\":\"%\",\"right\":\"\"," + stamp_new + "}\n";

  Outcome fill = Cli({"fill", "--format=json"});
  EXPECT_EQ(fill.status, 0) << fill.err;
  EXPECT_EQ(fill.out, with(bad_row, "") + "{" + with(pair, "") + with(new_row, "")) << fill.out;

  Outcome compare = Cli({"compare", "--age", "--format=json"});
  EXPECT_EQ(compare.status, 1) << compare.err;
  EXPECT_EQ(compare.out, with(bad_row, "? <--") + "{" + with(pair, "-->") + with(new_row, "? -->"))
      << compare.out;

  // The text rows as before: LF for fill, CR LF for compare; "--format=text" names it.
  EXPECT_EQ(Cli({"fill", "--format=text"}).out, Cli({"fill"}).out);
  EXPECT_EQ(Cli({"fill"}).out.find("\r\n"), std::string::npos);
  EXPECT_NE(Cli({"compare", "--age"}).out.find("a\tb\t-->\ta\tb\r\n"), std::string::npos);
}

// Catches a dry run that prints rows instead of actions or changes the folders, a sync that
// still prints the rows after its actions, and a copy whose target is not named.
TEST_F(JsonCliTest, DryRunAndSyncGiveOneObjectPerAction) {
  t.Write("l/a", "new", 2000000000);
  t.Write("r/a", "old", 1000000000);
  t.Write("r/only\t1", "o", 1000000000);
  const std::string l = t.Path("l/"), r = t.Path("r/");
  const std::string only = "{\"what\":\"copy\",\"mark\":\"-->\",\"from\":\"" + r +
                           "only\\t1\",\"to\":\"" + l + "only\\t1\"";
  const std::string a =
      "{\"what\":\"copy\",\"mark\":\"-->\",\"from\":\"" + l + "a\",\"to\":\"" + r + "a\"";
  // The list holds the row without a left name first; the walk runs from the last row. The
  // copies --copy-new takes carry the plain arrows.
  const std::string only_mark = "\"mark\":\"<--\"";
  std::string only_line = only;
  only_line.replace(only_line.find("\"mark\":\"-->\""), 12, only_mark);

  Outcome dry = Cli({"sync", "--copy-new", "--dry-run", "--format=json"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, a + "}\n" + only_line + "}\n");
  EXPECT_FALSE(t.Exists("l/only\t1"));
  EXPECT_EQ(t.Read("r/a"), "old");

  Outcome sync = Cli({"sync", "--copy-new", "--format=json"});
  EXPECT_EQ(sync.status, 0) << sync.err;
  EXPECT_EQ(sync.out, a + ",\"outcome\":\"done\"}\n" + only_line + ",\"outcome\":\"done\"}\n");
  EXPECT_EQ(t.Read("r/a"), "new");
  EXPECT_EQ(t.Read("l/only\t1"), "o");
}

// Catches a failed copy reported as done, or without the German reason and its code, and
// the outcome of an aborted run not told apart from a skipped row.
TEST_F(JsonCliTest, FailedActionsCarryOutcomeAndReason) {
  t.Write("l/a", "new", 2000000000);
  t.Write("r/a", "old", 1000000000);
  t.Write("l/b", "new", 2000000000);
  t.Write("r/b", "old", 1000000000);
  Immutable lock_a(t.Path("r/a"));
  Immutable lock_b(t.Path("r/b"));
  if (!lock_a.ok() || !lock_b.ok()) GTEST_SKIP() << "the file system refuses the immutable flag";
  const std::string failed = ",\"reason\":\"Die Operation ist nicht erlaubt.\",\"code\":1}\n";

  Outcome skipped = Cli({"sync", "--format=json"});
  EXPECT_EQ(skipped.status, 1);
  EXPECT_NE(skipped.out.find("\"to\":\"" + t.Path("r/b") + "\",\"outcome\":\"skipped\"" + failed),
            std::string::npos)
      << skipped.out;
  EXPECT_NE(skipped.out.find("\"to\":\"" + t.Path("r/a") + "\",\"outcome\":\"skipped\"" + failed),
            std::string::npos)
      << skipped.out;

  Outcome aborted = Cli({"sync", "--on-error=abort", "--format=json"});
  EXPECT_EQ(aborted.status, 1);
  EXPECT_EQ(aborted.out, "{\"what\":\"copy\",\"mark\":\"-->\",\"from\":\"" + t.Path("l/b") +
                             "\",\"to\":\"" + t.Path("r/b") + "\",\"outcome\":\"aborted\"" +
                             failed);
}

// Catches an unknown format taken as text, and the option accepted where it means nothing.
TEST_F(JsonCliTest, UnknownFormatsAndCommandsAreUsageErrors) {
  Outcome xml = Cli({"fill", "--format=xml"});
  EXPECT_EQ(xml.status, 2);
  EXPECT_NE(xml.err.find("unknown format in '--format=xml'"), std::string::npos) << xml.err;
  EXPECT_EQ(xml.out, "");
  EXPECT_EQ(RunCli(t, {"undo", "--format=json", t.Path("l")}).status, 2);
}

}  // namespace
}  // namespace tavrik::testing
