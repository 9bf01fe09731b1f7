// The link as a value: the file's link section, the caller's options over it, buses of
// several robots in one process on loopback endpoints, and a port handed in by the caller.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "board_sim.h"
#include "capture.h"
#include "in_process_port.h"
#include "link_hold.h"
#include "link_options.h"
#include "motor_sdk.h"
#include "robot_config.h"
#include "robot_configs.h"
#include "temp_file.h"

namespace {

std::string withLink(const std::string& linkLines, const std::string& robot = "veltra1.yaml") {
  return shippedConfigText(robot) + "\nlink:\n" + linkLines;
}

// A loopback board at `board` ("ADDR:PORT"); the controller binds any free port.
std::string loopbackLink(const std::string& address, int port) {
  return "  kind: udp\n  board_address: " + address + "\n  board_port: " + std::to_string(port) +
         "\n  local_address: 127.0.0.1\n  local_port: 0\n";
}

std::string withAccelerometerBias(const std::string& text, const std::string& bias) {
  std::string changed = text;
  const std::string line = "bias: [0.0, 0.0, 0.0]  # subtracted";
  changed.replace(changed.find(line), line.size(), "bias: [" + bias + "]  # subtracted");
  return changed;
}

// ---- The file's section and the caller's options. -------------------------------------------

TEST(LinkSection, AFileWithoutItLeavesEveryFieldToTheUsualLink) {
  const RobotConfig config = loadRobotConfig(configPath("veltra1.yaml"));
  EXPECT_TRUE(config.link.empty());
  const LinkSettings link = config.link.resolved();
  EXPECT_EQ(link.kind, UDP);
  EXPECT_EQ(link.boardAddress + ":" + std::to_string(link.boardPort), "192.168.1.5:8880");
  EXPECT_EQ(link.localAddress + ":" + std::to_string(link.localPort), "192.168.1.10:8881");
  EXPECT_EQ(link.device, "/dev/ttyACM0");
  EXPECT_EQ(link.baud, 2000000u);
  EXPECT_EQ(link.receiveTimeoutUs, 2000u);
}

TEST(LinkSection, EveryKeyIsReadAndTheCallerWinsFieldByField) {
  TempFile file(withLink("  kind: usb\n  board_address: 127.0.0.2\n  board_port: 8890\n  local_address: 127.0.0.1\n"
                         "  local_port: 0\n  device: /dev/ttyUSB3\n  baud: 921600\n"));
  const LinkOptions fromFile = loadRobotConfig(file.path()).link;
  LinkOptions caller;
  caller.kind = UDP;
  caller.boardPort = 9000;
  const LinkSettings link = caller.over(fromFile).resolved();
  EXPECT_EQ(link.kind, UDP);
  EXPECT_EQ(link.boardAddress, "127.0.0.2");
  EXPECT_EQ(link.boardPort, 9000);
  EXPECT_EQ(link.localAddress, "127.0.0.1");
  EXPECT_EQ(link.localPort, 0);
  EXPECT_EQ(link.device, "/dev/ttyUSB3");
  EXPECT_EQ(link.baud, 921600u);
}

TEST(LinkSection, BadValuesAreConfigErrorsNamingTheKey) {
  const struct {
    const char* lines;
    const char* key;
  } cases[] = {
      {"  kind: can\n", "link kind"},
      {"  board_address: 127.0.0.300\n", "link board_address"},
      {"  local_address: robot\n", "link local_address"},
      {"  board_port: 65536\n", "link board_port"},
      {"  local_port: -1\n", "link local_port"},
      {"  baud: 0\n", "link baud"},
      {"  baud: fast\n", "link baud"},
      {"  boardport: 8880\n", "link boardport"},
  };
  for (const auto& c : cases) {
    TempFile file(withLink(c.lines));
    try {
      loadRobotConfig(file.path(), ConfigKeys::BoardOnly);
      ADD_FAILURE() << "accepted: " << c.lines;
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find(c.key), std::string::npos) << error.what();
    }
  }
}

// ---- Several robots in one process. ---------------------------------------------------------

class BusesOnLoopback : public testing::Test {
 protected:
  std::unique_ptr<MotorSDK> open(const std::string& path, const LinkOptions& link = {}) {
    auto bus = std::make_unique<MotorSDK>();
    StdoutCapture quiet;
    bus->init(path, link);
    return bus;
  }
};

TEST_F(BusesOnLoopback, EachBusReachesAndHoldsOnlyItsOwnBoard) {
  BoardSim biped(configPath("veltra1.yaml"), {"--bind", "127.0.0.1:0"});
  BoardSim zenthi(configPath("zenthi.yaml"), {"--bind", "127.0.0.1:0"});
  const std::string bipedBoard = "127.0.0.1:" + std::to_string(biped.udpPort());
  auto first = open(configPath("veltra1.yaml"), LinkOptions::udp(bipedBoard, "127.0.0.1:0"));
  auto second = open(configPath("zenthi.yaml"),
                     LinkOptions::udp("127.0.0.1:" + std::to_string(zenthi.udpPort()), "127.0.0.1:0"));
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> bats;
  {
    StdoutCapture quiet;
    first->recv(motors, imus, bats);
    second->recv(motors, imus, bats);
  }
  ASSERT_TRUE(biped.waitForFrames(1, 5000));
  ASSERT_TRUE(zenthi.waitForFrames(1, 5000));
  EXPECT_EQ(biped.recordedFrames().front().size(), 10u * sizeof(MotorCmd));
  EXPECT_EQ(zenthi.recordedFrames().front().size(), 18u * sizeof(MotorCmd));
  // The hold is the board's endpoint, whatever local port a controller binds.
  try {
    open(configPath("veltra1.yaml"), LinkOptions::udp(bipedBoard, "127.0.0.1:0"));
    ADD_FAILURE() << "a second controller opened " << bipedBoard;
  } catch (const LinkHeldError& error) {
    EXPECT_EQ(error.link(), "the board " + bipedBoard);
  }
}

TEST_F(BusesOnLoopback, ASecondRobotWithAnotherImuCalibrationIsRefusedNamingBothFiles) {
  TempFile biped(withLink(loopbackLink("127.0.0.2", 8880)));
  TempFile same(withLink(loopbackLink("127.0.0.2", 8890), "zenthi.yaml"));
  TempFile other(withAccelerometerBias(withLink(loopbackLink("127.0.0.2", 8891), "zenthi.yaml"), "0.1, 0.0, 0.0"));
  auto first = open(biped.path());
  auto alike = open(same.path());  // an equal calibration is shared
  try {
    open(other.path());
    ADD_FAILURE() << "a robot with another IMU calibration was opened";
  } catch (const ConfigError& error) {
    const std::string text = error.what();
    EXPECT_NE(text.find(other.path()), std::string::npos) << text;
    EXPECT_TRUE(text.find(biped.path()) != std::string::npos || text.find(same.path()) != std::string::npos) << text;
  }
  EXPECT_EQ(acc_bias.x(), 0.0);  // the running robots keep theirs
  // Once the others are gone, the calibration is free to change.
  first.reset();
  alike.reset();
  auto alone = open(other.path());
  EXPECT_EQ(acc_bias.x(), 0.1);
}

// ---- A port from the caller. ----------------------------------------------------------------

TEST(HandedInPort, TheBusExchangesThroughItAndHoldsNoLink) {
  InProcessBoard board(configPath("veltra1.yaml"));
  MotorSDK first;
  MotorSDK second;
  StdoutCapture quiet;
  first.init(configPath("veltra1.yaml"), board.port());
  second.init(configPath("veltra1.yaml"), board.port());  // no hold: both open
  // The usual link is free for a bus that opens it.
  EXPECT_NO_THROW(LinkHold(LinkHold::udpKey("192.168.1.5", 8880), "the board"));
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> bats;
  first.recv(motors, imus, bats);
  EXPECT_EQ(board.framesReceived(), 1u);
  EXPECT_EQ(first.completeReplies(), 1u);
  EXPECT_EQ(motors[9].status, kStatusValid);
  EXPECT_EQ(motors[9].id, 10);
  EXPECT_THROW(first.init(configPath("veltra1.yaml"), std::unique_ptr<IOPort>()), std::invalid_argument);
}

}  // namespace
