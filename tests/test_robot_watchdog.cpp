// The watchdog: single checks driven by hand against real exchanges with the board simulator,
// and the threaded watchdog ending the process when the board goes silent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
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

// Nothing reads the feedback here: the watchdog must still see the link go quiet.
TEST(RobotWatchdogDeathTest, ASilentBoardEndsAProgramThatReadsNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = configPath("veltra1.yaml");
  EXPECT_EXIT(
      {
        // The board falls silent by itself, about 0.2 s after priming: this thread touches
        // nothing that exit() on the watchdog thread tears down.
        static BoardSim sim(path, {"--silent-after", "100"});
        childOutputToStderr();
        RobotSDK robot(path);
        robot.init();
        robot.start();
        std::this_thread::sleep_for(20s);  // far past the watchdog's 0.1 s
        endChild("still running 20 s after the board went silent");
      },
      testing::ExitedWithCode(1), watchdogExitPattern());
}

namespace {

bool isBrakeFrame(const RobotOnBoard& rig, const std::vector<uint8_t>& frame) {
  for (size_t i = 0; i < rig.bus().motor_num_; ++i) {
    const MotorCmd joint =
        wire::toJointSide(wireRecord(frame, i), rig.bus().gearRatios()[i], rig.bus().offsets()[i]);
    if (joint.kp != 0.0f || std::fabs(joint.kd - 0.8f) > 1e-5f || std::fabs(joint.pos) > 1e-5f) return false;
  }
  return true;
}

/// Waits (at most 10 s, for a loaded machine) until `done` holds; returns whether it does.
template <typename Condition>
bool waitFor(Condition done) {
  for (const auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(5ms))
    if (done()) return true;
  return done();
}

/// Child: a stiff callback controller and a handler that throws; the board is cut, then
/// restored. From the loss until the resume every frame must be the damping frame, the callback
/// must not run and commands must be refused; a resume while the board is silent must fail
/// naming the motors; after a resume on the restored link the callback's frames go out again.
[[noreturn]] void runLatchedBrakeThroughAnOutage() {
  childOutputToStderr();
  std::atomic<int> calls{0};
  std::atomic<int> handlerCalls{0};
  std::string fault;
  const auto note = [&fault](const std::string& what) { fault += (fault.empty() ? "" : "; ") + what; };
  {
    RobotOnBoard rig("veltra1.yaml", 0.004, [&](const RobotState& state, RobotCommand& out) {
      ++calls;
      out.pos = state.pos;
      out.kp.setConstant(20.0);
      out.kd.setConstant(1.0);
    });
    RobotSDK& robot = rig.robot();
    robot.setLinkFailureHandler([&] {
      ++handlerCalls;
      throw std::runtime_error("handler gave up");
    });
    rig.primeAndStart();
    waitFor([&] { return calls >= 20; });
    rig.sim().goSilent();
    if (!waitFor([&] { return handlerCalls > 0; })) note("the handler was never called");
    if (!robot.brakeLatch().holds(BrakeLatch::kLinkLost)) note("no link-lost brake in force");
    const size_t lostAt = rig.sim().framesReceived();
    const int callsAtLoss = calls;
    try {
      robot.resumeAfterLinkFailure();
      note("resume succeeded on a silent board");
    } catch (const LinkFailure& error) {
      if (std::string(error.what()).find("motor 9 (id 10)") == std::string::npos) note(error.what());
    }
    try {
      robot.setCommand(zeroCommand(10));
      note("a command was accepted while the link was lost");
    } catch (const LinkFailure&) {
    }
    std::this_thread::sleep_for(200ms);
    rig.sim().resume();
    std::this_thread::sleep_for(300ms);  // the link is back; the brake must still hold
    const size_t restoredUntil = rig.sim().framesReceived();
    if (calls > callsAtLoss + 1) note("the callback ran " + std::to_string(calls - callsAtLoss) + " times while braked");
    if (!waitFor([&] {
          try {
            robot.resumeAfterLinkFailure();
            return true;
          } catch (const LinkFailure&) {
            return false;
          }
        }))
      note("resume never succeeded on the restored link");
    const int callsAtResume = calls;
    waitFor([&] { return calls >= callsAtResume + 20; });
    rig.sim().waitForFrames(rig.sim().framesReceived() + 5, 5000);
    robot.stop();
    const auto frames = rig.sim().recordedFrames();
    // The frame in flight at the loss may be the controller's; every later one is the brake's.
    for (size_t k = lostAt + 1; k < restoredUntil && k < frames.size(); ++k)
      if (!isBrakeFrame(rig, frames[k])) {
        note("frame " + std::to_string(k - lostAt) + " after the loss is not the damping frame");
        break;
      }
    if (frames.empty() || isBrakeFrame(rig, frames.back())) note("after the resume the controller's frames never came back");
    if (handlerCalls != 1) note("handler called " + std::to_string(handlerCalls) + " times");
  }
  endChild(fault);
}

}  // namespace

// The brake goes on before the handler is told, stays through the outage and after the link
// returns, and only a resume on an answering board lifts it; a throwing handler is reported.
TEST(RobotWatchdogDeathTest, ALostLinkHoldsTheBrakeUntilResumedAndAThrowingHandlerIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runLatchedBrakeThroughAnOutage(), testing::ExitedWithCode(0),
              "\\[RobotSDK\\] watchdog: comm failure count 10\n(.*\n)?"
              "\\[RobotSDK\\] watchdog: comm failed, braking until resumeAfterLinkFailure\\(\\)\n(.*\n)?"
              "\\[ERROR\\] \\[RobotSDK\\] watchdog: the link failure handler threw: handler gave up; the damping "
              "brake holds\n(.*\n)?\\[RobotSDK\\] watchdog: comm restored, every motor answers again; the damping "
              "brake holds until resumeAfterLinkFailure\\(\\)\n(.*\n)?\\[RobotSDK\\] resumeAfterLinkFailure\\(\\) ends "
              "the brake for: the link to the motor board is lost; commands are accepted again\n(.*\n)?child: ok\n$");
}
