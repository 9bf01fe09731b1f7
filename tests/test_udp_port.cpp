// The UDP port on the robot's real link addresses (each test program runs in a private
// network namespace that owns them), against a bare board socket and the board simulator.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "UDPPort.h"
#include "bare_namespace.h"
#include "board_sim.h"
#include "capture.h"
#include "datagram_socket.h"
#include "many_descriptors.h"
#include "wire_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kTimeoutLine = "[WARNING] UDPPort::recv, unblock version, wait time out\n";

// The board's end of the link (or some other host), played by the test.
class PeerSocket : public DatagramSocket {
 public:
  explicit PeerSocket(const char* address = "192.168.1.5", uint16_t port = 8880) : DatagramSocket(address, port) {}
  void sendToController(const Bytes& bytes) const { sendTo(addressOf("192.168.1.10", 8881), bytes); }
};

UDPPort boardPort(size_t recvLength, size_t timeoutUs, BlockYN mode = NO) {
  return UDPPort("192.168.1.5", 8880, 8881, recvLength, timeoutUs, mode);
}

Bytes numbered(size_t length, uint8_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// The veltra1 robot's passive read frame (10 motors; reply 273 bytes).
struct Veltra1 {
  std::vector<uint8_t> type{5, 5, 4, 4, 4, 5, 5, 4, 4, 4};
  std::vector<uint16_t> id{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::vector<double> gr{6, 6, 9, 9, 9, 6, 6, 9, 9, 9};
  std::vector<double> offset{0.0, 0.0, 0.25, -0.5, 0.1, 0.0, 0.0, -0.25, 0.5, -0.1};
  static constexpr size_t kReplyLength = 273;

  Bytes passiveFrame() const {
    std::vector<MotorCmd> frame(type.size());
    wire::buildPassiveRead({type, id, gr, offset}, frame);
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    return Bytes(bytes, bytes + frame.size() * sizeof(MotorCmd));
  }
};

const std::string kVeltra = configPath("veltra1.yaml");

}  // namespace

// ---- Against a bare board socket ----------------------------------------------------

TEST(UDPPortExchange, SendsFromTheControllerAddressAndReceivesOneDatagram) {
  PeerSocket board;
  UDPPort port = boardPort(8, 500000);
  Bytes frame = numbered(4, 1);
  StdoutCapture capture;
  EXPECT_EQ(port.Send(frame.data(), frame.size()), 4u);
  sockaddr_in from{};
  const auto seen = board.receive(1000, &from);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, frame);
  EXPECT_EQ(from.sin_addr.s_addr, inet_addr("192.168.1.10"));
  EXPECT_EQ(ntohs(from.sin_port), 8881);

  const Bytes reply = numbered(8, 0x40);
  board.sendToController(reply);
  Bytes buffer(8, 0);
  EXPECT_EQ(port.Recv(buffer.data()), 8u);
  EXPECT_EQ(buffer, reply);
  EXPECT_EQ(capture.finish(), "");
}

TEST(UDPPortExchange, PortsKeepOnlyTheirLow16Bits) {
  PeerSocket board;
  UDPPort port("192.168.1.5", 8880 + 0x10000, 8881 + 0x10000, 8, 500000, NO);
  Bytes frame = numbered(3, 9);
  port.Send(frame.data(), frame.size());
  sockaddr_in from{};
  ASSERT_TRUE(board.receive(1000, &from));
  EXPECT_EQ(ntohs(from.sin_port), 8881);
}

TEST(UDPPortExchange, SilentBoardTimesOutAndLeavesTheBufferUntouched) {
  PeerSocket board;
  UDPPort port = boardPort(8, 30000);
  Bytes frame = numbered(4, 1);
  Bytes buffer(8, 0xAB);
  StdoutCapture capture;
  const auto start = Clock::now();
  // Several in a row: each wait starts again from the configured timeout.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(port.SendRecv(frame.data(), buffer.data(), frame.size()));
  EXPECT_EQ(port.Recv(buffer.data()), 0u);
  const auto elapsed = Clock::now() - start;
  const std::string out = capture.finish();
  EXPECT_EQ(countOf(out, kTimeoutLine), 4u);
  EXPECT_EQ(out.size(), 4 * std::strlen(kTimeoutLine));
  EXPECT_EQ(buffer, Bytes(8, 0xAB));
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

TEST(UDPPortExchange, ShortDatagramIsDeliveredWithAWarning) {
  PeerSocket board;
  UDPPort port = boardPort(8, 500000);
  board.sendToController(numbered(5, 1));
  Bytes buffer(8, 0);
  StdoutCapture capture;
  EXPECT_EQ(port.Recv(buffer.data()), 5u);
  const std::string out = capture.finish();
  EXPECT_EQ(out.rfind("[WARNING] UDPPort::recv, unblock version, received 5 bytes, but not 8 bytes, ", 0), 0u)
      << out;
  EXPECT_EQ(countOf(out, "\n"), 1u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), numbered(5, 1));
}

TEST(UDPPortExchange, LongDatagramIsCutWithoutWarningAndItsRestIsLost) {
  PeerSocket board;
  UDPPort port = boardPort(8, 50000);
  board.sendToController(numbered(12, 1));
  Bytes buffer(12, 0);
  StdoutCapture capture;
  EXPECT_EQ(port.Recv(buffer.data()), 8u);
  const std::string first = capture.finish();
  EXPECT_EQ(first, "");
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), numbered(8, 1));
  EXPECT_EQ(Bytes(buffer.begin() + 8, buffer.end()), Bytes(4, 0));
  StdoutCapture again;
  EXPECT_EQ(port.Recv(buffer.data()), 0u);
  EXPECT_EQ(again.finish(), kTimeoutLine);
}

// The board may answer from another port, but a datagram from any other address is not its
// reply: a host on the robot's network must not be able to forge the robot's state.
TEST(UDPPortExchange, ReplyFromAnotherPortIsAcceptedButNotFromAnotherAddress) {
  PeerSocket otherPort("192.168.1.5", 9999);
  PeerSocket stranger("127.0.0.1", 9999);
  UDPPort port = boardPort(8, 50000);
  stranger.sendToController(numbered(8, 0x70));
  otherPort.sendToController(numbered(8, 1));
  Bytes buffer(8, 0);
  EXPECT_EQ(port.Recv(buffer.data()), 8u);
  EXPECT_EQ(buffer, numbered(8, 1));
  EXPECT_EQ(port.lastSender().sin_addr.s_addr, inet_addr("192.168.1.5"));
  EXPECT_EQ(ntohs(port.lastSender().sin_port), 9999);
  EXPECT_EQ(port.counters().foreignDropped.load(), 1u);

  stranger.sendToController(numbered(8, 0x70));
  Bytes untouched(8, 0xCD);
  StdoutCapture capture;
  EXPECT_EQ(port.Recv(untouched.data()), 0u);
  EXPECT_EQ(capture.finish(), kTimeoutLine);
  EXPECT_EQ(untouched, Bytes(8, 0xCD));
  EXPECT_EQ(port.counters().foreignDropped.load(), 2u);
}

// select() would write past its set for a descriptor of 1024 or more.
TEST(UDPPortExchange, ExchangesWithMoreThan1100DescriptorsOpen) {
  ManyDescriptors held;
  PeerSocket board;
  UDPPort port = boardPort(8, 500000);
  std::thread answer([&] {
    if (board.receive(2000)) board.sendToController(numbered(8, 3));
  });
  Bytes frame = numbered(4, 1);
  Bytes buffer(8, 0);
  const bool complete = port.SendRecv(frame.data(), buffer.data(), frame.size());
  answer.join();
  EXPECT_TRUE(complete);
  EXPECT_EQ(buffer, numbered(8, 3));
  StdoutCapture capture;
  EXPECT_FALSE(port.SendRecv(frame.data(), buffer.data(), frame.size()));  // and the timeout still holds
  EXPECT_EQ(capture.finish(), kTimeoutLine);
}

// A reply that comes after its exchange timed out must not be taken as the answer to the
// next frame; otherwise every later state lags one exchange behind.
TEST(UDPPortExchange, LateReplyIsDiscardedBeforeTheNextExchange) {
  PeerSocket board;
  UDPPort port = boardPort(8, 20000);
  Bytes frame = numbered(4, 1);
  Bytes buffer(8, 0);
  {
    StdoutCapture capture;
    EXPECT_FALSE(port.SendRecv(frame.data(), buffer.data(), frame.size()));
  }
  ASSERT_TRUE(board.receive(1000));
  board.sendToController(Bytes(8, 0x11));  // the late answer to the first frame

  std::thread answer([&] {
    if (board.receive(2000)) board.sendToController(Bytes(8, 0x22));
  });
  const bool complete = port.SendRecv(frame.data(), buffer.data(), frame.size());
  answer.join();
  EXPECT_TRUE(complete);
  EXPECT_EQ(buffer, Bytes(8, 0x22));
}

TEST(UDPPortExchange, FailedSendPrintsTheCountUnsigned) {
  UDPPort port = boardPort(8, 2000);
  Bytes huge(70000, 0);  // larger than any datagram
  StdoutCapture capture;
  EXPECT_EQ(port.Send(huge.data(), huge.size()), static_cast<size_t>(-1));
  EXPECT_EQ(capture.finish(), "[WARNING] UDPPort::send, sent 18446744073709551615 bytes, but not 70000 bytes, " +
                                  std::string(std::strerror(EMSGSIZE)) + "\n");
}

// ---- Receive modes ------------------------------------------------------------------

TEST(UDPPortModes, BlockingReceiveWaitsForTheDatagram) {
  PeerSocket board;
  UDPPort port = boardPort(8, 1000, YES);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // far beyond the 1 ms timeout
    board.sendToController(numbered(8, 3));
  });
  Bytes buffer(8, 0);
  StdoutCapture capture;
  const size_t count = port.Recv(buffer.data());
  late.join();
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(buffer, numbered(8, 3));
  board.sendToController(numbered(3, 1));
  EXPECT_EQ(port.Recv(buffer.data()), 3u);
  const std::string out = capture.finish();
  EXPECT_EQ(out.rfind("[WARNING] UDPPort::recv, block version, received 3 bytes, but not 8 bytes, ", 0), 0u) << out;
}

TEST(UDPPortModes, UnknownModeNeverReadsTheSocket) {
  PeerSocket board;
  UDPPort port = boardPort(8, 50000, static_cast<BlockYN>(2));
  board.sendToController(numbered(8, 5));
  Bytes buffer(8, 0);
  StdoutCapture capture;
  EXPECT_EQ(port.Recv(buffer.data()), 0u);
  EXPECT_EQ(port.Recv(buffer.data(), 8), 0u);
  EXPECT_EQ(capture.finish(), "");
  EXPECT_EQ(buffer, Bytes(8, 0));
  // The datagram is still queued: switching to a real mode reads it.
  port.ResetIO(NO, 8, 50000);
  EXPECT_EQ(port.Recv(buffer.data()), 8u);
  EXPECT_EQ(buffer, numbered(8, 5));
}

TEST(UDPPortDeathTest, BindFailureThrowsNamingTheAddressTheMachineLacks) {
  // A fresh namespace with only loopback: the controller address does not exist there, and
  // the port refuses at the bind, before anything could be sent; the caller decides what then.
  EXPECT_EXIT(
      {
        if (!enterBareNamespace()) _exit(3);
        try {
          UDPPort port("192.168.1.5", 8880, 8881, 8, 2000, NO);
        } catch (const LinkOpenError& error) {
          std::fprintf(stderr, "%s\n", error.what());
          _exit(error.errorNumber() == EADDRNOTAVAIL ? 4 : 5);
        }
        _exit(0);
      },
      testing::ExitedWithCode(4),
      "\\[ERROR\\] UDPPort::UDPPort, bind failed: Cannot assign requested address \\(this machine has no "
      "address 192\\.168\\.1\\.10, .*scripts/with-simulator\\)");
}

// ---- Against the board simulator ----------------------------------------------------

TEST(UDPPortWithBoard, ExchangesFullFramesAndFollowsTheLinkCut) {
  const Veltra1 robot;
  BoardSim sim(kVeltra);
  UDPPort port = boardPort(Veltra1::kReplyLength, 200000);
  Bytes frame = robot.passiveFrame();
  Bytes reply(Veltra1::kReplyLength, 0);
  EXPECT_TRUE(port.SendRecv(frame.data(), reply.data(), frame.size()));
  EXPECT_EQ(reply[0], kStatusValid);
  EXPECT_EQ(reply[21 * 10], kStatusValid);  // the IMU record
  ASSERT_TRUE(sim.waitForFrames(1, 1000));
  EXPECT_EQ(sim.recordedFrames()[0], frame);

  sim.goSilent();
  Bytes untouched(Veltra1::kReplyLength, 0xCD);
  {
    StdoutCapture capture;
    EXPECT_FALSE(port.SendRecv(frame.data(), untouched.data(), frame.size()));
    EXPECT_EQ(capture.finish(), "[WARNING] UDPPort::recv, unblock version, wait time out\n");
  }
  EXPECT_EQ(untouched, Bytes(Veltra1::kReplyLength, 0xCD));
  sim.resume();
  EXPECT_TRUE(port.SendRecv(frame.data(), reply.data(), frame.size()));
}

TEST(UDPPortWithBoard, ShortLongAndOtherPortRepliesFromTheBoard) {
  const Veltra1 robot;
  Bytes frame = robot.passiveFrame();
  Bytes reply(Veltra1::kReplyLength, 0);
  {
    BoardSim sim(kVeltra, {"--short-bytes", "100"});
    UDPPort port = boardPort(Veltra1::kReplyLength, 500000);
    StdoutCapture capture;
    EXPECT_FALSE(port.SendRecv(frame.data(), reply.data(), frame.size()));
    EXPECT_NE(capture.finish().find("received 100 bytes, but not 273 bytes, "), std::string::npos);
  }
  {
    BoardSim sim(kVeltra, {"--long-bytes", "9", "--other-port"});
    UDPPort port = boardPort(Veltra1::kReplyLength, 500000);
    StdoutCapture capture;
    EXPECT_TRUE(port.SendRecv(frame.data(), reply.data(), frame.size()));
    EXPECT_EQ(capture.finish(), "");
    EXPECT_NE(ntohs(port.lastSender().sin_port), 8880);
  }
}

TEST(UDPPortWithBoard, DuplicatedRepliesNeverAnswerALaterFrame) {
  const Veltra1 robot;
  BoardSim sim(kVeltra, {"--duplicate", "1"});
  UDPPort port = boardPort(Veltra1::kReplyLength, 500000);
  // The kernel starts stamping arrivals a moment after the first socket asks for it; until
  // then a repeated reply cannot be told from a fresh one.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Bytes reply(Veltra1::kReplyLength, 0);
  for (uint8_t exchange = 1; exchange <= 5; ++exchange) {
    Bytes frame = robot.passiveFrame();
    frame[0] = exchange;  // the board echoes the id of record 0
    ASSERT_TRUE(port.SendRecv(frame.data(), reply.data(), frame.size()));
    EXPECT_EQ(reply[1], exchange);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the second copy arrives meanwhile
  }
}

// A host other than the board (played by the simulator answering from a second address of
// the namespace) cannot feed the controller: its replies are dropped and counted.
TEST(UDPPortWithBoard, RepliesFromAnotherHostAreIgnored) {
  ASSERT_EQ(std::system("ip addr add 192.168.1.6/32 dev lo 2>/dev/null || ip addr show dev lo | grep -q 192.168.1.6"),
            0);
  const Veltra1 robot;
  BoardSim sim(kVeltra, {"--other-address", "192.168.1.6"});
  UDPPort port = boardPort(Veltra1::kReplyLength, 20000);
  Bytes frame = robot.passiveFrame();
  Bytes untouched(Veltra1::kReplyLength, 0xCD);
  StdoutCapture capture;
  for (int exchange = 0; exchange < 3; ++exchange)
    EXPECT_FALSE(port.SendRecv(frame.data(), untouched.data(), frame.size()));
  capture.finish();
  EXPECT_EQ(untouched, Bytes(Veltra1::kReplyLength, 0xCD));
  EXPECT_EQ(port.counters().foreignDropped.load(), 3u);
  EXPECT_EQ(port.lastSender().sin_addr.s_addr, inet_addr("192.168.1.6"));
}
