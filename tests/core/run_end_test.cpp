// How a synchronisation ends: every way of stopping it (Abort, "Ende", a signal, a closed
// pipe, the end of the run) removes what it prepared and leaves each target old or
// complete; copies prepared ahead never need more room than one copy at a time; a target
// folder renamed meanwhile is not written through its old handle; a helper's exception is
// its row's failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>

#include "core/scan/scan.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

std::string Name(int i) { return std::string("f").append(std::to_string(10 + i)) + ".bin"; }

// Temporary files of runs in folder (not below it).
int TempsIn(const MemFileSystem& mem, const std::string& folder) {
  const std::vector<std::string> names = mem.Names(folder);
  return static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::string& n) {
    return n.rfind(".tavrik-", 0) == 0;
  }));
}

// Left holds newer versions of count files that right holds old ones of; after the
// comparison every row is "-->".
void MakeNewerLeft(MemSession& s, int count, size_t size, const std::string& sub = "") {
  for (int i = 0; i < count; ++i) {
    s.mem.AddFile("/L/" + sub + Name(i), std::string(size, static_cast<char>('a' + i)), 2000);
    s.mem.AddFile("/R/" + sub + Name(i), std::string(size, 'o'), 1000);
  }
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  s.host = FakeHost();
}

// Each target is its old version or a complete copy; no temporary file anywhere.
void ExpectOldOrComplete(const MemSession& s, int count, size_t size, const std::string& sub = "") {
  for (int i = 0; i < count; ++i) {
    const std::optional<std::string> now = s.mem.Content("/R/" + sub + Name(i));
    ASSERT_TRUE(now.has_value()) << Name(i);
    EXPECT_TRUE(*now == std::string(size, 'o') || *now == std::string(size, 'a' + i))
        << Name(i) << " is half a copy";
  }
  EXPECT_EQ(TempsIn(s.mem, "/R/" + sub), 0);
  EXPECT_EQ(TempsIn(s.mem, "/L/" + sub), 0);
}

// Catches a stop that leaves a prepared or half-written copy behind, a copy that goes on
// long after the stop (a whole file per call instead of chunks), helpers still working
// after the run returned, or a stopped run that shows boxes; for every way a run ends.
TEST(RunEndTest, EveryWayOfStoppingRemovesWhatTheRunMadeAndEndsSoon) {
  constexpr int kFiles = 4;
  constexpr size_t kSize = 16u << 20;  // four chunks
  struct Case {
    const char* name;
    StopReason reason;  // kNone: the run ends by itself; kAbort: the answer in a box
  };
  for (const Case c : {Case{"done", StopReason::kNone}, Case{"Abort", StopReason::kAbort},
                       Case{"Ende", StopReason::kEnd}, Case{"signal", StopReason::kSignal},
                       Case{"closed pipe", StopReason::kBrokenPipe}}) {
    MemFsOptions options;
    options.capacity = int64_t{1} << 30;
    MemSession s(options);
    MakeNewerLeft(s, kFiles, kSize);
    s.state.io.copy_helpers = s.state.io.copy_max_helpers = 2;
    s.fs.LimitRate(200u << 20);
    std::atomic<uint64_t> copied_at_stop{0};
    std::atomic<bool> stopped{false};
    auto stop_now = [&] {
      copied_at_stop = s.fs.CopiedBytes();
      stopped = true;
    };
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point requested;
    if (c.reason == StopReason::kAbort) {
      // The last row (the first handled) fails while the later rows are being prepared.
      s.fs.FailWhere(FsCall::kOpen, Name(kFiles - 1), EACCES);
      s.host.answers = {MsgAnswer::kAbort};
      s.host.on_box = [&](const std::string&, Intent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        requested = std::chrono::steady_clock::now();
        stop_now();
      };
    } else if (c.reason != StopReason::kNone) {
      auto calls = std::make_shared<std::atomic<int>>(0);
      s.fs.SetHook([&, calls](FsCall call, const std::string&) {
        if (call == FsCall::kCopyRange && ++*calls == 3) {
          requested = std::chrono::steady_clock::now();
          stop_now();
          s.state.stop.Request(c.reason);
        }
        return 0;
      });
    }
    SyncFolders(s.ctx);
    const auto returned = std::chrono::steady_clock::now();
    const int calls_at_return = s.fs.Count(FsCall::kOpen) + s.fs.Count(FsCall::kCopyRange);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s.fs.Count(FsCall::kOpen) + s.fs.Count(FsCall::kCopyRange), calls_at_return)
        << c.name << ": a helper still works after the run returned";
    ExpectOldOrComplete(s, kFiles, kSize);
    EXPECT_EQ(s.mem.OpenDescriptors(), 0u) << c.name;
    if (c.reason == StopReason::kNone) {
      EXPECT_EQ(s.list.RowCount(), 0) << c.name;
      continue;
    }
    ASSERT_TRUE(stopped) << c.name;
    // At most the chunk each copying thread (two helpers and the row loop, which prepares
    // its own row when nobody has) had started when the stop came.
    EXPECT_LE(s.fs.CopiedBytes() - copied_at_stop, 3u * (4u << 20)) << c.name;
    EXPECT_GT(s.list.RowCount(), 0) << c.name << ": the run went on after the stop";
    EXPECT_EQ(s.host.boxes.size(), c.reason == StopReason::kAbort ? 1u : 0u) << c.name;
    EXPECT_NE(s.host.status2.find("Datenabgleich beendet."), std::string::npos) << c.name;
    std::printf("[ figure   ] %s: stop to return %.3f s (run %.3f s)\n", c.name,
                std::chrono::duration<double>(returned - requested).count(),
                std::chrono::duration<double>(returned - started).count());
  }
}

// Catches a copy that keeps going after a stop on a slow medium (10 MB/s): only the chunk in
// flight may finish. Prints the time from the request to the run's return, for a request
// in the middle of a chunk and one just as a chunk begins (the longest wait).
TEST(RunEndTest, AStopOnASlowMediumEndsWithinAChunk) {
  constexpr size_t kSize = 12u << 20;
  for (bool at_chunk_start : {false, true}) {
    MemSession s;
    MakeNewerLeft(s, 2, kSize);
    s.state.io.copy_helpers = 1;
    s.fs.LimitRate(10'000'000);
    std::chrono::steady_clock::time_point requested;
    std::atomic<uint64_t> copied_at_stop{0};
    auto stop = [&] {
      requested = std::chrono::steady_clock::now();
      copied_at_stop = s.fs.CopiedBytes();
      s.state.stop.Request(StopReason::kSignal);
    };
    std::thread timer;
    auto calls = std::make_shared<std::atomic<int>>(0);
    s.fs.SetHook([&, calls](FsCall call, const std::string&) {
      if (call != FsCall::kCopyRange) return 0;
      const int n = ++*calls;
      if (at_chunk_start && n == 2) stop();
      if (!at_chunk_start && n == 1)
        timer = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(150));
          stop();
        });
      return 0;
    });
    SyncFolders(s.ctx);
    const auto returned = std::chrono::steady_clock::now();
    if (timer.joinable()) timer.join();
    ASSERT_TRUE(s.state.stop.Requested());
    EXPECT_LE(s.fs.CopiedBytes() - copied_at_stop, 4u << 20) << at_chunk_start;
    ExpectOldOrComplete(s, 2, kSize);
    std::printf("[ figure   ] 10 MB/s, stop %s: request to return %.3f s\n",
                at_chunk_start ? "as a chunk begins" : "150 ms into a chunk",
                std::chrono::duration<double>(returned - requested).count());
  }
}

// Catches copies prepared ahead that take more room than one copy at a time would: on a
// nearly full target every replacement must succeed, and never may two copies be written
// there at once.
TEST(RunEndTest, ANearlyFullTargetTakesEveryReplacementOneAtATime) {
  constexpr int kFiles = 10;
  constexpr size_t kSize = 90 * 1024;
  MemFsOptions options;
  // Both trees live in this one file system; 100 KiB stay free.
  options.capacity = 2 * kFiles * static_cast<int64_t>(kSize) + 100 * 1024;
  options.latency = std::chrono::microseconds(300);
  MemSession s(options);
  MakeNewerLeft(s, kFiles, kSize);
  s.state.io.copy_helpers = s.state.io.copy_max_helpers = 4;
  std::atomic<int> most{0};
  s.fs.SetHook([&](FsCall, const std::string&) {
    const int now = TempsIn(s.mem, "/R");
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    return 0;
  });
  SyncFolders(s.ctx);
  EXPECT_TRUE(s.host.boxes.empty()) << s.host.boxes[0].text;
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(s.mem.Content("/R/" + Name(i)), std::string(kSize, 'a' + i)) << Name(i);
  EXPECT_EQ(most.load(), 1) << "copies written side by side on a full medium";
  EXPECT_EQ(TempsIn(s.mem, "/R"), 0);
}

// Catches a file system without a free-space figure getting copies prepared ahead without
// limit: one ahead of the row at its turn at most.
TEST(RunEndTest, WithoutAFreeSpaceFigureOneCopyIsPreparedAhead) {
  MemFsOptions options;
  options.latency = std::chrono::microseconds(300);
  MemSession s(options);
  MakeNewerLeft(s, 20, 4096);
  s.state.io.copy_helpers = s.state.io.copy_max_helpers = 4;
  std::atomic<int> most{0};
  s.fs.SetHook([&](FsCall, const std::string&) {
    const int now = TempsIn(s.mem, "/R");
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    return 0;
  });
  SyncFolders(s.ctx);
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_LE(most.load(), 2);
}

// Catches a prepared copy committed into its folder's open handle after the user renamed
// the folder: the file in the renamed folder would be replaced although the row named the
// old path. A copy at the row's turn writes to the path, as one copy at a time does.
TEST(RunEndTest, AFolderRenamedWhileItsCopyWasPreparedGetsNothing) {
  for (int window : {0, 16}) {
    MemFsOptions options;
    options.latency = std::chrono::microseconds(100);
    options.capacity = 1 << 20;
    MemSession s(options);
    s.mem.AddFile("/L/sub/f.txt", "new", 2000);
    s.mem.AddFile("/R/sub/f.txt", "old", 1000);
    s.mem.AddFile("/L/zz/z.txt", "new z", 2000);
    s.mem.AddFile("/R/zz/z.txt", "old z", 1000);
    s.FillBoth("/L", "/R");
    CompareFolders(s.ctx, false);
    s.host = FakeHost();
    ASSERT_EQ(s.list.LeftName(1), "sub/f.txt") << "the walk must reach sub/f.txt last";
    s.state.io.copy_window = window;
    s.state.io.copy_helpers = 1;
    bool renamed = false;
    s.host.on_yield = [&] {
      if (renamed) return;
      renamed = true;
      if (window > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (TempsIn(s.mem, "/R/sub") == 0 && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(TempsIn(s.mem, "/R/sub"), 1) << "the copy was not prepared ahead";
      }
      ASSERT_EQ(s.mem.RenameAt(AT_FDCWD, "/R/sub", AT_FDCWD, "/R/moved"), 0);
    };
    SyncFolders(s.ctx);
    EXPECT_TRUE(renamed);
    EXPECT_TRUE(s.host.boxes.empty()) << window;
    EXPECT_EQ(s.mem.Content("/R/moved/f.txt"), "old") << window;
    EXPECT_EQ(s.mem.Content("/R/sub/f.txt"), "new") << window;
    EXPECT_EQ(TempsIn(s.mem, "/R/moved"), 0) << window;
  }
}

// Catches an exception on a helper thread (a failed allocation) ending the program or
// losing its item: it becomes that row's failure, shown at its turn; the rest goes on.
TEST(RunEndTest, AHelperThatThrowsFailsOnlyItsOwnItem) {
  auto throw_on = [](MemSession& s, FsCall kind, const std::string& part) {
    s.fs.SetHook([kind, part](FsCall call, const std::string& name) -> int {
      if (call == kind && name.find(part) != std::string::npos) throw std::bad_alloc();
      return 0;
    });
  };
  {
    MemSession s;
    s.Threads(2);
    for (int i = 0; i < 8; ++i) s.mem.AddFile("/L/d" + std::to_string(i) + "/x.txt", "x");
    throw_on(s, FsCall::kOpen, "/L/d5/");
    bool left = true;
    FillColumn(s.ctx, "/L", left);
    EXPECT_EQ(s.list.RowCount(), 7);
    ASSERT_EQ(s.host.boxes.size(), 1u);
    EXPECT_EQ(s.host.boxes[0].text, AccessErrorText(ENOMEM, "/L/d5"));
  }
  {
    MemSession s;
    s.Threads(2);
    for (int i = 0; i < 8; ++i) {
      s.mem.AddFile("/L/" + Name(i), "same");
      s.mem.AddFile("/R/" + Name(i), "same");
    }
    s.FillBoth("/L", "/R");
    throw_on(s, FsCall::kStat, Name(3));
    CompareFolders(s.ctx, true);
    for (int i = 1; i <= s.list.RowCount(); ++i)
      EXPECT_EQ(s.list.GetMark(i), s.list.LeftName(i) == Name(3) ? Mark::kOrphan : Mark::kEqual);
    ASSERT_EQ(s.host.boxes.size(), 2u);  // the failure, then the result
    EXPECT_NE(s.host.boxes[0].text.find("zu wenig Arbeitsspeicher"), std::string::npos);
  }
  {
    MemSession s;
    MakeNewerLeft(s, 8, 100);
    s.state.io.copy_helpers = 2;
    throw_on(s, FsCall::kOpen, Name(3));
    SyncFolders(s.ctx);
    ASSERT_EQ(s.host.boxes.size(), 1u);
    EXPECT_NE(s.host.boxes[0].text.find(Name(3)), std::string::npos);
    EXPECT_NE(s.host.boxes[0].text.find("zu wenig Arbeitsspeicher"), std::string::npos);
    EXPECT_EQ(s.Rows(), std::vector<std::string>{Name(3) + "|-->|" + Name(3)});
    ExpectOldOrComplete(s, 8, 100);
  }
}

// Catches a row loop that sees a stop only through its copies or its yields: a run of
// deletions without yields (SpeedCheck) must still stop at the next row.
TEST(RunEndTest, TheRowLoopSeesAStopAtEveryRowWithoutYields) {
  MemSession s;
  for (int i = 0; i < 10; ++i) {
    s.mem.AddFile("/L/" + Name(i), "x");
    s.mem.AddFile("/R/" + Name(i), "x");
  }
  s.FillBoth("/L", "/R");
  for (int i = 1; i <= s.list.RowCount(); ++i) s.list.SetMark(i, Mark::kDeleteRight);
  s.host = FakeHost();
  s.host.speed = true;
  s.fs.SetHook([&](FsCall call, const std::string&) {
    if (call == FsCall::kUnlink) s.state.stop.Request(StopReason::kEnd);
    return 0;
  });
  SyncFolders(s.ctx);
  EXPECT_EQ(s.host.yields, 0);
  EXPECT_EQ(s.fs.Count(FsCall::kUnlink), 1);
  EXPECT_EQ(s.list.RowCount(), 9);
}

// Catches a signal (or "Ende") that comes while an error box waits being lost behind the
// answer: whatever the answer, the run ends there, as after Abort; not even the rest of the
// row's action (the right file of "XX" after its left one failed) is done.
TEST(RunEndTest, AStopWhileABoxWaitsCountsAsAbort) {
  for (MsgAnswer answer : {MsgAnswer::kIgnore, MsgAnswer::kRetry}) {
    MemSession s;
    MakeNewerLeft(s, 6, 100);
    s.list.SetMark(6, Mark::kDeleteBoth);
    s.fs.FailWhere(FsCall::kUnlink, Name(5), EACCES);
    s.host.answers = {answer};
    s.host.on_box = [&](const std::string&, Intent) {
      s.fs.Reset();
      s.state.stop.Request(StopReason::kSignal);
    };
    SyncFolders(s.ctx);
    EXPECT_EQ(s.host.boxes.size(), 1u);
    EXPECT_EQ(s.list.RowCount(), 6) << "the run went on after the box";
    EXPECT_TRUE(s.mem.Exists("/R/" + Name(5))) << "the rest of the row was done";
    ExpectOldOrComplete(s, 6, 100);
  }
}

// Catches a window that freezes for the length of one large copy: the row loop waiting
// for the whole file (its own copy, or a helper's) without handling messages, also with
// "Schneller ausführen", so that "Ende" waits until the file is done. The stop must come
// from a yield while the copy is in flight, break the copy off, and leave no temporary file.
TEST(RunEndTest, TheWindowStaysAliveDuringOneLongCopy) {
  constexpr size_t kSize = size_t{12} << 20;  // three chunks
  constexpr int kChunks = 3;
  struct Case {
    const char* name;
    int window;
    int helpers;
    bool speed;
  };
  for (const Case c : {Case{"nothing ahead", 0, 1, true}, Case{"ahead", 64, 2, true},
                       Case{"ahead, no helpers asked", 64, 0, false}}) {
    MemSession s;
    MakeNewerLeft(s, 1, kSize);
    s.state.io.copy_window = c.window;
    s.state.io.copy_helpers = c.helpers;
    s.host.speed = c.speed;
    s.fs.Pause(FsCall::kCopyRange, std::chrono::milliseconds(300));
    int calls_at_stop = -1;
    s.host.on_yield = [&] {
      if (s.host.yields != 3) return;
      calls_at_stop = s.fs.Count(FsCall::kCopyRange);
      s.state.stop.Request(StopReason::kEnd);
    };
    SyncFolders(s.ctx);
    ASSERT_GE(s.host.yields, 3) << c.name << ": no messages handled during the copy";
    EXPECT_GT(calls_at_stop, 0) << c.name;
    EXPECT_LT(calls_at_stop, kChunks) << c.name << ": the stop came after the copy";
    // Only the chunk in flight when the stop came is finished.
    EXPECT_LE(s.fs.Count(FsCall::kCopyRange), calls_at_stop + 1) << c.name;
    EXPECT_EQ(s.mem.Content("/R/" + Name(0)), std::string(kSize, 'o')) << c.name;
    EXPECT_EQ(s.list.RowCount(), 1) << c.name;
    EXPECT_TRUE(s.host.boxes.empty()) << c.name;
    ASSERT_EQ(s.host.actions.size(), 1u) << c.name;
    EXPECT_EQ(s.host.actions[0].outcome, SyncAction::kAborted) << c.name;
    ExpectOldOrComplete(s, 1, kSize);
    EXPECT_EQ(s.mem.OpenDescriptors(), 0u) << c.name;
  }
}

// Catches a run that ends early without its final flush: copies reported as done, and
// moves into the versions, may then not be on the disk when the user unplugs it. Every
// way a run ends that wrote something flushes what it wrote, once.
TEST(RunEndTest, EveryWayARunEndsFlushesWhatItWrote) {
  enum class End { kDone, kAbortInTheBox, kStopMidRun, kStopBeforeAnyCopy };
  for (End end : {End::kDone, End::kAbortInTheBox, End::kStopMidRun, End::kStopBeforeAnyCopy}) {
    MemSession s;
    MakeNewerLeft(s, 4, 100);
    // The last row is handled first.
    if (end == End::kAbortInTheBox) {
      s.fs.FailWhere(FsCall::kOpen, Name(2), EACCES);
      s.host.answers = {MsgAnswer::kAbort};
    }
    if (end == End::kStopMidRun || end == End::kStopBeforeAnyCopy) {
      const FsCall at = end == End::kStopMidRun ? FsCall::kRename : FsCall::kOpen;
      s.fs.SetHook([&s, at](FsCall call, const std::string&) {
        if (call == at) s.state.stop.Request(StopReason::kSignal);
        return 0;
      });
    }
    SyncFolders(s.ctx);
    const int copied = static_cast<int>(
        std::count_if(s.host.actions.begin(), s.host.actions.end(),
                      [](const SyncAction& a) { return a.outcome == SyncAction::kDone; }));
    const int flushes = s.fs.Count(FsCall::kSyncFs);
    switch (end) {
      case End::kDone:
        EXPECT_EQ(copied, 4);
        EXPECT_EQ(flushes, 1);
        break;
      case End::kAbortInTheBox:
      case End::kStopMidRun:
        EXPECT_EQ(copied, 1) << static_cast<int>(end);
        EXPECT_EQ(flushes, 1) << static_cast<int>(end) << ": what was written is not flushed";
        break;
      case End::kStopBeforeAnyCopy:
        EXPECT_EQ(copied, 0);
        EXPECT_EQ(flushes, 0) << "a flush for a root nothing was written to";
        break;
    }
    ExpectOldOrComplete(s, 4, 100);
  }
}

// Catches the free-space budget counting the room of a replaced file as freed where the
// file is kept in the run's versions on the same medium: copies are then prepared ahead
// into room that is not there, run the medium full, and are written a second time at
// their turn. Each row's copy is written once, as one copy at a time does it.
TEST(RunEndTest, UnderVersionsAReplacedFileFreesNoRoomForCopiesAhead) {
  constexpr int kFiles = 6;
  constexpr size_t kSize = 40 * 1024;
  MemFsOptions options;
  // Both trees live in this one file system; 100 KiB stay free: two new copies fit.
  options.capacity = 2 * kFiles * static_cast<int64_t>(kSize) + 100 * 1024;
  options.latency = std::chrono::microseconds(100);
  MemSession s(options);
  MakeNewerLeft(s, kFiles, kSize);
  s.state.sync_options.versions = true;
  s.state.io.copy_helpers = s.state.io.copy_max_helpers = 4;
  std::atomic<int> temps_made{0};
  const std::string temp_prefix = TempName(0).substr(0, TempName(0).size() - 1);
  s.fs.SetHook([&](FsCall call, const std::string& name) {
    if (call == FsCall::kOpen && name.rfind(temp_prefix, 0) == 0) ++temps_made;
    return 0;
  });
  SyncFolders(s.ctx);
  // The last two rows (handled first) are copied; the others find the medium full.
  for (int i = 0; i < kFiles; ++i) {
    const bool copied = i >= kFiles - 2;
    EXPECT_EQ(s.mem.Content("/R/" + Name(i)), std::string(kSize, copied ? 'a' + i : 'o'))
        << Name(i);
  }
  EXPECT_EQ(s.host.boxes.size(), static_cast<size_t>(kFiles - 2));
  EXPECT_EQ(temps_made.load(), kFiles) << "copies prepared ahead into room that is not free";
  for (const std::string& name : s.mem.Names("/R")) EXPECT_NE(name.rfind(temp_prefix, 0), 0u);
}

}  // namespace
}  // namespace tavrik::testing
