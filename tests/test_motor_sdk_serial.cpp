// The bus over its USB link: the board simulator serves a pseudo-terminal, and this program's
// own `open` sends the bus's fixed device name there.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "board_sim.h"
#include "bytes.h"
#include "capture.h"
#include "motor_sdk.h"
#include "robot_sdk.h"
#include "serial_driver_stub.h"

namespace {

constexpr const char* kBusDevice = "/dev/ttyACM0";
std::string redirectedDevice;  // where kBusDevice leads while a test runs

using OpenFunction = int (*)(const char*, int, ...);

}  // namespace

// Interposes the C library's open for the whole program, the SDK library included.
extern "C" int open(const char* path, int flags, ...) {
  static const auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, "open"));
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (!redirectedDevice.empty() && std::strcmp(path, kBusDevice) == 0) path = redirectedDevice.c_str();
  return real(path, flags, mode);
}

namespace {

class BusOverUsb : public testing::Test {
 protected:
  void SetUp() override { redirectedDevice = board.serialPath(); }
  void TearDown() override { redirectedDevice.clear(); }

  const serial_driver_stub::Installed driver;
  BoardSim board{configPath("veltra1.yaml"), {}, true};
};

TEST_F(BusOverUsb, InitOpensTheSerialLinkAndExchangesFrames) {
  MotorSDK bus;
  StdoutCapture out;
  bus.init(configPath("veltra1.yaml"), USB);
  const std::string text = out.finish();
  EXPECT_NE(text.find("CommType::USB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[MotorSDK] successful initialization \n"), std::string::npos) << text;
  ASSERT_TRUE(bus.hasPort());

  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> bats;
  StdoutCapture quiet;
  // An exchange whose reply misses the 2 ms timeout flushes both queues of the terminal, and
  // with them a frame the board has not read yet: on a busy machine the board may be off the
  // CPU for longer than that, so the exchange is repeated until a frame and a whole reply
  // have come through, for as long as a loaded machine could need.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do bus.recv(motors, imus, bats);
  while (!(motors[9].status == kStatusValid && bats[0].status == kStatusValid) &&
         std::chrono::steady_clock::now() < deadline);
  ASSERT_TRUE(board.waitForFrames(1, 5000));
  EXPECT_EQ(hexBytes(board.recordedFrames().back().data(), 23),
            "01 05 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A D7 A3 3C");

  EXPECT_EQ(motors[9].status, kStatusValid);
  EXPECT_EQ(motors[9].id, 10);
  EXPECT_EQ(imus[0].status, kStatusValid);
  EXPECT_EQ(bats[0].voltage, 48.0f);
}

TEST_F(BusOverUsb, TheRobotLayerRunsOnTheSerialDeviceItIsGiven) {
  redirectedDevice.clear();  // the device is named, not redirected
  StdoutCapture quiet;
  RobotSDK robot(configPath("veltra1.yaml"), LinkOptions::usb(board.serialPath()), RobotSDK::OpenFailure::Throw);
  // As above, a busy machine may flush frames before the board reads them: priming, which
  // needs one valid record per device in ten exchanges, is tried again for as long as a
  // loaded machine could need.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    try {
      robot.init();
      break;
    } catch (const std::runtime_error&) {
      if (std::chrono::steady_clock::now() > deadline) throw;
    }
  }
  EXPECT_EQ(robot.motorStates()[9].status, kStatusValid);
  EXPECT_EQ(robot.motorStates()[9].id, 10);
  EXPECT_EQ(robot.batteryStates()[0].voltage, 48.0f);
  ASSERT_TRUE(board.waitForFrames(1, 5000));
  EXPECT_EQ(board.recordedFrames().front().size(), 10u * sizeof(MotorCmd));
}

}  // namespace
