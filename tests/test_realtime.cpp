// The robot's real-time options reach its own threads and no other, a refused setting throws
// and leaves nothing running, and every SDK thread carries its name.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "flight_recorder.h"
#include "log_sink.h"
#include "realtime.h"
#include "realtime_probe.h"
#include "robot_on_board.h"
#include "thread_tasks.h"

namespace {

constexpr const char* kRobot = "veltra1.yaml";
constexpr double kControlPeriod = 0.004;
constexpr int kLinkPriority = 30;
constexpr int kControlPriority = 20;

void idleController(const RobotState&, RobotCommand&) {}

/// The one thread of this process named `name`; fails the test when there is not exactly one.
ThreadTask onlyThread(const std::string& name) {
  const std::vector<ThreadTask> named = threadsNamed(name);
  EXPECT_EQ(named.size(), 1u) << "threads named " << name;
  return named.empty() ? ThreadTask{} : named.front();
}

/// A CPU number this process may not run on.
int cpuOutsideTheSet() {
  const std::vector<int> allowed = cpusOf(0);
  int cpu = 0;
  while (std::find(allowed.begin(), allowed.end(), cpu) != allowed.end()) ++cpu;
  return cpu;
}

/// Pages locked into memory, from /proc/self/status (kB).
long lockedKilobytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmLck:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

/// Takes CAP_SYS_NICE from the calling thread (and the threads it starts) and a zero rtprio
/// limit from the process: real-time scheduling is refused from then on, as for a plain user.
bool refuseRealtimeFromHereOn() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  const rlimit none{0, 0};
  return syscall(SYS_capset, &header, data) == 0 && setrlimit(RLIMIT_RTPRIO, &none) == 0 && !fifoPermitted();
}

TEST(RealtimeOptions, EachThreadGetsItsOwnAndTheCallerKeepsItsScheduling) {
  if (!fifoPermitted(kLinkPriority)) GTEST_SKIP() << "this system refuses SCHED_FIFO (no root, CAP_SYS_NICE or rtprio)";
  const std::vector<int> allowed = cpusOf(0);
  const int linkCpu = allowed.back();
  RobotOnBoard board(kRobot, kControlPeriod, idleController);
  RealtimeOptions options;
  options.link_priority = kLinkPriority;
  options.link_cpu = linkCpu;
  options.control_priority = kControlPriority;  // the watchdog takes the link's
  board.robot().setRealtime(options);
  board.primeAndStart();

  const ThreadTask link = onlyThread("motor_comm");
  EXPECT_EQ(link.policy, SCHED_FIFO);
  EXPECT_EQ(link.priority, kLinkPriority);
  EXPECT_EQ(link.cpus, std::vector<int>{linkCpu});
  const ThreadTask control = onlyThread("motion_control");
  EXPECT_EQ(control.policy, SCHED_FIFO);
  EXPECT_EQ(control.priority, kControlPriority);
  EXPECT_EQ(control.cpus, allowed);
  const ThreadTask watchdog = onlyThread("watch_dog");
  EXPECT_EQ(watchdog.policy, SCHED_FIFO);
  EXPECT_EQ(watchdog.priority, kLinkPriority);
  EXPECT_EQ(watchdog.cpus, allowed);
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);  // the caller's thread
  EXPECT_EQ(cpusOf(0), allowed);
  board.robot().stop();
}

TEST(RealtimeOptions, LockMemoryLocksTheProcessPagesAtStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers answer mlockall without locking anything";
#endif
  RobotOnBoard board(kRobot);
  ASSERT_EQ(lockedKilobytes(), 0);
  RealtimeOptions options;
  options.lock_memory = true;
  board.robot().setRealtime(options);
  EXPECT_EQ(lockedKilobytes(), 0) << "nothing is locked before start()";
  board.primeAndStart();
  EXPECT_GT(lockedKilobytes(), 0);
  board.robot().stop();
  munlockall();
}

TEST(RealtimeOptions, WhatCanBeJudgedAtOnceIsRefusedBySetRealtime) {
  RobotOnBoard board(kRobot);
  const auto refusal = [&](const RealtimeOptions& options) -> std::string {
    try {
      board.robot().setRealtime(options);
    } catch (const RealtimeRefused& refused) {
      return refused.what();
    }
    return "";
  };
  RealtimeOptions tooHigh;
  tooHigh.link_priority = 100;
  EXPECT_NE(refusal(tooHigh).find("link_priority 100 is outside SCHED_FIFO's priorities 1-99"), std::string::npos);
  RealtimeOptions negative;
  negative.control_priority = -3;
  EXPECT_NE(refusal(negative).find("control_priority -3"), std::string::npos);
  RealtimeOptions outside;
  outside.link_cpu = cpuOutsideTheSet();
  EXPECT_NE(refusal(outside).find("CPU " + std::to_string(outside.link_cpu) + " for motor_comm (link_cpu) is outside "
                                  "the CPUs this process may run on (" + allowedCpuText() + ")"),
            std::string::npos);
  board.primeAndStart();  // the refused options were not kept
  EXPECT_EQ(onlyThread("motor_comm").policy, SCHED_OTHER);
  EXPECT_THROW(board.robot().setRealtime(RealtimeOptions{}), std::logic_error);
  board.robot().stop();
}

// The link thread starts, then the system refuses the watchdog's priority: start() throws
// saying how to allow it, and the link thread is stopped again.
std::string refusedWatchdogStopsTheLink() {
  RobotOnBoard board(kRobot);
  board.robot().init();
  if (!refuseRealtimeFromHereOn()) return "could not take real-time scheduling away";
  RealtimeOptions options;
  options.watchdog_priority = 10;
  board.robot().setRealtime(options);
  try {
    board.robot().start();
    return "start() did not throw";
  } catch (const RealtimeRefused& refused) {
    const std::string text = refused.what();
    if (text.find("SCHED_FIFO priority 10 for watch_dog was refused") == std::string::npos ||
        text.find("CAP_SYS_NICE") == std::string::npos || text.find("rtprio") == std::string::npos)
      return "unexpected message: " + text;
  }
  for (const char* name : {"motor_comm", "watch_dog"})
    if (!threadsNamed(name).empty()) return std::string(name) + " is still running";
  return "";
}

TEST(RealtimeOptionsDeathTest, ARefusalAtStartThrowsAndLeavesNothingRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        childOutputToStderr();
        endChild(refusedWatchdogStopsTheLink());
      },
      testing::ExitedWithCode(0), "child: ok");
}

TEST(ThreadNames, EverySdkThreadCarriesItsName) {
  RobotOnBoard board(kRobot, kControlPeriod, idleController);
  setLogSink([](std::string_view) {});
  board.primeAndStart();
  TempFile recording("", ".rec");
  board.robot().startRecording(recording.path());
  std::set<std::string> names;
  for (const ThreadTask& task : threadTasks()) names.insert(task.name);
  board.robot().stopRecording();
  board.robot().stop();
  setLogSink(nullptr);
  for (const char* name : {"motor_comm", "motion_control", "watch_dog", "flight_recorder", "log_sink"})
    EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace
