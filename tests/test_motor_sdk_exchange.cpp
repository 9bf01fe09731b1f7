// The bus talking to a board inside this program, or to the board simulator on a loopback
// port where the simulator's faults or a real socket matter: what the board sees byte for
// byte, how its replies decode, the warnings for a silent board, short replies and error
// statuses, and the split family under three threads; and the flight recorder's file when
// its pipe's reader leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "board_sim.h"
#include "bytes.h"
#include "capture.h"
#include "flight_recorder.h"
#include "in_process_port.h"
#include "motor_sdk.h"
#include "robot_configs.h"
#include "temp_file.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kMotors = 10;  // veltra1: 10 motors, 1 IMU, 1 battery
constexpr int kAttempts = 50;   // a loaded machine may let the odd 2 ms reply window pass

std::string hexOfFrame(const std::vector<uint8_t>& frame, size_t record) {
  return hexBytes(frame.data() + record * sizeof(MotorCmd), sizeof(MotorCmd));
}

/// Joint-side commands that encode to round motor-side numbers for veltra1's gears.
std::vector<MotorCmd> roundCommands() {
  std::vector<MotorCmd> cmd(kMotors);
  for (size_t i = 0; i < kMotors; ++i) {
    const bool six = i == 0 || i == 1 || i == 5 || i == 6;  // the others have a ratio of 9
    cmd[i] = MotorCmd{0, 0, 10, 1.0f, 2.0f, six ? 3.0f : 4.5f, six ? 36.0f : 81.0f, six ? 9.0f : 20.25f};
  }
  return cmd;
}

/// Every motor commanded with `seq` in all five values, so a frame mixed from two posts shows.
std::vector<MotorCmd> sequenceCommands(int seq) {
  const auto v = static_cast<float>(seq);
  return std::vector<MotorCmd>(kMotors, MotorCmd{0, 0, 10, v, v, v, v, v});
}

/// The sequence number a recorded frame carries, or -1 when its records disagree.
int sequenceOf(const std::vector<uint8_t>& frame, const MotorSDK& bus) {
  int seq = -2;
  for (size_t i = 0; i < kMotors; ++i) {
    const MotorCmd joint = wire::toJointSide(wireRecord(frame, i), bus.gearRatios()[i], bus.offsets()[i]);
    for (float value : {joint.pos, joint.vel, joint.tau, joint.kp, joint.kd}) {
      // Floats keep adjacent sequence numbers well apart below a few million.
      const int n = static_cast<int>(std::lround(value));
      if (std::fabs(value - n) > 0.3f || (seq != -2 && n != seq)) return -1;
      seq = n;
    }
  }
  return seq;
}

struct Feedback {
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> bats;
};

bool allValid(const Feedback& fb) {
  for (const auto& m : fb.motors)
    if (m.status != kStatusValid) return false;
  for (const auto& u : fb.imus)
    if (u.status != kStatusValid) return false;
  for (const auto& b : fb.bats)
    if (b.status != kStatusValid) return false;
  return true;
}

/// The bus on a board of type Board (BoardSim or InProcessBoard, which read the same), and
/// the helpers both fixtures share.
template <typename Board>
class BusTest : public testing::Test {
 protected:
  /// Repeats a passive read until every record is valid (bounded).
  void recvValid(Feedback& fb) {
    StdoutCapture quiet;
    for (int n = 0; n < kAttempts; ++n) {
      bus->recv(fb.motors, fb.imus, fb.bats);
      if (allValid(fb)) return;
    }
    FAIL() << "the board never answered in full";
  }

  /// Runs `exchange` until a reply arrived in time; returns that call's output.
  std::string untilAnswered(const std::function<void()>& exchange) {
    std::string text;
    for (int n = 0; n < kAttempts; ++n) {
      StdoutCapture out;
      exchange();
      text = out.finish();
      if (text.find("wait time out") == std::string::npos) return text;
    }
    ADD_FAILURE() << "no reply in time; last output:\n" << text;
    return text;
  }

  std::vector<uint8_t> lastFrame() const { return board->recordedFrames().back(); }

  std::unique_ptr<Board> board;
  std::unique_ptr<MotorSDK> bus;  // after the board: an in-process board's port goes first
};

// The bus on the board simulator on a loopback port, for what needs the simulator's faults,
// a real socket's timing or a heap of this program left to the bus alone.
class BusOnBoard : public BusTest<BoardSim> {
 protected:
  /// Starts the board for `config` and opens the bus on the same file.
  void open(const std::string& config = configPath("veltra1.yaml"), std::vector<std::string> boardArgs = {}) {
    board = std::make_unique<BoardSim>(config, onLoopback(std::move(boardArgs)));
    bus = std::make_unique<MotorSDK>();
    StdoutCapture quiet;
    bus->init(config, board->loopbackLink());
  }
};

// The bus on a board inside this program, for what the bus itself does with frames and
// replies: no socket and no timing are involved.
class BusInProcess : public BusTest<InProcessBoard> {
 protected:
  void open(const std::string& config = configPath("veltra1.yaml")) {
    board = std::make_unique<InProcessBoard>(config);
    bus = std::make_unique<MotorSDK>();
    StdoutCapture quiet;
    bus->init(config, board->port());
  }
};

// ---- What the board sees. -------------------------------------------------------------------

TEST_F(BusInProcess, SendRecvSendsTheScaledCommandsByteForByte) {
  open();
  Feedback fb;
  {
    StdoutCapture quiet;
    bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats);
  }
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  const std::vector<uint8_t> frame = lastFrame();
  ASSERT_EQ(frame.size(), kMotors * 23);
  // id 1, type 5, gear 6, offset 0: 6.0, 12.0, 0.5, 1.0, 0.25
  EXPECT_EQ(hexOfFrame(frame, 0), "01 05 0A 00 00 C0 40 00 00 40 41 00 00 00 3F 00 00 80 3F 00 00 80 3E");
  // id 3, type 4, gear 9, offset 0.25: 9.25, 18.0, 0.5, 1.0, 0.25
  EXPECT_EQ(hexOfFrame(frame, 2), "03 04 0A 00 00 14 41 00 00 90 41 00 00 00 3F 00 00 80 3F 00 00 80 3E");
  // id 4, gear 9, offset -0.5: position 8.5
  EXPECT_EQ(hexOfFrame(frame, 3), "04 04 0A 00 00 08 41 00 00 90 41 00 00 00 3F 00 00 80 3F 00 00 80 3E");
  EXPECT_EQ(hexBytes(bus->commandFrame().data(), frame.size()), hexBytes(frame.data(), frame.size()));
}

TEST_F(BusInProcess, PassiveReadsCarryTheirFixedFrames) {
  open();
  Feedback fb;
  StdoutCapture quiet;
  bus->recv(fb.motors, fb.imus, fb.bats);
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 2), "03 04 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A D7 A3 3C");

  bus->recvMT();
  ASSERT_TRUE(board->waitForFrames(2, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 2), "03 04 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(BusInProcess, ZeroSettingTakesOnlyTheModes) {
  open();
  std::vector<MotorCmd> cmd = roundCommands();
  cmd[1].mode = 3;
  Feedback fb;
  StdoutCapture quiet;
  bus->setMotorZero(cmd, fb.motors, fb.imus, fb.bats);
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 1), "02 05 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(BusInProcess, StopResendsTheStoredFrameFiveTimes) {
  open();
  Feedback fb;
  {
    StdoutCapture quiet;
    bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats);
  }
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  StdoutCapture out;
  bus->stop();
  ASSERT_TRUE(board->waitForFrames(6, 5000));
  const auto frames = board->recordedFrames();
  ASSERT_EQ(frames.size(), 6u);
  for (const auto& frame : frames) EXPECT_EQ(frame, frames.front());
  EXPECT_EQ(countOf(out.finish(), "[WARNNING]"), 0u);  // nothing is decoded
}

// ---- How replies decode. --------------------------------------------------------------------

TEST_F(BusOnBoard, RepliesDecodeToTheJointSide) {
  open(configPath("veltra1.yaml"), {"--imu-tilt", "0.1:-0.2"});
  Feedback fb;
  recvValid(fb);
  ASSERT_EQ(fb.motors.size(), kMotors);
  // The board starts every joint at rest at 0 (or at its nearest stop).
  EXPECT_EQ(fb.motors[2].id, 3);
  EXPECT_EQ(fb.motors[2].mode, 10);
  EXPECT_NEAR(fb.motors[2].pos, 0.0, 1e-6);
  EXPECT_NEAR(fb.motors[3].pos, 0.2617993877991494, 1e-6);  // the knee's lower stop
  EXPECT_EQ(fb.imus[0].id, 1);
  EXPECT_EQ(fb.bats[0].bms_id, 1);
  EXPECT_EQ(fb.bats[0].voltage, 48.0f);
  EXPECT_EQ(fb.bats[0].soc, 0.9f);

  // The raw form keeps the offset: (0 * 9 + 0.25) / 9.
  Feedback raw;
  StdoutCapture quiet;
  for (int n = 0; n < kAttempts && !(raw.motors.size() && allValid(raw)); ++n) bus->recvRaw(raw.motors, raw.imus, raw.bats);
  quiet.finish();
  ASSERT_TRUE(allValid(raw));
  EXPECT_NEAR(raw.motors[2].pos, 0.25 / 9, 1e-6);

  StdoutCapture printed;
  bus->print(fb.motors, fb.imus, fb.bats);
  const std::string text = printed.finish();
  EXPECT_NE(text.find("[motor recv] id:3 mode:10 pos:0.000 vel:0.000"), std::string::npos) << text;
  EXPECT_NE(text.find("[imu recv] id:1 roll:0.100 pitch:-0.200 yaw:"), std::string::npos) << text;
  EXPECT_NE(text.find("[battery recv] bms_id:1 voltage:48.000 current:"), std::string::npos) << text;
  EXPECT_LT(text.find("[motor recv]"), text.find("[imu recv]"));
  EXPECT_LT(text.find("[imu recv]"), text.find("[battery recv]"));
}

TEST_F(BusInProcess, ImuRecordsComeBackThroughTheMountingRotation) {
  std::string text = shippedConfigText("veltra1.yaml");
  const std::string neutral = "rotation: [0.0, 0.0, 0.0, 1.0]";
  ASSERT_NE(text.find(neutral), std::string::npos);
  text.replace(text.find(neutral), neutral.size(), "rotation: [1.0, 0.0, 0.0, 0.0]");  // half a turn about x
  TempFile config(text);
  open(config.path());
  Feedback fb;
  recvValid(fb);  // the level board reports (1, 0, 0, 0)
  EXPECT_NEAR(fb.imus[0].quat[0], 0.0f, 1e-6f);
  EXPECT_NEAR(fb.imus[0].quat[1], 1.0f, 1e-6f);

  Feedback raw;
  StdoutCapture quiet;
  for (int n = 0; n < kAttempts && !(raw.imus.size() && allValid(raw)); ++n) bus->recvRaw(raw.motors, raw.imus, raw.bats);
  EXPECT_NEAR(raw.imus[0].quat[0], 1.0f, 1e-6f);  // the raw read is not calibrated
  acc_bias.setZero();
  gyro_bias.setZero();
  R_b_i.setIdentity();
}

TEST_F(BusInProcess, CallerVectorsAreResizedToTheCounts) {
  open();
  Feedback fb;
  fb.motors.resize(3);
  fb.imus.resize(5);
  StdoutCapture quiet;
  bus->recv(fb.motors, fb.imus, fb.bats);
  EXPECT_EQ(fb.motors.size(), kMotors);
  EXPECT_EQ(fb.imus.size(), 1u);
  EXPECT_EQ(fb.bats.size(), 1u);
  fb.motors.resize(20);
  bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats);
  EXPECT_EQ(fb.motors.size(), kMotors);
}

TEST_F(BusInProcess, ShortCommandVectorThrowsBeforeSending) {
  open();
  Feedback fb;
  std::vector<MotorCmd> shortCmd(3);
  EXPECT_THROW(bus->sendRecv(shortCmd, fb.motors, fb.imus, fb.bats), std::out_of_range);
  EXPECT_THROW(bus->setSendMT(shortCmd), std::out_of_range);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(board->framesReceived(), 0u);
  // cmd_mutex was released on the way out.
  auto again = std::async(std::launch::async, [&] { bus->setSendMT(roundCommands()); });
  EXPECT_EQ(again.wait_for(5s), std::future_status::ready);
}

TEST_F(BusInProcess, CommandsThatAreNotFiniteOnTheMotorSideAreRefused) {
  open();
  bus->setSendMT(roundCommands());
  const std::string stored = hexBytes(bus->commandFrame().data(), kMotors * sizeof(MotorCmd));
  std::vector<std::vector<MotorCmd>> bad(3, roundCommands());
  bad[0][4].tau = NAN;
  bad[1][9].vel = -INFINITY;
  bad[2][0].pos = 1e38f;  // a float on the joint side, beyond one once geared up by 6
  Feedback fb;
  for (const auto& cmd : bad) {
    EXPECT_THROW(bus->setSendMT(cmd), std::invalid_argument);
    EXPECT_THROW(bus->sendRecv(cmd, fb.motors, fb.imus, fb.bats), std::invalid_argument);
    EXPECT_EQ(hexBytes(bus->commandFrame().data(), kMotors * sizeof(MotorCmd)), stored);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(board->framesReceived(), 0u);
  auto again = std::async(std::launch::async, [&] { bus->setSendMT(roundCommands()); });
  EXPECT_EQ(again.wait_for(5s), std::future_status::ready);
}

// ---- Warnings, and the previous values that stay. -------------------------------------------

TEST_F(BusInProcess, SilentBoardWarnsForEveryRecordAndKeepsPreviousValues) {
  open();
  Feedback fb;
  recvValid(fb);
  const Feedback before = fb;
  board->setSilent(true);
  std::string text;
  for (int n = 0; n < kAttempts; ++n) {  // the signal may land after a frame already in flight
    StdoutCapture out;
    bus->recv(fb.motors, fb.imus, fb.bats);
    text = out.finish();
    if (fb.motors[0].status == 0) break;
  }
  for (unsigned i = 0; i < kMotors; ++i) {
    const std::string line = "[WARNNING] motor " + std::to_string(i) + " id " + std::to_string(i + 1) +
                             " recv status not OK 0\n";
    EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(fb.motors[i].status, 0);
    EXPECT_EQ(fb.motors[i].id, 0);
    EXPECT_EQ(fb.motors[i].pos, before.motors[i].pos);
    EXPECT_EQ(fb.motors[i].mode, before.motors[i].mode);
    EXPECT_EQ(fb.motors[i].temp, before.motors[i].temp);
  }
  EXPECT_NE(text.find("[WARNNING] imu 0 recv status error 0 \n"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARNNING] battery 0 recv status error 0 \n"), std::string::npos) << text;
  EXPECT_EQ(fb.bats[0].voltage, before.bats[0].voltage);
  EXPECT_LT(text.find("[WARNNING] motor 9"), text.find("[WARNNING] imu"));
  EXPECT_LT(text.find("[WARNNING] imu"), text.find("[WARNNING] battery"));
}

TEST_F(BusInProcess, KeptImuRecordsAreNotCalibratedAgain) {
  std::string text = shippedConfigText("veltra1.yaml");
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"bias: [0.0, 0.0, 0.0]", "bias: [0.5, 0.5, 0.5]"},
                                 {"rotation: [0.0, 0.0, 0.0, 1.0]", "rotation: [0.0, 0.0, 0.38268343, 0.92387953]"}}) {
    ASSERT_NE(text.find(from), std::string::npos) << from;
    text.replace(text.find(from), from.size(), to);
  }
  TempFile config(text);
  open(config.path());
  Feedback fb;
  recvValid(fb);
  const auto readings = [](const ImuState& u) {
    return hexBytes(u.acc, sizeof u.acc) + " " + hexBytes(u.gyro, sizeof u.gyro) + " " + hexBytes(u.quat, sizeof u.quat);
  };
  const std::string calibrated = readings(fb.imus[0]);
  board->setSilent(true);
  StdoutCapture quiet;
  // The level board always reports the same reading, so a late valid reply calibrates to the
  // same values; a kept record must stay exactly as it was.
  for (int n = 0; n < 20; ++n) {
    bus->recv(fb.motors, fb.imus, fb.bats);
    EXPECT_EQ(readings(fb.imus[0]), calibrated) << "read " << n;
  }
  EXPECT_EQ(fb.imus[0].status, 0);
  acc_bias.setZero();
  gyro_bias.setZero();
  R_b_i.setIdentity();
}

TEST_F(BusOnBoard, ShortRepliesLeaveTheMissingRecordsAtStatusZero) {
  open(configPath("veltra1.yaml"), {"--short-bytes", "84"});  // four motor records
  Feedback fb;
  const std::string text = untilAnswered([&] { bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats); });
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(fb.motors[i].status, kStatusValid) << i;
  for (size_t i = 4; i < kMotors; ++i) EXPECT_EQ(fb.motors[i].status, 0) << i;
  EXPECT_NE(text.find("[WARNNING] motor 4 id 5 sendRecv status not OK 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARNNING] imu 0 sendRecv status error 0 \n"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARNNING] battery 0 sendRecv status error 0 \n"), std::string::npos) << text;
}

TEST_F(BusOnBoard, ErrorStatusesWarnAndKeepEarlierValues) {
  open(configPath("veltra1.yaml"), {"--motor-error", "2:5", "--imu-error", "0:7", "--battery-error", "0:3"});
  Feedback fb;
  fb.motors.assign(kMotors, MotorState{});
  fb.motors[2].pos = 42.0f;
  fb.motors[2].mode = 77;
  fb.imus.assign(1, ImuState{});
  fb.imus[0].acc[2] = 5.0f;
  fb.bats.assign(1, BatState{});
  fb.bats[0].voltage = 12.0f;
  // An IMU record with an error status keeps the caller's values untouched by the calibration.
  const std::string text = untilAnswered([&] { bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats); });
  EXPECT_NE(text.find("[WARNNING] motor 2 id 3 sendRecv status not OK 5\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARNNING] imu 1 sendRecv status error 7 \n"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARNNING] battery 1 sendRecv status error 3 \n"), std::string::npos) << text;
  EXPECT_EQ(fb.motors[2].status, 5);
  EXPECT_EQ(fb.motors[2].pos, 42.0f);
  EXPECT_EQ(fb.motors[2].mode, 77);
  EXPECT_EQ(fb.imus[0].acc[2], 5.0f);
  EXPECT_EQ(fb.bats[0].voltage, 12.0f);

  StdoutCapture printed;
  bus->print(roundCommands(), fb.motors, fb.imus, fb.bats);
  const std::string report = printed.finish();
  EXPECT_NE(report.find("[ERROR][motor recv] id:3 status:5 mode:77 pos:42.000"), std::string::npos) << report;
  EXPECT_NE(report.find("[ERROR][print] imu 1 recv error, error type 7!\n"), std::string::npos) << report;
  EXPECT_NE(report.find("[ERROR][print] battery 1 recv error, error type 3!\n"), std::string::npos) << report;
}

// ---- The split family. ----------------------------------------------------------------------

TEST_F(BusInProcess, PostedCommandsLeaveWithTheNextExchange) {
  open();
  Feedback fb;
  recvValid(fb);
  bus->setSendMT(roundCommands());
  const size_t before = board->framesReceived();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(board->framesReceived(), before);  // nothing is sent by posting

  // Until the next exchange, getRecvMT decodes the reply it already has.
  Feedback first = fb, second = fb;
  StdoutCapture quiet;
  bus->getRecvMT(first.motors, first.imus, first.bats);
  bus->getRecvMT(second.motors, second.imus, second.bats);
  EXPECT_EQ(hexBytes(first.motors.data(), 21 * kMotors), hexBytes(second.motors.data(), 21 * kMotors));

  bus->sendRecvMT();
  ASSERT_TRUE(board->waitForFrames(before + 1, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 0), "01 05 0A 00 00 C0 40 00 00 40 41 00 00 00 3F 00 00 80 3F 00 00 80 3E");
}

TEST_F(BusInProcess, BackgroundReadStaysUntilTheNextPost) {
  open();
  bus->setSendMT(roundCommands());
  StdoutCapture quiet;
  bus->recvMT();
  bus->sendRecvMT();
  ASSERT_TRUE(board->waitForFrames(2, 5000));
  const std::string passive = "01 05 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  for (const auto& frame : board->recordedFrames()) EXPECT_EQ(hexOfFrame(frame, 0), passive);
}

TEST_F(BusInProcess, GetRecvMTFillsOnlyTheCountsAndChecksSizes) {
  open();
  StdoutCapture quiet;
  for (int n = 0; n < 3; ++n) bus->recvMT();
  Feedback fb;
  fb.motors.assign(kMotors + 2, MotorState{});
  fb.motors[kMotors].pos = 7.0f;
  fb.imus.assign(2, ImuState{});
  fb.imus[1].quat[0] = 0.5f;  // beyond the count: not even calibrated
  fb.bats.assign(1, BatState{});
  bus->getRecvMT(fb.motors, fb.imus, fb.bats);
  EXPECT_EQ(fb.motors.size(), kMotors + 2);
  EXPECT_EQ(fb.motors[kMotors].pos, 7.0f);
  EXPECT_EQ(fb.imus[1].quat[0], 0.5f);

  Feedback tooShort;
  tooShort.motors.resize(3);
  tooShort.imus.resize(1);
  tooShort.bats.resize(1);
  EXPECT_THROW(bus->getRecvMT(tooShort.motors, tooShort.imus, tooShort.bats), std::out_of_range);
  tooShort.motors.resize(kMotors);
  tooShort.imus.clear();
  EXPECT_THROW(bus->getRecvMT(tooShort.motors, tooShort.imus, tooShort.bats), std::out_of_range);
  // feedback_mutex is free again for any thread.
  auto again = std::async(std::launch::async, [&] { bus->getRecvMT(fb.motors, fb.imus, fb.bats); });
  EXPECT_EQ(again.wait_for(5s), std::future_status::ready);
}

TEST_F(BusInProcess, UnknownMotorTypeStopsTheFrameAndReleasesTheLock) {
  std::string config = shippedConfigText("veltra1.yaml");
  const std::string types = "motor_type: [5, 5, 4, 4, 4, 5, 5, 4, 4, 4]";
  ASSERT_NE(config.find(types), std::string::npos);
  config.replace(config.find(types), types.size(), "motor_type: [5, 5, 7, 4, 4, 5, 5, 4, 4, 4]");
  TempFile file(config);
  open(file.path());

  StdoutCapture out;
  bus->setSendMT(roundCommands());
  EXPECT_EQ(countOf(out.finish(), "[MotorSDK::sendRecv] unkown comm type\n"), 1u);
  // Records before the failing one are rewritten.
  EXPECT_EQ(bus->commandFrame()[1].id, 2);
  EXPECT_EQ(bus->commandFrame()[3].id, 0);

  auto other = std::async(std::launch::async, [&] {
    StdoutCapture quiet;
    bus->setSendMT(roundCommands());
  });
  ASSERT_EQ(other.wait_for(5s), std::future_status::ready);

  StdoutCapture quiet;
  bus->sendRecvMT();
  bus->recvMT();
  Feedback fb;
  bus->sendRecv(roundCommands(), fb.motors, fb.imus, fb.bats);
  EXPECT_EQ(fb.motors.size(), kMotors);  // resized before the abandonment
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(board->framesReceived(), 0u);

  // The passive read sends any type.
  bus->recv(fb.motors, fb.imus, fb.bats);
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 2).substr(0, 8), "03 07 0A");
}

TEST_F(BusOnBoard, ThreeThreadsNeverTearAFrameNorLoseTheLastPost) {
  open();
  constexpr int kExchanges = 3000;
  constexpr int kLastSequence = 1000000;
  std::atomic<int> posted{1};
  std::atomic<bool> done{false};
  std::atomic<int> exchanges{0}, reads{0};
  bus->setSendMT(sequenceCommands(1));

  StdoutCapture quiet;  // late replies print port warnings
  auto finished = std::async(std::launch::async, [&] {
    std::thread link([&] {
      for (int n = 0; n < kExchanges; ++n) {
        bus->sendRecvMT();
        exchanges = n + 1;
      }
      done = true;
    });
    std::thread poster([&] {
      for (int seq = 2; !done && seq < kLastSequence; ++seq) {
        bus->setSendMT(sequenceCommands(seq));
        posted = seq;  // as fast as it can, so posts overlap the link's copies
      }
    });
    std::thread reader([&] {
      Feedback fb{std::vector<MotorState>(kMotors), std::vector<ImuState>(1), std::vector<BatState>(1)};
      while (!done) {
        bus->getRecvMT(fb.motors, fb.imus, fb.bats);
        ++reads;
        std::this_thread::sleep_for(100us);
      }
    });
    link.join();
    poster.join();
    reader.join();
  });
  if (finished.wait_for(120s) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %d exchanges, %d posts, %d reads\n", exchanges.load(), posted.load(), reads.load());
    std::_Exit(1);
  }
  bus->sendRecvMT();  // carries the last post
  quiet.finish();

  ASSERT_TRUE(board->waitForFrames(kExchanges + 1, 10000));
  const auto frames = board->recordedFrames();
  ASSERT_EQ(frames.size(), static_cast<size_t>(kExchanges + 1));
  int previous = 0;
  for (size_t f = 0; f < frames.size(); ++f) {
    const int seq = sequenceOf(frames[f], *bus);
    ASSERT_GT(seq, 0) << "frame " << f << " is torn: " << hexBytes(frames[f].data(), 46);
    ASSERT_GE(seq, previous) << "frame " << f << " went back in time";
    previous = seq;
  }
  EXPECT_EQ(previous, posted.load());
  EXPECT_GT(posted.load(), 2);
  EXPECT_GT(reads.load(), 0);
}

TEST_F(BusOnBoard, ExchangesAllocateNothing) {
  open();
  Feedback fb{std::vector<MotorState>(kMotors), std::vector<ImuState>(1), std::vector<BatState>(1)};
  bus->setSendMT(roundCommands());
  StdoutCapture quiet;
  // One warm-up round lets the C library set up its buffers.
  bus->sendRecvMT();
  bus->recvMT();
  bus->getRecvMT(fb.motors, fb.imus, fb.bats);
  bus->setSendMT(roundCommands());

  // Counting the link's health and recording every exchange take nothing from the heap either.
  const TempFile recording("", ".dlrec");
  FlightRecorder recorder(recording.path(), bus->recordingDescription(0));
  bus->attachRecorder(&recorder);
  const std::vector<MotorCmd> commands = roundCommands();
  alloc_counter::Scope scope;
  for (int n = 0; n < 700; ++n) {
    bus->setSendMT(commands);  // its snapshot buffer is reused once this thread posted
    bus->sendRecvMT();
    bus->getRecvMT(fb.motors, fb.imus, fb.bats);
    bus->recvMT();
  }
  EXPECT_EQ(scope.count(), 0u);
  bus->detachRecorder();
  EXPECT_EQ(recorder.finish().recorded, 1400u);
}

// ---- The counts constructor on the wire. ----------------------------------------------------

TEST_F(BusOnBoard, CountsConstructorSendsTypeFive) {
  board = std::make_unique<BoardSim>(configPath("veltra1.yaml"));
  uint8_t motors = kMotors, imus = 1, batteries = 1;
  std::vector<double> offset(kMotors, 0.0), gr(kMotors, 6.0);
  std::vector<uint16_t> ids{1, 2, 3, 4, 5, 6, 7, 8, 9, 266};
  StdoutCapture quiet;
  MotorSDK counted(motors, imus, batteries, offset, gr, ids, UDP);
  Feedback fb;
  counted.recv(fb.motors, fb.imus, fb.bats);
  ASSERT_TRUE(board->waitForFrames(1, 5000));
  EXPECT_EQ(hexOfFrame(lastFrame(), 2).substr(0, 8), "03 05 0A");
  EXPECT_EQ(hexOfFrame(lastFrame(), 9).substr(0, 8), "0A 05 0A");  // 266 goes on the link as 10
}

// ---- The flight recorder's file. -------------------------------------------------------------

// Records 100 exchanges into `fifo` after its only reader left; says how it went on stderr.
void recordIntoAPipeWhoseReaderLeft(const std::string& fifo) {
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const std::vector<uint16_t> ids{1, 2};
  const std::vector<uint8_t> types{5, 5};
  const std::vector<double> gearRatios{1.0, 1.0}, offsets{0.0, 0.0};
  const RobotDescription robot{0, wire::FrameLayout{2, 1, 1}, {types, ids, gearRatios, offsets}};
  FlightRecorder recorder(fifo, robot, 16);
  close(reader);  // the reader goes away
  const std::vector<uint8_t> command(robot.layout.commandLength()), reply(robot.layout.replyLength());
  ExchangeResult exchange;
  exchange.complete = true;
  exchange.received = reply.size();
  for (int n = 0; n < 100; ++n) {
    recorder.capture(exchange, command.data(), reply.data());
    std::this_thread::sleep_for(1ms);
  }
  const RecordingSummary summary = recorder.finish();
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  const bool untouched = now.sa_handler == SIG_DFL && !sigismember(&mask, SIGPIPE);
  std::fprintf(stderr, "recorded %llu dropped %llu untouched %d\n", static_cast<unsigned long long>(summary.recorded),
               static_cast<unsigned long long>(summary.dropped), untouched ? 1 : 0);
}

// In a child of its own: without the recorder's care the signal would end the test program.
TEST(FlightRecorderFile, APipeWhoseReaderLeftEndsTheRecordingNotTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char folder[] = "/tmp/drivelink_fifo_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string fifo = std::string(folder) + "/recording.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EXIT(
      {
        recordIntoAPipeWhoseReaderLeft(fifo);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "recorded 0 dropped 100 untouched 1");
  unlink(fifo.c_str());
  rmdir(folder);
}

}  // namespace
