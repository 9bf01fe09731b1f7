// A robot on the board simulator, as the robot-level tests set it up, and the helpers they
// share: the board's view of the commands, and how death-test children report and end.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "board_sim.h"
#include "in_process_port.h"
#include "robot_configs.h"
#include "robot_sdk.h"
#include "temp_file.h"

/// The last of `board`'s recorded frames, each record brought back to the joint side of
/// `bus`. Throws std::runtime_error when the board received nothing.
template <typename Board>
std::vector<MotorCmd> lastFrameOnJointSideOf(const Board& board, const MotorSDK& bus) {
  const auto frames = board.recordedFrames();
  if (frames.empty()) throw std::runtime_error("the board received nothing");
  std::vector<MotorCmd> joints;
  for (size_t i = 0; i < bus.motor_num_; ++i)
    joints.push_back(wire::toJointSide(wireRecord(frames.back(), i), bus.gearRatios()[i], bus.offsets()[i]));
  return joints;
}

/// Where a RobotOnBoard's simulator listens: on a free loopback port the robot is pointed at,
/// or at the robot's own private address (only inside this program's namespace), for the
/// tests of what names that address.
enum class SimLink { Loopback, PrivateAddress };

/// A board simulator and a RobotSDK on it, built in that order and destroyed in reverse.
/// `config` is a shipped configuration's name ("veltra1.yaml") or, when it spans lines, YAML
/// text kept in a temporary file while the object lives; `simArgs` go to the simulator as
/// they are. Nothing is primed or started. Throws what BoardSim and RobotSDK throw. Not for a
/// child the SDK may end with exit(): a static one would be destroyed on the SDK's thread.
class RobotOnBoard {
 public:
  /// Polling style.
  explicit RobotOnBoard(const std::string& config, std::vector<std::string> simArgs = {},
                        SimLink where = SimLink::Loopback)
      : file_(_textFile(config)), sim_(_path(config), _simArgs(std::move(simArgs), where)),
        robot_(_path(config), _link(where)) {}
  /// Callback style: `callback` every `controlPeriod` seconds once started.
  RobotOnBoard(const std::string& config, double controlPeriod, RobotSDK::ControlCallback callback,
               std::vector<std::string> simArgs = {}, SimLink where = SimLink::Loopback)
      : file_(_textFile(config)), sim_(_path(config), _simArgs(std::move(simArgs), where)),
        robot_(_path(config), controlPeriod, std::move(callback), _link(where)) {}

  RobotSDK& robot() { return robot_; }
  BoardSim& sim() { return sim_; }
  const MotorSDK& bus() const { return robot_.motor_sdk_; }

  void primeAndStart() {
    robot_.init();
    robot_.start();
  }

  /// The frame the board received last, each record brought back to the joint side. Throws
  /// std::runtime_error when the board received nothing.
  std::vector<MotorCmd> lastFrameOnJointSide() const { return lastFrameOnJointSideOf(sim_, bus()); }

 private:
  static std::unique_ptr<TempFile> _textFile(const std::string& config) {
    return config.find('\n') == std::string::npos ? nullptr : std::make_unique<TempFile>(config);
  }
  std::string _path(const std::string& config) const { return file_ ? file_->path() : configPath(config); }
  static std::vector<std::string> _simArgs(std::vector<std::string> args, SimLink where) {
    return where == SimLink::Loopback ? onLoopback(std::move(args)) : args;
  }
  // An empty set of options is the file's own link, as the constructors without one open.
  LinkOptions _link(SimLink where) const { return where == SimLink::Loopback ? sim_.loopbackLink() : LinkOptions{}; }

  std::unique_ptr<TempFile> file_;  // only for a configuration given as text
  BoardSim sim_;
  RobotSDK robot_;
};

/// A RobotSDK on a board inside this program (InProcessBoard), with RobotOnBoard's
/// interface, for the robot layer's own logic: no socket, no simulator process. Polling style.
class RobotInProcess {
 public:
  explicit RobotInProcess(const std::string& config)
      : board_(configPath(config)), robot_(configPath(config), board_.port()) {}

  RobotSDK& robot() { return robot_; }
  InProcessBoard& sim() { return board_; }
  const MotorSDK& bus() const { return robot_.motor_sdk_; }

  void primeAndStart() {
    robot_.init();
    robot_.start();
  }

  /// As RobotOnBoard::lastFrameOnJointSide.
  std::vector<MotorCmd> lastFrameOnJointSide() const { return lastFrameOnJointSideOf(board_, bus()); }

 private:
  InProcessBoard board_;
  RobotSDK robot_;  // after the board: its port goes first
};

/// A command of `joints` zeros in every vector.
inline RobotCommand zeroCommand(int joints) {
  RobotCommand command;
  for (Eigen::VectorXd* vector : {&command.tau, &command.pos, &command.vel, &command.kp, &command.kd})
    vector->setZero(joints);
  return command;
}

// ---- Death-test children ----------------------------------------------------------------

/// Sends what the child prints to stderr, the only stream a death test reads.
inline void childOutputToStderr() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

/// Ends a child through exit() (its static simulators stop): status 0 and "child: ok" when
/// `fault` is empty, else status 3 and "child: <fault>".
[[noreturn]] inline void endChild(const std::string& fault) {
  std::printf("child: %s\n", fault.empty() ? "ok" : fault.c_str());
  std::fflush(stdout);
  std::exit(fault.empty() ? 0 : 3);
}

/// Death-test pattern of the watchdog ending the process: ten failing checks, then the exit.
inline std::string watchdogExitPattern() {
  std::string expected;
  for (int count = 1; count <= 10; ++count)
    expected += "\\[RobotSDK\\] watchdog: comm failure count " + std::to_string(count) + "\n.*";
  return expected + "\\[RobotSDK\\] watchdog: comm failed, EXIT \n";
}
