// RobotSDK end to end against the board simulator on a loopback port (the robot's own UDP
// link addresses, inside the test's private network namespace, only where a test names them
// or runs without a board).
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "absolute_timer.h"
#include "alloc_counter.h"
#include "bare_namespace.h"
#include "capture.h"
#include "robot_on_board.h"

namespace {

using namespace std::chrono_literals;

// A biped pose inside every limit: left leg, then right leg (hip yaw, roll, pitch, knee, ankle).
RobotState bipedMotorPose() {
  RobotState pose;
  pose.zero(10);
  pose.pos << 0.1, 0.1, 0.3, 0.9, 0.5, -0.1, -0.1, 0.3, 0.9, 0.5;
  return pose;
}

/// Configurations with an unusable robot_type, kept until the process ends (death-test
/// children included, which leave through exit).
const std::string& configWithType(const std::string& yamlValue) {
  static std::map<std::string, std::unique_ptr<TempFile>> files;
  auto& file = files[yamlValue];
  if (!file)
    file = std::make_unique<TempFile>(withTopLevelKey(shippedConfigText("veltra1.yaml"), "robot_type", yamlValue));
  return file->path();
}

/// Waits (at most 10 s, for a loaded machine) until `done` holds.
template <typename Condition>
void waitUntil(Condition done) {
  for (const auto end = std::chrono::steady_clock::now() + 10s; !done() && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(5ms);
}

size_t positionOf(const std::string& text, const std::string& line) {
  const size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << "missing: " << line;
  return at;
}

}  // namespace

// ---- Construction --------------------------------------------------------------------------

TEST(RobotSDKConstruction, EachRobotTypePrintsItsLineAndSizesTheRobot) {
  const struct {
    const char* base;
    const char* type;
    const char* line;
    unsigned motors;
    RobotType robotType;
  } cases[] = {
      {"veltra1.yaml", "veltra1", "[robot sdk] Veltra init ", 10, RobotType::Veltra1},
      {"veltra1.yaml", "veltra1L", "[robot sdk] Veltra L init ", 10, RobotType::Veltra1L},
      {"zenthi.yaml", "zenthi", "[robot sdk] zenthi init ", 18, RobotType::Zenthi},
      {"zenthi.yaml", "zenthi_v2", "[robot sdk] zenthi2 init ", 18, RobotType::ZenthiV2},
  };
  for (const auto& c : cases) {
    const TempFile config(withTopLevelKey(shippedConfigText(c.base), "robot_type", c.type));
    StdoutCapture capture;
    RobotSDK robot(config.path());
    const std::string out = capture.finish();
    EXPECT_EQ(out.rfind("[robot sdk] config path is " + config.path() + "\n" + c.line + "\n", 0), 0u) << out;
    EXPECT_EQ(robot.motor_sdk_.motor_num_, c.motors);
    EXPECT_EQ(robot.get_version(), "1.0.0");
    // The type the robot reports is the one the file named, and names itself as the file did.
    EXPECT_EQ(robot.robotType(), c.robotType) << c.type;
    EXPECT_STREQ(robotTypeName(robot.robotType()), c.type);
  }
}

TEST(RobotSDKConstruction, UnconfiguredObjectRefusesTheBusOperations) {
  RobotSDK robot;
  EXPECT_EQ(robot.get_version(), "1.0.0");
  EXPECT_EQ(robot.motor_sdk_.motor_num_, 0);
  EXPECT_FALSE(robot.motor_sdk_.hasPort());
  EXPECT_THROW(robot.init(), std::logic_error);
  EXPECT_THROW(robot.start(), std::logic_error);
  EXPECT_THROW(robot.stop(), std::logic_error);
  EXPECT_THROW(robot.brake(), std::logic_error);
  RobotState state;
  EXPECT_THROW(robot.getState(state), std::logic_error);
  EXPECT_THROW(robot.setCommand(RobotCommand()), std::logic_error);
}

TEST(RobotSDKConstruction, MissingRobotTypeRaisesTheYamlErrorAfterThePathLine) {
  const TempFile config("motor_num: 0\n");
  StdoutCapture capture;
  EXPECT_THROW(RobotSDK robot(config.path()), YAML::Exception);
  EXPECT_EQ(capture.finish(), "[robot sdk] config path is " + config.path() + "\n");
}

// Read twice, a file rewritten between the reads would give the robot the type of one
// version and the tables of the other.
TEST(RobotSDKConstruction, TheConfigurationFileIsOpenedOnce) {
  const TempFile config(shippedConfigText("veltra1.yaml"));
  InProcessBoard board(config.path());  // reads the file before the watch starts
  struct Watch {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ~Watch() { ::close(fd); }
  } watch;
  ASSERT_GE(watch.fd, 0);
  // Closes are watched too: two opens in a row would be merged into one event.
  ASSERT_GE(inotify_add_watch(watch.fd, config.path().c_str(), IN_OPEN | IN_CLOSE), 0);
  {
    StdoutCapture quiet;
    RobotSDK robot(config.path(), board.port());
  }
  alignas(inotify_event) char events[4096];
  size_t opens = 0;
  for (ssize_t n; (n = ::read(watch.fd, events, sizeof(events))) > 0;)
    for (char* at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
      opens += (reinterpret_cast<inotify_event*>(at)->mask & IN_OPEN) != 0;
  EXPECT_EQ(opens, 1u);
}

TEST(RobotSDKConstruction, EmptyCallbacksAreRejectedUpFront) {
  const std::string path = configPath("veltra1.yaml");
  {
    StdoutCapture capture;
    EXPECT_THROW(RobotSDK(path, 0.01, RobotSDK::ControlCallback()), std::invalid_argument);
    EXPECT_EQ(capture.finish(), "") << "nothing may be read or opened for an empty callback";
  }
  const auto noop = [](const RobotState&, RobotCommand&) {};
  {
    RobotSDK polling(path);
    EXPECT_THROW(polling.init(0.01, nullptr), std::invalid_argument);
  }
  {
    RobotSDK withCallback(path, 0.01, noop);
    EXPECT_THROW(withCallback.init(0.01, noop), std::invalid_argument);
  }
}

TEST(RobotSDKConstruction, ControlPeriodsThatWouldNeverTickAreRejected) {
  // A zero period would disarm the control thread's timer and stop() would wait for ever.
  const std::string path = configPath("veltra1.yaml");
  const auto noop = [](const RobotState&, RobotCommand&) {};
  for (double dt : {0.0, -0.002, 1e-50, 1e-9, 3e9, std::nan("")}) {  // 1e-9 truncates to 0 ns
    StdoutCapture capture;
    EXPECT_THROW(RobotSDK(path, dt, noop), std::invalid_argument) << dt;
    EXPECT_EQ(capture.finish(), "") << "nothing may be read or opened for period " << dt;
  }
  RobotOnBoard polling("veltra1.yaml");  // priming needs a board that answers
  EXPECT_THROW(polling.robot().init(0.0, noop), std::invalid_argument);
  polling.robot().init(0.002, noop);  // a usable period is still accepted afterwards
}

TEST(RobotSDKConstruction, AMotorCountTheRobotTypeCannotMapIsRefused) {
  // An 18-motor file declared a biped: its control loop could not map it, so it never starts.
  const TempFile eighteenMotorBiped(withTopLevelKey(shippedConfigText("zenthi.yaml"), "robot_type", "veltra1"));
  StdoutCapture capture;
  try {
    RobotSDK robot(eighteenMotorBiped.path());
    ADD_FAILURE() << "an 18-motor biped was accepted";
  } catch (const ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("cannot have 18 motors"), std::string::npos) << error.what();
  }
  // Ten motors are fine for a zenthi robot.
  const TempFile tenMotorZenthi(withTopLevelKey(shippedConfigText("veltra1.yaml"), "robot_type", "zenthi"));
  RobotSDK robot(tenMotorZenthi.path());
  EXPECT_EQ(robot.motor_sdk_.motor_num_, 10);
}

TEST(RobotSDKConstruction, ConfiguredLimitsThatDifferFromTheClampTablesAreReportedInOneLine) {
  const std::string differ = "[robot sdk] the configured jpos_min/jpos_max differ from the built-in joint limits";
  {  // the shipped biped lists its motor limits exactly as the tables do
    StdoutCapture capture;
    RobotSDK robot(configPath("veltra1.yaml"));
    EXPECT_EQ(countOf(capture.finish(), differ), 0u);
  }
  // The biped's limits read as a zenthi robot's: every joint differs, and one line says so.
  const TempFile bipedLimitsOnZenthi(withTopLevelKey(shippedConfigText("veltra1.yaml"), "robot_type", "zenthi"));
  StdoutCapture capture;
  RobotSDK robot(bipedLimitsOnZenthi.path());
  const std::string out = capture.finish();
  EXPECT_EQ(countOf(out, differ), 1u) << out;
  EXPECT_NE(out.find(differ + " at 10 of 10 joints (first joint 0: configured -0.698132..0.698132, built-in "
                               "-0.331613..0.331613); positions are clamped to the built-in limits\n"),
            std::string::npos)
      << out;
}

TEST(RobotSDKConstruction, PrimingIsRefusedWhileTheThreadsRun) {
  StdoutCapture capture;
  RobotOnBoard rig("veltra1.yaml");
  rig.primeAndStart();
  EXPECT_THROW(rig.robot().init(), std::logic_error);
  EXPECT_THROW(rig.robot().init(0.002, [](const RobotState&, RobotCommand&) {}), std::logic_error);
  rig.robot().stop();
  rig.robot().init();  // stopped again: priming is fine
}

// The process ends before the bus prints anything, so no port was opened.
TEST(RobotSDKConstructionDeathTest, UnknownRobotTypeEndsTheProcessWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* value : {"Veltra1", "ZENTHI", "\"\"", "~"}) {
    const std::string& path = configWithType(value);
    EXPECT_EXIT(
        {
          childOutputToStderr();
          RobotSDK robot(path);
        },
        testing::ExitedWithCode(1),
        "^\\[robot sdk\\] config path is [^\n]*\n\\[robot sdk\\] invalid robot type name, check config file \n"
        "\\[robot sdk\\] robot_type is \"[^\n]*\" in [^\n]*; the valid names are veltra1, veltra1L, zenthi, "
        "zenthi_v2\n$")
        << "robot_type: " << value;
  }
}

TEST(RobotSDKConstruction, AskedToReportAnUnknownRobotTypeThrowsNamingTheValueAndTheValidNames) {
  StdoutCapture capture;
  const std::string& path = configWithType("veltra2");
  try {
    RobotSDK robot(path, RobotSDK::OpenFailure::Throw);
    ADD_FAILURE() << "an unknown robot type was accepted";
  } catch (const RobotTypeError& error) {
    EXPECT_EQ(std::string(error.what()), "[robot sdk] invalid robot type name, check config file: robot_type is "
                                         "\"veltra2\" in " + path +
                                             "; the valid names are veltra1, veltra1L, zenthi, zenthi_v2");
  }
  EXPECT_EQ(capture.finish().find("[MotorSDK]"), std::string::npos) << "the bus was opened";
}

// In a namespace without the controller's address the link cannot be opened: the plain
// constructor ends the process with the port's line, the reporting one throws it.
TEST(RobotSDKConstructionDeathTest, ALinkThatCannotBeOpenedEndsTheProcessOrIsThrownWhenAsked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = configPath("veltra1.yaml");
  const char* line = "\\[ERROR\\] UDPPort::UDPPort, bind failed: Cannot assign requested address \\(this machine "
                     "has no address 192\\.168\\.1\\.10";
  EXPECT_EXIT(
      {
        childOutputToStderr();
        if (!enterBareNamespace()) _exit(3);
        RobotSDK robot(path);
        _exit(0);
      },
      testing::ExitedWithCode(255), line);
  EXPECT_EXIT(
      {
        childOutputToStderr();
        if (!enterBareNamespace()) _exit(3);
        try {
          RobotSDK robot(path, RobotSDK::OpenFailure::Throw);
        } catch (const LinkOpenError& error) {
          std::fprintf(stderr, "thrown: %s\n", error.what());
          _exit(4);
        }
        _exit(0);
      },
      testing::ExitedWithCode(4), std::string("thrown: ") + line);
}

// Two controllers on one board would take each other's replies: the second is refused at
// once, naming the board, before it sends anything.
TEST(RobotSDKConstruction, ASecondRobotOnTheSameBoardIsRefusedBeforeAnythingIsSent) {
  StdoutCapture capture;
  RobotOnBoard rig("veltra1.yaml", {}, SimLink::PrivateAddress);
  try {
    RobotSDK second(configPath("zenthi.yaml"));
    ADD_FAILURE() << "two robots opened one board";
  } catch (const LinkHeldError& error) {
    EXPECT_TRUE(error.inThisProcess());
    EXPECT_NE(
        std::string(error.what()).find("the board 192.168.1.5:8880 is held by another controller in this process"),
        std::string::npos)
        << error.what();
  }
  EXPECT_EQ(rig.sim().framesReceived(), 0u);
  rig.primeAndStart();  // the holder is untouched
  rig.robot().stop();
}

// ---- Priming -------------------------------------------------------------------------------

TEST(RobotSDKPriming, TenPassiveExchangesNumberedZeroToNine) {
  RobotInProcess rig("veltra1.yaml");
  StdoutCapture capture;
  rig.robot().init();
  const std::string out = capture.finish();

  size_t previous = 0;
  for (int pass = 0; pass < 10; ++pass) {
    const size_t at = positionOf(out, "[RobotSDK] comm init ... " + std::to_string(pass) + "\n");
    EXPECT_GE(at, previous);
    previous = at;
  }
  EXPECT_EQ(countOf(out, "[RobotSDK] comm init ... "), 10u);

  ASSERT_TRUE(rig.sim().waitForFrames(10, 2000));
  const auto frames = rig.sim().recordedFrames();
  ASSERT_EQ(frames.size(), 10u);
  const MotorSDK& bus = rig.bus();
  for (const auto& frame : frames) {
    ASSERT_EQ(frame.size(), 10 * sizeof(MotorCmd));
    for (size_t i = 0; i < 10; ++i) {
      const MotorCmd record = wireRecord(frame, i);
      EXPECT_EQ(record.id, bus.motorIds()[i]);
      EXPECT_EQ(record.motor_type, bus.motorTypes()[i]);
      EXPECT_EQ(record.mode, kModeNormal);
      for (float value : {record.pos, record.vel, record.tau, record.kp, record.kd}) EXPECT_EQ(value, 0.0f);
    }
  }
}

// A motor whose every record carries an error status never delivered a valid reading: the robot
// must not start on the zeros it would read for it. Only the passive priming frames went out.
TEST(RobotSDKPriming, AMotorThatNeverAnsweredValidlyIsNamedAndInitFails) {
  RobotOnBoard rig("veltra1.yaml", {"--motor-error", "3:5"});
  StdoutCapture quiet;
  try {
    rig.robot().init();
    ADD_FAILURE() << "init accepted a motor that never answered";
  } catch (const std::runtime_error& error) {
    const std::string text = error.what();
    EXPECT_NE(text.find("from motor 3 (id 4);"), std::string::npos) << text;
    EXPECT_EQ(countOf(text, "motor "), 1u) << "only the silent motor is named: " << text;
  }
  quiet.finish();
  const auto frames = rig.sim().recordedFrames();
  EXPECT_EQ(frames.size(), 10u);
  for (const auto& frame : frames)
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(wireRecord(frame, i).kp, 0.0f) << "priming frames are passive";
}

// A board with other device counts than the file answers every frame with a reply of its own
// length, shorter or longer: init says so instead of reading records at the wrong places.
TEST(RobotSDKPriming, RepliesOfAnotherLengthThanTheFramesFailNamingBothLengthsAndTheCounts) {
  const struct {
    const char* board;
    const char* robot;
    const char* expected;
  } cases[] = {
      {"veltra1.yaml", "zenthi.yaml",
       "the board's replies are 273 bytes; this configuration (motor_num 18, imu_num 1, battery_num 1) expects 441"},
      {"zenthi.yaml", "veltra1.yaml",
       "the board's replies are 441 bytes; this configuration (motor_num 10, imu_num 1, battery_num 1) expects 273"},
  };
  for (const auto& c : cases) {
    BoardSim sim(configPath(c.board), onLoopback({"--any-frame-length"}));
    StdoutCapture quiet;
    RobotSDK robot(configPath(c.robot), sim.loopbackLink());
    try {
      robot.init();
      ADD_FAILURE() << "init accepted replies of another length, board " << c.board;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos) << error.what();
    }
    quiet.finish();
    EXPECT_EQ(sim.framesReceived(), 10u);
  }
}

// ---- Callback style ------------------------------------------------------------------------

TEST(RobotSDKCallbackStyle, CommandsReachTheBoardMappedToMotorJointsAndScaled) {
  RobotState virtualPose;
  ASSERT_TRUE(switchRealToVirtual(bipedMotorPose(), virtualPose, 0));
  RobotCommand command = zeroCommand(10);
  command.pos = virtualPose.pos;
  for (int i = 0; i < 10; ++i) {
    command.vel[i] = 0.01 * (i + 1);
    command.tau[i] = 0.02 * (i + 1);
    command.kp[i] = 30.0 + i;
    command.kd[i] = 1.0 + 0.05 * i;
  }

  std::atomic<int> calls{0};
  RobotState lastSeen = virtualPose;
  size_t allocationsAtWarmup = 0, allocationsAtEnd = 0;
  int cyclesMeasured = 0;
  const auto controller = [&](const RobotState& state, RobotCommand& out) {
    out = command;
    lastSeen = state;
    const int call = ++calls;
    if (call == 20) allocationsAtWarmup = alloc_counter::threadAllocations();
    if (call > 20) {
      allocationsAtEnd = alloc_counter::threadAllocations();
      cyclesMeasured = call - 20;
    }
  };
  RobotOnBoard rig("veltra1.yaml", 0.004, controller);
  rig.primeAndStart();
  std::this_thread::sleep_for(2s);
  rig.robot().stop();

  EXPECT_GT(calls.load(), 100) << "about 500 periods in 2 s";
  // Once warmed up, a control period allocates nothing (the bus reuses its command snapshot).
  EXPECT_GT(cyclesMeasured, 0);
  EXPECT_EQ(allocationsAtEnd - allocationsAtWarmup, 0u);

  // The board's joints settled near the commanded pose, seen in virtual joints.
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(lastSeen.pos[i], virtualPose.pos[i], 0.05) << "joint " << i;

  // What the SDK should have sent at that configuration.
  RobotCommand asPositions = command;
  asPositions.pos = lastSeen.pos;
  RobotCommand settled;
  ASSERT_TRUE(switchVirtualToReal(bipedMotorPose(), asPositions, settled, 0));
  RobotState measured = bipedMotorPose();
  measured.pos = settled.pos;
  RobotCommand expected;
  ASSERT_TRUE(switchVirtualToReal(measured, command, expected, 0));

  const std::vector<MotorCmd> sent = rig.lastFrameOnJointSide();
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE("joint " + std::to_string(i));
    EXPECT_EQ(sent[i].mode, kModeNormal);
    EXPECT_NEAR(sent[i].pos, expected.pos[i], 1e-5);
    EXPECT_NEAR(sent[i].vel, expected.vel[i], 1e-3 * std::fabs(expected.vel[i]) + 1e-6);
    EXPECT_NEAR(sent[i].tau, expected.tau[i], 1e-3 * std::fabs(expected.tau[i]) + 1e-6);
    EXPECT_NEAR(sent[i].kp, command.kp[i], 1e-4);
    EXPECT_NEAR(sent[i].kd, command.kd[i], 1e-5);
  }
  // The knee is driven through its linkage, so its motor command differs from the virtual one.
  EXPECT_GT(std::fabs(sent[3].pos - command.pos[3]), 0.1);
}

TEST(RobotSDKCallbackStyle, WithoutAnImuTheControlLoopRunsOnTheJointsAndWarnsOnce) {
  const std::string withoutImu = withTopLevelKey(shippedConfigText("zenthi.yaml"), "imu_num", "0");
  std::atomic<int> calls{0};
  Eigen::Vector3d accSeen(1, 1, 1);
  StdoutCapture capture;
  {
    RobotOnBoard rig(withoutImu, 0.005, [&](const RobotState& state, RobotCommand&) {
      accSeen = state.acc;
      ++calls;
    });
    rig.primeAndStart();
    std::this_thread::sleep_for(300ms);
    rig.robot().stop();
  }
  const std::string out = capture.finish();
  EXPECT_GT(calls.load(), 10);
  EXPECT_EQ(countOf(out, "[WARNING] [RobotSDK] no IMU configured"), 1u) << out;
  EXPECT_EQ(accSeen, Eigen::Vector3d::Zero()) << "the IMU fields keep their last (initial) values";

  const TempFile config(withoutImu);  // neither call exchanges with a board
  RobotSDK polling(config.path());
  RobotState state;
  EXPECT_THROW(polling.getState(state), std::out_of_range);
  EXPECT_THROW(polling.setCommand(zeroCommand(18)), std::out_of_range);
}

/// Child: a callback that shrinks a command vector, later one that leaves a NaN, with good
/// periods between. Every command frame the board received must be the first good one, and
/// the good one must have gone out, with its gains, from the first good periods on.
[[noreturn]] void runUnusableCallbackCommands() {
  childOutputToStderr();
  RobotCommand good = zeroCommand(10);
  good.pos << 0.1, 0.1, 0.3, 1.0, 0.2, -0.1, -0.1, 0.3, 1.0, 0.2;
  good.kp.setConstant(20.0);
  good.kd.setConstant(1.0);
  constexpr size_t kFewestGoodFrames = 40;
  std::atomic<int> calls{0};
  std::vector<std::vector<uint8_t>> sent;
  MotorCmd joint0{};
  {
    RobotOnBoard rig("veltra1.yaml", 0.004, [&](const RobotState&, RobotCommand& out) {
      const int phase = ++calls / 40;  // good, shrunk, good, NaN from then on
      out = good;
      if (phase == 1) out.kd.resize(3);
      if (phase >= 3) out.pos[2] = std::nan("");
    });
    rig.primeAndStart();
    waitUntil([&] { return calls >= 200; });
    rig.robot().stop();
    for (const auto& frame : rig.sim().recordedFrames())
      if (wireRecord(frame, 0).kp != 0.0f) sent.push_back(frame);
    if (!sent.empty()) joint0 = wire::toJointSide(wireRecord(sent[0], 0), rig.bus().gearRatios()[0],
                                                  rig.bus().offsets()[0]);
  }
  std::string fault;
  if (calls < 200) fault = "only " + std::to_string(calls) + " control periods";
  // The good frame stays on the wire for some 160 periods, two exchanges each: a few dozen
  // is a count no loaded machine misses, and none means the loop stored nothing at all.
  if (fault.empty() && sent.size() < kFewestGoodFrames)
    fault = "only " + std::to_string(sent.size()) + " command frames with gains reached the board";
  if (fault.empty() && (std::fabs(joint0.kp - 20.0f) > 1e-3f || std::fabs(joint0.kd - 1.0f) > 1e-4f))
    fault = "the first command frame carries kp " + std::to_string(joint0.kp) + ", not the good command's";
  for (size_t k = 1; k < sent.size() && fault.empty(); ++k)
    if (sent[k] != sent[0]) fault = "command frame " + std::to_string(k) + " differs from the good one";
  endChild(fault);
}

/// Child: a callback that throws after 0.5 s. The motors must end braked, the callback never
/// called again, and stop() must hand the exception over.
[[noreturn]] void runThrowingCallback() {
  childOutputToStderr();
  std::atomic<int> callsAfterThrow{-1};
  const auto begin = std::chrono::steady_clock::now();
  std::string fault;
  {
    RobotOnBoard rig("veltra1.yaml", 0.004, [&](const RobotState& state, RobotCommand& out) {
      if (callsAfterThrow >= 0) ++callsAfterThrow;
      out.pos = state.pos;
      out.kp.setConstant(20.0);
      if (std::chrono::steady_clock::now() - begin < 500ms) return;
      callsAfterThrow = 0;
      throw std::runtime_error("controller lost its footing");
    });
    rig.primeAndStart();
    if (rig.robot().controllerFailure()) fault = "a failure before the callback threw";
    waitUntil([&] { return callsAfterThrow >= 0; });
    std::this_thread::sleep_for(200ms);  // about fifty brake frames
    // A polling program sees the failure while the robot still runs.
    const std::exception_ptr seen = rig.robot().controllerFailure();
    try {
      if (seen) std::rethrow_exception(seen);
      fault += "; controllerFailure() is null after the throw";
    } catch (const std::runtime_error& error) {
      if (std::string(error.what()) != "controller lost its footing") fault += std::string("; ") + error.what();
    }
    if (!rig.robot().brakeLatch().holds(BrakeLatch::kControllerFailed)) fault += "; no controller brake in force";
    try {
      rig.robot().stop();
      fault = "stop() did not rethrow";
    } catch (const std::runtime_error& error) {
      if (std::string(error.what()) != "controller lost its footing") fault = error.what();
    }
    if (callsAfterThrow != 0) fault += "; callback calls after the throw: " + std::to_string(callsAfterThrow);
    if (rig.robot().controllerFailure() || rig.robot().brakeLatch().any()) fault += "; stop() left the failure held";
    const std::vector<MotorCmd> last = rig.lastFrameOnJointSide();
    for (size_t i = 0; i < last.size(); ++i)
      if (std::fabs(last[i].kd - 0.8f) > 1e-5f || last[i].kp != 0.0f || std::fabs(last[i].pos) > 1e-6f)
        fault += "; motor " + std::to_string(i) + " is not braked";
  }
  endChild(fault);
}

// A shrunken vector would be read past its end, and a NaN clamped to the joint's minimum: the
// period stores nothing instead, and one warning per run of such periods says why.
TEST(RobotSDKCallbackStyleDeathTest, AnUnusableCallbackCommandKeepsThePreviousFrameGoingOut) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runUnusableCallbackCommands(), testing::ExitedWithCode(0),
              "^(.*\n)?\\[WARNING\\] \\[RobotSDK\\] the control callback left kd with 3 entries for 10 motors; "
              "no command stored, the previous one keeps going out\n"
              "(.*\n)?\\[WARNING\\] \\[RobotSDK\\] the control callback left pos of joint 2 at nan; "
              "no command stored[^\n]*\n(.*\n)?child: ok\n$");
}

// An exception out of the callback used to reach std::terminate on the control thread.
TEST(RobotSDKCallbackStyleDeathTest, AThrowingCallbackBrakesEveryMotorAndStopRethrows) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runThrowingCallback(), testing::ExitedWithCode(0),
              "\\[ERROR\\] \\[RobotSDK\\] the control callback threw: controller lost its footing; "
              "it is not called again[^\n]*\n(.*\n)?child: ok\n$");
}

// ---- Polling style -------------------------------------------------------------------------

TEST(RobotSDKPollingStyle, ZenthiCommandsAreClampedAndScaledOnTheWay) {
  RobotOnBoard rig("zenthi.yaml");
  RobotSDK& robot = rig.robot();
  rig.primeAndStart();

  RobotCommand command = zeroCommand(18);
  for (int i = 0; i < 18; ++i) {
    const double targets[] = {0.1, 1.0, -1.5};
    command.pos[i] = targets[i % 3];
    command.kp[i] = 20.0;
    command.kd[i] = 0.5;
  }
  command.pos[4] = 5.0;  // beyond its 239 degree limit
  RobotState state;
  for (int cycle = 0; cycle < 250; ++cycle) {
    robot.getState(state);
    robot.setCommand(command);
    std::this_thread::sleep_for(4ms);
  }
  robot.stop();

  const std::vector<MotorCmd> sent = rig.lastFrameOnJointSide();
  EXPECT_NEAR(sent[4].pos, 4.171336912266447, 1e-5);
  for (int i = 0; i < 18; ++i) {
    SCOPED_TRACE("joint " + std::to_string(i));
    if (i != 4) {
      EXPECT_NEAR(sent[i].pos, command.pos[i], 1e-5);
    }
    EXPECT_NEAR(sent[i].kp, 20.0, 1e-4);
    EXPECT_NEAR(sent[i].kd, 0.5, 1e-5);
    EXPECT_NEAR(state.pos[i], i == 4 ? 4.171336912266447 : command.pos[i], 0.05);
  }
}

TEST(RobotSDKPollingStyle, CommandVectorsShorterThanTheRobotAreRejectedByLength) {
  RobotSDK robot(configPath("zenthi.yaml"));
  RobotCommand command = zeroCommand(18);
  command.vel.resize(12);
  try {
    robot.setCommand(command);
    FAIL() << "a 12-entry velocity vector was accepted for 18 motors";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("vel 12"), std::string::npos) << error.what();
  }
}

// A NaN position would be clamped to the joint's minimum and sent; any non-finite value (or
// one beyond the link's floats) is refused by field and joint, and the stored frame stays.
TEST(RobotSDKPollingStyle, NonFiniteCommandValuesAreRefusedByFieldAndJoint) {
  RobotSDK robot(configPath("veltra1.yaml"));
  StdoutCapture quiet;  // no board: every state read warns
  RobotCommand good = zeroCommand(10);
  good.pos << 0.1, 0.1, 0.3, 1.0, 0.2, -0.1, -0.1, 0.3, 1.0, 0.2;
  good.kp.setConstant(20.0);
  robot.setCommand(good);
  const std::vector<MotorCmd> stored = robot.motor_sdk_.commandFrame();

  const struct {
    Eigen::VectorXd RobotCommand::*field;
    int joint;
    double value;
    const char* named;
  } cases[] = {{&RobotCommand::pos, 3, std::nan(""), "pos of joint 3 is nan"},
               {&RobotCommand::tau, 7, INFINITY, "tau of joint 7 is inf"},
               {&RobotCommand::kd, 0, -INFINITY, "kd of joint 0 is -inf"},
               {&RobotCommand::vel, 9, 1e39, "vel of joint 9 is 1e+39"}};
  for (const auto& c : cases) {
    RobotCommand bad = good;
    (bad.*c.field)[c.joint] = c.value;
    try {
      robot.setCommand(bad);
      ADD_FAILURE() << c.named << " was accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
    EXPECT_EQ(std::memcmp(robot.motor_sdk_.commandFrame().data(), stored.data(), stored.size() * sizeof(MotorCmd)), 0)
        << c.named << " changed the stored frame";
  }
}

TEST(RobotSDKPollingStyle, PresizedStateAndCommandPassWithOnlyTheBusCopy) {
  RobotOnBoard rig("veltra1.yaml");
  RobotSDK& robot = rig.robot();
  robot.init();
  RobotState state;
  robot.getState(state);
  RobotCommand command = zeroCommand(10);
  command.pos = state.pos;
  robot.setCommand(command);
  alloc_counter::Scope scope;
  for (int cycle = 0; cycle < 50; ++cycle) {
    robot.getState(state);
    robot.setCommand(command);
  }
  EXPECT_EQ(scope.count(), 0u) << "a warmed-up state read and command post allocate nothing";
}

// The exchanges are driven by hand: priming stores replies 1 to 10, each later exchange one
// more, and stop() its five like any other exchange.
TEST(RobotSDKPollingStyle, AStateCarriesTheSequenceAndReceiveTimeOfItsReply) {
  RobotOnBoard rig("veltra1.yaml");
  RobotSDK& robot = rig.robot();
  StdoutCapture quiet;  // a reply that misses its 2 ms on a busy machine warns
  robot.init();
  RobotState state;
  robot.getState(state);
  EXPECT_EQ(state.replySequence, 10u);

  const double before = static_cast<double>(monotonicNanos()) * 1e-9;
  robot.motor_sdk_.sendRecvMT();
  const double after = static_cast<double>(monotonicNanos()) * 1e-9;
  robot.getState(state);
  EXPECT_EQ(state.replySequence, 11u);
  EXPECT_GE(state.replyTime, before);
  EXPECT_LE(state.replyTime, after);
  const RobotState& again = robot.readState();
  EXPECT_EQ(again.replySequence, 11u) << "no new reply, the same stamp";
  EXPECT_EQ(again.replyTime, state.replyTime);

  robot.motor_sdk_.stop();
  robot.getState(state);
  EXPECT_EQ(state.replySequence, 16u);
  EXPECT_GT(state.replyTime, after);
}

// ---- Brake and shutdown --------------------------------------------------------------------

TEST(RobotSDKBrake, EveryMotorGetsPureDampingScaledToTheMotorSide) {
  RobotInProcess rig("veltra1.yaml");
  RobotSDK& robot = rig.robot();
  rig.primeAndStart();
  RobotState state;
  robot.getState(state);
  RobotCommand command = zeroCommand(10);
  command.pos = state.pos;
  command.kp.setConstant(30.0);
  command.tau.setConstant(0.1);
  robot.setCommand(command);
  std::this_thread::sleep_for(50ms);
  robot.brake();
  std::this_thread::sleep_for(50ms);
  robot.stop();

  const auto frames = rig.sim().recordedFrames();
  ASSERT_FALSE(frames.empty());
  const MotorSDK& bus = rig.bus();
  for (size_t i = 0; i < 10; ++i) {
    SCOPED_TRACE("motor " + std::to_string(i));
    const MotorCmd onWire = wireRecord(frames.back(), i);
    const double g = bus.gearRatios()[i];
    EXPECT_EQ(onWire.mode, kModeNormal);
    EXPECT_NEAR(onWire.kd, 0.8 / (g * g), 1e-7);
    const MotorCmd joint = wire::toJointSide(onWire, g, bus.offsets()[i]);
    EXPECT_NEAR(joint.kd, 0.8, 1e-6);
    EXPECT_NEAR(joint.pos, 0.0, 1e-6);
    for (float value : {joint.vel, joint.tau, joint.kp}) EXPECT_EQ(value, 0.0f);
  }
}

// In polling style (false) there is no control loop to stop.
class RobotSDKStopInEachStyle : public testing::TestWithParam<bool> {};

TEST_P(RobotSDKStopInEachStyle, EndsTheWatchdogFirstThenTheLinkThenTheControlLoop) {
  const bool callbackStyle = GetParam();
  RobotOnBoard rig = callbackStyle ? RobotOnBoard("veltra1.yaml", 0.005, [](const RobotState&, RobotCommand&) {})
                                   : RobotOnBoard("veltra1.yaml");
  rig.primeAndStart();
  std::this_thread::sleep_for(50ms);
  StdoutCapture capture;
  rig.robot().stop();
  const std::string out = capture.finish();
  EXPECT_LT(positionOf(out, "Waiting for watch_dog to stop"), positionOf(out, "Waiting for motor_comm to stop"));
  if (callbackStyle) {
    EXPECT_LT(positionOf(out, "Waiting for motor_comm to stop"), positionOf(out, "Waiting for motion_control to stop"));
  } else {
    EXPECT_EQ(countOf(out, "motion_control"), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Styles, RobotSDKStopInEachStyle, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Callback" : "Polling"; });

TEST(RobotSDKShutdown, DestroyingARunningRobotStopsItsThreadsInOrder) {
  StdoutCapture capture;
  {
    RobotOnBoard rig("veltra1.yaml", 0.005, [](const RobotState&, RobotCommand&) {});
    rig.primeAndStart();
    std::this_thread::sleep_for(50ms);
  }
  const std::string out = capture.finish();
  EXPECT_LT(positionOf(out, "watch_dog has stopped!"), positionOf(out, "motor_comm has stopped!"));
  EXPECT_LT(positionOf(out, "motor_comm has stopped!"), positionOf(out, "motion_control has stopped!"));
  EXPECT_EQ(countOf(out, "wasn't running"), 0u);
}
