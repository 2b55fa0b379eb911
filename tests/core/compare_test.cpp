#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/compare/compare.h"
#include "core/compare/content_compare.h"
#include "core/list/clipboard.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::Session;
using testing::TempTree;

Mark MarkOf(Session& s, const std::string& left_or_right) {
  for (int i = 1; i <= s.list.RowCount(); ++i)
    if (s.list.LeftName(i) == left_or_right || s.list.RightName(i) == left_or_right)
      return s.list.GetMark(i);
  ADD_FAILURE() << "no row " << left_or_right;
  return Mark::kNone;
}

void Compare(Session& s, const TempTree& t, bool binary) {
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  CompareFolders(s.ctx, binary);
}

// Catches wrong marks for sizes and contents, including a difference only in the last
// byte after a full block.
TEST(BinaryCompareTest, MarksBySizeThenContent) {
  TempTree t;
  std::string block(262145, 'x');
  std::string last = block;
  last.back() = 'y';
  std::string first = block;
  first.front() = 'y';
  t.Write("L/same", block);
  t.Write("R/same", block);
  t.Write("L/last", block);
  t.Write("R/last", last);
  t.Write("L/first", block);
  t.Write("R/first", first);
  t.Write("L/exact", std::string(262144, 'e'));
  t.Write("R/exact", std::string(262144, 'e'));
  t.Write("L/short", "ab");
  t.Write("R/short", "abc");
  t.Write("L/long", "abcd");
  t.Write("R/long", "abc");
  t.Write("L/empty", "");
  t.Write("R/empty", "");
  t.Write("L/left-only", "l");
  t.Write("R/right-only", "r");
  Session s;
  Compare(s, t, true);
  EXPECT_EQ(MarkOf(s, "same"), Mark::kEqual);
  EXPECT_EQ(MarkOf(s, "last"), Mark::kDiffer);
  EXPECT_EQ(MarkOf(s, "first"), Mark::kDiffer);
  EXPECT_EQ(MarkOf(s, "exact"), Mark::kEqual);
  EXPECT_EQ(MarkOf(s, "short"), Mark::kLess);
  EXPECT_EQ(MarkOf(s, "long"), Mark::kGreater);
  EXPECT_EQ(MarkOf(s, "empty"), Mark::kEqual);
  EXPECT_EQ(MarkOf(s, "left-only"), Mark::kOrphan);
  EXPECT_EQ(MarkOf(s, "right-only"), Mark::kOrphan);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kInformation);
  EXPECT_EQ(s.host.boxes[0].text,
            "Ergebnis des Binärvergleichs von 9 Dateien:\r\r"
            "2 Dateien sind verwaist.\r"
            "2 Dateien haben eine unterschiedliche Länge.\r"
            "2 Dateien sind zwar gleich groß, aber nicht identisch.\r"
            "3 Dateien sind absolut identisch.\r");
  EXPECT_EQ(s.host.status2, "Status: Binärvergleich fertig!");
}

// Catches the plural rule, the identical case and the order of the result lines.
TEST(BinaryCompareTest, ResultTextForIdenticalTreesAndEmptyList) {
  TempTree t;
  t.Write("L/a", "1");
  t.Write("R/a", "1");
  Session s;
  Compare(s, t, true);
  EXPECT_EQ(s.host.boxes.back().text,
            "Ergebnis des Binärvergleichs von 1 Dateien:\r\rBeide Verzeichnisse sind vollkommen "
            "identisch!\r");
  Session empty;
  CompareFolders(empty.ctx, true);
  EXPECT_EQ(empty.host.boxes.back().text,
            "Ergebnis des Binärvergleichs von 0 Dateien:\r\rBeide Verzeichnisse sind vollkommen "
            "identisch!\r");
  CompareFolders(empty.ctx, false);
  EXPECT_EQ(empty.host.boxes.back().text,
            "Ergebnis des Versionsvergleichs von 0 Dateien:\r\rBeide Verzeichnisse sind vollkommen "
            "identisch!\r");
}

// Catches a vanished or unreadable file being marked "=", hanging, or giving no message.
TEST(BinaryCompareTest, FileThatCannotBeReadIsReportedAndNeverEqual) {
  TempTree t;
  t.Write("L/gone", "same");
  t.Write("R/gone", "same");
  t.Write("L/ok", "same");
  t.Write("R/ok", "same");
  t.Write("L/fifo", "same");
  t.Write("R/fifo", "same");
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  std::filesystem::remove(t.Path("R/gone"));
  std::filesystem::remove(t.Path("L/fifo"));
  ASSERT_EQ(mkfifo(t.Path("L/fifo").c_str(), 0644), 0);
  CompareFolders(s.ctx, true);
  EXPECT_EQ(MarkOf(s, "gone"), Mark::kOrphan);
  EXPECT_EQ(MarkOf(s, "fifo"), Mark::kOrphan);
  EXPECT_EQ(MarkOf(s, "ok"), Mark::kEqual);
  ASSERT_EQ(s.host.boxes.size(), 3u);
  std::vector<std::string> failures = {s.host.boxes[0].text, s.host.boxes[1].text};
  std::sort(failures.begin(), failures.end());
  EXPECT_NE(failures[0].find("'" + t.Path("L/fifo") + "'"), std::string::npos);
  EXPECT_NE(failures[1].find("'" + t.Path("R/gone") + "'"), std::string::npos);
  EXPECT_NE(failures[1].find("Die Datei oder das Verzeichnis ist nicht vorhanden. (2)"),
            std::string::npos);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
  EXPECT_NE(s.host.boxes[2].text.find("2 Dateien sind verwaist."), std::string::npos);
  EXPECT_NE(s.host.boxes[2].text.find("1 Dateien sind absolut identisch."), std::string::npos);
}

// Catches a file that grew after its size was taken being called equal to its partner: the
// last block asks for one byte more, so the growth shows without another attribute query.
TEST(BinaryCompareTest, AFileThatGrowsDuringTheComparisonIsNeverEqual) {
  TempTree t;
  t.Write("L/f", "same content");
  t.Write("R/f", "same content");
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  bool grown = false;
  s.fs.SetHook([&](FsCall call, const std::string&) {
    if (call == FsCall::kRead && !grown) {
      grown = true;
      t.Write("L/f", "same content and more");
    }
    return 0;
  });
  CompareFolders(s.ctx, true);
  EXPECT_TRUE(grown);
  EXPECT_EQ(MarkOf(s, "f"), Mark::kOrphan);
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_NE(s.host.boxes[0].text.find("verändert"), std::string::npos) << s.host.boxes[0].text;
}

// Catches a comparison that opens the files before it knows their sizes: a pair of
// different sizes gets "<" or ">" even when a file cannot be opened; an equal-size pair that
// cannot be read keeps "?" and its box, and counts among the orphans.
TEST(BinaryCompareTest, DifferentSizesDecideBeforeAnyFileIsOpened) {
  TempTree t;
  t.Write("L/short", "abc");
  t.Write("R/short", "abcdef");
  t.Write("L/long", "abcdef");
  t.Write("R/long", "abc");
  t.Write("L/same", "abc");
  t.Write("R/same", "abd");
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  s.host = testing::FakeHost();
  for (const char* name : {"short", "long", "same"}) s.fs.FailWhere(FsCall::kOpen, name, EACCES);
  CompareFolders(s.ctx, true);
  s.fs.Reset();
  EXPECT_EQ(MarkOf(s, "short"), Mark::kLess);
  EXPECT_EQ(MarkOf(s, "long"), Mark::kGreater);
  EXPECT_EQ(MarkOf(s, "same"), Mark::kOrphan);
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_NE(s.host.boxes[0].text.find("same"), std::string::npos);
  EXPECT_NE(s.host.boxes[1].text.find("1 Dateien sind verwaist."), std::string::npos);
  EXPECT_NE(s.host.boxes[1].text.find("2 Dateien haben eine unterschiedliche Länge."),
            std::string::npos);
}

// Catches 32-bit sizes or offsets: a difference past 2 GiB must be found.
TEST(BinaryCompareTest, FilesOfMoreThanTwoGibCompareCorrectly) {
  TempTree t;
  const off_t size = (off_t{1} << 31) + 5 * static_cast<off_t>(kCompareBlock) + 7;
  for (const char* name : {"a", "b", "c"}) {
    int fd = open(t.Path(name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    if (std::string(name) == "b") {
      ASSERT_EQ(pwrite(fd, "x", 1, size - 2), 1);
    }
    close(fd);
  }
  PairReader reader(RealFileSystem());
  EXPECT_EQ(ComparePair(t.Path("a"), t.Path("b"), reader).kind, PairResult::kDiffer);
  EXPECT_EQ(ComparePair(t.Path("a"), t.Path("c"), reader).kind, PairResult::kEqual);
}

// Catches age marks pointing the wrong way, seconds being ignored, or orphans mismarked.
TEST(AgeCompareTest, ArrowsPointFromTheNewerFileAndOrphansGetQuestionMarks) {
  TempTree t;
  t.Write("L/newer-left", "1", 1700000001);
  t.Write("R/newer-left", "1", 1700000000);
  t.Write("L/newer-right", "1", 1700000000);
  t.Write("R/newer-right", "1", 1700000001);
  t.Write("L/same", "1", 1700000000);
  t.Write("R/same", "22", 1700000000);
  t.Write("L/old", "1", 157766400);  // 1975 against 2024: the real year counts
  t.Write("R/old", "1", 1704067200);
  t.Write("L/left-only", "l");
  t.Write("R/right-only", "r");
  Session s;
  Compare(s, t, false);
  EXPECT_EQ(MarkOf(s, "newer-left"), Mark::kCopyRight);
  EXPECT_EQ(MarkOf(s, "newer-right"), Mark::kCopyLeft);
  EXPECT_EQ(MarkOf(s, "same"), Mark::kEqual);
  EXPECT_EQ(MarkOf(s, "old"), Mark::kCopyLeft);
  EXPECT_EQ(MarkOf(s, "left-only"), Mark::kOrphanCopyRight);
  EXPECT_EQ(MarkOf(s, "right-only"), Mark::kOrphanCopyLeft);
  EXPECT_EQ(s.host.boxes.back().text,
            "Ergebnis des Versionsvergleichs von 6 Dateien:\r\r"
            "2 Dateien sind verwaist.\r"
            "3 Dateien haben ein unterschiedliches Alter.\r"
            "1 Dateien haben ein gleiches Alter.\r");
}

// Catches a row with both names empty (left behind by an earlier right fill) being
// treated as anything but a right-only orphan, and hand-set marks surviving.
TEST(AgeCompareTest, RowWithoutNamesIsARightOnlyOrphanAndHandMarksAreReplaced) {
  Session s;
  s.list.AddRow(1, "");
  s.list.SetMark(1, Mark::kDeleteBoth);
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.list.GetMark(1), Mark::kOrphanCopyLeft);
  CompareFolders(s.ctx, true);
  EXPECT_EQ(s.list.GetMark(1), Mark::kOrphan);
}

// Catches the result box in an unattended batch run that synchronises or ends.
TEST(CompareFoldersTest, BatchRunWithSyncOrEndGetsNoResultBox) {
  struct Case {
    bool sync, end, clipboard, box;
  } cases[] = {
      {true, false, false, false}, {false, true, false, false}, {false, false, true, true}};
  for (const Case& c : cases) {
    Session s;
    s.state.batch_active = true;
    s.state.batch.sync = c.sync;
    s.state.batch.end = c.end;
    s.state.batch.clipboard = c.clipboard;
    CompareFolders(s.ctx, false);
    EXPECT_EQ(s.host.boxes.size(), c.box ? 1u : 0u);
    EXPECT_EQ(s.host.status2,
              c.box ? "Status: Altersvergleich fertig!" : "Status: Altersvergleich läuft ...");
    EXPECT_EQ(s.host.progress, 0.f);
    EXPECT_TRUE(s.host.compare_enabled);
  }
}

// Catches yields on the wrong rows, yields with SpeedCheck set, or wrong progress.
TEST(CompareFoldersTest, YieldsEveryEighthRowUnlessSpeedCheckIsSet) {
  for (bool speed : {false, true}) {
    Session s;
    s.host.speed = speed;
    for (int i = 1; i <= 20; ++i) s.list.AddRow(i, std::string("f").append(std::to_string(i)));
    CompareFolders(s.ctx, false);
    EXPECT_EQ(s.host.yields, speed ? 0 : 2);
    ASSERT_EQ(s.host.progress_log.size(), 21u);
    EXPECT_FLOAT_EQ(s.host.progress_log[0], 5.f);
    EXPECT_FLOAT_EQ(s.host.progress_log[19], 100.f);
    EXPECT_EQ(s.host.progress_log[20], 0.f);
  }
}

// Catches rows moving under the loop when the list is sorted by the mark column.
TEST(CompareFoldersTest, RowsSortedByMarkStayInPlaceUntilTheRunEnds) {
  TempTree t;
  for (int i = 0; i < 40; ++i) {
    std::string name = std::string("f").append(std::to_string(100 + i));
    t.Write("L/" + name, "1", 1700000000 + (i % 3));
    t.Write("R/" + name, "1", 1700000001);
  }
  Session s;
  s.Fill(t.Path("L"), true);
  s.Fill(t.Path("R"), false);
  s.list.SetSortColumn(1);
  std::vector<std::string> seen;
  s.host.on_yield = [&] {
    for (int i = 1; i <= 8; ++i) seen.emplace_back(s.list.LeftName(i));
  };
  CompareFolders(s.ctx, false);
  // While running, the first rows never changed; afterwards the list is sorted by mark.
  for (size_t i = 8; i < seen.size(); ++i) EXPECT_EQ(seen[i], seen[i % 8]);
  for (int i = 2; i <= s.list.RowCount(); ++i)
    EXPECT_LE(MarkText(s.list.GetMark(i - 1)), MarkText(s.list.GetMark(i)));
  int equal = 0;
  for (int i = 1; i <= s.list.RowCount(); ++i) equal += s.list.GetMark(i) == Mark::kEqual;
  EXPECT_EQ(equal, 13);
}

// Catches the clipboard text differing from the list in any byte.
TEST(ClipboardTest, TextIsTabSeparatedWithCrLfAfterEveryLine) {
  Session s;
  s.list.AddRow(1, "a.txt");
  s.list.SetMark(1, Mark::kEqual);
  s.list.SetRightName(1, "a.txt");
  s.list.AddRow(2, "");
  s.list.SetMark(2, Mark::kOrphan);
  s.list.SetRightName(2, "b.txt");
  s.list.AddRow(3, "left only");
  CopyListToClipboard(s.ctx);
  EXPECT_EQ(s.host.clipboard, "a.txt\t=\ta.txt\r\n\t?\tb.txt\r\nleft only\t\t\r\n");
  EXPECT_EQ(s.host.status_log.front(), "2:Status: Liste wird in die Zwischenablage kopiert ...");
  EXPECT_EQ(s.host.status2, "Status: Fertig.");
  EXPECT_EQ(s.host.pointer_log, (std::vector<bool>{true, false}));
  EXPECT_EQ(s.host.progress, 0.f);
  EXPECT_EQ(s.host.yields, 0);

  Session empty;
  CopyListToClipboard(empty.ctx);
  EXPECT_EQ(empty.host.clipboard_sets, 1);
  EXPECT_EQ(empty.host.clipboard, "");
  EXPECT_EQ(empty.host.status2, "Status: Fertig.");
}

}  // namespace
}  // namespace tavrik
