// Replaying a flight recording: the recording read back as it was written, a controller run
// again against what the robot received, and the board's report of where the controller's
// frames left the recorded ones.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_sim.h"
#include "capture.h"
#include "datagram_socket.h"
#include "flight_recorder.h"
#include "motor_sdk.h"
#include "temp_file.h"
#include "wire_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kVeltra = configPath("veltra1.yaml");
const wire::FrameLayout kVeltraLayout{10, 1, 1};
constexpr int kSilenceMs = 200;  // a reply that has not come by then is not coming

RecordedRobot veltraDescription() {
  RecordedRobot robot;
  robot.robotType = 0;
  robot.layout = kVeltraLayout;
  robot.ids = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  robot.types = {5, 5, 4, 4, 4, 5, 5, 4, 4, 4};
  robot.gearRatios = {6, 6, 9, 9, 9, 6, 6, 9, 9, 9};
  robot.offsets = {0.0, 0.0, 0.25, -0.5, 0.1, 0.0, 0.0, -0.25, 0.5, -0.1};
  return robot;
}

// Frames whose every byte tells which frame and which position it is.
Bytes patterned(size_t length, int seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return bytes;
}

ExchangeResult outcome(RecordOutcome kind, size_t received = 0) {
  ExchangeResult result;
  result.sentNs = 1000;
  result.repliedNs = 1500;
  result.complete = kind == RecordOutcome::Complete || kind == RecordOutcome::LongReply;
  result.cut = kind == RecordOutcome::LongReply;
  result.received = result.complete ? kVeltraLayout.replyLength() : received;
  return result;
}

// A recording written by the recorder itself; `renumber` then gives record i the exchange
// number renumber[i], as a recorder that dropped exchanges would have.
struct HandMadeRecording {
  struct Entry {
    RecordOutcome kind;
    size_t received;
  };

  explicit HandMadeRecording(const std::vector<Entry>& entries, const std::vector<uint64_t>& renumber = {})
      : file("", ".dlrec") {
    FlightRecorder recorder(file.path(), veltraDescription().description(), 16);
    for (size_t i = 0; i < entries.size(); ++i) {
      commands.push_back(patterned(kVeltraLayout.commandLength(), static_cast<int>(i)));
      replies.push_back(patterned(kVeltraLayout.replyLength(), 100 + static_cast<int>(i)));
      recorder.capture(outcome(entries[i].kind, entries[i].received), commands[i].data(), replies[i].data());
    }
    recorder.finish();
    std::fstream edit(file.path(), std::ios::in | std::ios::out | std::ios::binary);
    for (size_t i = 0; i < renumber.size(); ++i) {
      edit.seekp(static_cast<std::streamoff>(72 + 24 * kVeltraLayout.motors + i * recorder.recordSize()));
      edit.write(reinterpret_cast<const char*>(&renumber[i]), sizeof(renumber[i]));
    }
  }

  TempFile file;
  std::vector<Bytes> commands;
  std::vector<Bytes> replies;
};

// The passive read the SDK primes with: a frame that commands nothing.
Bytes passiveRead() {
  const RecordedRobot robot = veltraDescription();
  std::vector<MotorCmd> frame(robot.layout.motors);
  wire::buildPassiveRead({robot.types, robot.ids, robot.gearRatios, robot.offsets}, frame);
  const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  return Bytes(bytes, bytes + frame.size() * sizeof(MotorCmd));
}

// The controller's end of the link, played by the test.
class ControllerSocket : public DatagramSocket {
 public:
  ControllerSocket() : DatagramSocket("192.168.1.10", 0) {}
  std::optional<Bytes> exchange(const Bytes& frame) const {
    sendTo(addressOf("192.168.1.5", 8880), frame);
    return receive(kSilenceMs);
  }
};

// A controller whose every command follows from the last reply alone: each joint is pulled
// towards a point beside where it is, against its velocity.
std::vector<MotorCmd> commandFrom(const std::vector<MotorState>& motors) {
  std::vector<MotorCmd> cmd(motors.size());
  for (size_t i = 0; i < motors.size(); ++i) {
    cmd[i].mode = kModeNormal;
    cmd[i].pos = static_cast<float>(motors[i].pos + 0.05);
    cmd[i].kp = 20.0f;
    cmd[i].kd = 0.5f;
    cmd[i].tau = static_cast<float>(-0.1 * motors[i].vel);
  }
  return cmd;
}

constexpr int kPrimingReads = 10;
constexpr int kControlledExchanges = 300;

// Primes with passive reads as the robot layer does, then controls; the recorder, if given,
// sees every exchange from the first.
void runController(FlightRecorder* recorder) {
  StdoutCapture quiet;
  MotorSDK bus;
  bus.init(kVeltra, UDP);
  if (recorder) bus.attachRecorder(recorder);
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> bats;
  for (int i = 0; i < kPrimingReads; ++i) bus.recv(motors, imus, bats);
  for (int i = 0; i < kControlledExchanges; ++i) bus.sendRecv(commandFrom(motors), motors, imus, bats);
  if (recorder) bus.detachRecorder();
}

// The board's replay report, once it has printed it.
std::string replayReport(const BoardSim& board) {
  for (int waited = 0; waited < 5000; waited += 10) {
    const std::string out = board.output();
    const size_t at = out.find("board_sim: replay: frames");
    if (at != std::string::npos && out.find('\n', at) != std::string::npos)
      return out.substr(at, out.find('\n', at) - at);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "no replay report in:\n" << board.output();
  return "";
}

}  // namespace

TEST(FlightRecordingReader, ReadsBackWhatTheRecorderWrote) {
  const HandMadeRecording made({{RecordOutcome::Complete, 0}, {RecordOutcome::NoReply, 0},
                                {RecordOutcome::ShortReply, 10}, {RecordOutcome::LongReply, 0}});
  const FlightRecording read = readFlightRecording(made.file.path());
  const RecordedRobot robot = veltraDescription();
  EXPECT_EQ(read.robot.robotType, 0);
  EXPECT_EQ(read.robot.layout.replyLength(), kVeltraLayout.replyLength());
  EXPECT_EQ(read.robot.layout.commandLength(), kVeltraLayout.commandLength());
  EXPECT_EQ(read.robot.ids, robot.ids);
  EXPECT_EQ(read.robot.types, robot.types);
  EXPECT_EQ(read.robot.gearRatios, robot.gearRatios);
  EXPECT_EQ(read.robot.offsets, robot.offsets);
  EXPECT_EQ(read.summary.recorded, 4u);
  EXPECT_EQ(read.summary.dropped, 0u);
  ASSERT_EQ(read.records.size(), 4u);
  const RecordOutcome kinds[] = {RecordOutcome::Complete, RecordOutcome::NoReply, RecordOutcome::ShortReply,
                                 RecordOutcome::LongReply};
  const uint32_t received[] = {273, 0, 10, 273};
  for (size_t i = 0; i < 4; ++i) {
    const RecordedExchange& record = read.records[i];
    EXPECT_EQ(record.exchange, i);
    EXPECT_EQ(record.sentNs, 1000);
    EXPECT_EQ(record.repliedNs, 1500);
    EXPECT_EQ(record.outcome, kinds[i]);
    EXPECT_EQ(record.replyBytes, received[i]);
    EXPECT_EQ(record.command, made.commands[i]);
    Bytes expected = made.replies[i];
    std::fill(expected.begin() + received[i], expected.end(), 0);  // bytes that never arrived
    EXPECT_EQ(record.reply, expected) << "record " << i;
  }
}

TEST(FlightRecordingReader, RefusesFilesItWouldCutInTheWrongPlaces) {
  const auto refusal = [](const std::string& path) -> std::string {
    try {
      readFlightRecording(path);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "read";
  };
  const HandMadeRecording backwards({{RecordOutcome::Complete, 0}, {RecordOutcome::Complete, 0}}, {5, 5});
  EXPECT_NE(refusal(backwards.file.path()).find("exchange numbers go backwards"), std::string::npos);

  const HandMadeRecording wrongSize({{RecordOutcome::Complete, 0}});
  {
    std::fstream edit(wrongSize.file.path(), std::ios::in | std::ios::out | std::ios::binary);
    const uint32_t otherLength = 229;
    edit.seekp(32);  // the command frame's length
    edit.write(reinterpret_cast<const char*>(&otherLength), sizeof(otherLength));
  }
  EXPECT_NE(refusal(wrongSize.file.path()).find("command_length is 229"), std::string::npos);
  const TempFile notOne("plain text, not a recording", ".dlrec");
  EXPECT_NE(refusal(notOne.path()).find("not a drivelink flight recording"), std::string::npos);
}

// Every kind of exchange the robot saw, a dropped one, a priming read before the first record,
// and a controller whose first command and one gain left the recorded frames.
TEST(BoardSimReplay, AnswersAsTheRobotSawAndReportsWhereTheControllerDiffered) {
  const HandMadeRecording made({{RecordOutcome::Complete, 0},
                                {RecordOutcome::NoReply, 0},
                                {RecordOutcome::ShortReply, 10},
                                {RecordOutcome::Complete, 0},
                                {RecordOutcome::LongReply, 0}},
                               {0, 1, 2, 4, 5});  // exchange 3 was dropped
  BoardSim board(kVeltra, {"--replay", made.file.path()});
  ControllerSocket link;
  const size_t replyLength = kVeltraLayout.replyLength();

  EXPECT_EQ(link.exchange(passiveRead()), made.replies[0]) << "a priming read before the first record";
  Bytes firstCommand = made.commands[0];
  firstCommand[sizeof(MotorCmd) + offsetof(MotorCmd, vel) + 3] ^= 0x40;  // commands something, if not what the robot did
  EXPECT_EQ(link.exchange(firstCommand), made.replies[0]) << "exchange 0";
  EXPECT_EQ(link.exchange(made.commands[1]), std::nullopt) << "exchange 1 saw no reply";
  EXPECT_EQ(link.exchange(made.commands[2]), Bytes(made.replies[2].begin(), made.replies[2].begin() + 10))
      << "exchange 2 saw a short reply";
  EXPECT_EQ(link.exchange(made.commands[2]), std::nullopt) << "exchange 3 is not in the recording";
  Bytes differing = made.commands[3];
  differing[2 * sizeof(MotorCmd) + offsetof(MotorCmd, kp)] ^= 0x01;
  EXPECT_EQ(link.exchange(differing), made.replies[3]) << "exchange 4";
  const std::optional<Bytes> longReply = link.exchange(made.commands[4]);
  ASSERT_TRUE(longReply.has_value()) << "exchange 5 saw a long reply";
  EXPECT_GT(longReply->size(), replyLength);
  EXPECT_EQ(Bytes(longReply->begin(), longReply->begin() + replyLength), made.replies[4]);

  const std::string report = replayReport(board);
  EXPECT_NE(report.find("frames 7, answered 5, before the first record 1, records replayed 5 of 5, compared 5, "
                        "differed 2, first at exchange 0 motor 1 field vel"),
            std::string::npos)
      << report;
  EXPECT_EQ(link.exchange(made.commands[0]), std::nullopt) << "after the last record the board is silent";
}

TEST(BoardSimReplay, PrimingBeforeARecordingThatOpensOnATimeoutGetsTheFirstReplySeen) {
  const HandMadeRecording made({{RecordOutcome::NoReply, 0}, {RecordOutcome::Complete, 0}});
  BoardSim board(kVeltra, {"--replay", made.file.path()});
  ControllerSocket link;
  EXPECT_EQ(link.exchange(passiveRead()), made.replies[1]);
  EXPECT_EQ(link.exchange(made.commands[0]), std::nullopt);
  EXPECT_EQ(link.exchange(made.commands[1]), made.replies[1]);
}

TEST(BoardSimReplay, AControllerOfItsObservationsSendsTheRecordedFramesAgain) {
  const TempFile recording("", ".dlrec");
  {
    BoardSim live(kVeltra);
    FlightRecorder recorder(recording.path(), veltraDescription().description());
    runController(&recorder);
    ASSERT_EQ(recorder.finish().dropped, 0u);
  }
  const FlightRecording recorded = readFlightRecording(recording.path());
  ASSERT_EQ(recorded.records.size(), static_cast<size_t>(kPrimingReads + kControlledExchanges));

  BoardSim replay(kVeltra, {"--replay", recording.path()});
  runController(nullptr);
  const std::string report = replayReport(replay);
  EXPECT_NE(report.find("before the first record 0, records replayed 310 of 310, compared 310, differed 0"),
            std::string::npos)
      << report;
  const std::vector<Bytes> frames = replay.recordedFrames();
  ASSERT_EQ(frames.size(), recorded.records.size());
  for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i], recorded.records[i].command) << "exchange " << i;
  // The controller moved the joints: the frames are not one command repeated.
  EXPECT_NE(recorded.records[kPrimingReads + 1].command, recorded.records.back().command);
}
