// Faults that only a file system with knobs can show: read and listing errors in the middle,
// sub-second times, many folders with the same file name, more pairs than the read-ahead
// window, and a folder that goes away after it was listed ahead of its turn. Each runs with
// no helper thread and with several, since results must not depend on them.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/scan/scan.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

constexpr size_t kBlock = 262144;

std::string Filled(size_t size, char c) { return std::string(size, c); }

class SeamTest : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Helpers, SeamTest, ::testing::Values(0, 3));

// Catches a read error in the middle of a file being taken for the end of equal contents.
TEST_P(SeamTest, ReadErrorInTheMiddleOfAFileGivesAQuestionMarkAndABox) {
  MemSession s;
  s.Threads(GetParam());
  const std::string content = Filled(kBlock * 3, 'a');
  s.mem.AddFile("/L/big.bin", content);
  s.mem.AddFile("/R/big.bin", content);
  s.FillBoth("/L", "/R");
  // Reads go block by block, left then right: the fourth read is the right file's second.
  s.fs.FailNth(FsCall::kRead, 4, EIO);
  CompareFolders(s.ctx, true);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"big.bin|?|big.bin"}));
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
  EXPECT_NE(s.host.boxes[0].text.find("/R/big.bin"), std::string::npos);
  ASSERT_TRUE(s.host.boxes[0].reason.has_value());
  EXPECT_EQ(s.host.boxes[0].reason->code, EIO);
  EXPECT_NE(s.host.boxes[1].text.find("1 Dateien sind verwaist."), std::string::npos);
  EXPECT_EQ(s.mem.OpenDescriptors(), 0u);
}

// Catches short reads (a network share returns less than asked) being taken as the end.
TEST_P(SeamTest, ShortReadsStillCompareWholeFiles) {
  MemSession s;
  s.Threads(GetParam());
  std::string right = Filled(kBlock + 100, 'b');
  right[kBlock + 50] = 'c';
  s.mem.AddFile("/L/f", Filled(kBlock + 100, 'b'));
  s.mem.AddFile("/R/f", right);
  s.mem.AddFile("/L/g", Filled(kBlock + 100, 'b'));
  s.mem.AddFile("/R/g", Filled(kBlock + 100, 'b'));
  s.FillBoth("/L", "/R");
  s.fs.LimitReads(1000);
  CompareFolders(s.ctx, true);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"f|<>|f", "g|=|g"}));
}

// Catches a listing that breaks off in the middle being taken for the folder's end: the
// files after the break would be missing without a word.
TEST_P(SeamTest, ListingErrorInTheMiddleOfAFolderIsReported) {
  MemSession s;
  s.Threads(GetParam());
  for (char c : std::string("abcdef")) s.mem.AddFile(std::string("/L/") + c + ".txt", "x");
  // ".", "..", "a.txt", then the fourth entry fails.
  s.fs.FailNth(FsCall::kReadDir, 4, EIO);
  bool left = true;
  FillColumn(s.ctx, "/L", left);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"a.txt||"}));
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].text, AccessErrorText(EIO, "/L/"));
  EXPECT_EQ(s.host.boxes[0].intent, Intent::kWarning);
}

// Catches the age comparison looking at fractions of a second: two times within the same
// second are of the same age, one second apart they are not.
TEST_P(SeamTest, AgeComparisonIgnoresFractionsOfASecond) {
  MemSession s;
  s.Threads(GetParam());
  s.mem.AddFile("/L/same.txt", "1", 1700000000, 100);
  s.mem.AddFile("/R/same.txt", "1", 1700000000, 999999999);
  s.mem.AddFile("/L/newer.txt", "1", 1700000001, 0);
  s.mem.AddFile("/R/newer.txt", "1", 1700000000, 999999999);
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"newer.txt|-->|newer.txt", "same.txt|=|same.txt"}));
}

// Catches the comparison's cached folder handle not following the pairs into the next
// folder: every "x" would then be read from the first folder.
TEST_P(SeamTest, TwentyFoldersWithTheSameFileNameAreEachReadFromTheirOwnFolder) {
  MemSession s;
  s.Threads(GetParam());
  std::vector<std::string> expected;
  for (int i = 10; i < 30; ++i) {
    const std::string folder = std::string("d").append(std::to_string(i)) + "/x";
    const std::string content = "content " + std::to_string(i);
    s.mem.AddFile("/L/" + folder, content);
    // Every third pair differs in content only.
    s.mem.AddFile("/R/" + folder, i % 3 == 0 ? "CONTENT " + std::to_string(i) : content);
    expected.push_back(folder + "|" + (i % 3 == 0 ? "<>" : "=") + "|" + folder);
  }
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, true);
  EXPECT_EQ(s.Rows(), expected);
}

// Catches an off-by-one in the read-ahead window: with more pairs than fit into it, a slot
// still in use would be handed out again and results would land on the wrong rows.
TEST_P(SeamTest, MorePairsThanTheReadAheadWindowKeepTheirResults) {
  for (int window : {1, 2, 5}) {
    MemSession s;
    s.Threads(GetParam());
    s.state.io.compare_window = window;
    std::vector<std::string> expected;
    const char* marks[] = {"=", "<>", "<", ">"};
    for (int i = 100; i < 160; ++i) {
      const std::string name = std::string("f").append(std::to_string(i));
      const int kind = (i * 7) % 4;
      std::string right = "data" + std::to_string(i);
      if (kind == 1) right[0] = 'D';
      if (kind == 2) right += "+";
      if (kind == 3) right.pop_back();
      s.mem.AddFile("/L/" + name, "data" + std::to_string(i));
      s.mem.AddFile("/R/" + name, right);
      expected.push_back(name + "|" + marks[kind] + "|" + name);
    }
    s.FillBoth("/L", "/R");
    CompareFolders(s.ctx, true);
    EXPECT_EQ(s.Rows(), expected) << "window " << window;
  }
}

// Catches a folder that was listed ahead of its turn and then removed being entered anyway:
// at its turn it must be reported as gone, as a listing at its turn would have been.
TEST(SeamScanTest, FolderListedAheadThatVanishesBeforeItsTurnIsReported) {
  MemSession s;
  s.Threads(1);
  s.mem.AddFile("/L/top.txt", "t");
  s.mem.AddFile("/L/a/first.txt", "1");
  s.mem.AddFile("/L/b/second.txt", "2");
  // The walk takes b first (last found), then a. Root: ".", "..", "a", "b", "top.txt" and
  // the end; each subfolder: ".", "..", its file and the end.
  constexpr int kAllRead = 6 + 4 + 4;
  bool listed_ahead = false;
  int yields = 0;
  s.host.on_yield = [&] {
    if (++yields != 2) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (s.fs.Count(FsCall::kReadDir) < kAllRead && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    listed_ahead = s.fs.Count(FsCall::kReadDir) >= kAllRead;
    s.mem.Remove("/L/a");
  };
  bool left = true;
  FillColumn(s.ctx, "/L", left);
  ASSERT_TRUE(listed_ahead) << "the helper did not list the folder ahead";
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"b/second.txt||", "top.txt||"}));
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].text, AccessErrorText(ENOENT, "/L/a"));
}

// Catches a root that keeps a second separator (paths "a//b" that pair with nothing) or an
// empty folder name turning into "/" and a fill of the whole disk.
TEST(RootPathTest, OneSeparatorAtTheEndAndEmptyStaysEmpty) {
  EXPECT_EQ(RootPath("/data").str(), "/data/");
  EXPECT_EQ(RootPath("/data/").str(), "/data/");
  EXPECT_EQ(RootPath("/data//").str(), "/data/");
  EXPECT_EQ(RootPath("/").str(), "/");
  EXPECT_EQ(RootPath("//").str(), "/");
  EXPECT_TRUE(RootPath("").empty());
  MemSession s;
  s.mem.AddFile("/everything.txt", "x");
  bool left = true;
  FillColumn(s.ctx, "", left);
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_EQ(s.state.left_root.str(), "");
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].text, AccessErrorText(ENOENT, ""));
}

}  // namespace
}  // namespace tavrik::testing
