// The watchdog: single checks driven by hand against real exchanges with the board simulator,
// and the threaded watchdog ending the process when the board goes silent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "capture.h"
#include "robot_on_board.h"

using namespace std::chrono_literals;

// Runs one watchdog check at a time, in place of the 10 ms thread.
class RobotSDKWatchdogProbe {
 public:
  explicit RobotSDKWatchdogProbe(RobotSDK& robot) : robot_(robot) {}
  /// One check; returns what it printed.
  std::string check() {
    StdoutCapture capture;
    robot_._watchDog();
    return capture.finish();
  }
  int failures() const { return robot_.comm_fail_count_; }
  /// True when the last read found an answer from the board for every motor (a missing
  /// reply decodes as status 0).
  bool boardAnswered() const {
    for (const MotorState& motor : robot_.motor_states_)
      if (motor.status == 0) return false;
    return true;
  }

 private:
  RobotSDK& robot_;
};

namespace {

/// What the link thread and a polling caller do once: one exchange, one state read.
void exchangeAndRead(RobotSDK& robot) {
  RobotState state;
  StdoutCapture quiet;  // a silent board makes the port and the decoder warn
  robot.motor_sdk_.sendRecvMT();
  robot.getState(state);
}

/// Exchanges until a reply arrived in time (a busy machine can miss the 2 ms receive timeout).
void readAnsweredFeedback(RobotSDK& robot, const RobotSDKWatchdogProbe& probe) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    exchangeAndRead(robot);
    if (probe.boardAnswered()) return;
    std::this_thread::sleep_for(5ms);
  }
  FAIL() << "the board never answered in time";
}

std::string countLine(int count) { return "[RobotSDK] watchdog: comm failure count " + std::to_string(count) + "\n"; }

}  // namespace

TEST(RobotWatchdog, NineBadChecksThenAGoodOneStartTheCountAgain) {
  RobotOnBoard rig("veltra1.yaml");
  RobotSDK& robot = rig.robot();
  {
    StdoutCapture quiet;
    robot.init();
  }
  RobotSDKWatchdogProbe probe(robot);
  readAnsweredFeedback(robot, probe);
  EXPECT_EQ(probe.check(), "");

  for (int round = 0; round < 2; ++round) {
    rig.sim().goSilent();
    std::this_thread::sleep_for(50ms);
    exchangeAndRead(robot);
    for (int count = 1; count <= 9; ++count) {
      const std::string out = probe.check();
      EXPECT_EQ(countOf(out, "[RobotSDK] watchdog: COMM ERROR motor id "), 10u) << out;
      EXPECT_NE(out.find("[RobotSDK] watchdog: COMM ERROR motor id 0 cStatus 0\n"), std::string::npos)
          << "a missing reply decodes as zero records, id included\n" << out;
      EXPECT_NE(out.find(countLine(count)), std::string::npos) << out;
    }
    EXPECT_EQ(probe.failures(), 9);

    rig.sim().resume();
    readAnsweredFeedback(robot, probe);
    EXPECT_EQ(probe.check(), "");
    EXPECT_EQ(probe.failures(), 0);
  }
}

TEST(RobotWatchdog, FailingMotorsAreNamedAndCountOncePerCheck) {
  RobotOnBoard rig("veltra1.yaml", {"--motor-error", "3:5", "--motor-error", "7:2"});
  RobotSDK& robot = rig.robot();
  {
    StdoutCapture quiet;
    // Priming refuses motors that never answered validly; the robot may still exchange.
    EXPECT_THROW(robot.init(), std::runtime_error);
  }
  RobotSDKWatchdogProbe probe(robot);
  readAnsweredFeedback(robot, probe);
  const std::string out = probe.check();
  EXPECT_EQ(out,
            "[RobotSDK] watchdog: COMM ERROR motor id 4 cStatus 5\n"
            "[RobotSDK] watchdog: COMM ERROR motor id 8 cStatus 2\n" +
                countLine(1));
  EXPECT_EQ(probe.failures(), 1);
}

TEST(RobotWatchdog, ARobotWithoutMotorsNeverFails) {
  std::string text = shippedConfigText("zenthi.yaml");
  text = withTopLevelKey(text, "motor_num", "0");
  const size_t joints = text.find("joint_config:");
  const size_t imu = text.find("imu_intrinsics:");
  text.replace(joints, imu - joints,
               "joint_config:\n  abs_id: []\n  motor_id: []\n  motor_type: []\n  gr: []\n  offset: []\n"
               "  jpos_min: []\n  jpos_max: []\n\n");
  const TempFile config(text);
  StdoutCapture quiet;
  RobotSDK robot(config.path());
  quiet.finish();
  RobotSDKWatchdogProbe probe(robot);
  for (int check = 0; check < 12; ++check) EXPECT_EQ(probe.check(), "");
  EXPECT_EQ(probe.failures(), 0);
}

// In polling style the watchdog judges the copy the caller read last, so the child keeps
// reading. The board is created inside the child (a static, so exit() stops it).
TEST(RobotWatchdogDeathTest, ASilentBoardEndsTheProcessAfterTenFailingChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = configPath("veltra1.yaml");
  EXPECT_EXIT(
      {
        static BoardSim sim(path);
        childOutputToStderr();
        RobotSDK robot(path);
        robot.init();
        robot.start();
        RobotState state;
        for (int cycle = 0;; ++cycle) {
          if (cycle == 50) sim.goSilent();
          robot.getState(state);
          std::this_thread::sleep_for(2ms);
        }
      },
      testing::ExitedWithCode(1), watchdogExitPattern());
}

namespace {

/// Child: a polling robot with a link failure handler; the board is cut once the link runs and
/// restored after five times the watchdog's patience. Ends with status 0 and "child: ok" when
/// the handler was called exactly once.
[[noreturn]] void runCutLinkWithHandler(const std::string& path) {
  static BoardSim sim(path);
  childOutputToStderr();
  std::atomic<int> handlerCalls{0};
  std::string fault;
  {
    RobotSDK robot(path);
    robot.setLinkFailureHandler([&] { ++handlerCalls; });
    robot.init();
    robot.start();
    RobotState state;
    const auto pollFor = [&](std::chrono::milliseconds duration) {
      for (const auto end = std::chrono::steady_clock::now() + duration; std::chrono::steady_clock::now() < end;
           std::this_thread::sleep_for(2ms))
        robot.getState(state);
    };
    pollFor(200ms);
    sim.goSilent();
    for (int waited = 0; handlerCalls == 0 && waited < 100; ++waited) pollFor(100ms);
    pollFor(300ms);  // thirty more failing checks
    if (handlerCalls != 1) fault = "handler called " + std::to_string(handlerCalls) + " times during the cut";
    sim.resume();
    pollFor(500ms);
    robot.stop();
  }
  if (fault.empty() && handlerCalls != 1) fault = "handler called again after the link came back";
  endChild(fault);
}

}  // namespace

// With a handler the tenth failing check calls it instead of ending the process, and the link
// is used again once the board answers.
TEST(RobotWatchdogDeathTest, ACutLinkCallsTheHandlerOnceAndIsUsedAgainWhenRestored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runCutLinkWithHandler(configPath("veltra1.yaml")), testing::ExitedWithCode(0),
              "\\[RobotSDK\\] watchdog: comm failure count 10\n(.*\n)?"
              "\\[RobotSDK\\] watchdog: comm failed, EXIT \n(.*\n)?"
              "\\[RobotSDK\\] watchdog: the link failure handler was called instead[^\n]*\n"
              "(.*\n)?\\[RobotSDK\\] watchdog: comm restored, every motor answers again\n"
              "(.*\n)?child: ok\n$");
}
