// The robot layer against a misbehaving board: lost, late, cut, padded, doubled, stale and
// foreign replies, a motor reporting an error, and silences shorter and longer than the
// watchdog allows. A polling controller holds every joint at a target and ramps joint 0; it
// must never see a joint leave its target (a lost reply keeps the last good values), the
// process must end only under sustained failure, and the board must receive the commands in
// the order they were posted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "robot_on_board.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A zenthi robot maps every joint one to one, so the targets are the motors' own positions.
const char* const kConfig = "zenthi.yaml";
constexpr double kStiffness = 20.0;   // joint side; with the board's inertia this settles in ~0.3 s
constexpr double kDamping = 1.0;
constexpr double kTolerance = 0.1;    // rad; a lost reply reading as zero is off by far more
constexpr double kRampJoint0 = 0.05;  // rad that joint 0 climbs while the faults act
constexpr double kGravity = 9.81;
constexpr auto kPollPause = 1ms;
constexpr auto kSettleLimit = 4s;
constexpr auto kDeliveryLimit = 3s;

/// Each joint held at 70 % of its range: no target is zero, and every one is inside the limits.
Eigen::VectorXd holdingTargets(const MotorSDK& bus) {
  const size_t n = bus.motor_num_;
  Eigen::VectorXd targets(n);
  for (size_t i = 0; i < n; ++i) targets[i] = bus.jointMin()[i] + 0.7 * (bus.jointMax()[i] - bus.jointMin()[i]);
  return targets;
}

RobotCommand holdingCommand(const Eigen::VectorXd& targets) {
  RobotCommand command = zeroCommand(static_cast<int>(targets.size()));
  command.pos = targets;
  command.kp.setConstant(kStiffness);
  command.kd.setConstant(kDamping);
  return command;
}

/// What is wrong with one reading, or "" when every joint is where it is held and the IMU
/// still sees gravity.
std::string readingFault(const RobotState& state, const Eigen::VectorXd& expected, double tolerance) {
  std::ostringstream fault;
  for (Eigen::Index i = 0; i < expected.size(); ++i)
    if (!(std::fabs(state.pos[i] - expected[i]) < tolerance))
      fault << "joint " << i << " read " << state.pos[i] << " while held at " << expected[i] << "; ";
  if (!(std::fabs(state.acc[2] - kGravity) < 0.5)) fault << "IMU acceleration z read " << state.acc[2] << "; ";
  if (!(std::fabs(state.quat[0] - 1.0) < 0.05)) fault << "IMU quaternion w read " << state.quat[0] << "; ";
  return fault.str();
}

/// The robot, primed and running while this object lives, polled by the test thread.
class PolledRobot {
 public:
  explicit PolledRobot(RobotSDK& robot) : robot_(robot) {
    robot_.init();
    robot_.start();
    targets_ = holdingTargets(robot_.motor_sdk_);
    command_ = holdingCommand(targets_);
    state_.zero(robot_.motor_sdk_.motor_num_);
  }
  ~PolledRobot() { robot_.stop(); }

  /// Holds the targets until every reading is on them; false if that never happens.
  bool settle() {
    const auto deadline = Clock::now() + kSettleLimit;
    while (Clock::now() < deadline) {
      _poll();
      if (readingFault(state_, targets_, kTolerance / 4).empty()) return true;
      std::this_thread::sleep_for(kPollPause);
    }
    return false;
  }

  /// Holds the targets for `duration` while joint 0 climbs by kRampJoint0; returns the first
  /// reading that left the targets ("" if none), at once when `stopAtFault`.
  std::string holdAndRamp(std::chrono::milliseconds duration, bool stopAtFault = false) {
    const auto start = Clock::now();
    std::string firstFault;
    for (auto now = start; now - start < duration; now = Clock::now()) {
      const double done = std::chrono::duration<double>(now - start) / duration;
      command_.pos[0] = targets_[0] + kRampJoint0 * done;
      _poll();
      ++polls_;
      const std::string fault = readingFault(state_, command_.pos, kTolerance);
      if (firstFault.empty() && !fault.empty()) {
        firstFault = "poll " + std::to_string(polls_) + ": " + fault;
        if (stopAtFault) break;
      }
      std::this_thread::sleep_for(kPollPause);
    }
    return firstFault;
  }

  /// Joint 0's position in the last command posted.
  double lastPostedJoint0() const { return command_.pos[0]; }
  size_t polls() const { return polls_; }

 private:
  void _poll() {
    robot_.setCommand(command_);
    robot_.getState(state_);
  }

  RobotSDK& robot_;
  Eigen::VectorXd targets_;
  RobotCommand command_;
  RobotState state_;
  size_t polls_ = 0;
};

/// Joint 0's position in every holding command the board received (passive frames carry no
/// stiffness and are left out).
std::vector<double> joint0Commands(const BoardSim& sim, const MotorSDK& bus) {
  std::vector<double> positions;
  for (const std::vector<uint8_t>& frame : sim.recordedFrames()) {
    if (frame.size() != bus.sendLength()) continue;
    const MotorCmd command = wire::toJointSide(wireRecord(frame, 0), bus.gearRatios()[0], bus.offsets()[0]);
    if (command.kp > 0.0f) positions.push_back(command.pos);
  }
  return positions;
}

/// Waits until the board has received joint 0's last posted position; then checks that joint
/// 0 never went back in any frame the board received.
void expectCommandsArrivedInOrder(const BoardSim& sim, const MotorSDK& bus, double lastPosted) {
  const auto deadline = Clock::now() + kDeliveryLimit;
  std::vector<double> positions;
  do {
    positions = joint0Commands(sim, bus);
    if (!positions.empty() && std::fabs(positions.back() - lastPosted) < 1e-5) break;
    std::this_thread::sleep_for(20ms);
  } while (Clock::now() < deadline);
  ASSERT_FALSE(positions.empty()) << "no holding command reached the board";
  EXPECT_NEAR(positions.back(), lastPosted, 1e-5) << "the last command never reached the board";
  for (size_t i = 1; i < positions.size(); ++i)
    ASSERT_GE(positions[i], positions[i - 1]) << "frame " << i << " of " << positions.size() << " went back";
}

/// The count in the simulator's final line "... faults injected N (...".
unsigned long faultsInjected(const std::string& simOutput) {
  const std::string label = "faults injected ";
  const size_t at = simOutput.rfind(label);
  return at == std::string::npos ? 0 : std::stoul(simOutput.substr(at + label.size()));
}

struct SurvivableFault {
  std::string name;
  std::vector<std::string> simArgs;
  std::chrono::milliseconds holdFor;
};

void PrintTo(const SurvivableFault& fault, std::ostream* out) { *out << fault.name; }

// Faults the robot must ride out. The silence window starts 1.5 s after the first frame, when
// the joints have settled, and is half the watchdog's 100 ms.
std::vector<SurvivableFault> survivableFaults() {
  return {
      {"drop_10_percent", {"--drop", "0.1"}, 800ms},
      {"delay_1500us", {"--delay-us", "1500"}, 800ms},
      {"short_replies", {"--short", "0.2"}, 800ms},
      {"long_replies", {"--long", "0.2", "--long-bytes", "64"}, 800ms},
      {"duplicated_replies", {"--duplicate", "0.3"}, 800ms},
      {"stale_replies", {"--stale", "0.3"}, 800ms},
      {"replies_from_another_port", {"--other-port"}, 800ms},
      {"silence_50ms", {"--silent-window", "1500:50"}, 2000ms},
  };
}

class SurvivedFault : public testing::TestWithParam<SurvivableFault> {};

TEST_P(SurvivedFault, KeepsLastGoodValuesAndDeliversCommandsInOrder) {
  StdoutCapture sdkOutput;  // every lost reply is one warning line
  RobotOnBoard rig(kConfig, GetParam().simArgs);
  std::string fault;
  {
    PolledRobot polled(rig.robot());
    ASSERT_TRUE(polled.settle()) << "the joints never reached their targets";
    fault = polled.holdAndRamp(GetParam().holdFor);
    expectCommandsArrivedInOrder(rig.sim(), rig.bus(), polled.lastPostedJoint0());
    EXPECT_GT(polled.polls(), 100u);
  }
  const std::string out = sdkOutput.finish();
  EXPECT_EQ(fault, "") << "a reading left the targets";
  EXPECT_EQ(countOf(out, "watchdog: comm failed, EXIT"), 0u);
  rig.sim().stop();
  const std::string& option = GetParam().simArgs.front();
  if (option != "--delay-us" && option != "--other-port") {  // the board counts neither as a fault
    EXPECT_GT(faultsInjected(rig.sim().output()), 0u) << rig.sim().output();
  }
}

INSTANTIATE_TEST_SUITE_P(EachFault, SurvivedFault, testing::ValuesIn(survivableFaults()),
                         testing::PrintToStringParamName());

// A reply cut inside a motor record leaves that record's status byte saying valid while its
// position is half missing; the joint must keep its last good value instead of reading ~0.
// Replies are cut after 112 bytes: motor 5's record (bytes 105-125) keeps 7 of its 21 bytes.
TEST(CutRecord, AReplyCutInsideARecordKeepsThatJointsLastGoodValue) {
  StdoutCapture sdkOutput;
  RobotOnBoard rig(kConfig, {"--short", "0.3", "--short-bytes", "112"});
  std::string fault;
  {
    PolledRobot polled(rig.robot());
    ASSERT_TRUE(polled.settle());
    fault = polled.holdAndRamp(800ms);
  }
  sdkOutput.finish();
  EXPECT_EQ(fault, "");
}

// ---- Faults that may end the process: run in a child ------------------------------------------

// The child's own report when a reading left the targets; the death tests then fail on the
// exit status.
constexpr int kReadingFaultStatus = 3;
constexpr int kSurvivedStatus = 0;

/// Child side: polls the robot on `sim` for at most `limit` and ends the child with kReadingFaultStatus
/// on a bad reading or kSurvivedStatus if the watchdog never ended it. exit() (not _exit) so
/// the child's static simulator is stopped. Output goes to stderr, which the death test reads.
[[noreturn]] void pollUntilEnded(const BoardSim& sim, std::chrono::milliseconds limit) {
  childOutputToStderr();
  std::string outcome;
  {
    RobotSDK robot(configPath(kConfig), sim.loopbackLink());
    PolledRobot polled(robot);
    // A bad reading must end the child before the watchdog can.
    outcome = polled.settle() ? polled.holdAndRamp(limit, true) : "the joints never reached their targets";
  }
  std::printf(outcome.empty() ? "survived\n" : "reading fault: %s\n", outcome.c_str());
  std::fflush(stdout);
  std::exit(outcome.empty() ? kSurvivedStatus : kReadingFaultStatus);
}

class SustainedFaultDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The board goes silent 1.5 s after its first frame (the joints have settled) for three times
// the watchdog's patience. The simulator is a static of the child, so exit() stops it.
TEST_F(SustainedFaultDeathTest, ALongSilenceEndsTheProcessThroughTheWatchdog) {
  EXPECT_EXIT(
      {
        static BoardSim sim(configPath(kConfig), onLoopback({"--silent-window", "1500:300"}));
        pollUntilEnded(sim, 3000ms);
      },
      testing::ExitedWithCode(1), watchdogExitPattern());
}

// A motor that keeps reporting an error is a sustained failure too, and the watchdog names it
// (motor index 4 has bus id 5).
TEST_F(SustainedFaultDeathTest, AMotorStuckInErrorEndsTheProcessNamingIt) {
  EXPECT_EXIT(
      {
        static BoardSim sim(configPath(kConfig), onLoopback({"--motor-error", "4:3"}));
        childOutputToStderr();
        {
          RobotSDK robot(configPath(kConfig), sim.loopbackLink());
          try {
            robot.init();
          } catch (const std::runtime_error&) {
            // Priming refuses a motor that never answered validly; started anyway, the watchdog ends it.
          }
          robot.start();
          RobotState state;
          for (const auto end = Clock::now() + 3s; Clock::now() < end; std::this_thread::sleep_for(kPollPause))
            robot.getState(state);
        }
        std::exit(kSurvivedStatus);
      },
      testing::ExitedWithCode(1),
      "\\[RobotSDK\\] watchdog: COMM ERROR motor id 5 cStatus 3\n.*" + watchdogExitPattern());
}

// Half the replies lost (and, separately, every reply later than the 2 ms receive timeout)
// fail the link often but not for ten checks in a row as a rule: the process may live through
// the bounded run or be ended by the watchdog, but nothing else may end it, and no reading may
// leave the targets meanwhile.
bool survivedOrEndedByWatchdog(int status) {
  return WIFEXITED(status) && (WEXITSTATUS(status) == kSurvivedStatus || WEXITSTATUS(status) == 1);
}

const char* const kSurvivedOrWatchdogEnd =
    "(survived\n|\\[RobotSDK\\] watchdog: comm failure count 10\n\\[RobotSDK\\] watchdog: comm failed, EXIT \n)";

class FrequentFaultDeathTest : public testing::TestWithParam<SurvivableFault> {};

TEST_P(FrequentFaultDeathTest, EndsOnlyThroughTheWatchdog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static BoardSim sim(configPath(kConfig), onLoopback(GetParam().simArgs));
        pollUntilEnded(sim, GetParam().holdFor);
      },
      survivedOrEndedByWatchdog, kSurvivedOrWatchdogEnd);
}

INSTANTIATE_TEST_SUITE_P(EachFault, FrequentFaultDeathTest,
                         testing::Values(SurvivableFault{"half_the_replies_lost", {"--drop", "0.5"}, 2000ms},
                                         SurvivableFault{"replies_later_than_the_timeout", {"--delay-us", "2500"}, 2000ms}),
                         testing::PrintToStringParamName());

// ---- The soak program, briefly -----------------------------------------------------------------

/// Runs `argv` with its standard output into `output`; returns its exit status, or -1 when it
/// had to be killed after `limit`.
int runProgram(std::vector<std::string> argv, std::chrono::seconds limit, std::string& output) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) return -2;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  const auto deadline = Clock::now() + limit;
  int status = 0;
  char chunk[4096];
  for (;;) {
    ssize_t count;
    while ((count = read(fds[0], chunk, sizeof(chunk))) > 0) output.append(chunk, static_cast<size_t>(count));
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      close(fds[0]);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
  ssize_t count;
  while ((count = read(fds[0], chunk, sizeof(chunk))) > 0) output.append(chunk, static_cast<size_t>(count));
  close(fds[0]);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SoakSmoke, AShortSoakHoldsUpAndReportsItsFigures) {
  const std::string program = DRIVELINK_BIN_DIR "/drivelink_soak";
  struct stat info;
  if (stat(program.c_str(), &info) != 0) GTEST_SKIP() << program << " is not built";
  std::string output;
  const int status = runProgram({program, "--seconds", "3"}, 60s, output);
  EXPECT_EQ(status, 0) << output;
  for (const char* figure : {"exchanges attempted (frames the board saw): ", "replies received: ",
                             "faults survived: ", "link stats: exchanges ", "RSS kB: start ", "peak (VmHWM) ", "soak: PASSED"})
    EXPECT_NE(output.find(figure), std::string::npos) << figure << " missing from\n" << output;
  EXPECT_EQ(output.find("exchanges attempted (frames the board saw): 0\n"), std::string::npos) << output;
}

// ---- The link test's verdict on scripted losses -----------------------------------------------

/// bin/linktest for 1.5 s against a board whose faults come from a fixed plan, not from chance,
/// so a busy machine cannot turn the verdict.
int runLinktest(const std::vector<std::string>& faults, std::string& output) {
  BoardSim board(configPath(kConfig), faults);
  return runProgram({DRIVELINK_BIN_DIR "/linktest", configPath(kConfig), "--seconds", "1.5"}, 60s, output);
}

TEST(Linktest, PassesACleanLinkAndFailsASilenceTheWatchdogWouldCatch) {
  // A clean board: a busy machine may still lose the odd reply of some 700 (one is 0.14 %),
  // so the best of three runs counts; a wrong verdict fails all three.
  std::string clean;
  int cleanStatus = 1;
  for (int attempt = 0; attempt < 3 && cleanStatus != 0; ++attempt) {
    clean.clear();
    cleanStatus = runLinktest({}, clean);
  }
  EXPECT_EQ(cleanStatus, 0) << clean;
  EXPECT_NE(clean.find("answered completely, validly"), std::string::npos) << clean;
  EXPECT_NE(clean.find("linktest: PASS"), std::string::npos) << clean;

  // 150 ms without replies from 0.5 s on: about 70 of some 700 exchanges, well past 0.1 %,
  // and longer than the watchdog's 100 ms.
  std::string silent;
  EXPECT_EQ(runLinktest({"--silent-window", "500:150"}, silent), 1) << silent;
  EXPECT_NE(silent.find("linktest: FAIL"), std::string::npos) << silent;
  // Named by its length (the 150 ms plus the exchange in flight on each side) and its start.
  EXPECT_TRUE(std::regex_search(
      silent, std::regex(R"(a run of 1[5-9][0-9]\.[0-9] ms without a reply from 0\.[45][0-9] s reached the watchdog's 100 ms)")))
      << silent;
}

TEST(Linktest, ASilenceShorterThanTheWatchdogStillFailsOnTheShareAnswered) {
  // 40 ms: under the watchdog's limit, but some 19 lost exchanges are far beyond 0.1 %.
  std::string output;
  EXPECT_EQ(runLinktest({"--silent-window", "500:40"}, output), 1) << output;
  EXPECT_NE(output.find("only "), std::string::npos) << output;
  EXPECT_EQ(output.find("reached the watchdog"), std::string::npos) << output;
}

}  // namespace
