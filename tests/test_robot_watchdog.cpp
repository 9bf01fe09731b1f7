// The watchdog: its judgement driven check by check with hand-made health, and the threaded
// watchdog ending the process (or braking) when the board simulator goes silent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "link_watchdog.h"
#include "robot_on_board.h"

using namespace std::chrono_literals;

namespace {

constexpr size_t kMotors = 10;

/// A watchdog for ten motors fed by hand, check by check, as the 10 ms thread feeds it.
class WatchdogChecks : public testing::Test {
 protected:
  /// Every motor answers validly (ids 1 to 10) in a reply that arrived since the last check.
  std::vector<MotorSDK::MotorHealth> answered() {
    ++completeReplies_;
    std::vector<MotorSDK::MotorHealth> health(kMotors);
    for (size_t i = 0; i < kMotors; ++i) health[i] = {kStatusValid, static_cast<uint8_t>(i + 1)};
    return health;
  }
  /// A silent board: no new reply, and the missing reply reads as zero records, id included.
  static std::vector<MotorSDK::MotorHealth> silent() { return std::vector<MotorSDK::MotorHealth>(kMotors); }

  /// One check; returns what it printed.
  std::string check(const std::vector<MotorSDK::MotorHealth>& health) {
    StdoutCapture capture;
    verdict_ = watchdog_.check(health, completeReplies_);
    watchdog_.report();
    return capture.finish();
  }

  LinkWatchdog watchdog_{kMotors};
  LinkWatchdog::Verdict verdict_ = LinkWatchdog::Verdict::kPassed;
  uint64_t completeReplies_ = 0;
};

std::string countLine(int count) { return "[RobotSDK] watchdog: comm failure count " + std::to_string(count) + "\n"; }

}  // namespace

TEST_F(WatchdogChecks, NineBadChecksThenAGoodOneStartTheCountAgain) {
  EXPECT_EQ(check(answered()), "");
  for (int round = 0; round < 2; ++round) {
    for (int count = 1; count <= 9; ++count) {
      const std::string out = check(silent());
      EXPECT_EQ(countOf(out, "[RobotSDK] watchdog: COMM ERROR motor id "), 10u) << out;
      EXPECT_NE(out.find("[RobotSDK] watchdog: COMM ERROR motor id 0 cStatus 0\n"), std::string::npos)
          << "a missing reply decodes as zero records, id included\n" << out;
      EXPECT_NE(out.find(countLine(count)), std::string::npos) << out;
    }
    EXPECT_EQ(watchdog_.failures(), 9);

    EXPECT_EQ(check(answered()), "");
    EXPECT_EQ(watchdog_.failures(), 0);
  }
}

TEST_F(WatchdogChecks, FailingMotorsAreNamedAndCountOncePerCheck) {
  std::vector<MotorSDK::MotorHealth> health = answered();
  health[3] = {5, 4};
  health[7] = {2, 8};
  const std::string out = check(health);
  EXPECT_EQ(out,
            "[RobotSDK] watchdog: COMM ERROR motor id 4 cStatus 5\n"
            "[RobotSDK] watchdog: COMM ERROR motor id 8 cStatus 2\n" +
                countLine(1));
  EXPECT_EQ(watchdog_.failures(), 1);
  ASSERT_EQ(watchdog_.failedMotors().size(), 2u);
  EXPECT_EQ(watchdog_.failedMotors()[1].index, 7u);
}

TEST_F(WatchdogChecks, ARobotWithoutMotorsNeverFails) {
  LinkWatchdog none(0);
  for (int round = 0; round < 12; ++round) {
    StdoutCapture capture;
    EXPECT_EQ(none.check({}, 0), LinkWatchdog::Verdict::kPassed);
    none.report();
    EXPECT_EQ(capture.finish(), "");
  }
  EXPECT_EQ(none.failures(), 0);
}

// Valid records in a reply that is not new still fail the check: the board stopped answering.
// The tenth such check loses the link once; the watchdog then stays quiet until every motor
// answers again, and counts afresh after that.
TEST_F(WatchdogChecks, TenChecksWithoutANewReplyLoseTheLinkUntilEveryMotorAnswersAgain) {
  const std::vector<MotorSDK::MotorHealth> stale = answered();
  EXPECT_EQ(check(stale), "");
  for (int count = 1; count <= 10; ++count) {
    EXPECT_EQ(check(stale), "[RobotSDK] watchdog: no complete reply from the board since the last check\n" +
                                countLine(count));
    EXPECT_EQ(verdict_, count < 10 ? LinkWatchdog::Verdict::kFailing : LinkWatchdog::Verdict::kLost) << count;
  }
  EXPECT_EQ(check(silent()), "");
  EXPECT_EQ(verdict_, LinkWatchdog::Verdict::kStillLost);
  EXPECT_EQ(check(answered()), "");
  EXPECT_EQ(verdict_, LinkWatchdog::Verdict::kRestored);
  EXPECT_EQ(watchdog_.failures(), 0);
  EXPECT_NE(check(silent()).find(countLine(1)), std::string::npos);
  EXPECT_EQ(verdict_, LinkWatchdog::Verdict::kFailing);
}

// In polling style the watchdog judges the copy the caller read last, so the child keeps
// reading. The board is created inside the child (a static, so exit() stops it).
TEST(RobotWatchdogDeathTest, ASilentBoardEndsTheProcessAfterTenFailingChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = configPath("veltra1.yaml");
  EXPECT_EXIT(
      {
        static BoardSim sim(path, onLoopback());
        childOutputToStderr();
        RobotSDK robot(path, sim.loopbackLink());
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
        static BoardSim sim(path, onLoopback({"--silent-after", "100"}));
        childOutputToStderr();
        RobotSDK robot(path, sim.loopbackLink());
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
