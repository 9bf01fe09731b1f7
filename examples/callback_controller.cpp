// A callback-style controller: RobotSDK runs it every 2 ms on its own control thread.
// It brings the robot from its rest pose to its family's standing pose (robot_family.h) with
// the family's gains over two seconds and holds it, while the main thread prints the state
// once a second.
//
//   bin/callback_controller configs/veltra1.yaml [seconds]   # or configs/zenthi.yaml
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "drivelink.h"

namespace {

constexpr double kControlPeriod = 0.002;
constexpr double kRampSeconds = 2.0;

class StandController {
 public:
  // Set before the robot starts: the callback runs only after start().
  void setFamily(const RobotFamily& family) { family_ = &family; }

  void operator()(const RobotState& state, RobotCommand& command) {
    if (cycles_++ == 0) {
      rest_ = state.pos;
      stand_ = family_->standingPose(state.pos);
      // The command keeps its gains from one period to the next.
      command.kp = family_->kp(state.pos.size());
      command.kd = family_->kd(state.pos.size());
    }
    const double x = std::min(1.0, cycles_ * kControlPeriod / kRampSeconds);
    const double blend = 0.5 - 0.5 * std::cos(M_PI * x);
    command.pos = rest_ + (stand_ - rest_) * blend;
    command.vel.setZero();
    command.tau.setZero();
    // The main thread reports these; plain atomics, so the control thread never waits for it.
    trackingError_ = (command.pos - state.pos).cwiseAbs().mean();
    cyclesRun_ = cycles_;
  }

  double trackingError() const { return trackingError_; }
  long cyclesRun() const { return cyclesRun_; }

 private:
  const RobotFamily* family_ = nullptr;
  long cycles_ = 0;
  Eigen::VectorXd rest_, stand_;
  std::atomic<double> trackingError_{0.0};
  std::atomic<long> cyclesRun_{0};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CONFIG [seconds]\n", argv[0]);
    return 2;
  }
  const int seconds = argc > 2 ? std::stoi(argv[2]) : 4;

  StandController controller;
  RobotSDK robot(argv[1], kControlPeriod,
                 [&controller](const RobotState& state, RobotCommand& command) { controller(state, command); });
  controller.setFamily(robotFamily(robot.robotType()));
  robot.init();
  robot.start();

  // getState/setCommand would race with the control thread, so the main thread only reports
  // what the controller publishes.
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("[callback_controller] %d s: %ld control cycles, mean tracking error %.4f rad\n", s,
                controller.cyclesRun(), controller.trackingError());
    std::fflush(stdout);
  }
  robot.stop();
  const bool tracked = controller.trackingError() < 0.05;
  std::printf("[callback_controller] %s\n", tracked ? "done" : "FAILED: tracking error too large");
  return tracked ? 0 : 1;
}
