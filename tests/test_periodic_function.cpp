// The periodic thread: its log lines, start/stop lifecycle, the timer grid, period changes,
// CPU pinning and priority applied before the first cycle, a refused schedule thrown from
// start(), and the process exits on refused affinity or priority given to a constructor.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "capture.h"
#include "periodic_function.h"
#include "realtime_probe.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// Records when each cycle began; the work of a cycle can be given per cycle index.
class CycleLog {
 public:
  std::function<void()> cycle(std::function<void(size_t)> work = nullptr) {
    return [this, work] {
      size_t index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index = starts_.size();
        starts_.push_back(Clock::now());
      }
      changed_.notify_all();
      if (work) work(index);
    };
  }
  /// Waits (bounded) until `count` cycles have begun.
  bool waitFor(size_t count, std::chrono::seconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return starts_.size() >= count; });
  }
  std::vector<Clock::time_point> starts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> starts_;
};

double msBetween(Clock::time_point from, Clock::time_point to) { return Ms(to - from).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<double> spacings(const std::vector<Clock::time_point>& starts, size_t from, size_t to) {
  std::vector<double> result;
  for (size_t i = from + 1; i < to; ++i) result.push_back(msBetween(starts[i - 1], starts[i]));
  return result;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---------------------------------------------------------------------------------------------
// Log lines and lifecycle

TEST(PeriodicFunctionLines, StartAndStopLinesInOrder) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction comm(0.0021f, "motor_comm", log.cycle(), -1);
  comm.start();
  ASSERT_TRUE(log.waitFor(3));
  comm.stop();
  EXPECT_EQ(capture.finish(),
            "[PeriodicFunction] Start motor_comm (0 s, 2 ms)\n"
            "[PeriodicFunction] Waiting for motor_comm to stop...\n"
            "[PeriodicFunction] motor_comm has stopped!\n"
            "[PeriodicFunction] Done!\n");
}

TEST(PeriodicFunctionLines, WholeSecondsAndMillisecondsOfALongPeriod) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction slow(1.5f, "slow", log.cycle(), 0);
  slow.start();
  ASSERT_TRUE(log.waitFor(1));
  slow.stop();  // waits out the rest of one period
  const std::string out = capture.finish();
  EXPECT_NE(out.find("[PeriodicFunction] Start slow (1 s, 500 ms)\n"), std::string::npos) << out;
  EXPECT_EQ(log.count(), 1u);
}

TEST(PeriodicFunctionLines, SecondStopAndSecondStartOnlyPrint) {
  CycleLog log;
  PeriodicFunction task(0.005f, "twice", log.cycle(), -1);
  {
    StdoutCapture capture;
    task.stop();
    EXPECT_EQ(capture.finish(), "[PeriodicFunction] Tried to stop twice but it wasn't running!\n");
  }
  task.start();
  ASSERT_TRUE(log.waitFor(1));
  {
    StdoutCapture capture;
    task.start();
    EXPECT_EQ(capture.finish(), "[PeriodicTask] Tried to start twice but it was already running!\n");
  }
  EXPECT_TRUE(task.isRunning());
  task.stop();
  EXPECT_FALSE(task.isRunning());
  StdoutCapture capture;
  task.stop();
  EXPECT_EQ(capture.finish(), "[PeriodicFunction] Tried to stop twice but it wasn't running!\n");
}

TEST(PeriodicFunctionLifecycle, RestartsAfterStopWithANewThread) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction task(0.006f, "again", log.cycle(), -1);
  task.start();
  ASSERT_TRUE(log.waitFor(2));
  task.stop();
  const size_t afterFirstRun = log.count();
  task.start();
  ASSERT_TRUE(log.waitFor(afterFirstRun + 2));
  task.stop();
  const std::string out = capture.finish();
  EXPECT_EQ(countOf(out, "[PeriodicFunction] Start again (0 s, 6 ms)\n"), 2u);
  EXPECT_EQ(countOf(out, "[PeriodicFunction] again has stopped!\n"), 2u);
  EXPECT_EQ(countOf(out, "[PeriodicFunction] Done!\n"), 2u);
}

TEST(PeriodicFunctionLifecycle, NoCycleRunsAfterStopReturns) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction task(0.002f, "quiet", log.cycle(), -1);
  task.start();
  ASSERT_TRUE(log.waitFor(3));
  task.stop();
  const size_t atStop = log.count();
  sleepMs(20);
  EXPECT_EQ(log.count(), atStop);
}

TEST(PeriodicFunctionLifecycle, DestroyingARunningFunctionStopsAndJoinsIt) {
  CycleLog log;
  StdoutCapture capture;
  {
    auto task = std::make_unique<PeriodicFunction>(0.003f, "owned", log.cycle(), -1);
    task->start();
    ASSERT_TRUE(log.waitFor(2));
  }  // a joinable thread destroyed here would terminate the process
  const size_t afterDestruction = log.count();
  sleepMs(15);
  EXPECT_EQ(log.count(), afterDestruction);
  const std::string out = capture.finish();
  EXPECT_NE(out.find("[PeriodicFunction] Waiting for owned to stop...\n"
                     "[PeriodicFunction] owned has stopped!\n"
                     "[PeriodicFunction] Done!\n"),
            std::string::npos)
      << out;
}

TEST(PeriodicFunctionLifecycle, AFunctionMayStopItsOwnLoop) {
  // As when its work ends the process and a static owner is destroyed on the loop thread: the
  // loop cannot wait for itself; it ends after its current cycle and is joined later.
  StdoutCapture capture;
  std::atomic<int> cycles{0};
  std::unique_ptr<PeriodicFunction> task;
  task = std::make_unique<PeriodicFunction>(0.01f, "self_stop", [&] {
    if (cycles++ == 0) task->stop();
  }, -1);
  task->start();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several periods: the loop is gone
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(cycles.load(), 1);
  task.reset();
  const std::string out = capture.finish();
  EXPECT_NE(out.find("[PeriodicFunction] self_stop has stopped!"), std::string::npos) << out;
}

TEST(PeriodicFunctionLifecycle, DestroyingAStoppedOrNeverStartedFunctionPrintsNothing) {
  CycleLog log;
  StdoutCapture capture;
  { PeriodicFunction idle(0.01f, "idle", log.cycle(), -1); }
  EXPECT_EQ(capture.finish(), "");
  EXPECT_EQ(log.count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The timer grid (periods are large so that a noisy machine's wake-up delays stay small)

TEST(PeriodicFunctionGrid, FirstCycleAtOnceThenOnWholePeriodsDespiteWork) {
  // Long enough that a busy machine's wake-up delays (tens of ms) stay well inside the slack.
  constexpr double kPeriodMs = 250.0;
  constexpr double kWorkMs = 100.0;
  constexpr size_t kCycles = 6;
  CycleLog log;
  StdoutCapture capture;
  // 100 ms of work per cycle: a loop that slept one period after each cycle would drift by
  // 100 ms per cycle and be 200 ms off the grid by the third cycle; on the grid, each cycle is
  // only as late as its own wake-up, which never adds up.
  PeriodicFunction task(static_cast<float>(kPeriodMs / 1000.0), "grid",
                        log.cycle([](size_t) { sleepMs(static_cast<int>(kWorkMs)); }), -1);
  const auto calledStart = Clock::now();
  task.start();
  ASSERT_TRUE(log.waitFor(kCycles));
  task.stop();
  const auto starts = log.starts();

  EXPECT_LT(msBetween(calledStart, starts[0]), kPeriodMs / 2) << "the first cycle runs without waiting a period";
  for (size_t i = 1; i < kCycles; ++i) {
    const double offset = msBetween(starts[0], starts[i]) - i * kPeriodMs;
    EXPECT_GT(offset, -3.0) << "cycle " << i << " began before its grid point";
    EXPECT_LT(offset, 2 * kWorkMs) << "cycle " << i << " left the grid";
  }
}

TEST(PeriodicFunctionGrid, ALongCycleYieldsOneImmediateCycleThenReturnsToTheGrid) {
  // Long enough that a busy machine's wake-up delays (tens of ms) stay well inside the slack.
  constexpr double kPeriodMs = 250.0;
  constexpr double kSlackMs = 100.0;
  CycleLog log;
  StdoutCapture capture;
  // The first cycle takes 2.5 periods: the expirations at one and two periods collapse into a
  // single cycle right after it, and the cycle after that waits for three periods.
  PeriodicFunction task(static_cast<float>(kPeriodMs / 1000.0), "long", log.cycle([](size_t index) {
                          if (index == 0) sleepMs(static_cast<int>(2.5 * kPeriodMs));
                        }),
                        -1);
  task.start();
  ASSERT_TRUE(log.waitFor(4));
  task.stop();
  const auto starts = log.starts();

  const double second = msBetween(starts[0], starts[1]);
  EXPECT_GE(second, 2.5 * kPeriodMs - 1.0);
  EXPECT_LT(second, 3 * kPeriodMs - 5.0) << "the pending expirations start the next cycle at once";
  const double third = msBetween(starts[0], starts[2]);
  EXPECT_GT(third, 3 * kPeriodMs - 3.0) << "the missed expiration is not made up";
  EXPECT_LT(third, 3 * kPeriodMs + kSlackMs);
  const double fourth = msBetween(starts[0], starts[3]);
  EXPECT_GT(fourth, 4 * kPeriodMs - 3.0);
  EXPECT_LT(fourth, 4 * kPeriodMs + kSlackMs);
}

TEST(PeriodicFunctionGrid, SetPeriodPrintsTheResetLineAndChangesTheSpacing) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction task(0.01f, "pace", log.cycle(), -1);
  task.start();
  ASSERT_TRUE(log.waitFor(6));
  task.setPeriod(0.05f);
  EXPECT_FLOAT_EQ(task.period(), 0.05f);
  const size_t atChange = log.count();
  ASSERT_TRUE(log.waitFor(atChange + 6));
  task.stop();
  const std::string out = capture.finish();
  const auto starts = log.starts();

  EXPECT_EQ(countOf(out, "pace [PeriodicFunction] reset period: 0.05\n"), 1u) << out;
  EXPECT_LT(median(spacings(starts, 0, atChange - 1)), 30.0);
  // One cycle may still be on the old grid when the change lands.
  EXPECT_GT(median(spacings(starts, atChange + 1, starts.size())), 40.0);
}

TEST(PeriodicFunctionGrid, PeriodsThatArmNoTimerAreRefused) {
  // Each truncates to a zero (or negative) timer setting, which would disarm the timer and
  // leave stop() waiting for ever.
  for (float period : {0.0f, -0.002f, NAN, 1e-10f, 1e-9f, 3e9f}) {
    EXPECT_THROW(PeriodicFunction(period, "never", [] {}, -1), std::invalid_argument) << period;
    EXPECT_THROW(PeriodicFunction(period, "never", [] {}, 0, -1), std::invalid_argument) << period;
    PeriodicFunction task(0.01f, "kept", [] {}, -1);
    EXPECT_THROW(task.setPeriod(period), std::invalid_argument) << period;
    EXPECT_FLOAT_EQ(task.period(), 0.01f);
  }
  PeriodicFunction shortest(2e-9f, "shortest", [] {}, -1);  // two whole nanoseconds arm a timer
}

// ---------------------------------------------------------------------------------------------
// CPU and scheduling

struct ThreadObservation {
  int cpu = -1;
  bool onlyCpu0 = false;
  int policy = -1;
};

ThreadObservation observeThisThread() {
  ThreadObservation seen;
  seen.cpu = sched_getcpu();
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (pthread_getaffinity_np(pthread_self(), sizeof(cpus), &cpus) == 0)
    seen.onlyCpu0 = CPU_COUNT(&cpus) == 1 && CPU_ISSET(0, &cpus);
  sched_param param{};
  pthread_getschedparam(pthread_self(), &seen.policy, &param);
  return seen;
}

// Records what each cycle sees once the test says the settings are in place.
class ThreadWatch {
 public:
  std::function<void()> cycle() {
    return [this] {
      if (!armed_) return;
      const ThreadObservation seen = observeThisThread();
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(seen);
    };
  }
  void arm() { armed_ = true; }
  std::vector<ThreadObservation> waitForObservations(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (seen_.size() >= count) return seen_;
      }
      sleepMs(5);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  std::atomic<bool> armed_{false};
  std::mutex mutex_;
  std::vector<ThreadObservation> seen_;
};

TEST(PeriodicFunctionScheduling, FiveArgumentFormPinsTheThreadToItsCpu) {
  ThreadWatch watch;
  StdoutCapture capture;
  PeriodicFunction pinned(0.003f, "pinned", watch.cycle(), 0, -1);
  pinned.start();
  watch.arm();  // the affinity is applied before start() returns
  const auto seen = watch.waitForObservations(5);
  pinned.stop();
  ASSERT_GE(seen.size(), 5u);
  for (const auto& cycle : seen) {
    EXPECT_EQ(cycle.cpu, 0);
    EXPECT_TRUE(cycle.onlyCpu0);
  }
  EXPECT_EQ(capture.finish().find("Error"), std::string::npos);
}

TEST(PeriodicFunctionScheduling, PriorityZeroOrBelowLeavesSchedulingAlone) {
  for (int priority : {0, -1}) {
    ThreadWatch watch;
    StdoutCapture capture;
    PeriodicFunction plain(0.003f, "plain", watch.cycle(), priority);
    plain.start();
    watch.arm();
    const auto seen = watch.waitForObservations(3);
    plain.stop();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.back().policy, SCHED_OTHER) << "priority " << priority;
    EXPECT_EQ(capture.finish().find("priority of thread"), std::string::npos) << "priority " << priority;
  }
}

TEST(PeriodicFunctionScheduling, AScheduleIsInPlaceBeforeTheFirstCycle) {
  ThreadWatch watch;
  watch.arm();  // from the very first cycle on
  StdoutCapture capture;
  PeriodicFunction pinned(0.003f, "pinned", watch.cycle(), -1);
  ThreadSchedule schedule;
  schedule.bindCpu = true;
  schedule.cpu = 0;
  schedule.touchStack = true;
  pinned.setSchedule(schedule);
  pinned.start();
  const auto seen = watch.waitForObservations(1);
  pinned.stop();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().cpu, 0);
  EXPECT_TRUE(seen.front().onlyCpu0);
}

TEST(PeriodicFunctionScheduling, ARefusedScheduleThrowsFromStartRunsNoCycleAndCanBeReplaced) {
  CycleLog log;
  StdoutCapture capture;
  PeriodicFunction refused(0.003f, "refused", log.cycle(), -1);
  ThreadSchedule outside;
  outside.bindCpu = true;
  outside.cpu = 5000;
  refused.setSchedule(outside);
  try {
    refused.start();
    ADD_FAILURE() << "start() did not throw";
  } catch (const RealtimeRefused& refusal) {
    EXPECT_EQ(refusal.setting(), RealtimeRefused::Setting::Cpu);
    EXPECT_NE(std::string(refusal.what()).find("CPU 5000 for refused"), std::string::npos) << refusal.what();
  }
  EXPECT_FALSE(refused.isRunning());
  EXPECT_EQ(log.count(), 0u);
  refused.setSchedule(ThreadSchedule{});
  refused.start();
  EXPECT_TRUE(log.waitFor(2));
  EXPECT_THROW(refused.setSchedule(outside), std::logic_error);
  refused.stop();
  EXPECT_EQ(countOf(capture.finish(), "[PeriodicFunction] Start refused"), 1u) << "only the second start began";
}

// The process-ending paths run in a child; its standard output is sent to standard error so
// the death test can match the printed lines.
class PeriodicFunctionExit : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  static void sendStdoutToStderr() { dup2(STDERR_FILENO, STDOUT_FILENO); }
};

TEST_F(PeriodicFunctionExit, CpuOutsideTheSetEndsTheProcess) {
  for (int cpu : {-1, 5000}) {
    EXPECT_EXIT(
        {
          sendStdoutToStderr();
          PeriodicFunction bad(0.01f, "bad_cpu", [] {}, cpu, -1);
          bad.start();
          bad.stop();
        },
        testing::ExitedWithCode(254), "Error: Set affinity failed\\.")
        << "cpu " << cpu;
  }
}

TEST_F(PeriodicFunctionExit, PositivePriorityPrintsItsLineAndGivesFifoOrEndsTheProcess) {
  if (fifoPermitted()) {
    // The child reports through its status whether its cycles ran under SCHED_FIFO.
    EXPECT_EXIT(
        {
          sendStdoutToStderr();
          ThreadWatch watch;
          PeriodicFunction rt(0.003f, "rt", watch.cycle(), 1);
          rt.start();
          watch.arm();
          const auto seen = watch.waitForObservations(3);
          rt.stop();
          const bool fifo = !seen.empty() && std::all_of(seen.begin(), seen.end(), [](const ThreadObservation& s) {
            return s.policy == SCHED_FIFO;
          });
          std::fflush(nullptr);
          _exit(fifo ? 0 : 1);
        },
        testing::ExitedWithCode(0), "priority of thread rt is 1\n");
  } else {
    EXPECT_EXIT(
        {
          sendStdoutToStderr();
          PeriodicFunction rt(0.003f, "rt", [] {}, 1);
          rt.start();
          rt.stop();
        },
        testing::ExitedWithCode(254), "priority of thread rt is 1\nError: Set priority failed\\.");
  }
}

}  // namespace
