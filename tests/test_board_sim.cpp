// The board simulator over real sockets and a real pseudo-terminal: reply layout and
// conversions, the joint physics, every fault option, and the whole-body physics (--model).
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Geometry>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "board_model.h"
#include "board_sim.h"
#include "joint_plant.h"
#include "datagram_socket.h"
#include "realtime_probe.h"
#include "robot_configs.h"
#include "temp_file.h"
#include "thread_tasks.h"
#include "truth_file.h"
#include "wire_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The veltra1 configuration, as the tests need it for encoding and decoding.
struct Robot {
  std::vector<uint8_t> type;
  std::vector<uint16_t> id;
  std::vector<double> gr;
  std::vector<double> offset;
  std::vector<double> lo;
  std::vector<double> hi;
  wire::FrameLayout layout;

  wire::MotorTable table() const { return {type, id, gr, offset}; }
  size_t motors() const { return type.size(); }
};

Robot veltra1() {
  Robot robot;
  robot.type = {5, 5, 4, 4, 4, 5, 5, 4, 4, 4};
  robot.id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  robot.gr = {6, 6, 9, 9, 9, 6, 6, 9, 9, 9};
  robot.offset = {0.0, 0.0, 0.25, -0.5, 0.1, 0.0, 0.0, -0.25, 0.5, -0.1};
  robot.lo = {-0.6981317007977318, -0.3490658503988659, -1.5707963267948966, 0.2617993877991494,
              -1.3089969389957472, -0.6981317007977318, -0.6108652381980153, -1.5707963267948966,
              0.2617993877991494,  -1.3089969389957472};
  robot.hi = {0.6981317007977318, 0.6108652381980153, 1.0471975511965976, 2.8797932657906435, 0.9599310885968813,
              0.6981317007977318, 0.3490658503988659, 1.0471975511965976, 2.8797932657906435, 0.9599310885968813};
  robot.layout = {10, 1, 1};
  return robot;
}

// A shipped configuration, read the way the board reads it.
Robot robotFromConfig(const std::string& name) {
  const YAML::Node root = YAML::LoadFile(configPath(name));
  const YAML::Node joints = root["joint_config"];
  Robot robot;
  for (size_t i = 0; i < joints["motor_id"].size(); ++i) {
    robot.type.push_back(static_cast<uint8_t>(joints["motor_type"][i].as<int>()));
    robot.id.push_back(static_cast<uint16_t>(joints["motor_id"][i].as<int>()));
    robot.gr.push_back(joints["gr"][i].as<double>());
    robot.offset.push_back(joints["offset"][i].as<double>());
    robot.lo.push_back(joints["jpos_min"][i].as<double>());
    robot.hi.push_back(joints["jpos_max"][i].as<double>());
  }
  robot.layout = {robot.motors(), root["imu_num"].as<size_t>(), root["battery_num"].as<size_t>()};
  return robot;
}

// The controller's end of the link, played by the test.
class ControllerSocket : public DatagramSocket {
 public:
  ControllerSocket() : DatagramSocket("192.168.1.10", 0) {}
  void send(const Bytes& frame) const { sendTo(addressOf("192.168.1.5", 8880), frame); }
  std::optional<Bytes> exchange(const Bytes& frame, int timeoutMs = 1000) const {
    send(frame);
    return receive(timeoutMs);
  }
};

Bytes asBytes(const std::vector<MotorCmd>& frame) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  return Bytes(bytes, bytes + frame.size() * sizeof(MotorCmd));
}

Bytes passiveFrame(const Robot& robot) {
  std::vector<MotorCmd> frame(robot.motors());
  wire::buildPassiveRead(robot.table(), frame);
  return asBytes(frame);
}

Bytes holdFrame(const Robot& robot, const std::vector<double>& target, float kp, float kd, float tau = 0.0f) {
  std::vector<MotorCmd> cmd(robot.motors());
  for (size_t i = 0; i < robot.motors(); ++i) {
    cmd[i].mode = kModeNormal;
    cmd[i].pos = static_cast<float>(target[i]);
    cmd[i].kp = kp;
    cmd[i].kd = kd;
    cmd[i].tau = tau;
  }
  std::vector<MotorCmd> frame(robot.motors());
  EXPECT_TRUE(wire::encodeCommands(cmd, robot.table(), frame));
  return asBytes(frame);
}

struct Decoded {
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> batteries;
};

Decoded decode(const Robot& robot, const Bytes& reply) {
  EXPECT_EQ(reply.size(), robot.layout.replyLength());
  std::vector<MotorState> rawMotors(robot.layout.motors);
  Decoded out{std::vector<MotorState>(robot.layout.motors), std::vector<ImuState>(robot.layout.imus),
              std::vector<BatState>(robot.layout.batteries)};
  wire::splitReply(reply.data(), rawMotors, out.imus, out.batteries);
  wire::decodeMotors(rawMotors, robot.table(), wire::PositionForm::Offset, wire::Operation::Recv, out.motors);
  return out;
}

std::vector<double> midRange(const Robot& robot) {
  std::vector<double> target;
  for (size_t i = 0; i < robot.motors(); ++i) target.push_back(0.5 * (robot.lo[i] + robot.hi[i]));
  return target;
}

// Sends frames every ~2 ms for `count` exchanges and returns the last reply.
Bytes drive(const ControllerSocket& link, const Bytes& frame, int count) {
  Bytes last;
  for (int i = 0; i < count; ++i) {
    if (auto reply = link.exchange(frame)) last = *reply;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return last;
}

// Number of frames answered within the timeout, each exchanged one at a time.
int answeredCount(const ControllerSocket& link, const Bytes& frame, int frames, int timeoutMs = 150) {
  int answered = 0;
  for (int i = 0; i < frames; ++i) answered += link.exchange(frame, timeoutMs).has_value();
  return answered;
}

const std::string kVeltra = configPath("veltra1.yaml");
const std::string kZenthi = configPath("zenthi.yaml");
const std::string kZenthiModel = DRIVELINK_SOURCE_DIR "/models/zenthi.xml";
const std::vector<double> kZenthiStand = {0, 0.35, -1.95, 0, 0.35, -1.95, 0, 0.35, -1.95,
                                          0, 0.35, -1.95, 0, 0.35, -1.95, 0, 0.35, -1.95};

// The simulator's truth file, read once the simulator has stopped.
using truth_file::TruthTable;

double lastOf(const TruthTable& truth, const std::string& column) { return truth.rows().back().at(truth.index(column)); }

}  // namespace

// ---- Replies: layout, ids and conversions -------------------------------------------

TEST(BoardSimReplies, PassiveReadGetsAFullReplyAtTheRestPose) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  const auto reply = link.exchange(passiveFrame(robot));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 273u);  // 21*10 + 42 + 21
  const Decoded state = decode(robot, *reply);
  for (size_t i = 0; i < robot.motors(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(state.motors[i].status, 9);
    EXPECT_EQ(state.motors[i].id, robot.id[i]);
    EXPECT_EQ(state.motors[i].mode, 10);
    // Rest pose is 0 clamped into the joint's range (the knees start at their lower limit).
    EXPECT_NEAR(state.motors[i].pos, std::clamp(0.0, robot.lo[i], robot.hi[i]), 1e-5);
    EXPECT_NEAR(state.motors[i].vel, 0.0, 1e-6);
    EXPECT_GE(state.motors[i].temp, 30.0f);
    EXPECT_LE(state.motors[i].temp, 40.0f);
  }
  const ImuState& imu = state.imus[0];
  EXPECT_EQ(imu.status, 9);
  EXPECT_EQ(imu.id, 1);
  EXPECT_FLOAT_EQ(imu.acc[2], 9.81f);
  EXPECT_FLOAT_EQ(imu.acc[0], 0.0f);
  EXPECT_FLOAT_EQ(imu.gyro[0] + imu.gyro[1] + imu.gyro[2], 0.0f);
  EXPECT_FLOAT_EQ(imu.quat[0], 1.0f);
  const BatState& battery = state.batteries[0];
  EXPECT_EQ(battery.status, 9);
  EXPECT_EQ(battery.bms_id, 1);
  EXPECT_EQ(battery.failure, 0);
  EXPECT_FLOAT_EQ(battery.voltage, 48.0f);
  EXPECT_NEAR(battery.current, 1.5f, 0.5f);
  EXPECT_FLOAT_EQ(battery.soc, 0.9f);
}

TEST(BoardSimReplies, RecordsCarryTheIdOfTheCommandRecordAndItsMode) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  Bytes frame = passiveFrame(robot);
  frame[0] = 0x42;                   // id of record 0
  frame[sizeof(MotorCmd) + 2] = 7;   // mode of record 1
  const auto reply = link.exchange(frame);
  ASSERT_TRUE(reply);
  MotorState first, second;
  std::memcpy(&first, reply->data(), sizeof(first));
  std::memcpy(&second, reply->data() + sizeof(MotorState), sizeof(second));
  EXPECT_EQ(first.id, 0x42);
  EXPECT_EQ(second.mode, 7);
}

TEST(BoardSimReplies, WrongLengthFramesAreRecordedButNeverAnswered) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  Bytes shortFrame = passiveFrame(robot);
  shortFrame.pop_back();
  Bytes longFrame = passiveFrame(robot);
  longFrame.push_back(0);
  EXPECT_FALSE(link.exchange(shortFrame, 200));
  EXPECT_FALSE(link.exchange(longFrame, 200));
  EXPECT_TRUE(link.exchange(passiveFrame(robot)));
  ASSERT_TRUE(sim.waitForFrames(3, 2000));
  const auto frames = sim.recordedFrames();
  EXPECT_EQ(frames[0], shortFrame);
  EXPECT_EQ(frames[1], longFrame);
  EXPECT_EQ(frames[2], passiveFrame(robot));
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_NE(sim.output().find("frames in 3 (bad 2), replies out 1"), std::string::npos) << sim.output();
}

// A board with other devices than the controller's file: frames of any length get the
// board's own reply, as a real board of that robot would send it.
TEST(BoardSimReplies, AnyFrameLengthAnswersEveryFrameWithTheBoardsOwnLayout) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--any-frame-length"});
  ControllerSocket link;
  const Bytes full = passiveFrame(robot);
  for (const size_t motors : {size_t(4), size_t(18)}) {
    Bytes frame(full.begin(), full.begin() + 4 * sizeof(MotorCmd));
    frame.resize(motors * sizeof(MotorCmd), 0);
    const auto reply = link.exchange(frame);
    ASSERT_TRUE(reply) << motors << " motors' frame unanswered";
    EXPECT_EQ(reply->size(), robot.layout.replyLength());
    EXPECT_EQ((*reply)[0], kStatusValid);
    EXPECT_EQ((*reply)[robot.layout.imuOffset()], kStatusValid);
  }
}

TEST(BoardSimReplies, ACountOf300MotorsMeans44LikeTheSdk) {
  std::string yaml = "robot_type: zenthi\nmotor_num: 300\nimu_num: 0\nbattery_num: 2\njoint_config:\n";
  std::string ones, zeros, fives;
  for (int i = 0; i < 44; ++i) {
    ones += i ? ", 6.0" : "6.0";
    zeros += i ? ", 0.0" : "0.0";
    fives += i ? ", 5" : "5";
  }
  for (const char* key : {"motor_id", "motor_type"}) yaml += std::string("  ") + key + ": [" + fives + "]\n";
  yaml += "  gr: [" + ones + "]\n  offset: [" + zeros + "]\n  jpos_min: [" + zeros + "]\n  jpos_max: [" + zeros + "]\n";
  TempFile config(yaml);
  BoardSim sim(config.path());
  ControllerSocket link;
  const auto reply = link.exchange(Bytes(23 * 44, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 21u * 44 + 21 * 2);
  EXPECT_NE(sim.output().find("motors 44, imus 0, batteries 2"), std::string::npos);
}

TEST(BoardSimReplies, RefusesTheConfigurationsTheSdkRefuses) {
  // The board reads the file with the SDK's own loader: a gear ratio that would overflow
  // ordinary commands is refused naming the motor and key, not simulated.
  std::string text = shippedConfigText("veltra1.yaml");
  const std::string gears = "gr:         [6.0, 6.0, 9.0";
  ASSERT_NE(text.find(gears), std::string::npos);
  text.replace(text.find(gears), gears.size(), "gr:         [6.0, 6.0, 1e-30");
  TempFile config(text);
  FILE* pipe = popen((boardSimProgram() + " --config " + config.path() + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[512];
  for (size_t count; (count = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, count);
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
  EXPECT_NE(output.find("motor 2: joint_config gr[2] = 1e-30"), std::string::npos) << output;
}

TEST(BoardSimReplies, RefusesAnUnknownRobotTypeNamingTheValidOnes) {
  TempFile config(withTopLevelKey(shippedConfigText("veltra1.yaml"), "robot_type", "veltra2"));
  FILE* pipe = popen((boardSimProgram() + " --config " + config.path() + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[512];
  for (size_t count; (count = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, count);
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
  EXPECT_NE(output.find("robot_type is \"veltra2\" in " + config.path() +
                        "; the valid names are veltra1, veltra1L, zenthi, zenthi_v2"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("ready"), std::string::npos) << output;
}

// ---- Where it listens -------------------------------------------------------------

TEST(BoardSimLink, ListensWhereItsFileSaysUnlessBindSaysOtherwise) {
  TempFile config(shippedConfigText("veltra1.yaml") + "\nlink:\n  board_address: 127.0.0.3\n  board_port: 9100\n");
  {
    BoardSim sim(config.path());
    EXPECT_EQ(sim.output().rfind("board_sim: ready udp 127.0.0.3:9100, motors 10", 0), 0u) << sim.output();
  }
  BoardSim sim(config.path(), {"--bind", "127.0.0.1:0"});
  // Port 0 is the system's pick, named in the first line.
  EXPECT_EQ(sim.output().rfind("board_sim: ready udp 127.0.0.1:", 0), 0u) << sim.output();
  EXPECT_NE(sim.udpPort(), 0);
}

TEST(BoardSimLink, ALoopbackAddressInUseIsRefused) {
  BoardSim first(configPath("veltra1.yaml"), {"--bind", "127.0.0.1:0"});
  const std::string taken = "127.0.0.1:" + std::to_string(first.udpPort());
  // A simulator that wrongly shares the address would run on: it is ended after a while.
  FILE* pipe = popen(("timeout 10 " + boardSimProgram() + " --config " + configPath("veltra1.yaml") + " --bind " +
                      taken + " 2>&1")
                         .c_str(),
                     "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[512];
  for (size_t count; (count = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, count);
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
  EXPECT_NE(output.find("board_sim: " + taken + " is already in use"), std::string::npos) << output;
}

// ---- Physics ------------------------------------------------------------------------

TEST(BoardSimPhysics, HeldPositionConvergesForSoftAndStiffGains) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  const std::vector<double> target = midRange(robot);
  for (auto [kp, kd] : {std::pair<float, float>{30.0f, 1.0f}, {200.0f, 5.0f}}) {
    SCOPED_TRACE(kp);
    const Decoded state = decode(robot, drive(link, holdFrame(robot, target, kp, kd), 600));
    for (size_t i = 0; i < robot.motors(); ++i) {
      EXPECT_EQ(state.motors[i].status, 9);
      EXPECT_NEAR(state.motors[i].pos, target[i], 0.01) << "motor " << i;
      EXPECT_NEAR(state.motors[i].vel, 0.0, 0.05) << "motor " << i;
    }
  }
}

TEST(BoardSimPhysics, FeedForwardTorqueShiftsTheHeldPositionAndIsReported) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  const std::vector<double> target = midRange(robot);
  // At rest kp*(pos - q) + tau = 0, so the joint settles tau/kp beyond the set-point.
  const Decoded state = decode(robot, drive(link, holdFrame(robot, target, 100.0f, 3.0f, 2.0f), 600));
  for (size_t i = 0; i < robot.motors(); ++i) {
    EXPECT_NEAR(state.motors[i].pos, target[i] + 0.02, 0.005) << "motor " << i;
    EXPECT_NEAR(state.motors[i].tau, 0.0, 0.1) << "motor " << i;
  }
}

TEST(BoardSimPhysics, PassiveFramesLeaveJointsWhereTheyAre) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  const std::vector<double> target = midRange(robot);
  drive(link, holdFrame(robot, target, 50.0f, 2.0f), 500);
  const Decoded state = decode(robot, drive(link, passiveFrame(robot), 300));
  for (size_t i = 0; i < robot.motors(); ++i) {
    // The passive set-point (motor-side position 0) must not pull the joint anywhere.
    EXPECT_NEAR(state.motors[i].pos, target[i], 0.02) << "motor " << i;
    EXPECT_NEAR(state.motors[i].tau, 0.0, 0.05) << "motor " << i;
  }
}

TEST(BoardSimPhysics, NegativeGearRatiosFollowTheJointSideCommand) {
  const std::string zenthi = configPath("zenthi.yaml");
  Robot robot;
  robot.type = {3, 4, 4, 3, 4, 4, 3, 4, 4, 3, 4, 4, 3, 4, 4, 3, 4, 4};
  for (uint16_t i = 1; i <= 18; ++i) robot.id.push_back(i);
  robot.gr = {6, 6, 6, 6, 6, 6, 6, 6, 6, 6, -6, 6, 6, -6, 6, 6, -6, 6};
  robot.offset.assign(18, 0.0);
  robot.layout = {18, 1, 1};
  BoardSim sim(zenthi);
  ControllerSocket link;
  std::vector<double> target;  // inside every zenthi joint's range
  for (size_t i = 0; i < 18; ++i) target.push_back(i % 3 == 0 ? -0.2 : -0.6);
  const Decoded state = decode(robot, drive(link, holdFrame(robot, target, 80.0f, 2.0f), 600));
  for (size_t i = 0; i < 18; ++i) EXPECT_NEAR(state.motors[i].pos, target[i], 0.01) << "motor " << i;
}

TEST(BoardSimPhysics, JointsStopAtTheirLimits) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  std::vector<double> beyond;
  for (size_t i = 0; i < robot.motors(); ++i) beyond.push_back(robot.hi[i] + 1.0);
  const Decoded state = decode(robot, drive(link, holdFrame(robot, beyond, 50.0f, 2.0f), 300));
  for (size_t i = 0; i < robot.motors(); ++i) EXPECT_NEAR(state.motors[i].pos, robot.hi[i], 1e-4) << i;
}

// ---- Faults -------------------------------------------------------------------------

TEST(BoardSimFaults, DropWithholdsAboutTheFraction) {
  const Robot robot = veltra1();
  ControllerSocket link;
  {
    BoardSim sim(kVeltra, {"--drop", "0.5", "--seed", "7"});
    const int answered = answeredCount(link, passiveFrame(robot), 100, 60);
    EXPECT_GT(answered, 25);
    EXPECT_LT(answered, 75);
  }
  {
    BoardSim sim(kVeltra, {"--drop", "1"});
    EXPECT_EQ(answeredCount(link, passiveFrame(robot), 5, 60), 0);
    EXPECT_EQ(sim.framesReceived(), 5u);
  }
}

TEST(BoardSimFaults, SilentAfterAndSilentBetweenCountFrames) {
  const Robot robot = veltra1();
  ControllerSocket link;
  {
    BoardSim sim(kVeltra, {"--silent-after", "3"});
    EXPECT_EQ(answeredCount(link, passiveFrame(robot), 6, 100), 3);
  }
  {
    BoardSim sim(kVeltra, {"--silent-between", "2:4"});
    std::vector<bool> answered;
    for (int i = 0; i < 6; ++i) answered.push_back(link.exchange(passiveFrame(robot), 150).has_value());
    EXPECT_EQ(answered, (std::vector<bool>{true, true, false, false, true, true}));
  }
}

TEST(BoardSimFaults, SilentWindowWithholdsOneStretchAfterTheFirstFrame) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--silent-window", "300:400"});
  ControllerSocket link;
  std::vector<bool> answered;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(1200)) {
    answered.push_back(link.exchange(passiveFrame(robot), 30).has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(answered.front());
  ASSERT_TRUE(answered.back());
  // Exactly one silent stretch: answered, then withheld, then answered again.
  size_t changes = 0;
  for (size_t i = 1; i < answered.size(); ++i) changes += answered[i] != answered[i - 1];
  EXPECT_EQ(changes, 2u);
}

TEST(BoardSimFaults, DelayHoldsEachReplyBack) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--delay-us", "150000"});
  ControllerSocket link;
  const auto start = Clock::now();
  link.send(passiveFrame(robot));
  EXPECT_FALSE(link.receive(50));
  EXPECT_TRUE(link.receive(3000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
}

TEST(BoardSimFaults, ShortAndLongRepliesChangeTheDatagramLength) {
  const Robot robot = veltra1();
  ControllerSocket link;
  const Bytes frame = passiveFrame(robot);
  {
    BoardSim sim(kVeltra, {"--short-bytes", "7"});
    const auto reply = link.exchange(frame);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 7u);
  }
  {
    BoardSim sim(kVeltra, {"--short", "0.5", "--seed", "3"});
    size_t full = 0, half = 0;
    for (int i = 0; i < 40; ++i) {
      const auto reply = link.exchange(frame);
      ASSERT_TRUE(reply);
      full += reply->size() == 273;
      half += reply->size() == 136;
    }
    EXPECT_EQ(full + half, 40u);
    EXPECT_GT(full, 5u);
    EXPECT_GT(half, 5u);
  }
  {
    BoardSim sim(kVeltra, {"--long-bytes", "5"});
    const auto reply = link.exchange(frame);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 278u);
    EXPECT_EQ(decode(robot, Bytes(reply->begin(), reply->begin() + 273)).motors[0].status, 9);
    EXPECT_EQ((*reply)[277], 0xEE);
  }
}

TEST(BoardSimFaults, DuplicateSendsTheSameReplyTwice) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--duplicate", "1"});
  ControllerSocket link;
  const auto first = link.exchange(passiveFrame(robot));
  const auto second = link.receive(500);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  EXPECT_FALSE(link.receive(100));
}

TEST(BoardSimFaults, StaleAnswersWithThePreviousFramesReply) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--stale", "1"});
  ControllerSocket link;
  Bytes frame = passiveFrame(robot);
  frame[0] = 0x11;
  const auto first = link.exchange(frame);
  frame[0] = 0x22;
  const auto second = link.exchange(frame);
  frame[0] = 0x33;
  const auto third = link.exchange(frame);
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ((*first)[1], 0x11);  // nothing older to send
  EXPECT_EQ((*second)[1], 0x11);
  EXPECT_EQ((*third)[1], 0x22);
}

TEST(BoardSimFaults, OtherPortAnswersFromASecondSocket) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--other-port"});
  ControllerSocket link;
  link.send(passiveFrame(robot));
  sockaddr_in from{};
  ASSERT_TRUE(link.receive(1000, &from));
  EXPECT_EQ(from.sin_addr.s_addr, inet_addr("192.168.1.5"));
  EXPECT_NE(ntohs(from.sin_port), 8880);
}

TEST(BoardSimFaults, ErrorStatusesLandInTheChosenRecords) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--motor-error", "2:7", "--motor-error", "9:1", "--imu-error", "0:3",
                         "--battery-error", "0:5"});
  ControllerSocket link;
  const auto reply = link.exchange(passiveFrame(robot));
  ASSERT_TRUE(reply);
  std::vector<MotorState> motors(10);
  std::vector<ImuState> imus(1);
  std::vector<BatState> batteries(1);
  wire::splitReply(reply->data(), motors, imus, batteries);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(motors[i].status, i == 2 ? 7 : i == 9 ? 1 : 9) << i;
    EXPECT_EQ(motors[i].id, robot.id[i]) << i;
  }
  EXPECT_EQ(imus[0].status, 3);
  EXPECT_EQ(imus[0].id, 1);
  EXPECT_EQ(batteries[0].status, 5);
  EXPECT_EQ(batteries[0].bms_id, 1);
}

TEST(BoardSimFaults, ImuTiltShowsInQuaternionAndGravity) {
  const Robot robot = veltra1();
  const double roll = 0.1, pitch = -0.2;
  BoardSim sim(kVeltra, {"--imu-tilt", "0.1:-0.2"});
  ControllerSocket link;
  const auto reply = link.exchange(passiveFrame(robot));
  ASSERT_TRUE(reply);
  const ImuState imu = decode(robot, *reply).imus[0];
  const Eigen::Quaterniond q(imu.quat[0], imu.quat[1], imu.quat[2], imu.quat[3]);
  EXPECT_NEAR(q.norm(), 1.0, 1e-6);
  // Roll and pitch back out of R = Ry(pitch) Rx(roll).
  const Eigen::Matrix3d r = q.toRotationMatrix();
  EXPECT_NEAR(std::atan2(r(2, 1), r(2, 2)), roll, 1e-5);
  EXPECT_NEAR(-std::asin(r(2, 0)), pitch, 1e-5);
  const Eigen::Vector3d acc(imu.acc[0], imu.acc[1], imu.acc[2]);
  EXPECT_NEAR(acc.norm(), 9.81, 1e-4);
  EXPECT_TRUE(acc.isApprox(r.transpose() * Eigen::Vector3d(0, 0, 9.81), 1e-5));
}

TEST(BoardSimFaults, SignalsCutAndRestoreTheLink) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra);
  ControllerSocket link;
  EXPECT_TRUE(link.exchange(passiveFrame(robot)));
  sim.goSilent();
  EXPECT_EQ(answeredCount(link, passiveFrame(robot), 3, 100), 0);
  sim.resume();
  EXPECT_TRUE(link.exchange(passiveFrame(robot)));
  EXPECT_EQ(sim.framesReceived(), 5u);
}

// ---- The program itself -------------------------------------------------------------

TEST(BoardSimProgram, SerialModeServesAPseudoTerminal) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {}, true);
  ASSERT_EQ(sim.serialPath().rfind("/dev/pts/", 0), 0u) << sim.serialPath();
  const int fd = open(sim.serialPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios tty{};
  tcgetattr(fd, &tty);
  cfmakeraw(&tty);
  tcsetattr(fd, TCSANOW, &tty);
  for (int exchange = 0; exchange < 3; ++exchange) {
    const Bytes frame = passiveFrame(robot);
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    Bytes reply;
    uint8_t chunk[512];
    while (reply.size() < 273) {
      pollfd readable{fd, POLLIN, 0};
      ASSERT_GT(poll(&readable, 1, 2000), 0) << "got " << reply.size() << " bytes";
      const ssize_t count = read(fd, chunk, sizeof(chunk));
      ASSERT_GT(count, 0);
      reply.insert(reply.end(), chunk, chunk + count);
    }
    EXPECT_EQ(reply.size(), 273u);
    EXPECT_EQ(decode(robot, reply).batteries[0].status, 9);
  }
  // A fragment followed by silence is a broken frame; the next whole frame is answered.
  const Bytes frame = passiveFrame(robot);
  ASSERT_EQ(write(fd, frame.data(), 50), 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  Bytes reply;
  uint8_t chunk[512];
  pollfd readable{fd, POLLIN, 0};
  while (reply.size() < 273 && poll(&readable, 1, 2000) > 0) {
    const ssize_t count = read(fd, chunk, sizeof(chunk));
    if (count <= 0) break;
    reply.insert(reply.end(), chunk, chunk + count);
  }
  EXPECT_EQ(reply.size(), 273u);
  close(fd);
  ASSERT_TRUE(sim.waitForFrames(5, 2000));
  EXPECT_EQ(sim.recordedFrames()[3].size(), 50u);
  EXPECT_EQ(sim.recordedFrames()[4], frame);
}

TEST(BoardSimProgram, HelpNamesEveryOptionAndBadCommandLinesFail) {
  std::string help;
  {
    FILE* pipe = popen((boardSimProgram() + " --help").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char chunk[512];
    size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), pipe)) > 0) help.append(chunk, count);
    EXPECT_EQ(pclose(pipe), 0);
  }
  for (const char* option :
       {"--config", "--bind", "--serial", "--drop", "--silent-after", "--silent-between", "--silent-window",
        "--delay-us", "--short", "--short-bytes", "--long-bytes", "--duplicate", "--stale", "--other-port",
        "--motor-error", "--imu-error", "--battery-error", "--imu-tilt", "--seed", "--record", "--quiet",
        "SIGUSR1", "SIGUSR2", "--model", "--start", "--fixed-base", "--truth", "--imu-noise", "--physics-rate",
        "--physics-bench", "--release-at-start", "--physics-cpu", "--realtime-priority",
        "--lockstep", "--actuators", "--ideal-actuators", "--randomize"})
    EXPECT_NE(help.find(option), std::string::npos) << option;

  const std::string quietly = " >/dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system((boardSimProgram() + quietly).c_str())), 2);  // no --config
  EXPECT_EQ(WEXITSTATUS(std::system((boardSimProgram() + " --config x --drop 1.5" + quietly).c_str())), 2);
  EXPECT_EQ(WEXITSTATUS(std::system((boardSimProgram() + " --config x --realtime-priority 100" + quietly).c_str())), 2);
  EXPECT_EQ(WEXITSTATUS(std::system((boardSimProgram() + " --config /nonexistent.yaml" + quietly).c_str())), 1);
  EXPECT_THROW(BoardSim("/nonexistent.yaml"), std::runtime_error);
}

TEST(BoardSimProgram, VerboseRunPrintsSummariesAndExitsCleanlyOnSigint) {
  const Robot robot = veltra1();
  BoardSim sim(kVeltra, {"--verbose", "--drop", "1"});
  ControllerSocket link;
  link.send(passiveFrame(robot));
  ASSERT_TRUE(sim.waitForFrames(1, 2000));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (sim.output().find("board_sim: frames in 1") == std::string::npos && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(sim.output().find("faults injected 1 (silenced 0, dropped 1"), std::string::npos) << sim.output();
  kill(sim.pid(), SIGINT);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_NE(sim.output().find("board_sim: stopped, frames in 1"), std::string::npos) << sim.output();
}

// ---- Whole-body physics (--model) ----------------------------------------------------

TEST(BoardSimWholeBody, ZenthiHeldAtStandKeepsItsHeightAndItsImuFeelsGravity) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "stand", "--truth", truthFile.path()});
  ControllerSocket link;
  const Decoded state = decode(robot, drive(link, holdFrame(robot, kZenthiStand, 60.0f, 1.5f), 400));
  for (size_t i = 0; i < robot.motors(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(state.motors[i].status, 9);
    EXPECT_NEAR(state.motors[i].pos, kZenthiStand[i], 0.1);
  }
  const ImuState& imu = state.imus[0];
  EXPECT_NEAR(imu.acc[2], 9.81, 0.3);  // an accelerometer at rest reads gravity's reaction, up
  EXPECT_NEAR(std::hypot(imu.acc[0], imu.acc[1]), 0.0, 0.3);
  EXPECT_NEAR(imu.quat[0], 1.0, 0.01);
  EXPECT_EQ(sim.stop(), 0);
  const TruthTable truth = TruthTable::read(truthFile.path());
  ASSERT_GT(truth.rows().size(), 10u);
  EXPECT_NEAR(lastOf(truth, "base_z"), 0.133, 0.015);
}

TEST(BoardSimWholeBody, PassiveFramesCommandNoTorqueSoTheRobotSinks) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi,
               {"--model", kZenthiModel, "--start", "stand", "--truth", truthFile.path(), "--release-at-start"});
  ControllerSocket link;
  const Decoded state = decode(robot, drive(link, passiveFrame(robot), 300));
  for (size_t i = 0; i < robot.motors(); ++i) {
    // Only the passive read's small damping gain acts: no stiffness, no set-point.
    const double kd = wire::kPassiveReadKd * robot.gr[i] * robot.gr[i];
    EXPECT_NEAR(state.motors[i].tau, -kd * state.motors[i].vel, 0.05) << i;
  }
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_LT(lastOf(TruthTable::read(truthFile.path()), "base_z"), 0.11);  // sinking towards its belly
}

TEST(BoardSimWholeBody, TheRobotHoldsItsStartPoseUntilACommandTakesHold) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "stand", "--truth", truthFile.path()});
  ControllerSocket link;
  constexpr double kPassiveSeconds = 0.5;
  drive(link, passiveFrame(robot), 250);  // at least kPassiveSeconds: unpowered, it would sink
  std::vector<double> raised = kZenthiStand;
  for (size_t hip = 1; hip < raised.size(); hip += 3) raised[hip] += 0.3;
  const Decoded state = decode(robot, drive(link, holdFrame(robot, raised, 60.0f, 1.5f), 200));
  EXPECT_NEAR(state.motors[1].pos, raised[1], 0.15);
  EXPECT_EQ(sim.stop(), 0);
  const TruthTable truth = TruthTable::read(truthFile.path());
  ASSERT_GT(truth.rows().size(), 60u);
  const std::vector<double>& start = truth.rows().front();
  for (const auto& row : truth.rows()) {
    if (row[0] > kPassiveSeconds) break;
    for (size_t column = 1; column < row.size(); ++column) ASSERT_EQ(row[column], start[column]) << row[0];
  }
  EXPECT_GT(std::fabs(lastOf(truth, "motor1") - start[truth.index("motor1")]), 0.15);  // the PD moved it
}

TEST(BoardSimWholeBody, TruthFileHasTheAgreedColumnsEveryTenMilliseconds) {
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--truth", truthFile.path()});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sim.stop(), 0);  // the file is complete once the simulator has stopped
  std::string expected = "t,base_x,base_y,base_z,base_qw,base_qx,base_qy,base_qz";
  for (int i = 0; i < 18; ++i) expected += ",motor" + std::to_string(i);
  expected += ",push_fx,push_fy,push_fz";
  const TruthTable truth = TruthTable::read(truthFile.path());
  EXPECT_EQ(truth.header(), expected);
  ASSERT_GE(truth.rows().size(), 2u);
  for (size_t r = 0; r < truth.rows().size(); ++r) {
    ASSERT_EQ(truth.rows()[r].size(), 29u) << r;
    EXPECT_NEAR(truth.rows()[r][0], 0.01 * r, 1e-6) << r;
  }
}

TEST(BoardSimWholeBody, IdealMotorTorqueIsLimitedByMotorType) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--fixed-base", "--ideal-actuators"});
  ControllerSocket link;
  std::vector<double> beyondRange;
  for (double hi : robot.hi) beyondRange.push_back(hi + 1.0);
  const Decoded state = decode(robot, drive(link, holdFrame(robot, beyondRange, 500.0f, 1.0f), 150));
  for (size_t i = 0; i < robot.motors(); ++i)
    EXPECT_NEAR(state.motors[i].tau, robot.type[i] == 3 ? 30.0 : 60.0, 1e-3) << i;  // joint side, N m
}

TEST(BoardSimWholeBody, FixedBaseHoldsTheTorsoOffTheFloor) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "stand", "--fixed-base", "--truth", truthFile.path()});
  ControllerSocket link;
  const Decoded state = decode(robot, drive(link, passiveFrame(robot), 200));
  EXPECT_NEAR(state.imus[0].acc[2], 9.81, 0.3);
  EXPECT_EQ(sim.stop(), 0);
  const TruthTable truth = TruthTable::read(truthFile.path());
  ASSERT_FALSE(truth.rows().empty());
  const size_t baseZ = truth.index("base_z");
  const double start = truth.rows().front()[baseZ];
  EXPECT_GT(start, 0.5);  // raised clear of the floor
  for (const auto& row : truth.rows()) EXPECT_NEAR(row[baseZ], start, 0.005);
}

TEST(BoardSimWholeBody, ImuNoiseHasTheGivenSpread) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "lying", "--imu-noise", "0.5"});
  ControllerSocket link;
  std::vector<double> acc, gyro;
  for (int i = 0; i < 200; ++i) {  // a fresh physics step between samples
    const auto reply = link.exchange(passiveFrame(robot));
    ASSERT_TRUE(reply);
    const ImuState imu = decode(robot, *reply).imus[0];
    acc.push_back(imu.acc[2]);
    gyro.push_back(imu.gyro[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto spread = [](const std::vector<double>& values) {
    double mean = 0.0, square = 0.0;
    for (double v : values) mean += v / values.size();
    for (double v : values) square += (v - mean) * (v - mean) / values.size();
    return std::sqrt(square);
  };
  EXPECT_NEAR(spread(acc), 0.5, 0.15);    // m/s^2
  EXPECT_NEAR(spread(gyro), 0.05, 0.015);  // rad/s: a tenth
}

TEST(BoardSimWholeBody, ACorruptCommandDoesNotPoisonTheSimulation) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  TempFile truthFile("", ".csv");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "stand", "--truth", truthFile.path()});
  ControllerSocket link;
  Bytes corrupt = holdFrame(robot, kZenthiStand, 60.0f, 1.5f);
  const float nan = std::nanf("");
  std::memcpy(corrupt.data() + offsetof(MotorCmd, kp), &nan, sizeof(nan));  // motor 0
  drive(link, corrupt, 50);
  const Decoded state = decode(robot, drive(link, holdFrame(robot, kZenthiStand, 60.0f, 1.5f), 100));
  for (size_t i = 0; i < robot.motors(); ++i) EXPECT_NEAR(state.motors[i].pos, kZenthiStand[i], 0.1) << i;
  EXPECT_EQ(sim.stop(), 0);
  // MuJoCo would meet the NaN by resetting the whole robot to its model pose, lying flat.
  const TruthTable truth = TruthTable::read(truthFile.path());
  for (const auto& row : truth.rows()) ASSERT_GT(row[truth.index("base_z")], 0.11) << row[0];
}

TEST(BoardSimWholeBody, FaultOptionsAndSummariesWorkUnderPhysics) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--silent-after", "3", "--verbose"});
  ControllerSocket link;
  EXPECT_EQ(answeredCount(link, passiveFrame(robot), 6), 3);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_NE(sim.output().find("replies out 3 (datagrams 3), faults injected 3 (silenced 3"), std::string::npos)
      << sim.output();
  EXPECT_NE(sim.output().find(", physics real-time factor "), std::string::npos) << sim.output();
  EXPECT_NE(sim.output().find(", held until the first command"), std::string::npos) << sim.output();  // passive only
}

// The link answers on the main thread; the physics steps one priority below it.
TEST(BoardSimWholeBody, RealtimePriorityGoesToTheLinkAndOneBelowToThePhysics) {
  if (!fifoPermitted(30)) GTEST_SKIP() << "this system refuses SCHED_FIFO (no root, CAP_SYS_NICE or rtprio)";
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--realtime-priority", "30"});
  std::vector<ThreadTask> physics;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    physics = threadsNamed("physics", sim.pid());
    if (!physics.empty() && physics.front().priority == 29) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(physics.size(), 1u);
  EXPECT_EQ(physics.front().policy, SCHED_FIFO);
  EXPECT_EQ(physics.front().priority, 29);
  for (const ThreadTask& task : threadTasks(sim.pid())) {
    if (task.tid != sim.pid()) continue;
    EXPECT_EQ(task.policy, SCHED_FIFO);
    EXPECT_EQ(task.priority, 30);
  }
  EXPECT_EQ(sim.stop(), 0);
}

TEST(BoardSimWholeBody, ModelProblemsStopTheProgramBeforeTheLinkOpens) {
  const std::string quietly = " >/dev/null 2>&1";
  const std::string zenthi = boardSimProgram() + " --config " + kZenthi;
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --fixed-base" + quietly).c_str())), 2);  // needs --model
  TempFile noMotors(
      "<mujoco><worldbody><body name=\"torso\"><freejoint name=\"root\"/><geom size=\"0.1\"/></body>"
      "</worldbody></mujoco>",
      ".xml");
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --model " + noMotors.path() + quietly).c_str())), 1);
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --model " + kZenthiModel + " --start nowhere" + quietly).c_str())),
            1);
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --model " + kZenthiModel + " --physics-cpu 1000" + quietly).c_str())),
            1);  // no such CPU
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --model " + kZenthiModel + " --lockstep --physics-cpu 0" + quietly)
                                        .c_str())),
            2);  // no physics thread to pin
  EXPECT_EQ(WEXITSTATUS(std::system((zenthi + " --model " + kZenthiModel + " --actuators /nonexistent.yaml" + quietly)
                                        .c_str())),
            1);
  EXPECT_EQ(WEXITSTATUS(std::system(
                (zenthi + " --model " + kZenthiModel + " --actuators x.yaml --ideal-actuators" + quietly).c_str())),
            2);
}

// A model the physics cannot run (a clock that never moves on, an IMU sensor of too few
// values) stops the program at start with the problem named, within the command's time limit.
TEST(BoardSimWholeBody, AnUnusableTimestepOrImuSensorIsNamedAtStart) {
  std::ifstream in(kZenthiModel);
  std::stringstream original;
  original << in.rdbuf();
  const auto edited = [&original](const std::string& from, const std::string& to) {
    std::string text = original.str();
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  const std::string quat = "<framequat name=\"imu_quat\" objtype=\"site\" objname=\"imu\"/>";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {edited("timestep=\"0.001\"", "timestep=\"0\""), "board_sim: the model's timestep is 0 s"},
      {edited("timestep=\"0.001\"", "timestep=\"-0.001\""), "board_sim: the model's timestep is -0.001 s"},
      {edited("<gyro name=\"imu_gyro\"", "<touch name=\"imu_gyro\""),
       "board_sim: the model's sensor imu_gyro has dimension 1, not 3"},
      {edited(quat, "<framepos name=\"imu_quat\" objtype=\"site\" objname=\"imu\"/>"),
       "board_sim: the model's sensor imu_quat has dimension 3, not 4"},
  };
  for (const auto& [model, line] : cases) {
    const TempFile file(model, ".xml");
    const std::string command =
        "timeout 20 " + boardSimProgram() + " --config " + kZenthi + " --model " + file.path() + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    while (const size_t n = std::fread(chunk, 1, sizeof(chunk), pipe)) output.append(chunk, n);
    const int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 1) << line << "\n" << output;
    EXPECT_NE(output.find(line), std::string::npos) << output;
  }
}

// The board model fed frame by frame: a command that drives every joint at a steady speed
// keeps it moving while frames come; after the timeout without frames the motors only damp
// (the joints stop), and the next frame drives them again.
TEST(BoardSimCommandExpiry, SilencePastTheTimeoutDampsTheMotorsUntilFramesReturn) {
  BoardConfig config = loadBoardConfig(configPath("veltra1.yaml"));
  auto plant = std::make_unique<JointPlant>(config, 0.0, 0.0);
  BoardModel model(config, ErrorStatuses{}, std::move(plant));
  model.setCommandTimeout(0.05);
  std::vector<uint8_t> frame(model.commandLength(), 0);
  for (size_t i = 0; i < config.motors; ++i) {
    MotorCmd command{};
    command.kd = 5.0f;
    command.vel = 1.0f;  // motor side: the joint follows at 1/gr rad/s
    std::memcpy(frame.data() + i * sizeof(MotorCmd), &command, sizeof(command));
  }
  const auto position = [&](const std::vector<uint8_t>& reply) {
    MotorState record;
    std::memcpy(&record, reply.data(), sizeof(record));
    return static_cast<double>(record.pos);
  };
  const auto drive = [&](int frames) {
    std::vector<uint8_t> reply;
    for (int k = 0; k < frames; ++k) reply = model.answer(frame.data(), 0.002);
    return position(reply);
  };
  const double start = drive(250);
  const double driven = drive(250);
  EXPECT_GT(driven - start, 0.3);  // 0.5 s at 1 rad/s, motor side, after the run-up

  for (double silence = 0.002; silence <= 0.5; silence += 0.002) model.idle(silence);
  EXPECT_EQ(model.expiries(), 1u);
  const double stopped = position(model.answer(frame.data(), 0.502));
  // Up to the timeout (0.05 rad) and the coast of a damped joint; not the 0.5 rad of a drive.
  EXPECT_LT(stopped - driven, 0.15);
  EXPECT_GT(drive(250) - stopped, 0.3);
  EXPECT_EQ(model.expiries(), 1u);
  EXPECT_NE(model.plantSummary().find("commands expired 1 times"), std::string::npos);
}

// ---- Actuators and randomised bodies (--actuators, --randomize), in lockstep ------------

namespace {

const std::string kVeltraModel = DRIVELINK_SOURCE_DIR "/models/veltra1.xml";
const std::string kShippedActuators = DRIVELINK_SOURCE_DIR "/models/actuators.yaml";

// A joint-side speed of the shipped file's motor type `type` behind gear `gr`.
double shippedSpeed(int type, const char* key, double gr) {
  return YAML::LoadFile(kShippedActuators)["motor_types"][type][key].as<double>() / std::fabs(gr);
}

std::string shippedActuatorsWith(const std::string& from, const std::string& to) {
  std::ifstream in(kShippedActuators);
  std::stringstream text;
  text << in.rdbuf();
  std::string edited = text.str();
  for (size_t at; (at = edited.find(from)) != std::string::npos;) edited.replace(at, from.size(), to);
  return edited;
}

// Sends `frame` `count` times, one lockstep period each, and returns every reply decoded.
std::vector<Decoded> stepWith(const Robot& robot, const ControllerSocket& link, const Bytes& frame, int count) {
  std::vector<Decoded> replies;
  for (int i = 0; i < count; ++i) {
    const auto reply = link.exchange(frame);
    EXPECT_TRUE(reply);
    if (reply) replies.push_back(decode(robot, *reply));
  }
  return replies;
}

std::vector<double> positionsOf(const Decoded& state) {
  std::vector<double> q;
  for (const MotorState& motor : state.motors) q.push_back(motor.pos);
  return q;
}

}  // namespace

// A hip pitch driven by a torque far above its peak: the ideal motor would accelerate it
// without end, the real one runs out of torque at speed and tops out below its no-load speed.
TEST(BoardSimActuators, TheTorqueSpeedEnvelopeCapsTorqueAtSpeed) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--fixed-base", "--lockstep"});
  ControllerSocket link;
  std::vector<double> stay = kZenthiStand;
  Bytes frame = holdFrame(robot, stay, 0.0f, 0.0f);
  std::vector<MotorCmd> records(robot.motors());
  std::memcpy(records.data(), frame.data(), frame.size());
  records[1].tau = 1000.0f / static_cast<float>(robot.gr[1]);  // motor side
  frame = asBytes(records);
  const double corner = shippedSpeed(robot.type[1], "corner_speed", robot.gr[1]);
  const double noLoad = shippedSpeed(robot.type[1], "no_load_speed", robot.gr[1]);
  MotorState fastest{};
  for (const Decoded& state : stepWith(robot, link, frame, 100))
    if (state.motors[1].vel > fastest.vel) fastest = state.motors[1];
  EXPECT_GT(fastest.vel, corner);
  EXPECT_LT(fastest.vel, noLoad);
  EXPECT_LT(fastest.tau, 0.4 * 6.0 * 10.0);  // well below the type's 60 N m peak at the joint
}

// A position step with a command delay of 10 ms: the torque stays that of the old command for
// the first four 2.1 ms frames and is the new one's by the sixth.
TEST(BoardSimActuators, TheCommandDelayShowsInAStepResponse) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  const TempFile actuators(shippedActuatorsWith("delay: 0.0005", "delay: 0.010"));
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--fixed-base", "--lockstep", "--actuators", actuators.path()});
  ControllerSocket link;
  const std::vector<double> start = positionsOf(stepWith(robot, link, passiveFrame(robot), 1).back());
  const double before = stepWith(robot, link, holdFrame(robot, start, 40.0f, 1.0f), 50).back().motors[1].tau;
  std::vector<double> stepped = start;
  stepped[1] += 0.5;  // 20 N m more
  const std::vector<Decoded> response = stepWith(robot, link, holdFrame(robot, stepped, 40.0f, 1.0f), 6);
  for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(response[k].motors[1].tau, before, 2.0) << k;
  EXPECT_GT(response[5].motors[1].tau - before, 15.0);
}

// Every motor pressed against its stop for a second: reported positions lie on the encoder's
// steps, and the windings warm above the ambient temperature.
TEST(BoardSimActuators, MotorRecordsShowEncoderStepsAndWarmingWindings) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  BoardSim sim(kZenthi, {"--model", kZenthiModel, "--fixed-base", "--lockstep"});
  ControllerSocket link;
  std::vector<double> beyondRange;
  for (double hi : robot.hi) beyondRange.push_back(hi + 1.0);
  const std::vector<Decoded> replies = stepWith(robot, link, holdFrame(robot, beyondRange, 500.0f, 1.0f), 480);
  const double counts = YAML::LoadFile(kShippedActuators)["motor_types"][4]["encoder_counts"].as<double>();
  for (size_t i = 0; i < robot.motors(); ++i) {
    SCOPED_TRACE(i);
    const double steps = replies.back().motors[i].pos * robot.gr[i] * counts / (2.0 * M_PI);
    EXPECT_NEAR(steps, std::round(steps), 0.02);
    EXPECT_GT(replies.back().motors[i].temp - replies.front().motors[i].temp, 0.2);  // degrees C
  }
}

// The same seed draws the same body and the same run; another seed another.
TEST(BoardSimActuators, RandomizedRunsRepeatWithTheirSeed) {
  const Robot robot = robotFromConfig("zenthi.yaml");
  const auto run = [&robot](const std::string& seed) {
    TempFile truthFile("", ".csv");
    {
      BoardSim sim(kZenthi, {"--model", kZenthiModel, "--start", "stand", "--lockstep", "--randomize", seed,
                             "--truth", truthFile.path()});
      ControllerSocket link;
      stepWith(robot, link, holdFrame(robot, kZenthiStand, 60.0f, 1.5f), 300);
      EXPECT_EQ(sim.stop(), 0);
      EXPECT_NE(sim.output().find("board_sim: randomize " + seed + ": command delay "), std::string::npos);
    }
    std::ifstream in(truthFile.path());
    std::string comments;
    for (std::string line; std::getline(in, line) && line[0] == '#';) comments += line + "\n";
    return std::make_pair(comments, TruthTable::read(truthFile.path()).column("base_z"));
  };
  const auto first = run("7"), again = run("7"), other = run("8");
  EXPECT_NE(first.first.find("# randomize 7: link mass factors: torso="), std::string::npos) << first.first;
  EXPECT_EQ(first.first, again.first);
  EXPECT_NE(first.first, other.first);
  ASSERT_GT(first.second.size(), 50u);
  EXPECT_EQ(first.second, again.second);
  EXPECT_NE(first.second, other.second);
}

// The biped held by a stiff PD on every joint stands through a sideways push of 40 N for
// 0.2 s and falls under one of 400 N.
TEST(BoardSimActuators, AStiffHeldBipedSurvivesASmallSidewaysPushButNotALargeOne) {
  const Robot robot = veltra1();
  const auto heightAfterPush = [&robot](const std::string& newtons) {
    TempFile truthFile("", ".csv");
    {
      BoardSim sim(kVeltra, {"--model", kVeltraModel, "--start", "stand", "--lockstep", "--push",
                             "1.0:0," + newtons + ",0:0.2", "--truth", truthFile.path()});
      ControllerSocket link;
      const std::vector<double> stand = positionsOf(stepWith(robot, link, passiveFrame(robot), 1).back());
      stepWith(robot, link, holdFrame(robot, stand, 400.0f, 6.0f), 1430);  // 3 s
      EXPECT_EQ(sim.stop(), 0);
    }
    const TruthTable truth = TruthTable::read(truthFile.path());
    return std::make_pair(truth.rows().front().at(truth.index("base_z")), lastOf(truth, "base_z"));
  };
  const auto [standing, afterSmall] = heightAfterPush("40");
  EXPECT_GT(afterSmall, standing - 0.03);
  EXPECT_LT(heightAfterPush("400").second, 0.5 * standing);
}
