// Commands that expire into the damping brake, and the black box of the last exchanges written
// out on each failure and on request, against the board simulator.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "robot_on_board.h"

using namespace std::chrono_literals;

namespace {

constexpr int kJoints = 10;  // veltra1
constexpr float kBrakeKd = 0.8f;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool isBrakeFrame(const std::vector<MotorCmd>& joints) {
  for (const MotorCmd& cmd : joints)
    if (cmd.kp != 0.0f || std::fabs(cmd.kd - kBrakeKd) > 1e-5f || std::fabs(cmd.pos) > 1e-6f) return false;
  return true;
}

/// The frame on the wire once a few more exchanges went out.
std::vector<MotorCmd> settledFrame(RobotOnBoard& rig) {
  EXPECT_TRUE(rig.sim().waitForFrames(rig.sim().framesReceived() + 5, 3000));
  return rig.lastFrameOnJointSide();
}

/// A folder of its own, removed with what it holds.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/drivelink_box_XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
  }
  /// The folder named `path`, made now; removed by the process that made it only.
  explicit TempFolder(std::string path, bool owner) : path_(std::move(path)), owner_(owner) {
    if (owner_ && mkdir(path_.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + path_);
  }
  ~TempFolder() {
    if (!owner_) return;
    for (const std::string& name : names()) std::remove((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    if (DIR* directory = opendir(path_.c_str())) {
      while (const dirent* entry = readdir(directory))
        if (entry->d_name[0] != '.') found.emplace_back(entry->d_name);
      closedir(directory);
    }
    return found;
  }
  /// The one file whose name holds `part`; empty when there is none or more than one.
  std::string only(const std::string& part) const {
    std::string match;
    for (const std::string& name : names()) {
      if (name.find(part) == std::string::npos) continue;
      if (!match.empty()) return "";
      match = path_ + "/" + name;
    }
    return match;
  }

 private:
  std::string path_;
  bool owner_ = true;
};

/// What a recording file holds, checked as a reader would: whole records after the header, the
/// header's count equal to them, exchanges numbered 0, 1, 2, ...
struct RecordingFile {
  uint64_t records = 0;
  std::vector<int64_t> sentNs;
  std::vector<std::vector<MotorCmd>> commands;  // motor side, as sent

  explicit RecordingFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < 72 || std::memcmp(bytes.data(), "DLFLREC", 8) != 0) throw std::runtime_error(path + ": no header");
    const uint32_t headerSize = read<uint32_t>(bytes, 12), recordSize = read<uint32_t>(bytes, 16);
    const uint16_t motors = read<uint16_t>(bytes, 24);
    records = read<uint64_t>(bytes, 56);
    if (bytes.size() != headerSize + records * recordSize)
      throw std::runtime_error(path + ": " + std::to_string(bytes.size()) + " bytes for " + std::to_string(records) +
                               " records");
    for (uint64_t i = 0; i < records; ++i) {
      const size_t at = headerSize + i * recordSize;
      if (read<uint64_t>(bytes, at) != i) throw std::runtime_error(path + ": record " + std::to_string(i) + " misnumbered");
      sentNs.push_back(read<int64_t>(bytes, at + 8));
      std::vector<MotorCmd> frame(motors);
      std::memcpy(frame.data(), bytes.data() + at + 32, motors * sizeof(MotorCmd));
      commands.push_back(frame);
    }
  }

  template <typename T>
  static T read(const std::vector<uint8_t>& bytes, size_t at) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(value));
    return value;
  }
};

RobotCommand stiffCommand() {
  RobotCommand command = zeroCommand(kJoints);
  command.kp.setConstant(20.0);
  command.kd.setConstant(1.0);
  return command;
}

/// Commands `robot` every 2 ms for `span`, each command's velocity targets new.
void commandFor(RobotSDK& robot, std::chrono::milliseconds span) {
  RobotCommand command = stiffCommand();
  for (const auto end = std::chrono::steady_clock::now() + span; std::chrono::steady_clock::now() < end;) {
    command.vel.array() += 0.001;
    robot.setCommand(command);
    std::this_thread::sleep_for(2ms);
  }
}

bool expired(RobotSDK& robot) { return robot.brakeLatch().holds(BrakeLatch::kCommandExpired); }

}  // namespace

// ---- Command expiry ----------------------------------------------------------------------

// The brake takes over no earlier than the timeout after the last command that went out, is
// counted and said, and the next command ends it.
TEST(CommandExpiry, APollingControllerThatStopsIsBrakedUntilItsNextCommand) {
  TempFolder folder;
  RobotOnBoard rig("veltra1.yaml");
  rig.primeAndStart();
  rig.robot().setCommandTimeout(0.1);
  StdoutCapture capture;
  commandFor(rig.robot(), 300ms);
  EXPECT_FALSE(expired(rig.robot())) << "a controller that keeps commanding expired";
  ASSERT_TRUE(waitFor([&] { return expired(rig.robot()); })) << "the commands never expired";
  EXPECT_TRUE(isBrakeFrame(settledFrame(rig)));
  EXPECT_EQ(rig.robot().linkStats().command_expiries, 1u);

  // From the black box: the last command was stored after the frame before the first that
  // carried it was sent, and the brake left no earlier than the timeout after that.
  const std::string path = folder.path() + "/now.dlrec";
  rig.robot().dumpBlackBox(path);
  const RecordingFile box(path);
  ASSERT_GT(box.records, 0u);
  size_t braked = box.records - 1;  // the first of the brake frames the dump ends with
  while (braked > 0 && box.commands[braked - 1][0].kp == 0.0f) --braked;
  ASSERT_GT(braked, 1u) << "no command before the brake in the black box";
  size_t carried = braked - 1;  // the first frame with the last command
  while (carried > 0 && box.commands[carried - 1][0].vel == box.commands[braked - 1][0].vel) --carried;
  ASSERT_GT(carried, 0u);
  EXPECT_GE(box.sentNs[braked] - box.sentNs[carried - 1], 95'000'000) << "the brake came early";

  rig.robot().setCommand(stiffCommand());
  EXPECT_FALSE(rig.robot().brakeLatch().any());
  EXPECT_NEAR(settledFrame(rig)[0].kp, 20.0f, 1e-4f);
  const std::string out = capture.finish();
  EXPECT_NE(out.find(" ms (the command timeout is 100 ms): every motor gets the damping brake frame until the "
                     "next command\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[RobotSDK] a new command ends the brake for: the commands stopped coming; commands are "
                     "accepted again\n"), std::string::npos) << out;
}

// A callback stuck inside the control thread stores nothing: the link thread brakes on its own,
// and the callback's first command after it returns takes over again.
TEST(CommandExpiry, ACallbackThatBlocksIsBrakedAndItsNextCommandTakesOver) {
  std::atomic<bool> block{false};
  RobotOnBoard rig("veltra1.yaml", 0.004, [&](const RobotState&, RobotCommand& out) {
    out = stiffCommand();
    while (block) std::this_thread::sleep_for(1ms);
  });
  EXPECT_THROW(rig.robot().setCommandTimeout(0.003), std::invalid_argument) << "shorter than the control period";
  EXPECT_THROW(rig.robot().setCommandTimeout(-1.0), std::invalid_argument);
  rig.robot().setCommandTimeout(0.05);
  rig.primeAndStart();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(expired(rig.robot())) << "a callback that keeps its period expired";
  block = true;
  ASSERT_TRUE(waitFor([&] { return expired(rig.robot()); }));
  EXPECT_TRUE(isBrakeFrame(settledFrame(rig)));
  block = false;
  ASSERT_TRUE(waitFor([&] { return !rig.robot().brakeLatch().any(); })) << "the callback's command never took over";
  EXPECT_NEAR(settledFrame(rig)[0].kp, 20.0f, 1e-4f);
  rig.robot().stop();
}

// A lost link outranks an expiry: through an outage longer than the timeout nothing expires,
// and once resumed the clock goes on from where it stood.
TEST(CommandExpiry, TheClockStandsStillWhileTheLinkIsLost) {
  RobotOnBoard rig("veltra1.yaml");
  rig.robot().setLinkFailureHandler([] {});
  rig.primeAndStart();
  rig.robot().setCommandTimeout(0.3);
  StdoutCapture capture;
  commandFor(rig.robot(), 100ms);
  rig.sim().goSilent();
  ASSERT_TRUE(waitFor([&] { return rig.robot().brakeLatch().holds(BrakeLatch::kLinkLost); }));
  std::this_thread::sleep_for(1000ms);
  EXPECT_FALSE(expired(rig.robot())) << "an expiry during the outage";
  rig.sim().resume();
  ASSERT_TRUE(waitFor([&] {
    try {
      rig.robot().resumeAfterLinkFailure();
      return true;
    } catch (const LinkFailure&) {
      return false;
    }
  }));
  ASSERT_TRUE(waitFor([&] { return expired(rig.robot()); }));
  EXPECT_EQ(rig.robot().linkStats().command_expiries, 1u);
  const std::string out = capture.finish();
  const size_t at = out.find("[RobotSDK] no new command for ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LT(std::stoi(out.substr(at + std::strlen("[RobotSDK] no new command for "))), 1000)
      << "the outage was counted as missing commands: " << out.substr(at, 120);
}

// ---- The black box -----------------------------------------------------------------------

// Asked for, it holds the ring's worth of the latest exchanges, whole and numbered from 0,
// the last of them the frame the board got last.
TEST(BlackBox, ADumpOnRequestHoldsTheLatestExchanges) {
  TempFolder folder;
  RobotOnBoard rig("veltra1.yaml");
  rig.primeAndStart();
  commandFor(rig.robot(), 3000ms);  // more exchanges than the ring holds
  const std::string path = folder.path() + "/asked.dlrec";
  const RecordingSummary summary = rig.robot().dumpBlackBox(path);
  const RecordingFile box(path);
  // Records the link overwrote while the dump copied them are left out: a few at most.
  EXPECT_LE(box.records, BlackBox::kRecords);
  EXPECT_GE(box.records, BlackBox::kRecords * 9 / 10);
  EXPECT_EQ(summary.recorded, box.records);
  EXPECT_GT(box.commands.back()[0].kp, 0.0f) << "the dump does not end with the latest commands";
  EXPECT_THROW(rig.robot().dumpBlackBox(folder.path() + "/missing/x.dlrec"), std::runtime_error);
}

// Each failure writes its own file into the chosen folder, named by its cause, and says where.
TEST(BlackBox, EachFailureWritesAFileNamedByItsCause) {
  TempFolder folder;
  StdoutCapture capture;
  {
    std::atomic<bool> fail{false};
    RobotOnBoard rig("veltra1.yaml", 0.004, [&](const RobotState&, RobotCommand& out) {
      out = stiffCommand();
      if (fail) throw std::runtime_error("the policy gave up");
    });
    rig.robot().setBlackBoxFolder(folder.path());
    rig.robot().setLinkFailureHandler([] {});
    rig.primeAndStart();
    std::this_thread::sleep_for(300ms);
    fail = true;
    ASSERT_TRUE(waitFor([&] { return !folder.only("callback-threw").empty(); }));
    rig.sim().goSilent();
    ASSERT_TRUE(waitFor([&] { return !folder.only("link-lost").empty(); }));
    EXPECT_THROW(rig.robot().stop(), std::runtime_error);
  }
  {
    RobotOnBoard rig("veltra1.yaml");
    rig.robot().setBlackBoxFolder(folder.path());
    rig.robot().setCommandTimeout(0.05);
    rig.primeAndStart();
    ASSERT_TRUE(waitFor([&] { return !folder.only("command-expired").empty(); }));
  }
  const std::string out = capture.finish();
  for (const char* cause : {"callback-threw", "link-lost", "command-expired"}) {
    const std::string path = folder.only(cause);
    EXPECT_GT(RecordingFile(path).records, 0u) << cause;
    EXPECT_NE(out.find(std::string("[RobotSDK] black box (") + cause + "): the last "), std::string::npos) << out;
    EXPECT_NE(out.find(" exchanges are in " + path + "\n"), std::string::npos) << out;
  }
}

// A cause that comes back within 10 s writes nothing more, and a folder that holds 20 black
// box files takes no more: one line says so.
TEST(BlackBox, AutomaticDumpsAreSpacedPerCauseAndStopAtTwentyFiles) {
  TempFolder spaced, full;
  for (int i = 0; i < 20; ++i) std::ofstream(full.path() + "/blackbox-earlier-" + std::to_string(i) + ".dlrec");
  StdoutCapture capture;
  RobotOnBoard rig("veltra1.yaml");
  rig.robot().setBlackBoxFolder(spaced.path());
  rig.robot().setLinkFailureHandler([] {});
  rig.robot().setCommandTimeout(0.05);
  rig.primeAndStart();
  for (uint64_t expiry = 1; expiry <= 2; ++expiry) {
    ASSERT_TRUE(waitFor([&] { return rig.robot().linkStats().command_expiries >= expiry; }));
    rig.robot().setCommand(stiffCommand());
  }
  std::this_thread::sleep_for(300ms);  // the black box thread has seen the second expiry
  EXPECT_EQ(spaced.names().size(), 1u) << "a second expiry within 10 s was written";

  rig.robot().setBlackBoxFolder(full.path());
  rig.sim().goSilent();
  ASSERT_TRUE(waitFor([&] { return rig.robot().brakeLatch().holds(BrakeLatch::kLinkLost); }));
  std::this_thread::sleep_for(300ms);
  rig.robot().stop();
  EXPECT_EQ(full.names().size(), 20u);
  const std::string out = capture.finish();
  EXPECT_EQ(countOf(out, "[RobotSDK] black box: " + full.path() + " holds 20 black box files: automatic dumps "
                         "stopped\n"), 1u) << out;
}

// On the exiting path the dump is written after the EXIT line, before the process ends.
TEST(BlackBoxDeathTest, TheWatchdogsExitWritesTheDumpFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs this test again from the start: it finds the folder by its parent's id.
  const bool child = !GTEST_FLAG_GET(internal_run_death_test).empty();
  const TempFolder folder("/tmp/drivelink_exit_box_" + std::to_string(child ? getppid() : getpid()), !child);
  const std::string path = configPath("veltra1.yaml");
  EXPECT_EXIT(
      {
        // The board falls silent by itself, about 0.3 s after priming: this thread touches
        // nothing that exit() on the watchdog thread tears down.
        static BoardSim sim(path, onLoopback({"--silent-after", "150"}));
        childOutputToStderr();
        RobotSDK robot(path, sim.loopbackLink());
        robot.setBlackBoxFolder(folder.path());
        robot.init();
        robot.start();
        std::this_thread::sleep_for(10s);
        std::exit(4);
      },
      testing::ExitedWithCode(1),
      "\\[RobotSDK\\] watchdog: comm failed, EXIT \n(.*\n)?\\[RobotSDK\\] black box \\(link-lost\\): the last [0-9]+ "
      "exchanges are in [^\n]*-link-lost\\.dlrec\n");
  EXPECT_GT(RecordingFile(folder.only("link-lost")).records, 0u);
}
