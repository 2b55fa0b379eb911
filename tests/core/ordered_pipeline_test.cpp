// The one pool of helper threads: results strictly in order, a window that bounds the work
// done ahead (also while the consumer is blocked), widening only on waiting that lasts, and
// a stop that ends the handing out of work.
#include "core/parallel/ordered_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/parallel/cpu_count.h"
#include "core/scan/scan.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

struct NoWorker {};
using IntPipeline = OrderedPipeline<int, int, NoWorker>;

IntPipeline::Tasks Squares(std::atomic<int>* started = nullptr,
                           std::chrono::microseconds nap = std::chrono::microseconds(0)) {
  IntPipeline::Tasks tasks;
  tasks.make_worker = [] { return std::make_unique<NoWorker>(); };
  tasks.run = [started, nap](NoWorker&, const int& i) {
    if (started) ++*started;
    if (nap.count() > 0) std::this_thread::sleep_for(nap);
    return i * i;
  };
  tasks.failed = [](const int&, const char*) { return -1; };
  return tasks;
}

// Catches results handed back out of order, or lost, in either order of taking.
TEST(OrderedPipelineTest, ResultsComeInOrderWhicheverThreadMadeThem) {
  StopFlag program;
  for (TakeOrder order : {TakeOrder::kOldestFirst, TakeOrder::kNewestFirst}) {
    RunScope scope(program);
    PipelineShape shape;
    shape.helpers = 3;
    shape.window = 8;
    shape.order = order;
    IntPipeline pipeline(shape, Squares(nullptr, std::chrono::microseconds(200)), scope);
    std::vector<int> items(40);
    for (int i = 0; i < 40; ++i) items[static_cast<size_t>(i)] = i;
    pipeline.AddAll(items);
    for (int k = 0; k < 40; ++k) {
      const int i = order == TakeOrder::kOldestFirst ? k : 39 - k;
      ASSERT_EQ(*pipeline.Next(), i);
      EXPECT_EQ(pipeline.Take(), i * i);
    }
    EXPECT_EQ(pipeline.Next(), nullptr);
  }
}

// Catches a window that does not bound the work done ahead while the consumer is blocked
// (the scan's whole frontier listed into memory), by count and by what the results hold.
TEST(OrderedPipelineTest, TheWindowBoundsWorkAheadOfABlockedConsumer) {
  StopFlag program;
  for (bool by_weight : {false, true}) {
    RunScope scope(program);
    PipelineShape shape;
    shape.helpers = 4;
    shape.window = by_weight ? 1000 : 5;
    shape.window_weight = by_weight ? 3000 : UINT64_MAX;
    std::atomic<int> started{0};
    IntPipeline::Tasks tasks = Squares(&started);
    tasks.weigh = [](const int&) { return uint64_t{1000}; };
    IntPipeline pipeline(shape, std::move(tasks), scope);
    for (int i = 0; i < 100; ++i) pipeline.Add(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the consumer is blocked
    EXPECT_LE(started.load(), by_weight ? 3 + shape.helpers : 5) << by_weight;
    EXPECT_GT(started.load(), 0);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(pipeline.Take(), i * i);
  }
}

// Catches helpers that go on taking work after the run was asked to stop.
TEST(OrderedPipelineTest, AStopEndsTheHandingOutOfWork) {
  StopFlag program;
  RunScope scope(program);
  PipelineShape shape;
  shape.helpers = 2;
  shape.window = 100;
  std::atomic<int> started{0};
  IntPipeline pipeline(shape, Squares(&started, std::chrono::milliseconds(5)), scope);
  for (int i = 0; i < 100; ++i) pipeline.Add(i);
  EXPECT_EQ(pipeline.Take(), 0);
  program.Request(StopReason::kSignal);
  const int at_stop = started.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LE(started.load(), at_stop + 2);
}

// Catches an exception of one item (on a helper or the consumer) ending the program or
// taking other items with it, and a helper that cannot set up its thread failing items.
TEST(OrderedPipelineTest, ExceptionsBecomeTheirItemsFailures) {
  StopFlag program;
  RunScope scope(program);
  PipelineShape shape;
  shape.helpers = 2;
  IntPipeline::Tasks tasks = Squares();
  tasks.run = [](NoWorker&, const int& i) -> int {
    if (i % 7 == 3) throw std::runtime_error("kaputt");
    return i * i;
  };
  std::vector<std::string> whats;
  tasks.failed = [&whats](const int&, const char* what) {
    whats.push_back(what);
    return -1;
  };
  std::atomic<int> workers{0};
  tasks.make_worker = [&workers]() -> std::unique_ptr<NoWorker> {
    if (++workers == 1) throw std::bad_alloc();  // the first helper cannot start
    return std::make_unique<NoWorker>();
  };
  IntPipeline pipeline(shape, std::move(tasks), scope);
  for (int i = 0; i < 30; ++i) pipeline.Add(i);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(pipeline.Take(), i % 7 == 3 ? -1 : i * i) << i;
  EXPECT_EQ(whats, std::vector<std::string>(4, "kaputt"));
}

// Catches a waiting take that runs the item on the consumer's thread (a window then
// freezes for the item's length), ticks only once the item is done, waits forever where no
// helper was asked for, or waits for a helper that a stop keeps from starting the item.
TEST(OrderedPipelineTest, AWaitingTakeLeavesTheItemToAHelperAndTicksMeanwhile) {
  StopFlag program;
  for (int helpers : {0, 2}) {
    RunScope scope(program);
    PipelineShape shape;
    shape.helpers = helpers;
    shape.max_helpers = 2;
    shape.consumer_runs_ahead = false;
    std::atomic<bool> running{false};
    std::thread::id ran_on;
    IntPipeline::Tasks tasks = Squares();
    tasks.run = [&](NoWorker&, const int& i) {
      running = true;
      ran_on = std::this_thread::get_id();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      running = false;
      return i * i;
    };
    IntPipeline pipeline(shape, std::move(tasks), scope);
    pipeline.Add(7);
    int ticks_while_running = 0;
    EXPECT_EQ(pipeline.TakeWaiting([&] { ticks_while_running += running ? 1 : 0; },
                                   std::chrono::milliseconds(10)),
              49);
    EXPECT_NE(ran_on, std::this_thread::get_id()) << helpers;
    EXPECT_GE(ticks_while_running, 2) << helpers;
  }
  RunScope scope(program);
  PipelineShape shape;
  shape.helpers = 2;
  IntPipeline pipeline(shape, Squares(), scope);
  scope.Cancel(StopReason::kAbort);
  pipeline.Add(3);
  EXPECT_EQ(pipeline.TakeWaiting([] {}, std::chrono::milliseconds(10)), 9);
}

// Catches more threads for one burst of waits (a thread starting, a page reclaimed): two
// samples in a row must show waiting before the helpers widen.
TEST(WaitGaugeTest, OnlyTwoWaitingSamplesInARowWiden) {
  WaitGauge gauge(4);
  for (int i = 0; i < 4; ++i) gauge.Add(2);
  EXPECT_FALSE(gauge.SampleSaysWaiting());
  for (int i = 0; i < 4; ++i) gauge.Add(0);
  EXPECT_FALSE(gauge.SampleSaysWaiting());
  for (int i = 0; i < 4; ++i) gauge.Add(3);
  EXPECT_FALSE(gauge.SampleSaysWaiting()) << "one waiting sample widened";
  for (int i = 0; i < 4; ++i) gauge.Add(3);
  EXPECT_TRUE(gauge.SampleSaysWaiting());
}

// Catches a scan that lists its whole frontier ahead while the main thread waits in a box:
// the listings held ahead stay within the window.
TEST(ScanWindowTest, ABlockedWalkListsNoMoreThanItsWindowAhead) {
  MemSession s;
  s.Threads(4);
  s.state.io.scan_window = 8;
  for (int i = 0; i < 200; ++i) s.mem.AddFile("/L/d" + std::to_string(1000 + i) + "/x", "x");
  // The first folder taken (the last listed) holds an entry that cannot be read.
  s.mem.AddFile("/L/d1199/bad", "x");
  s.fs.FailWhere(FsCall::kStat, "bad", EACCES);
  int listed_while_blocked = 0;
  s.host.on_box = [&](const std::string&, Intent) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listed_while_blocked = s.fs.Count(FsCall::kOpenDir);
  };
  bool left = true;
  FillColumn(s.ctx, "/L", left);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.list.RowCount(), 200);
  // The root, the folder at its turn, and the window's worth ahead.
  EXPECT_LE(listed_while_blocked, 2 + 8 + 4);
}

// Catches a CPU count that ignores the affinity mask (taskset, a container's cpuset).
TEST(CpuCountTest, FollowsTheAffinityMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_GE(UsableCpuCount(), 1);
  EXPECT_LE(UsableCpuCount(), CPU_COUNT(&set));
}

}  // namespace
}  // namespace tavrik::testing
