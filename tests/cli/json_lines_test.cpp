// The JSON Lines encoder of the console's rows.
#include <gtest/gtest.h>

#include "batch/ansi_text.h"
#include "cli/json_lines.h"
#include "core/fs/error_text.h"
#include "core/list/host.h"

namespace tavrik {
namespace {

// Catches names with quotes, backslashes, tabs, newlines or other control bytes breaking
// the one-object-a-line form, and fields out of their order.
TEST(JsonLinesTest, EscapesEverythingThatWouldBreakTheLine) {
  JsonLine line;
  line.Name("left", "a\"b\\c\td\ne\rf\x01g\x7f").Text("mark", "-->").Number("n", -3);
  EXPECT_EQ(line.Finish(),
            "{\"left\":\"a\\\"b\\\\c\\td\\ne\\rf\\u0001g\\u007f\",\"mark\":\"-->\",\"n\":-3}\n");
  EXPECT_EQ(line.Finish(), "{}\n") << "a finished line starts afresh";
}

// Catches bytes that are not UTF-8 passed into the text (invalid JSON), or a replacement
// without the bytes beside it; and valid names (umlauts, 4-byte characters) mangled.
TEST(JsonLinesTest, InvalidUtf8GetsReplacementAndItsBytes) {
  JsonLine line;
  line.Name("left", "\xC3\xA4\xF0\x9F\x98\x80");
  EXPECT_EQ(line.Finish(), "{\"left\":\"\xC3\xA4\xF0\x9F\x98\x80\"}\n");
  line.Name("left",
            "a\xFF"
            "b");
  EXPECT_EQ(line.Finish(),
            "{\"left\":\"a\xEF\xBF\xBD"
            "b\",\"left_base64\":\"Yf9i\"}\n");
  const struct {
    const char* bytes;
    bool valid;
  } cases[] = {{"\xC0\xAF", false},         {"\xE0\x80\xAF", false}, {"\xED\xA0\x80", false},
               {"\xF4\x90\x80\x80", false}, {"\xC3", false},         {"\xE2\x82", false},
               {"\xF0\x90\x80\x80", true},  {"\xEF\xBF\xBF", true},  {"", true}};
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
  EXPECT_EQ(ToUtf8Lossy("\xE2\x82x"), "\xEF\xBF\xBD\xEF\xBF\xBDx");
}

// Catches base64 padding errors and times not in UTC or without their nanoseconds.
TEST(JsonLinesTest, Base64AndIsoTimes) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64(std::string("\0\xff\xfe\x01", 4)), "AP/+AQ==");
  EXPECT_EQ(IsoUtc(0, 0), "1970-01-01T00:00:00.000000000Z");
  EXPECT_EQ(IsoUtc(1700000000, 123456789), "2023-11-14T22:13:20.123456789Z");
  JsonLine line;
  line.Stamp("right", FileStamp{42, 1700000000, 5});
  EXPECT_EQ(line.Finish(),
            "{\"right_size\":42,\"right_mtime\":\"2023-11-14T22:13:20.000000005Z\"}\n");
}

// Catches a deletion given a target, an outcome missing from the sync's lines or present in
// the dry run's, and a failure without its reason and code.
TEST(JsonLinesTest, ActionsCarryTheirOutcomeAndReason) {
  SyncAction copy;
  copy.mark = "-->";
  copy.from = "l/a";
  copy.to = "r/a";
  EXPECT_EQ(ActionJson(copy, false),
            "{\"what\":\"copy\",\"mark\":\"-->\",\"from\":\"l/a\",\"to\":\"r/a\"}\n");
  SyncAction gone;
  gone.kind = SyncAction::kDelete;
  gone.mark = "XX";
  gone.from = "r/b";
  gone.outcome = SyncAction::kAborted;
  gone.failure = FsError{EACCES, {}, {}};
  EXPECT_EQ(ActionJson(gone, true),
            "{\"what\":\"delete\",\"mark\":\"XX\",\"from\":\"r/b\",\"outcome\":\"aborted\","
            "\"reason\":\"" +
                ReasonText(FsError{EACCES, {}, {}}) + "\",\"code\":13}\n");
  copy.outcome = SyncAction::kSkipped;
  EXPECT_NE(ActionJson(copy, true).find("\"outcome\":\"skipped\"}"), std::string::npos);
}

}  // namespace
}  // namespace tavrik
