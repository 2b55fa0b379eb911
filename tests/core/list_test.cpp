#include <gtest/gtest.h>

#include "core/fs/paths.h"
#include "core/list/comparison_list.h"
#include "core/list/status.h"
#include "core/list/string_arena.h"

namespace tavrik {
namespace {

// Records what a listener would be told, to check views can follow.
struct Recorder : ListListener {
  std::vector<std::string> events;
  void RowsInserted(int f, int c) override {
    events.push_back("ins " + std::to_string(f) + "+" + std::to_string(c));
  }
  void RowsRemoved(int f, int c) override {
    events.push_back("rem " + std::to_string(f) + "+" + std::to_string(c));
  }
  void RowsChanged(int, int) override {}
  void ListReset() override { events.push_back("reset"); }
  void RowsReordered() override { events.push_back("reorder"); }
  void HeaderChanged(int c) override { events.push_back("hdr " + std::to_string(c)); }
};

// Catches a mark vocabulary that drifts from the texts the sync run and clipboard rely on.
TEST(MarkTest, EveryMarkRoundTripsThroughItsExactText) {
  const char* texts[] = {"",  "-->", "<--", "X->", "<-X", "XX",    "][",
                         "=", "<",   ">",   "<>",  "?",   "? -->", "? <--"};
  for (const char* t : texts) {
    Mark m;
    ASSERT_TRUE(MarkFromText(t, &m)) << t;
    EXPECT_EQ(MarkText(m), t);
  }
  Mark m;
  EXPECT_FALSE(MarkFromText("xx", &m));      // case-sensitive
  EXPECT_FALSE(MarkFromText("?  -->", &m));  // single blanks only
}

// Catches wrong header captions or column texts at start.
TEST(ComparisonListTest, StartsEmptyWithTheLayoutCaptions) {
  ComparisonList list;
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.Header(1), "Erster Ordner");
  EXPECT_EQ(list.Header(2), "<-->");
  EXPECT_EQ(list.Header(3), "Zweiter Ordner");
  EXPECT_EQ(list.Header(4), "");
  EXPECT_EQ(list.Header(5), "unsichtbar für datum LINKS");
  EXPECT_EQ(list.Header(6), "unsichtbar für datum Rechts");
}

// Catches a lookup that is case-sensitive, matches prefixes, or returns a later row.
TEST(ComparisonListTest, CaselessLookupFindsTheFirstRowInListOrder) {
  ComparisonList list;
  list.AddRow(1, "Briefe/a.txt");
  list.AddRow(2, "briefe/A.TXT");
  list.AddRow(3, "Ärger/Öl.txt");
  list.AddRow(4, "");
  EXPECT_EQ(list.FindFirstPairing("BRIEFE/a.txt"), 1);
  EXPECT_EQ(list.FindFirstPairing("ärger/öl.TXT"), 3);
  EXPECT_EQ(list.FindFirstPairing("Briefe/a.tx"), 0);
  EXPECT_EQ(list.FindFirstPairing(""), 0);
  EXPECT_EQ(list.FindFirstPairing("briefe/a.txt", [&](int p) { return p != 1; }), 2);
  // After the rows swap places the first match follows the new order.
  list.SetSortColumn(0);
  list.SetSortOrder(1);
  list.SetSorted(true);
  int first = list.FindFirstPairing("briefe/a.txt");
  ASSERT_GT(first, 0);
  EXPECT_TRUE(CaselessEqual(list.LeftName(first), "briefe/a.txt"));
  for (int p = 1; p < first; ++p) EXPECT_FALSE(CaselessEqual(list.LeftName(p), "briefe/a.txt"));
}

// Catches a lookup index that goes stale after rows are removed or renamed.
TEST(ComparisonListTest, LookupFollowsRemovalsAndRenames) {
  ComparisonList list;
  for (int i = 1; i <= 100; ++i) list.AddRow(i, std::string("f").append(std::to_string(i)));
  EXPECT_EQ(list.FindFirstPairing("F50"), 50);
  list.RemoveRow(10);
  EXPECT_EQ(list.FindFirstPairing("f50"), 49);
  EXPECT_EQ(list.FindFirstPairing("f10"), 0);
  list.SetLeftName(1, "renamed");
  EXPECT_EQ(list.FindFirstPairing("f1"), 0);
  EXPECT_EQ(list.FindFirstPairing("RENAMED"), 1);
}

// Catches a sort that is not stable, ignores the direction, or loses row data.
TEST(ComparisonListTest, SortingOrdersByColumnTextAndDirection) {
  ComparisonList list;
  list.AddRow(1, "b");
  list.AddRow(2, "A");
  list.AddRow(3, "c");
  list.SetMark(1, Mark::kEqual);
  list.SetSortColumn(0);
  list.SetSorted(true);
  EXPECT_EQ(list.LeftName(1), "A");
  EXPECT_EQ(list.LeftName(2), "b");
  EXPECT_EQ(list.GetMark(2), Mark::kEqual);
  list.SetSortOrder(1);
  EXPECT_EQ(list.LeftName(1), "c");
  EXPECT_EQ(list.LeftName(3), "A");
  // The spare column: every text is empty, so the order stays as it is.
  list.SetSortColumn(3);
  EXPECT_EQ(list.LeftName(1), "c");
  EXPECT_EQ(list.LeftName(3), "A");
}

// Catches rows moving under a run that addresses them by position.
TEST(ComparisonListTest, HeldOrderKeepsPositionsUntilReleased) {
  ComparisonList list;
  for (int i = 1; i <= 5; ++i) list.AddRow(i, std::string("f").append(std::to_string(i)));
  list.SetSortColumn(1);
  list.SetSorted(true);
  list.HoldOrder();
  list.SetMark(1, Mark::kOrphan);  // "?" sorts after "="
  for (int i = 2; i <= 5; ++i) list.SetMark(i, Mark::kEqual);
  EXPECT_EQ(list.LeftName(1), "f1");
  list.ReleaseOrder();
  EXPECT_EQ(list.LeftName(5), "f1");
  EXPECT_EQ(list.GetMark(5), Mark::kOrphan);
  // Without a hold a changed row moves to its place at once.
  list.SetMark(1, Mark::kSkip);  // "][" after "?"
  EXPECT_EQ(list.GetMark(5), Mark::kSkip);
}

// Catches notifications that a view adapter could not follow.
TEST(ComparisonListTest, ListenerHearsInsertsRemovalsResetAndHeaders) {
  ComparisonList list;
  Recorder rec;
  list.SetListener(&rec);
  list.AddRow(1, "a");
  list.AddRow(2, "b");
  list.RemoveRow(1);
  list.SetHeader(1, "/x/");
  list.Clear();
  std::vector<std::string> expected = {"ins 1+1", "ins 2+1", "rem 1+1", "hdr 1", "reset"};
  EXPECT_EQ(rec.events, expected);
}

// Catches column texts that do not come from the stored row data.
TEST(ComparisonListTest, ColumnTextsComeFromTheRow) {
  ComparisonList list;
  list.AddRow(1, "l.txt");
  list.SetRightName(1, "L.TXT");
  list.SetMark(1, Mark::kOrphanCopyLeft);
  FileStamp stamp{5, 946684800, 0};
  list.SetLeftStamp(1, &stamp);
  EXPECT_EQ(list.Text(1, 1), "l.txt");
  EXPECT_EQ(list.Text(1, 2), "? <--");
  EXPECT_EQ(list.Text(1, 3), "L.TXT");
  EXPECT_EQ(list.Text(1, 4), "");
  EXPECT_EQ(list.Text(1, 5), FileDateText(stamp));
  EXPECT_EQ(list.Text(1, 6), "");
  list.ClearRightNamesAndMarks();
  EXPECT_EQ(list.Text(1, 3), "");
  EXPECT_EQ(list.Text(1, 2), "");
  EXPECT_EQ(list.Text(1, 1), "l.txt");
}

}  // namespace
}  // namespace tavrik

namespace tavrik {
namespace {

// Catches the chunked sort disagreeing with plain text order: long shared prefixes, case
// twins, umlauts, equal texts (which keep their order) and both directions.
TEST(ComparisonListTest, SortAgreesWithCaselessTextOrderOnRandomPaths) {
  const char* parts[] = {"Projekte/", "projekte/", "Ärger/", "ärger/", "a",     "A",
                         "b",         "ö",         "Ö",      "x.txt",  "X.TXT", ""};
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  for (int order : {0, 1}) {
    ComparisonList list;
    std::vector<std::string> names;
    for (int i = 0; i < 600; ++i) {
      std::string name;
      int len = 1 + static_cast<int>(next() % 6);
      for (int k = 0; k < len; ++k) name += parts[next() % std::size(parts)];
      names.push_back(name);
      list.AddRow(i + 1, "");
      list.SetRightName(i + 1, name);
      list.SetLeftStamp(i + 1, nullptr);
      list.SetMark(i + 1, static_cast<Mark>(i % kMarkCount));
    }
    std::vector<std::pair<std::string, Mark>> expected;
    for (int i = 0; i < 600; ++i)
      expected.emplace_back(names[static_cast<size_t>(i)], static_cast<Mark>(i % kMarkCount));
    std::stable_sort(expected.begin(), expected.end(), [order](const auto& a, const auto& b) {
      int c = CaselessCompare(a.first, b.first);
      return order == 0 ? c < 0 : c > 0;
    });
    list.SetSortState(true, 2, order);
    for (int i = 0; i < 600; ++i) {
      ASSERT_EQ(list.RightName(i + 1), expected[static_cast<size_t>(i)].first) << i;
      ASSERT_EQ(list.GetMark(i + 1), expected[static_cast<size_t>(i)].second) << i;
    }
  }
}

// Catches date columns sorted as anything but time order with empty texts first.
TEST(ComparisonListTest, DateColumnsSortByTimeWithEmptyFirst) {
  ComparisonList list;
  const int64_t times[] = {1700000000, 0, -5000, 1600000000};
  for (int i = 0; i < 4; ++i) {
    list.AddRow(i + 1, std::string("r").append(std::to_string(i)));
    FileStamp stamp{0, times[i], 0};
    list.SetRightStamp(i + 1, &stamp);
  }
  list.AddRow(5, "none");
  list.SetSortState(true, 5, 0);
  std::vector<std::string> order;
  for (int i = 1; i <= 5; ++i) order.emplace_back(list.LeftName(i));
  EXPECT_EQ(order, (std::vector<std::string>{"none", "r2", "r1", "r3", "r0"}));
  for (int i = 2; i <= 5; ++i)
    EXPECT_LE(list.Text(i - 1, 6).substr(0, 16), list.Text(i, 6).substr(0, 16));
}

}  // namespace
}  // namespace tavrik

namespace tavrik {
namespace {

// Catches the shortcut for rows appended to a sorted list (sort the new rows, merge them
// in) disagreeing with a full sort, in both directions and with equal texts.
TEST(ComparisonListTest, RowsAppendedToASortedListAreMergedInPlace) {
  for (int order : {0, 1}) {
    ComparisonList list;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
      std::string name = std::string("n").append(std::to_string((i * 37) % 50));
      list.AddRow(i + 1, name);
      expected.push_back(name);
    }
    list.SetSortState(true, 0, order);
    list.SetSorted(false);
    for (const char* extra : {"", "n7", "N7", "a", "zz", ""}) {
      list.AddRow(list.RowCount() + 1, extra);
      expected.push_back(extra);
    }
    list.SetSorted(true);
    std::stable_sort(expected.begin(), expected.end(),
                     [order](const std::string& a, const std::string& b) {
                       int c = CaselessCompare(a, b);
                       return order == 0 ? c < 0 : c > 0;
                     });
    ASSERT_EQ(list.RowCount(), 106);
    for (int i = 0; i < 106; ++i)
      EXPECT_EQ(list.LeftName(i + 1), expected[static_cast<size_t>(i)]) << order << " " << i;
  }
}

// Catches strings of a big list read back from the wrong chunk or overwritten by later
// ones where the arena's chunks share huge-page blocks (from the third chunk on), and views
// that do not survive the arena growing.
TEST(StringArenaTest, ManyMegabytesOfStringsReadBackExactly) {
  StringArena arena;
  std::vector<std::pair<StringArena::Ref, std::string>> stored;
  std::string text;
  for (int i = 0; stored.size() < 100000; ++i) {
    text.assign(static_cast<size_t>(40 + i % 37), static_cast<char>('a' + i % 26));
    text += std::to_string(i);
    stored.emplace_back(arena.Add(text), text);
  }
  const std::string_view first = arena.Get(stored.front().first);
  // Over 5 MiB: two chunks of their own and three in huge-page blocks.
  size_t bytes = 0;
  for (const auto& [ref, want] : stored) bytes += want.size();
  ASSERT_GT(bytes, size_t{5} << 20);
  for (const auto& [ref, want] : stored) ASSERT_EQ(arena.Get(ref), want);
  EXPECT_EQ(first, stored.front().second);
  arena.Reset();
  const StringArena::Ref again = arena.Add("after the reset");
  EXPECT_EQ(arena.Get(again), "after the reset");
}

}  // namespace
}  // namespace tavrik
