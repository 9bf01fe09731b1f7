// A robot on the board simulator, the set-up of the robot-level tests, and the helpers they
// share: the board's view of the commands, and the output and ending of death-test children.
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
#include "robot_configs.h"
#include "robot_sdk.h"
#include "temp_file.h"

/// Every record of a recorded command frame brought back to the joint side with the bus's
/// gear ratios and offsets. Throws std::out_of_range when the frame is shorter than the bus.
inline std::vector<MotorCmd> jointSideRecords(const std::vector<uint8_t>& frame, const MotorSDK& bus) {
  std::vector<MotorCmd> joints;
  for (size_t i = 0; i < bus.motor_num_; ++i)
    joints.push_back(wire::toJointSide(wireRecord(frame, i), bus.gearRatios()[i], bus.offsets()[i]));
  return joints;
}

/// A board simulator and a RobotSDK on it, built in that order and destroyed in reverse, so the
/// robot never outlives its board. `config` is a shipped configuration's name ("veltra1.yaml")
/// or, when it spans lines, the YAML text itself, kept in a temporary file while the object
/// lives. `simArgs` go to the simulator unchanged. Nothing is primed or started here. Throws
/// what BoardSim and RobotSDK throw. Not for a death-test child that the SDK may end with
/// exit(): its static destructors would join the SDK's threads from one of them.
class RobotOnBoard {
 public:
  /// Polling style.
  explicit RobotOnBoard(const std::string& config, std::vector<std::string> simArgs = {})
      : file_(_fileFor(config)), path_(_pathOf(config)), sim_(path_, std::move(simArgs)), robot_(path_) {}
  /// Callback style: `callback` runs every `controlPeriod` seconds once started.
  RobotOnBoard(const std::string& config, double controlPeriod, RobotSDK::ControlCallback callback,
               std::vector<std::string> simArgs = {})
      : file_(_fileFor(config)),
        path_(_pathOf(config)),
        sim_(path_, std::move(simArgs)),
        robot_(path_, controlPeriod, std::move(callback)) {}

  RobotSDK& robot() { return robot_; }
  BoardSim& sim() { return sim_; }
  const MotorSDK& bus() const { return robot_.motor_sdk_; }
  /// The configuration file both read.
  const std::string& path() const { return path_; }

  /// init() then start(), throwing what they throw.
  void primeAndStart() {
    robot_.init();
    robot_.start();
  }

  /// The last frame the board received, each record brought back to the joint side. Throws
  /// std::runtime_error when the board received nothing.
  std::vector<MotorCmd> lastFrameOnJointSide() const {
    const auto frames = sim_.recordedFrames();
    if (frames.empty()) throw std::runtime_error("the board received nothing");
    return jointSideRecords(frames.back(), bus());
  }

 private:
  static bool _isText(const std::string& config) { return config.find('\n') != std::string::npos; }
  static std::unique_ptr<TempFile> _fileFor(const std::string& config) {
    return _isText(config) ? std::make_unique<TempFile>(config) : nullptr;
  }
  std::string _pathOf(const std::string& config) const { return file_ ? file_->path() : configPath(config); }

  std::unique_ptr<TempFile> file_;  // only for a configuration given as text
  std::string path_;
  BoardSim sim_;
  RobotSDK robot_;
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

/// Ends a child: status 0 and "child: ok" when `fault` is empty, else status 3 and
/// "child: <fault>". Through exit(), so the child's static simulators are stopped.
[[noreturn]] inline void endChild(const std::string& fault) {
  std::printf("child: %s\n", fault.empty() ? "ok" : fault.c_str());
  std::fflush(stdout);
  std::exit(fault.empty() ? 0 : 3);
}

/// Death-test pattern of the watchdog ending the process: ten failing checks in a row, then
/// the exit line.
inline std::string watchdogExitPattern() {
  std::string expected;
  for (int count = 1; count <= 10; ++count)
    expected += "\\[RobotSDK\\] watchdog: comm failure count " + std::to_string(count) + "\n.*";
  return expected + "\\[RobotSDK\\] watchdog: comm failed, EXIT \n";
}
