// Two roots in memory compared by age under their common state, with the save a sync makes
// when every row ended in line: for tests of the two-way comparison and its state.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/compare/compare.h"
#include "core/state/pair_state.h"
#include "support/mem_session.h"

namespace tavrik::testing {

// What a sync leaves when every row of ctx's list with both files ended in line: each side's
// files with their stamps (and inodes) as they are now, saved in both roots (ending in their
// separator). False when the save failed.
inline bool SaveListInLine(Context& ctx, const std::string& left_root,
                           const std::string& right_root) {
  PairState pair;
  LoadPairState(ctx.LeftFs(), left_root, ctx.RightFs(), right_root, &pair);
  pair.left.entries.Clear();
  pair.right.entries.Clear();
  auto add = [](FileSystem& fs, StateEntries& entries, const std::string& root,
                std::string_view name, const FileStamp& stamp) {
    StateEntry e;
    e.size = stamp.size;
    e.mtime_sec = stamp.mtime_sec;
    e.mtime_nsec = stamp.mtime_nsec;
    struct stat st {};
    if (fs.StatAt(AT_FDCWD, (root + std::string(name)).c_str(), &st, 0) == 0) e.ino = st.st_ino;
    entries.Add(name, e);
  };
  const ComparisonList& list = ctx.list;
  for (int i = 1; i <= list.RowCount(); ++i) {
    if (list.LeftName(i).empty() || list.RightName(i).empty()) continue;
    add(ctx.LeftFs(), pair.left.entries, left_root, list.LeftName(i), *list.LeftStamp(i));
    add(ctx.RightFs(), pair.right.entries, right_root, list.RightName(i), *list.RightStamp(i));
  }
  pair.left.entries.Sort();
  pair.right.entries.Sort();
  std::string error;
  const bool saved =
      SavePairState(ctx.LeftFs(), left_root, ctx.RightFs(), right_root, pair, &error);
  EXPECT_TRUE(saved) << error;
  return saved;
}

struct TwoWayPair : MemSession {
  explicit TwoWayPair(MemFsOptions options = {}, std::string l = "/L", std::string r = "/R")
      : MemSession(std::move(options)), left(std::move(l)), right(std::move(r)) {}

  std::string left;
  std::string right;

  std::string LeftRoot() const { return left + "/"; }
  std::string RightRoot() const { return right + "/"; }

  // Fills both columns and compares by age, two-way.
  void Compare(bool two_way = true) {
    // Set before the fills, as the front ends do: the state is then read while they run.
    state.compare_options.two_way = two_way;
    FillBoth(left, right);
    CompareFolders(ctx, false);
  }

  // What a sync leaves when every row with both files ended in line: each side's files with
  // their stamps and inodes as they are now, saved in both roots. False when the save failed.
  bool SaveInLine() {
    FillBoth(left, right);
    return SaveListInLine(ctx, LeftRoot(), RightRoot());
  }

  std::map<std::string, std::string> Marks() const { return MarksOf(list); }

  // True when some row is marked for a deletion.
  bool AnyDeletion() const {
    for (int i = 1; i <= list.RowCount(); ++i) {
      const Mark m = list.GetMark(i);
      if (m == Mark::kDeleteLeft || m == Mark::kDeleteRight || m == Mark::kDeleteBoth) return true;
    }
    return false;
  }
};

}  // namespace tavrik::testing
