// The robot service against the joint-model board simulator, and RemoteRobot sessions on it,
// all on loopback inside this program's own network namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "board_sim.h"
#include "dds_support.h"
#include "remote_robot.h"
#include "robot_records.h"
#include "robot_configs.h"
#include "temp_file.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMotors = 10;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds within = 3000ms) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

// bin/drivelink_dds as a child; its output goes to a temporary file.
class ServiceProcess {
 public:
  explicit ServiceProcess(std::vector<std::string> args) : log_("", ".log") {
    args.insert(args.begin(), DRIVELINK_BIN_DIR "/drivelink_dds");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const int fd = open(log_.path().c_str(), O_WRONLY | O_APPEND);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("fork failed");
  }
  ~ServiceProcess() { stop(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  std::string output() const {
    std::ifstream file(log_.path());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  bool waitForOutput(const std::string& text, std::chrono::milliseconds within = 10000ms) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, within);
  }
  // The exit status once it ended by itself within `within`; -1 if it had to be killed.
  int waitForExit(std::chrono::milliseconds within) {
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, within);
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    return waitForExit(10000ms);
  }

 private:
  TempFile log_;
  pid_t pid_ = -1;
};

std::vector<std::string> serviceArgs(const std::string& name, const BoardSim& sim) {
  const LinkOptions link = sim.loopbackLink();
  return {configPath("local/veltra1.yaml"), "--name", name, "--board",
          *link.boardAddress + ":" + std::to_string(*link.boardPort)};
}

RobotCommand holdCommand() {
  RobotCommand command;
  command.tau = Eigen::VectorXd::Zero(kMotors);
  command.pos = Eigen::VectorXd::Zero(kMotors);
  command.vel = Eigen::VectorXd::Zero(kMotors);
  command.kp = Eigen::VectorXd::Constant(kMotors, 20.0);
  command.kd = Eigen::VectorXd::Constant(kMotors, 1.0);
  return command;
}

// Answers each new state with a command for `duration`, as a remote controller does.
void commandFor(RemoteRobot& robot, std::chrono::milliseconds duration) {
  const RobotCommand command = holdCommand();
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end)
    if (robot.waitForNewState(0.5)) robot.setCommand(command);
}

// RobotSDK::brake()'s frame in the board's latest frame: pure damping, no stiffness.
bool dampingOnTheWire(const BoardSim& sim) {
  const auto frames = sim.recordedFrames();
  if (frames.empty()) return false;
  for (size_t i = 0; i < kMotors; ++i) {
    const MotorCmd record = wireRecord(frames.back(), i);
    if (record.kp != 0.0f || !(record.kd > 0.0f)) return false;
  }
  return true;
}

// A joint-model board on loopback and one robot service of a name of the test's own.
class RemoteRobotOnService : public ::testing::Test {
 protected:
  RemoteRobotOnService()
      : name_(std::string("bot_") + ::testing::UnitTest::GetInstance()->current_test_info()->name()),
        sim_(configPath("local/veltra1.yaml"), onLoopback()),
        service_(serviceArgs(name_, sim_)) {}
  void SetUp() override {
    ASSERT_TRUE(service_.waitForOutput("serving robot")) << service_.output();
  }

  std::string name_;
  BoardSim sim_;
  ServiceProcess service_;
};

TEST_F(RemoteRobotOnService, StateArrivesWithRisingSequenceNumbersAndStatistics) {
  RemoteRobot robot(name_);
  EXPECT_EQ(robot.motorCount(), kMotors);
  EXPECT_EQ(robot.robotType(), RobotType::Veltra1);
  RobotState state;
  uint64_t previous = 0;
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(robot.waitForNewState(1.0));
    robot.getState(state);
    EXPECT_GT(state.replySequence, previous);
    previous = state.replySequence;
  }
  EXPECT_EQ(state.pos.size(), kMotors);
  EXPECT_GT(state.replyTime, 0.0);
  EXPECT_TRUE(eventually([&] { return robot.linkStats().replies > 0; }));
}

// What a ROS 2 node under rmw_cyclonedds looks for, as DDS discovery shows the service's
// endpoints to any participant.
std::map<std::string, std::string> discoveredTypes(dds_entity_t builtinTopic, const std::string& name) {
  dds_support::Entity participant = dds_support::createParticipant(0, "lo");
  const dds_entity_t reader = dds_support::check(dds_create_reader(participant.get(), builtinTopic, nullptr, nullptr), "reader");
  std::map<std::string, std::string> types;
  eventually([&] {
    void* samples[8] = {};
    dds_sample_info_t infos[8];
    const dds_return_t taken = dds_take(reader, samples, infos, 8, 8);
    for (dds_return_t i = 0; i < taken; ++i) {
      const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (infos[i].valid_data && std::string(endpoint->topic_name).find(name) != std::string::npos)
        types[endpoint->topic_name] = endpoint->type_name;
    }
    if (taken > 0) dds_return_loan(reader, samples, taken);
    return types.size() >= (builtinTopic == DDS_BUILTIN_TOPIC_DCPSPUBLICATION ? 3u : 1u);
  });
  return types;
}

TEST_F(RemoteRobotOnService, TopicsAndTypesCarryTheRobotNameAndRos2Naming) {
  const std::string prefix = "rt/drivelink/" + name_ + "/";
  const std::map<std::string, std::string> published = {
      {prefix + "low_state", "drivelink_msgs::msg::dds_::LowState_"},
      {prefix + "link_stats", "drivelink_msgs::msg::dds_::LinkStats_"},
      {prefix + "status", "drivelink_msgs::msg::dds_::Status_"}};
  EXPECT_EQ(discoveredTypes(DDS_BUILTIN_TOPIC_DCPSPUBLICATION, name_), published);
  const std::map<std::string, std::string> subscribed = {{prefix + "low_cmd", "drivelink_msgs::msg::dds_::LowCmd_"}};
  EXPECT_EQ(discoveredTypes(DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, name_), subscribed);
}

TEST_F(RemoteRobotOnService, SecondPublisherOfTheNameIsRefused) {
  ServiceProcess second(serviceArgs(name_, sim_));
  EXPECT_EQ(second.waitForExit(20000ms), 3) << second.output();
  EXPECT_NE(second.output().find("already publishes \"" + name_ + "\""), std::string::npos) << second.output();

  // A controller that sees two publishers of its robot reads and commands neither.
  RemoteRobot robot(name_);
  dds_support::Entity participant = dds_support::createParticipant(0, "lo");
  const dds_support::RobotTopics topics = dds_support::createTopics(participant.get(), name_);
  dds_support::createWriter(participant.get(), topics.lowState, dds_support::Flow::State);
  RobotState state;
  EXPECT_TRUE(eventually([&] {
    try {
      robot.getState(state);
      return false;
    } catch (const RemoteRobotError&) {
      return true;
    }
  }));
}

TEST_F(RemoteRobotOnService, SecondSessionIsRefusedWhileTheFirstIsInChargeAndTakesOverAfterItsLease) {
  RemoteRobot first(name_);
  RemoteRobot second(name_);
  ASSERT_NE(first.sessionId(), second.sessionId());
  commandFor(first, 200ms);
  ASSERT_TRUE(eventually([&] { return second.status().sessionInCharge == first.sessionId(); }));
  EXPECT_THROW(second.setCommand(holdCommand()), SessionRefused);

  // The service drops a foreign command that gets past the client, and counts it.
  dds_support::Entity participant = dds_support::createParticipant(0, "lo");
  const dds_support::RobotTopics topics = dds_support::createTopics(participant.get(), name_);
  const dds_entity_t writer = dds_support::createWriter(participant.get(), topics.lowCmd, dds_support::Flow::Command);
  std::atomic<bool> done{false};
  std::thread firstGoesOn([&] {
    while (!done.load()) commandFor(first, 20ms);
  });
  const bool dropped = eventually([&] {
    dds_support::LowCmdMsg foreign{};
    foreign.session_id = second.sessionId();
    foreign.counter = 1;
    foreign.state_sequence = 1;
    foreign.lease = 0.05;
    dds_write(writer, &foreign);
    return second.status().foreignDropped > 0;
  });
  const uint64_t inCharge = second.status().sessionInCharge;
  done.store(true);
  firstGoesOn.join();
  ASSERT_TRUE(dropped);
  EXPECT_EQ(inCharge, first.sessionId());

  // The first falls silent: after its lease the robot is free and the second takes charge.
  ASSERT_TRUE(eventually([&] { return second.status().sessionInCharge == 0; }));
  commandFor(second, 100ms);
  EXPECT_TRUE(eventually([&] { return second.status().sessionInCharge == second.sessionId(); }));
  EXPECT_GE(second.status().leaseExpiries, 1u);
}

TEST_F(RemoteRobotOnService, CommandsThatStopLeaveTheDampingFrameOnTheWire) {
  RemoteRobot robot(name_, 0, 0.1);
  commandFor(robot, 300ms);
  ASSERT_FALSE(dampingOnTheWire(sim_)) << "the controller's frame goes out while it commands";
  // Commands stop: the damping frame follows within the lease (hundreds of ms of slack here).
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return dampingOnTheWire(sim_); }, 1000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1000ms);
  EXPECT_TRUE(eventually([&] { return robot.status().sessionInCharge == 0; }));
  EXPECT_TRUE(eventually([&] { return robot.brakeLatch().holds(BrakeLatch::kCommandExpired); }));

  // A brake from any session is applied.
  commandFor(robot, 200ms);
  ASSERT_TRUE(eventually([&] { return !dampingOnTheWire(sim_); }));
  RemoteRobot bystander(name_);
  bystander.brake();
  EXPECT_TRUE(eventually([&] { return robot.status().brakes == 1; }));
}

TEST_F(RemoteRobotOnService, StopsOnSigtermWithEveryMotorBraked) {
  RemoteRobot robot(name_, 0, RemoteRobot::kMaxLease);  // a lease longer than the stop takes
  commandFor(robot, 200ms);
  ASSERT_FALSE(dampingOnTheWire(sim_));
  EXPECT_EQ(service_.stop(), 0);
  EXPECT_TRUE(dampingOnTheWire(sim_));
}

TEST_F(RemoteRobotOnService, LostLinkOutranksTheLeaseAndFreesTheRobot) {
  RemoteRobot robot(name_, 0, RemoteRobot::kMaxLease);
  commandFor(robot, 200ms);
  sim_.goSilent();
  ASSERT_TRUE(eventually([&] { return robot.status().linkLost; })) << service_.output();
  EXPECT_THROW(robot.setCommand(holdCommand()), LinkFailure);
  EXPECT_THROW(robot.waitForNewState(0.1), LinkFailure);
  sim_.resume();
  ASSERT_TRUE(eventually([&] { return !robot.status().linkLost; })) << service_.output();
  EXPECT_EQ(robot.status().sessionInCharge, 0u) << "the robot is free after the loss";
  EXPECT_TRUE(dampingOnTheWire(sim_)) << "the loss's damping frame stays until a session takes charge";
  commandFor(robot, 100ms);
  EXPECT_TRUE(eventually([&] { return robot.status().sessionInCharge == robot.sessionId(); }));
}

}  // namespace
