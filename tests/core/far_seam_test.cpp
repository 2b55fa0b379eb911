// The row-level calls of the seam (a folder's listing with its stats, a file's block
// digests) as a far file system uses them: the scan and the binary comparison must come to
// exactly what the calls one by one come to.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/compare/content_compare.h"
#include "core/scan/fill.h"
#include "core/scan/scan_ahead.h"
#include "support/fake_host.h"
#include "support/fault_file_system.h"
#include "support/mem_file_system.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kT0 = 1700000000;
constexpr size_t kBlock = kCompareBlock;

// The fault decorator that may call itself far, counting the row-level calls. Its files can
// lie about their size (as a file that grows or shrinks after its status was taken) and
// have unreadable bytes from an offset on.
class FarFs : public FaultFileSystem {
 public:
  FarFs(FileSystem& inner, bool far) : FaultFileSystem(inner), far_(far) {}

  bool IsFar() const override { return far_; }
  int ListFolder(int dir, bool skip_dot_names, std::vector<FolderEntry>* entries) override {
    ++listings;
    return FileSystem::ListFolder(dir, skip_dot_names, entries);
  }
  int BlockHashes(int fd, uint64_t offset, uint64_t length, uint32_t block_size,
                  BlockHashList* out) override {
    ++hashings;
    return FileSystem::BlockHashes(fd, offset, length, block_size, out);
  }

  // The status of files named leaf says size + delta.
  void MisstateSize(const std::string& leaf, int64_t delta) { size_delta_[leaf] = delta; }
  // Reads of files named leaf fail with EIO from offset on.
  void BadFrom(const std::string& leaf, off_t offset) { bad_from_[leaf] = offset; }

  int OpenAt(int dir, const char* name, int flags, mode_t mode) override {
    const int fd = FaultFileSystem::OpenAt(dir, name, flags, mode);
    std::lock_guard lock(mutex_);
    if (fd >= 0) names_[fd] = Leaf(name);
    return fd;
  }
  int StatAt(int dir, const char* name, struct stat* st, int flags) override {
    const int done = FaultFileSystem::StatAt(dir, name, st, flags);
    if (done == 0) Misstate(Leaf(name), st);
    return done;
  }
  int Fstat(int fd, struct stat* st) override {
    const int done = FaultFileSystem::Fstat(fd, st);
    if (done == 0) Misstate(NameOf(fd), st);
    return done;
  }
  ssize_t PRead(int fd, void* buf, size_t count, off_t offset) override {
    const auto bad = bad_from_.find(NameOf(fd));
    if (bad != bad_from_.end() && offset + static_cast<off_t>(count) > bad->second) {
      errno = EIO;
      return -1;
    }
    return FaultFileSystem::PRead(fd, buf, count, offset);
  }

  std::atomic<int> listings{0};
  std::atomic<int> hashings{0};

 private:
  static std::string Leaf(const char* name) {
    const std::string text(name);
    const size_t cut = text.rfind('/');
    return cut == std::string::npos ? text : text.substr(cut + 1);
  }
  std::string NameOf(int fd) {
    std::lock_guard lock(mutex_);
    const auto it = names_.find(fd);
    return it == names_.end() ? std::string() : it->second;
  }
  void Misstate(const std::string& leaf, struct stat* st) const {
    const auto it = size_delta_.find(leaf);
    if (it != size_delta_.end() && S_ISREG(st->st_mode)) st->st_size += it->second;
  }

  const bool far_;
  std::mutex mutex_;
  std::map<int, std::string> names_;
  std::map<std::string, int64_t> size_delta_;
  std::map<std::string, off_t> bad_from_;
};

std::string Bytes(size_t size, char fill = 'a') { return std::string(size, fill); }

std::string With(std::string text, size_t at, char c) {
  text[at] = c;
  return text;
}

// A pair compared by digests where a side is far that gets another verdict, another failing
// file or another reason than the byte comparison: a wrong mark, or a wrong count.
TEST(FarSeamTest, DigestComparisonGivesTheVerdictsOfTheByteComparison) {
  struct Case {
    const char* name;
    std::string left;
    std::string right;
    PairResult::Kind kind;
    const char* failed = "";  // "l" or "r": the side named by the failure
    // Faults: the status of a side's file misstates its size; reads fail from an offset on.
    int64_t left_delta = 0;
    int64_t right_delta = 0;
    off_t left_bad = -1;
    off_t right_bad = -1;
  };
  const std::string three = Bytes(3 * kBlock);
  const std::string long_run = Bytes(65 * kBlock + 17);
  const Case cases[] = {
      {"equal, small", "abc", "abc", PairResult::kEqual},
      {"both empty", "", "", PairResult::kEqual},
      {"differ in the first block", three, With(three, 10, 'b'), PairResult::kDiffer},
      {"differ in the middle block", three, With(three, kBlock + 5, 'b'), PairResult::kDiffer},
      {"differ in the last byte", three, With(three, 3 * kBlock - 1, 'b'), PairResult::kDiffer},
      {"left shorter", "abc", "abcd", PairResult::kLess},
      {"left longer", three + "x", three, PairResult::kGreater},
      {"exactly one block, equal", Bytes(kBlock), Bytes(kBlock), PairResult::kEqual},
      {"one block and a byte, the byte differs", Bytes(kBlock) + "x", Bytes(kBlock) + "y",
       PairResult::kDiffer},
      {"one byte short of a block, equal", Bytes(kBlock - 1), Bytes(kBlock - 1),
       PairResult::kEqual},
      {"beyond one request, differ after it", long_run, With(long_run, 65 * kBlock + 3, 'b'),
       PairResult::kDiffer},
      {"beyond one request, equal", long_run, long_run, PairResult::kEqual},
      {"left unreadable in the middle", three, three, PairResult::kFailed, "l", 0, 0,
       static_cast<off_t>(kBlock + 1)},
      {"right unreadable in the first block", three, three, PairResult::kFailed, "r", 0, 0, -1, 0},
      {"a difference before the unreadable part", three, With(three, 1, 'b'), PairResult::kDiffer,
       "", 0, 0, -1, static_cast<off_t>(2 * kBlock)},
      {"unreadable before the difference", three, With(three, 2 * kBlock + 1, 'b'),
       PairResult::kFailed, "r", 0, 0, -1, static_cast<off_t>(kBlock)},
      {"left grew after its status", three + "x", three, PairResult::kFailed, "l", -1},
      {"right ends before its status says", three, three.substr(1), PairResult::kFailed, "r", 0, 1},
      {"both grew, the left one is named", "abcd", "abcd", PairResult::kFailed, "l", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PairResult> results;
    // Local on both sides (the byte comparison), then the left and the right side far.
    for (int far_side : {0, 1, 2}) {
      MemFileSystem left_mem, right_mem;
      left_mem.AddFile("/L/f.bin", c.left, kT0);
      right_mem.AddFile("/R/g.bin", c.right, kT0);
      FarFs left(left_mem, far_side == 1), right(right_mem, far_side == 2);
      left.MisstateSize("f.bin", c.left_delta);
      right.MisstateSize("g.bin", c.right_delta);
      if (c.left_bad >= 0) left.BadFrom("f.bin", c.left_bad);
      if (c.right_bad >= 0) right.BadFrom("g.bin", c.right_bad);
      PairReader reader(left, right);
      results.push_back(ComparePair("/L/f.bin", "/R/g.bin", reader));
      const bool same_size = c.left.size() + c.left_delta == c.right.size() + c.right_delta;
      // Bytes cross no link: a far pair of one size is compared by digests, a near one never.
      if (far_side == 0 || same_size) {
        EXPECT_EQ(left.hashings + right.hashings > 0, far_side != 0) << far_side;
      }
    }
    const PairResult& bytes = results[0];
    EXPECT_EQ(bytes.kind, c.kind);
    const std::string failed = c.failed[0] == 'l'   ? "/L/f.bin"
                               : c.failed[0] == 'r' ? "/R/g.bin"
                                                    : "";
    EXPECT_EQ(bytes.failed_path, failed);
    for (size_t i = 1; i < results.size(); ++i) {
      SCOPED_TRACE(i == 1 ? "left far" : "right far");
      EXPECT_EQ(results[i].kind, bytes.kind);
      EXPECT_EQ(results[i].failed_path, bytes.failed_path);
      EXPECT_EQ(results[i].error_number, bytes.error_number);
      EXPECT_EQ(results[i].error_text, bytes.error_text);
    }
  }
}

// What one fill and binary comparison of a tree show: the rows with their stamps and marks,
// the boxes and the status line.
struct Outcome {
  std::vector<std::string> rows;
  std::vector<std::string> boxes;
  int failures = 0;  // boxes that are no result
  std::string status;
  size_t handed = 0;  // folders listed ahead and taken by the fill
};

Outcome FillAndCompare(bool far, bool with_rules, int stat_fault) {
  MemFileSystem left_mem, right_mem;
  for (MemFileSystem* mem : {&left_mem, &right_mem}) {
    const std::string root = mem == &left_mem ? "/L" : "/R";
    mem->AddFile(root + "/same.txt", "same", kT0);
    mem->AddFile(root + "/sub/deep/file.txt", mem == &left_mem ? "left" : "rite", kT0 + 2);
    mem->AddFile(root + "/sub/size.txt", mem == &left_mem ? "1" : "22", kT0);
    mem->AddFile(root + "/.hidden", "x", kT0);
    mem->AddFile(root + "/skip.log", "log", kT0);
    mem->AddFolder(root + "/empty");
    mem->AddLink(root + "/link", "same.txt", kT0);
  }
  left_mem.AddFile("/L/sub/only-left.txt", "l", kT0);
  right_mem.AddFile("/R/only-right.txt", "r", kT0);
  FarFs left(left_mem, far), right(right_mem, far);
  if (stat_fault != 0) right.FailWhere(FsCall::kStat, "deep", stat_fault);
  MemFileSystem user_mem;
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, user_mem, &left, &right};
  if (with_rules) state.rules = RuleSet(RuleLines{{"*.log", "test", 1}, {"empty/", "test", 2}});
  // The right tree listed ahead while the left fills, as a run does it.
  size_t handed = 0;
  {
    ScanAhead ahead(ctx, "/R");
    bool side = true;
    FillColumn(ctx, "/L", side);
    side = false;
    FillColumn(ctx, "/R", side, &ahead);
    handed = ahead.Handed();
  }
  CompareFolders(ctx, true);
  EXPECT_EQ(left.listings > 0, far);
  EXPECT_EQ(right.listings > 0, far);
  Outcome outcome;
  for (int i = 1; i <= list.RowCount(); ++i) {
    std::string row(list.LeftName(i));
    row.append("|").append(list.RightName(i)).append("|").append(MarkText(list.GetMark(i)));
    for (const FileStamp* stamp : {list.LeftStamp(i), list.RightStamp(i)}) {
      if (!stamp) continue;
      row.append("|").append(std::to_string(stamp->size));
      row.append("@").append(std::to_string(stamp->mtime_sec));
    }
    outcome.rows.push_back(row);
  }
  for (const Box& box : host.boxes) {
    outcome.boxes.push_back(box.text);
    if (box.intent != Intent::kInformation) ++outcome.failures;
  }
  outcome.status = host.status1 + "/" + host.status2;
  outcome.handed = handed;
  return outcome;
}

// A far root listed in one request per folder that shows other rows, stamps, exclusions or
// access errors than the same tree listed entry by entry.
TEST(FarSeamTest, FarListingFillsAndComparesAsTheListingOneByOne) {
  struct Case {
    const char* name;
    bool rules;
    int stat_fault;
  };
  const Case cases[] = {
      {"plain", false, 0},
      {"with an exclusion rule", true, 0},
      {"an entry whose status fails", false, EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome local = FillAndCompare(false, c.rules, c.stat_fault);
    const Outcome far = FillAndCompare(true, c.rules, c.stat_fault);
    EXPECT_EQ(far.rows, local.rows);
    EXPECT_EQ(far.boxes, local.boxes);
    EXPECT_EQ(far.status, local.status);
    // Every folder came from the listing ahead, none listed again at its turn.
    EXPECT_EQ(far.handed, local.handed);
    EXPECT_GE(local.handed, 3u);
    EXPECT_GE(local.rows.size(), 6u);
    EXPECT_EQ(local.failures, c.stat_fault == 0 ? 0 : 1);
  }
}

}  // namespace
}  // namespace tavrik::testing
