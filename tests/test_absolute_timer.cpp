// The clock functions and the pacing timer: on-time waits, over-run warnings, the zero period,
// the timer setting split, and the report of a refused timer descriptor.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <sstream>
#include <system_error>
#include <thread>

#include "absolute_timer.h"
#include "capture.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(Clock, SecondsAreTheMicrosecondClockScaled) {
  const int64_t micros = getSystemTime();
  const double seconds = getTimeSecond();
  EXPECT_NEAR(seconds, static_cast<double>(micros) * 1e-6, 0.05);
  EXPECT_GE(seconds, static_cast<double>(micros) * 1e-6);
  // Wall clock, in microseconds since the epoch.
  EXPECT_NEAR(static_cast<double>(micros) * 1e-6, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(IntervalTimerSpec, SplitsIntoWholeSecondsAndNanosecondsForBothFields) {
  const itimerspec long_ = intervalTimerSpec(1.5);
  EXPECT_EQ(long_.it_interval.tv_sec, 1);
  EXPECT_EQ(long_.it_interval.tv_nsec, 500000000);
  EXPECT_EQ(long_.it_value.tv_sec, 1);
  EXPECT_EQ(long_.it_value.tv_nsec, 500000000);
  const itimerspec comm = intervalTimerSpec(0.0021f);  // the float period of the bus thread
  EXPECT_EQ(comm.it_interval.tv_sec, 0);
  EXPECT_EQ(comm.it_interval.tv_nsec / 1000000, 2);
  EXPECT_NEAR(comm.it_interval.tv_nsec, 2100000, 1);
}

TEST(AbsoluteTimer, ZeroPeriodReturnsAtOnceEveryTime) {
  AbsoluteTimer timer(0.0);
  StdoutCapture capture;
  const auto before = Clock::now();
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(timer.wait());  // even without start()
  EXPECT_LT(msSince(before), 500.0);
  EXPECT_EQ(capture.finish(), "");
}

// Periods of a quarter and a tenth of a second: a busy machine may hold a thread off the CPU
// for tens of ms, which in a 10 ms period would be an overrun the timer rightly reports.
TEST(AbsoluteTimer, WaitEndsWhenThePeriodHasPassedSinceStart) {
  AbsoluteTimer timer(0.25);
  StdoutCapture capture;
  const auto periodBegan = Clock::now();
  timer.start();
  sleepMs(30);
  const auto workDone = Clock::now();
  const double workMs = msSince(periodBegan);
  EXPECT_TRUE(timer.wait());
  EXPECT_GE(msSince(periodBegan), 249.9);
  // The wait makes up whatever the work left of the period (the sleep may overshoot on a busy machine).
  EXPECT_GE(msSince(workDone), 250.0 - workMs - 0.1);
  EXPECT_LT(msSince(periodBegan), 750.0);
  EXPECT_EQ(capture.finish(), "");
}

TEST(AbsoluteTimer, EachWaitBeginsTheNextPeriod) {
  AbsoluteTimer timer(0.1);
  StdoutCapture capture;
  const auto began = Clock::now();
  timer.start();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(timer.wait());
  EXPECT_GE(msSince(began), 499.5);
  EXPECT_LT(msSince(began), 1500.0);
  EXPECT_EQ(capture.finish(), "");
}

// Splits captured output into its lines.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "The program has already cost 5.1234ms." -> 5.1234
double costOf(const std::string& line) {
  const std::string head = "The program has already cost ";
  EXPECT_EQ(line.rfind(head, 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 3), "ms.") << line;
  return std::stod(line.substr(head.size(), line.size() - head.size() - 3));
}

TEST(AbsoluteTimer, OverrunWarnsAndReturnsFalseUntilRestarted) {
  AbsoluteTimer timer(0.002);
  timer.start();
  sleepMs(5);
  {
    StdoutCapture capture;
    EXPECT_FALSE(timer.wait());
    const auto lines = linesOf(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[WARNING] The wait time 2ms of AbsoluteTimer is not enough!");
    const double cost = costOf(lines[1]);
    EXPECT_GE(cost, 5.0);
    EXPECT_LT(cost, 200.0);
  }
  {
    StdoutCapture capture;  // the period was not restarted, so the next wait warns again
    EXPECT_FALSE(timer.wait());
    const auto lines = linesOf(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[WARNING] The wait time 2ms of AbsoluteTimer is not enough!");
    EXPECT_GE(costOf(lines[1]), 5.0);
  }
  StdoutCapture capture;
  timer.start();
  EXPECT_TRUE(timer.wait());
  EXPECT_EQ(capture.finish(), "");
}

TEST(AbsoluteTimerDeathTest, RefusedDescriptorIsReportedAndThrown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // With no descriptors left the kernel refuses the timer; the child tells by its status
  // whether the constructor threw the matching error.
  EXPECT_EXIT(
      {
        rlimit none{};
        setrlimit(RLIMIT_NOFILE, &none);
        try {
          AbsoluteTimer timer(0.01);
        } catch (const std::system_error& error) {
          _exit(error.code().value() == EMFILE ? 3 : 4);  // no exit handlers: a leak checker would need descriptors
        }
        std::exit(5);
      },
      testing::ExitedWithCode(3), "\\[ERROR\\] AbsoluteTimer, timerfd_create failed: Too many open files");
}

}  // namespace
