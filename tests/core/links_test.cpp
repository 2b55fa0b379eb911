// Symbolic links as entries of their own: the scan, both comparisons, the sync and the
// policy that follows them, on the in-memory file system and on the real disk alike.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/scan/scan.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/fake_host.h"
#include "support/fault_file_system.h"
#include "support/mem_file_system.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::FakeHost;
using testing::TempTree;

// Two trees below one folder, on the in-memory file system or on the real disk.
class Trees {
 public:
  explicit Trees(bool real) : real_(real), fs_(real ? RealFileSystem() : mem_) {
    root_ = real ? tree_.Root() : "/t/";
    Folder("left");
    Folder("right");
  }
  std::string Path(const std::string& rel) const { return root_ + rel; }
  void Folder(const std::string& rel) {
    if (real_)
      std::filesystem::create_directories(Path(rel));
    else
      mem_.AddFolder(Path(rel));
  }
  void File(const std::string& rel, const std::string& content, int64_t mtime) {
    if (real_)
      tree_.Write(rel, content, mtime);
    else
      mem_.AddFile(Path(rel), content, mtime);
  }
  void Link(const std::string& rel, const std::string& target, int64_t mtime) {
    if (!real_) {
      mem_.AddLink(Path(rel), target, mtime);
      return;
    }
    std::filesystem::create_directories(std::filesystem::path(Path(rel)).parent_path());
    ASSERT_EQ(symlink(target.c_str(), Path(rel).c_str()), 0);
    tree_.SetTime(rel, mtime);
  }
  // The link's text, or "" when rel is no link.
  std::string LinkText(const std::string& rel) {
    char buf[4096];
    const ssize_t n = fs_.ReadLinkAt(AT_FDCWD, Path(rel).c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
  }
  // lstat of rel; st_mode 0 when missing.
  struct stat Lstat(const std::string& rel) {
    struct stat st {};
    if (fs_.StatAt(AT_FDCWD, Path(rel).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) st.st_mode = 0;
    return st;
  }
  std::string Content(const std::string& rel) {
    Fd fd(fs_, fs_.OpenAt(AT_FDCWD, Path(rel).c_str(), O_RDONLY | O_NOFOLLOW));
    if (fd.get() < 0) return "<none>";
    char buf[4096];
    const ssize_t n = fs_.PRead(fd.get(), buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
  }
  FileSystem& fs() { return fault_; }
  MemFileSystem& mem() { return mem_; }

 private:
  bool real_;
  TempTree tree_;
  MemFileSystem mem_;
  FileSystem& fs_;
  FaultFileSystem fault_{fs_};
  std::string root_;
};

struct Bench {
  explicit Bench(bool real) : trees(real) {}
  Trees trees;
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, trees.fs()};

  void Fill() {
    FillNamedColumn(ctx, trees.Path("left"), true);
    FillNamedColumn(ctx, trees.Path("right"), false);
    host.boxes.clear();
  }
  int Row(const std::string& name) const {
    for (int i = 1; i <= list.RowCount(); ++i)
      if (list.LeftName(i) == name || list.RightName(i) == name) return i;
    return 0;
  }
  std::map<std::string, std::string> Marks() const { return testing::MarksOf(list); }
};

class LinksTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Disks, LinksTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "RealDisk" : "InMemory"; });

// Catches links followed or dropped by the scan, and a link called equal to a file or to a
// link of another text by either comparison.
TEST_P(LinksTest, EachKindOfLinkIsOneRowComparedByItsText) {
  Bench b(GetParam());
  Trees& t = b.trees;
  for (const char* side : {"left", "right"}) {
    const std::string s = side;
    t.File(s + "/sub/x.txt", "x", 1000);
    t.Link(s + "/same", "target-a", 1000);
    t.Link(s + "/dangling", "nowhere", 1000);
    t.Link(s + "/dirlink", "sub", 1000);
  }
  t.Link("left/other", "aaaa", 1000);
  t.Link("right/other", "bbbb", 1000);
  t.File("left/mixed", "abcd", 1000);
  t.Link("right/mixed", "wxyz", 1000);
  t.Link("left/shorter", "ab", 1000);
  t.File("right/shorter", "abcd", 1000);
  t.File("left/newer", "abc", 3000);
  t.Link("right/newer", "abc", 1000);
  t.Link("left/loop", ".", 1000);
  t.Link("right/loop", "..", 1000);
  b.Fill();
  ASSERT_TRUE(b.host.boxes.empty());
  const std::vector<std::string> names = {"dangling", "dirlink", "loop",    "mixed",    "newer",
                                          "other",    "same",    "shorter", "sub/x.txt"};
  ASSERT_EQ(b.list.RowCount(), static_cast<int>(names.size()));
  for (const std::string& name : names) ASSERT_NE(b.Row(name), 0) << name;
  const int mixed = b.Row("mixed");
  EXPECT_EQ(b.list.LeftKind(mixed), FileKind::kFile);
  EXPECT_EQ(b.list.RightKind(mixed), FileKind::kLink);
  // A link's date is its own; its size is its text's length.
  EXPECT_EQ(b.list.RightStamp(mixed)->mtime_sec, 1000);
  EXPECT_EQ(b.list.RightStamp(mixed)->size, 4);

  CompareFolders(b.ctx, true);
  const std::map<std::string, std::string> binary = {
      {"dangling", "="}, {"dirlink", "="}, {"loop", "<"},    {"mixed", "<>"},   {"newer", "<>"},
      {"other", "<>"},   {"same", "="},    {"shorter", "<"}, {"sub/x.txt", "="}};
  EXPECT_EQ(b.Marks(), binary);
  CompareFolders(b.ctx, false);
  const std::map<std::string, std::string> age = {
      {"dangling", "="}, {"dirlink", "="}, {"loop", "="},    {"mixed", "?"},    {"newer", "-->"},
      {"other", "="},    {"same", "="},    {"shorter", "?"}, {"sub/x.txt", "="}};
  EXPECT_EQ(b.Marks(), age);
  // The undecided pairs count as of different age.
  ASSERT_FALSE(b.host.boxes.empty());
  EXPECT_NE(b.host.boxes.back().text.find("3 Dateien haben ein unterschiedliches Alter."),
            std::string::npos)
      << b.host.boxes.back().text;
}

// Catches a link copied as the file it leads to, a copy or deletion written through a link
// to outside the root, and a link and a folder of one name mixed up.
TEST_P(LinksTest, TheSyncCopiesAndDeletesLinksAsLinks) {
  Bench b(GetParam());
  Trees& t = b.trees;
  t.File("outside/secret", "s", 500);
  t.File("left/target.txt", "t", 500);
  t.File("right/target.txt", "t", 500);
  t.Link("left/copied", "target.txt", 1111);
  t.Link("left/onto", "../outside/secret", 1000);
  t.File("right/onto", "new content", 2000);
  t.Link("left/gone", "target.txt", 1000);
  t.Link("left/lf", "somewhere", 1000);
  t.File("right/lf/inner", "i", 1000);
  b.Fill();
  const std::map<std::string, Mark> marks = {{"copied", Mark::kCopyRight},
                                             {"onto", Mark::kCopyLeft},
                                             {"gone", Mark::kDeleteLeft},
                                             {"lf", Mark::kCopyRight},
                                             {"lf/inner", Mark::kCopyLeft}};
  for (const auto& [name, mark] : marks) b.list.SetMark(b.Row(name), mark);
  b.list.SetMark(b.Row("target.txt"), Mark::kEqual);
  SyncFolders(b.ctx);

  EXPECT_EQ(t.LinkText("right/copied"), "target.txt");
  EXPECT_EQ(t.Lstat("right/copied").st_mtim.tv_sec, 1111);
  EXPECT_EQ(t.Content("left/onto"), "new content");
  EXPECT_TRUE(S_ISREG(t.Lstat("left/onto").st_mode));
  EXPECT_EQ(t.Content("outside/secret"), "s");
  EXPECT_EQ(t.Lstat("left/gone").st_mode, 0u);
  EXPECT_EQ(t.Content("left/target.txt"), "t");
  // The link and the folder both stay, and nothing is made where the link leads.
  EXPECT_EQ(t.LinkText("left/lf"), "somewhere");
  EXPECT_TRUE(S_ISDIR(t.Lstat("right/lf").st_mode));
  EXPECT_EQ(t.Lstat("left/somewhere").st_mode, 0u);
  EXPECT_EQ(t.Lstat("right/lf/lf").st_mode, 0u);
  std::vector<std::string> reasons;
  for (const auto& box : b.host.boxes) reasons.push_back(box.reason ? box.reason->why : box.text);
  std::sort(reasons.begin(), reasons.end());
  EXPECT_EQ(reasons, (std::vector<std::string>{kWhyLinkOnTheWay, kWhyFolderThere}));
  EXPECT_EQ(testing::RowsOf(b.list), (std::vector<std::string>{"|<--|lf/inner", "lf|-->|"}));
}

// Catches the followed policy listing a dangling link or a loop, walking out of the root's
// file system, not descending into a linked folder, or a linked folder escaping the rules
// for folders.
TEST_P(LinksTest, FollowedLinksAreReadAsWhatTheyLeadTo) {
  Bench b(GetParam());
  Trees& t = b.trees;
  b.state.follow_links = true;
  t.File("left/target.txt", "target", 1000);
  t.File("left/sub/x.txt", "x", 1000);
  t.Link("left/filelink", "target.txt", 2000);
  t.Link("left/dirlink", "sub", 2000);
  t.Link("left/sub/back", "..", 2000);
  t.Link("left/self", "self", 2000);
  t.Link("left/dangling", "nowhere", 2000);
  t.File("left/cache-real/c.bin", "c", 1000);
  t.Link("left/cache", "cache-real", 2000);
  RuleLines rules;
  rules.push_back({"cache/", "test", 1});
  rules.push_back({"cache-real/", "test", 2});
  b.state.rules = RuleSet(std::move(rules));
  if (!GetParam()) {
    t.File("stick/y.txt", "y", 1000);
    t.mem().Mount(t.Path("stick"), "vfat", 2000000000);
    t.Link("left/stick", "../stick", 2000);
  }
  b.Fill();
  EXPECT_TRUE(b.host.boxes.empty());
  std::map<std::string, int64_t> listed;
  for (int i = 1; i <= b.list.RowCount(); ++i) {
    listed[std::string(b.list.LeftName(i))] = b.list.LeftStamp(i)->size;
    EXPECT_EQ(b.list.LeftKind(i), FileKind::kFile);
  }
  EXPECT_EQ(listed,
            (std::map<std::string, int64_t>{
                {"dirlink/x.txt", 1}, {"filelink", 6}, {"sub/x.txt", 1}, {"target.txt", 6}}));
  std::map<std::string, std::string> left_out;
  for (const LeftOutEntry& e : b.state.left_left_out) left_out[e.path] = LeftOutWord(e.why);
  ASSERT_EQ(b.state.left_exclusions.excluded.size(), 2u);
  EXPECT_TRUE(b.state.left_exclusions.excluded[0].folder);
  EXPECT_TRUE(b.state.left_exclusions.excluded[1].folder);
  std::map<std::string, std::string> expected = {
      {"dangling", "dangling"}, {"self", "loop"}, {"sub/back", "loop"}, {"dirlink/back", "loop"}};
  if (!GetParam()) expected["stick"] = "other-fs";
  EXPECT_EQ(left_out, expected);
}

// Catches FIFOs, sockets and devices opened (a FIFO would block the scan) or left out
// without a word.
TEST(LinksRealDiskTest, SpecialEntriesAreLeftOutWithTheirKind) {
  TempTree t;
  t.Write("r/plain.txt", "p");
  ASSERT_EQ(mkfifo(t.Path("r/pipe").c_str(), 0644), 0);
  ComparisonList list;
  SharedState state;
  FakeHost host;
  FaultFileSystem fs;
  Context ctx{list, state, host, fs};
  FillNamedColumn(ctx, t.Path("r"), true);
  EXPECT_EQ(testing::RowsOf(list), std::vector<std::string>{"plain.txt||"});
  ASSERT_EQ(state.left_left_out.size(), 1u);
  EXPECT_EQ(state.left_left_out[0].path, "pipe");
  EXPECT_EQ(state.left_left_out[0].why, LeftOutWhy::kFifo);
}

// Catches a medium without links (FAT) stopping the run with a box per link, losing the
// rows, or making a batch run wait on a box.
TEST(LinksRefusedTest, LinksATargetCannotHoldAreToldOnceAndTheirRowsStay) {
  for (const bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "batch" : "window");
    Bench b(false);
    Trees& t = b.trees;
    t.mem().Mount(t.Path("right"), "vfat", 2000000000);
    for (const char* name : {"l1", "l2", "l3", "l4"})
      t.Link(std::string("left/") + name, "x", 1000);
    t.File("left/f.txt", "f", 1000);
    b.Fill();
    for (int i = 1; i <= b.list.RowCount(); ++i) b.list.SetMark(i, Mark::kCopyRight);
    b.state.batch_active = batch;
    SyncFolders(b.ctx);
    EXPECT_EQ(testing::RowsOf(b.list),
              (std::vector<std::string>{"l1|-->|", "l2|-->|", "l3|-->|", "l4|-->|"}));
    EXPECT_EQ(t.Content("right/f.txt"), "f");
    EXPECT_EQ(b.state.notes.refused_links, 4);
    EXPECT_EQ(b.state.notes.refused_link_names.size(), kRefusedLinksNamed);
    ASSERT_EQ(b.host.boxes.size(), batch ? 0u : 1u);
    if (!batch) {
      EXPECT_EQ(b.host.boxes[0].intent, Intent::kWarning);
      EXPECT_NE(b.host.boxes[0].text.find("4 Verknüpfungen"), std::string::npos);
      EXPECT_NE(b.host.boxes[0].text.find(kWhyNoLinks), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tavrik
