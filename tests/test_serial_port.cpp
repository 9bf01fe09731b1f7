// The serial port against a real pseudo-terminal: the test plays the board on the master side,
// and the serial-driver stand-in answers the two requests a pseudo-terminal rejects.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "board_sim.h"
#include "capture.h"
#include "many_descriptors.h"
#include "serial_driver_stub.h"
#include "serial_port.h"
#include "wire_frames.h"

namespace {

constexpr uint32_t kLinkRate = 2000000;
constexpr size_t kShortWaitUs = 20000;    // a wait that is meant to time out
constexpr size_t kLongWaitUs = 3000000;   // a wait that is meant to see the board's answer

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ != -1) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

size_t openDescriptorCount() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

/// The descriptor of this process that refers to `path`, or -1.
int descriptorOf(const std::string& path) {
  for (int fd = 0; fd < 1024; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0 && path == target) return fd;
  }
  return -1;
}

std::vector<uint8_t> pattern(size_t length, uint8_t first) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

/// A pseudo-terminal pair whose master side the test drives as the motor board.
class PtyBoard : public testing::Test {
 protected:
  void SetUp() override {
    serial_driver_stub::install();
    master_ = std::make_unique<UniqueFd>(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_NE(master_->get(), -1);
    ASSERT_EQ(grantpt(master_->get()), 0);
    ASSERT_EQ(unlockpt(master_->get()), 0);
    slavePath_ = ptsname(master_->get());
  }
  void TearDown() override { serial_driver_stub::uninstall(); }

  std::unique_ptr<SerialPort> openPort(size_t recvLength, BlockYN mode = NO, size_t timeOutUs = kShortWaitUs,
                                       uint32_t rate = kLinkRate) {
    return std::make_unique<SerialPort>(slavePath_, recvLength, rate, timeOutUs, mode);
  }

  void boardWrites(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_->get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  /// Reads exactly `length` bytes as the board, waiting as long as it takes.
  std::vector<uint8_t> boardReads(size_t length) {
    std::vector<uint8_t> bytes(length);
    size_t got = 0;
    while (got < length) {
      const ssize_t count = read(master_->get(), bytes.data() + got, length - got);
      if (count <= 0) break;
      got += static_cast<size_t>(count);
    }
    bytes.resize(got);
    return bytes;
  }

  /// Waits until `count` bytes from the board sit in the line's input queue.
  void waitUntilQueued(int count) {
    UniqueFd slave(open(slavePath_.c_str(), O_RDWR | O_NOCTTY));
    int queued = 0;
    for (int i = 0; i < 500 && queued < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_EQ(ioctl(slave.get(), FIONREAD, &queued), 0);
    }
    ASSERT_EQ(queued, count);
  }

  termios lineSettings() {
    UniqueFd slave(open(slavePath_.c_str(), O_RDWR | O_NOCTTY));
    termios settings{};
    EXPECT_EQ(tcgetattr(slave.get(), &settings), 0);
    return settings;
  }

  std::unique_ptr<UniqueFd> master_;
  std::string slavePath_;
};

// ---------------------------------------------------------------- exchanges

TEST_F(PtyBoard, SendRecvDeliversTheFrameAndReturnsTheWholeReply) {
  auto port = openPort(8, NO, kLongWaitUs);
  const auto command = pattern(6, 0x10);
  const auto reply = pattern(8, 0xA0);
  std::thread board([&] {
    EXPECT_EQ(boardReads(command.size()), command);
    boardWrites(reply);
  });
  std::vector<uint8_t> received(8, 0);
  auto sent = command;
  const bool complete = port->SendRecv(sent.data(), received.data(), sent.size());
  board.join();
  EXPECT_TRUE(complete);
  EXPECT_EQ(received, reply);
}

// select() would write past its set for a descriptor of 1024 or more.
TEST_F(PtyBoard, ExchangesWithMoreThan1100DescriptorsOpen) {
  ManyDescriptors held;
  auto port = openPort(8, NO, kLongWaitUs);
  const auto reply = pattern(8, 0xB0);
  std::thread board([&] {
    boardReads(6);
    boardWrites(reply);
  });
  std::vector<uint8_t> received(8, 0);
  auto sent = pattern(6, 0x10);
  const bool complete = port->SendRecv(sent.data(), received.data(), sent.size());
  board.join();
  EXPECT_TRUE(complete);
  EXPECT_EQ(received, reply);
}

TEST_F(PtyBoard, SendRecvIsFalseForAShortReply) {
  auto port = openPort(8, NO, 500000);
  std::thread board([&] {
    boardReads(3);
    boardWrites(pattern(5, 1));
  });
  std::vector<uint8_t> received(8, 0);
  auto command = pattern(3, 0x30);
  StdoutCapture out;
  const bool complete = port->SendRecv(command.data(), received.data(), command.size());
  board.join();
  EXPECT_FALSE(complete);
  EXPECT_NE(out.finish().find("received 5 bytes, but not 8 bytes."), std::string::npos);
}

TEST_F(PtyBoard, SendRecvDropsWhatWasQueuedBeforeTheFrame) {
  auto port = openPort(4, NO, kLongWaitUs);
  boardWrites(pattern(4, 0xEE));  // a stale answer nobody read
  waitUntilQueued(4);
  std::thread board([&] {
    boardReads(2);
    boardWrites(pattern(4, 0x01));
  });
  std::vector<uint8_t> received(4, 0);
  auto command = pattern(2, 0x55);
  EXPECT_TRUE(port->SendRecv(command.data(), received.data(), command.size()));
  board.join();
  EXPECT_EQ(received, pattern(4, 0x01));
}

TEST_F(PtyBoard, SendRecvReportsAFailedWriteAndReceivesNothing) {
  auto port = openPort(8);
  master_->reset();  // the board's end is gone: writes to the line fail
  std::vector<uint8_t> received(8, 0);
  auto command = pattern(4, 0);
  testing::internal::CaptureStderr();
  StdoutCapture out;
  const bool complete = port->SendRecv(command.data(), received.data(), command.size());
  const std::string printed = out.finish();
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(complete);
  EXPECT_NE(errors.find("[ERROR] SerialPort::sendMsg failed: "), std::string::npos);
  EXPECT_NE(printed.find("[WARNING] SerialPort::sendRecv. send error!\n"), std::string::npos);
  EXPECT_EQ(printed.find("SerialPort::recv"), std::string::npos);
}

// ---------------------------------------------------------------- timed receive

TEST_F(PtyBoard, HalfAReplyTakesFiveAttemptsAndIsReportedOnce) {
  auto port = openPort(20);
  boardWrites(pattern(10, 0));
  waitUntilQueued(10);
  std::vector<uint8_t> received(20, 0);
  StdoutCapture out;
  EXPECT_EQ(port->Recv(received.data()), 10u);
  const std::string printed = out.finish();
  EXPECT_EQ(countOf(printed, "[WARNING] SerialPort::recv error code 2, unblock version, wait time out\n"), 4u);
  EXPECT_EQ(countOf(printed, "[WARNING] SerialPort::recv error code 3, unblock version, received 10 bytes, but "
                             "not 20 bytes.\n"),
            1u);
  EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + 10), pattern(10, 0));
}

TEST_F(PtyBoard, ReplyInTwoPiecesIsJoined) {
  auto port = openPort(12, NO, kLongWaitUs);
  std::thread board([&] {
    boardWrites(pattern(5, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    boardWrites(pattern(7, 5));
  });
  std::vector<uint8_t> received(12, 0);
  StdoutCapture out;
  const size_t count = port->Recv(received.data());
  board.join();
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(received, pattern(12, 0));
  EXPECT_EQ(out.finish().find("[WARNING]"), std::string::npos);
}

TEST_F(PtyBoard, SilentBoardEndsTheReceiveAfterOneWait) {
  auto port = openPort(20);
  std::vector<uint8_t> received(20, 0);
  StdoutCapture out;
  EXPECT_EQ(port->Recv(received.data()), 0u);
  const std::string printed = out.finish();
  EXPECT_EQ(countOf(printed, "error code 2"), 1u);
  EXPECT_EQ(countOf(printed, "error code 3"), 0u);
}

TEST_F(PtyBoard, FailedReadCountsAsNoBytes) {
  auto port = openPort(20);
  // Put a directory behind the port's descriptor: select calls it readable, every read fails.
  const int portFd = descriptorOf(slavePath_);
  ASSERT_NE(portFd, -1);
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(dup2(directory.get(), portFd), portFd);
  std::vector<uint8_t> received(20, 0);
  StdoutCapture out;
  EXPECT_EQ(port->Recv(received.data()), 0u);
  EXPECT_EQ(out.finish().find("error code 3"), std::string::npos);
}

TEST_F(PtyBoard, StoredTimeoutSurvivesTheWaits) {
  auto port = openPort(20, NO, 30000);
  std::vector<uint8_t> received(20, 0);
  StdoutCapture out;
  port->Recv(received.data());
  port->Recv(received.data());
  out.finish();
  EXPECT_EQ(port->timeout().tv_sec, 0);
  EXPECT_EQ(port->timeout().tv_usec, 30000);
}

TEST_F(PtyBoard, BlockingReceiveWaitsForTheWholeReply) {
  auto port = openPort(8, YES);
  std::thread board([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    boardWrites(pattern(3, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    boardWrites(pattern(5, 3));
  });
  std::vector<uint8_t> received(8, 0);
  StdoutCapture out;
  const size_t count = port->Recv(received.data());
  board.join();
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(received, pattern(8, 0));
  EXPECT_EQ(countOf(out.finish(), "[STATE] SerialPort start block receiving\n"), 1u);
}

TEST_F(PtyBoard, UnknownBlockModeNeverReadsTheLine) {
  auto port = openPort(4, static_cast<BlockYN>(2));
  boardWrites(pattern(4, 0));
  waitUntilQueued(4);
  std::vector<uint8_t> received(4, 0);
  EXPECT_EQ(port->Recv(received.data()), 0u);
  EXPECT_EQ(port->Recv(received.data(), 4), 0u);
  waitUntilQueued(4);
}

// ---------------------------------------------------------------- line settings

TEST_F(PtyBoard, LineIsRawAtTheRequestedRate) {
  StdoutCapture out;
  auto port = openPort(8);
  const std::string printed = out.finish();
  const termios line = lineSettings();
  EXPECT_EQ(line.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(line.c_oflag, 0u);
  EXPECT_EQ(line.c_lflag, 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B2000000));
  EXPECT_EQ(printed,
            "*********open serial************\n"
            "*********set serial************\n"
            "[sc_setting] custom_divisor=0, baud_base=24000000\n"
            "[baud] want to set baud to 2000000\n"
            "[baud] current input baud: 4107output baud: 4107\n");
}

TEST_F(PtyBoard, FlowControlAndStopBitsReachTheLine) {
  SerialPort software(slavePath_, 8, 115200, kShortWaitUs, NO, bits8, par_none, stop_two, flow_software);
  termios line = lineSettings();
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB));
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));

  software.resetSerial(8, 115200, kShortWaitUs, NO, bits8, par_none, stop_two_alt, flow_hardware);
  line = lineSettings();
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));

  // An unknown choice keeps the flow control already in effect.
  software.resetSerial(8, 115200, kShortWaitUs, NO, bits8, par_none, stop_one, static_cast<flowcontrol_t>(7));
  line = lineSettings();
  EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CRTSCTS));
}

TEST_F(PtyBoard, BlockingModeWaitsForTheReplyLengthModulo256) {
  auto port = openPort(300, YES);
  EXPECT_EQ(lineSettings().c_cc[VMIN], 44);
  port->resetSerial(300, kLinkRate, kShortWaitUs, NO);
  EXPECT_EQ(lineSettings().c_cc[VMIN], 0);
}

TEST_F(PtyBoard, ResetSerialAnnouncesOnlyChangedLineSettings) {
  auto port = openPort(8);
  {
    StdoutCapture out;
    port->resetSerial(8, kLinkRate, 2500000, YES);
    const std::string printed = out.finish();
    EXPECT_EQ(printed.find("[STATE] Reset serial"), std::string::npos);
    EXPECT_NE(printed.find("*********set serial************"), std::string::npos);
  }
  EXPECT_EQ(port->timeout().tv_sec, 2);
  EXPECT_EQ(port->timeout().tv_usec, 500000);
  EXPECT_EQ(port->savedTimeout().tv_usec, static_cast<suseconds_t>(kShortWaitUs));
  EXPECT_EQ(port->blockMode(), YES);
  EXPECT_EQ(lineSettings().c_cc[VMIN], 8);

  StdoutCapture out;
  port->resetSerial(16, kLinkRate, 2500000, YES);
  port->resetSerial(16, kLinkRate, 2500000, YES, bits8, par_none, stop_two);
  EXPECT_EQ(countOf(out.finish(), "[STATE] Reset serial\n"), 2u);
  EXPECT_EQ(port->recvLength(), 16u);
  EXPECT_EQ(lineSettings().c_cc[VMIN], 16);
}

// ---------------------------------------------------------------- the serial driver

TEST_F(PtyBoard, CustomRatesGoThroughTheDriverDivisor) {
  std::unique_ptr<SerialPort> port;
  {
    StdoutCapture out;
    port = openPort(8, NO, kShortWaitUs, 4800000);
    const std::string printed = out.finish();
    EXPECT_NE(printed.find("[baud] sc.custom_divisor = 5 \r\n"), std::string::npos);
    EXPECT_NE(printed.find("[baud] current input baud: 15output baud: 15\n"), std::string::npos);
  }
  const auto seen = serial_driver_stub::last();
  EXPECT_EQ(seen.setCalls, 1);
  EXPECT_EQ(seen.customDivisor, 24000000 / 4800000);
  EXPECT_EQ(seen.flags & ASYNC_SPD_MASK, ASYNC_SPD_CUST);
  EXPECT_NE(seen.flags & ASYNC_LOW_LATENCY, 0);
  const termios line = lineSettings();
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B38400));

  StdoutCapture out;
  port->resetSerial(8, 6000000, kShortWaitUs, NO);
  out.finish();
  EXPECT_EQ(serial_driver_stub::last().customDivisor, 4);  // 24000000 / 6000000
}

TEST_F(PtyBoard, DivisorRoundsDown) {
  serial_driver_stub::install(30000000);
  auto port = openPort(8, NO, kShortWaitUs, 4800000);
  EXPECT_EQ(serial_driver_stub::last().customDivisor, 6);  // 6.25 rounded down
}

TEST_F(PtyBoard, StandardRateLeavesTheDriverSpeedAsItWas) {
  serial_driver_stub::install(24000000, 3);
  StdoutCapture out;
  auto port = openPort(8);
  const std::string printed = out.finish();
  const auto seen = serial_driver_stub::last();
  EXPECT_EQ(seen.customDivisor, 3);
  EXPECT_EQ(seen.flags & ASYNC_SPD_MASK, 0);
  EXPECT_NE(seen.flags & ASYNC_LOW_LATENCY, 0);
  EXPECT_NE(printed.find("[sc_setting] custom_divisor=3, baud_base=24000000\n"), std::string::npos);
  EXPECT_EQ(printed.find("sc.custom_divisor"), std::string::npos);
}

// ---------------------------------------------------------------- errors

TEST_F(PtyBoard, DriverRefusalsAreReportedAndTheDeviceClosed) {
  const size_t before = openDescriptorCount();
  serial_driver_stub::failGetSerial(true);
  try {
    openPort(8);
    FAIL() << "a driver without serial settings must be refused";
  } catch (const IOException& error) {
    EXPECT_EQ(error.getErrorNumber(), ENOTTY);
    EXPECT_EQ(std::string(error.what()).rfind("IO Exception (25): Inappropriate ioctl for device, file serial_port, "
                                              "line ",
                                              0),
              0u);
  }
  EXPECT_EQ(serial_driver_stub::last().setCalls, 0);

  serial_driver_stub::failGetSerial(false);
  serial_driver_stub::failSetSerial(true);
  try {
    openPort(8);
    FAIL() << "a driver refusing the settings must be reported";
  } catch (const IOException& error) {
    EXPECT_EQ(error.getErrorNumber(), EPERM);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(PtyBoard, PlainPseudoTerminalIsRefusedByItsDriver) {
  serial_driver_stub::uninstall();
  try {
    openPort(8);
    FAIL() << "a pseudo-terminal has no serial driver settings";
  } catch (const IOException& error) {
    EXPECT_NE(error.getErrorNumber(), 0);
    EXPECT_NE(std::string(error.what()).find("file serial_port"), std::string::npos);
  }
}

TEST_F(PtyBoard, RateIsCheckedBeforeTheLineOptions) {
  const size_t before = openDescriptorCount();
  try {
    SerialPort(slavePath_, 8, 3000001, kShortWaitUs, NO, static_cast<bytesize_t>(9), static_cast<parity_t>(9),
               static_cast<stopbits_t>(9));
    FAIL();
  } catch (const IOException& error) {
    EXPECT_EQ(std::string(error.what()).rfind("IO Exception: Baudrate error, file serial_port, line ", 0), 0u);
    EXPECT_EQ(error.getErrorNumber(), 0);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(PtyBoard, LineOptionsAreCheckedDataBitsThenStopBitsThenParity) {
  const size_t before = openDescriptorCount();
  const auto badSize = static_cast<bytesize_t>(4);
  const auto badStop = static_cast<stopbits_t>(3);
  const auto badParity = static_cast<parity_t>(5);
  auto messageOf = [&](bytesize_t size, parity_t parity, stopbits_t stop) -> std::string {
    try {
      SerialPort(slavePath_, 8, kLinkRate, kShortWaitUs, NO, size, parity, stop);
    } catch (const std::invalid_argument& error) {
      return error.what();
    }
    return "accepted";
  };
  EXPECT_EQ(messageOf(badSize, badParity, badStop), "invalid char len");
  EXPECT_EQ(messageOf(bits7, badParity, badStop), "invalid stop bit");
  EXPECT_EQ(messageOf(bits7, badParity, stop_one), "invalid parity");
  EXPECT_EQ(messageOf(bits5, par_space, stop_two), "accepted");
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SerialPortOpen, MissingDeviceReportsTheSystemError) {
  StdoutCapture out;
  try {
    SerialPort("/dev/no-such-board", 8, kLinkRate, kShortWaitUs);
    FAIL();
  } catch (const IOException& error) {
    EXPECT_EQ(error.getErrorNumber(), ENOENT);
    EXPECT_EQ(std::string(error.what()).rfind("IO Exception (2): No such file or directory, file serial_port, line ",
                                              0),
              0u);
  }
  EXPECT_EQ(out.finish(), "*********open serial************\n");
}

TEST(SerialPortOpen, NonTerminalIsRefusedAndClosed) {
  const size_t before = openDescriptorCount();
  try {
    SerialPort("/dev/null", 8, kLinkRate, kShortWaitUs);
    FAIL();
  } catch (const IOException& error) {
    EXPECT_EQ(std::string(error.what()).rfind("IO Exception: ::tcgetattr, file serial_port, line ", 0), 0u);
    EXPECT_EQ(error.getErrorNumber(), 0);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SerialPortOpen, NoDescriptorLeftMeansTooManyFileHandles) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  const int lowestFree = open("/dev/null", O_RDONLY);
  ASSERT_NE(lowestFree, -1);
  close(lowestFree);
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // the next open finds no number left
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::string message;
  try {
    SerialPort("/dev/null", 8, kLinkRate, kShortWaitUs);
  } catch (const IOException& error) {
    message = error.what();
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(message.rfind("IO Exception: Too many file handles open., file serial_port, line ", 0), 0u) << message;
}

// ---------------------------------------------------------------- with the simulated board

template <typename T>
std::vector<T> listOf(const YAML::Node& node) {
  std::vector<T> values;
  for (const auto& item : node) values.push_back(item.as<T>());
  return values;
}

TEST(SerialPortWithBoard, PassiveReadIsAnsweredByEveryMotor) {
  const serial_driver_stub::Installed driver;
  const std::string config = configPath("veltra1.yaml");
  const YAML::Node root = YAML::LoadFile(config);
  const YAML::Node joints = root["joint_config"];
  const std::vector<uint8_t> types = listOf<uint8_t>(joints["motor_type"]);
  std::vector<uint16_t> ids;
  for (int id : listOf<int>(joints["motor_id"])) ids.push_back(static_cast<uint16_t>(id));
  const std::vector<double> gears = listOf<double>(joints["gr"]);
  const std::vector<double> offsets = listOf<double>(joints["offset"]);
  const wire::MotorTable table{types, ids, gears, offsets};
  const wire::FrameLayout layout{table.motors(), root["imu_num"].as<size_t>(), root["battery_num"].as<size_t>()};

  BoardSim board(config, {}, true);
  SerialPort port(board.serialPath(), layout.replyLength(), kLinkRate, kLongWaitUs);
  std::vector<MotorCmd> frame(layout.motors);
  wire::buildPassiveRead(table, frame);
  std::vector<uint8_t> reply(layout.replyLength(), 0);
  auto* command = reinterpret_cast<uint8_t*>(frame.data());

  for (int exchange = 0; exchange < 3; ++exchange) {
    ASSERT_TRUE(port.SendRecv(command, reply.data(), layout.commandLength())) << "exchange " << exchange;
    for (size_t motor = 0; motor < layout.motors; ++motor) {
      MotorState state{};
      std::memcpy(&state, reply.data() + motor * sizeof(MotorState), sizeof(MotorState));
      EXPECT_EQ(state.status, 9) << "motor " << motor;
      EXPECT_EQ(state.id, ids[motor] & 0xFF) << "motor " << motor;
    }
  }
  ASSERT_TRUE(board.waitForFrames(3, 5000));
  const std::vector<uint8_t> sent(command, command + layout.commandLength());
  for (const auto& received : board.recordedFrames()) EXPECT_EQ(received, sent);
}

}  // namespace
