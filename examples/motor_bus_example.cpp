// The motor bus on its own: open the board from a configuration file, read every device,
// swing the first motor gently for a second, print every device again and stop.
//
//   bin/motor_bus_example configs/veltra1.yaml
#include <cmath>
#include <cstdio>
#include <vector>

#include "drivelink.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CONFIG\n", argv[0]);
    return 2;
  }
  MotorSDK bus;
  bus.init(argv[1], UDP);

  std::vector<MotorCmd> commands(bus.motor_num_);
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> batteries;

  bus.recv(motors, imus, batteries);  // passive read: where is everything?
  bus.print(motors, imus, batteries);

  std::vector<float> rest;
  for (const MotorState& motor : motors) rest.push_back(motor.pos);
  AbsoluteTimer timer(0.0021);
  timer.start();
  for (int cycle = 0; cycle < 476; ++cycle) {
    for (size_t i = 0; i < commands.size(); ++i) {
      commands[i].mode = kModeNormal;
      commands[i].pos = rest[i];  // hold every motor where it was
      commands[i].vel = 0.0f;
      commands[i].tau = 0.0f;
      commands[i].kp = 40.0f;
      commands[i].kd = 1.0f;
    }
    if (!commands.empty()) commands[0].pos = rest[0] + 0.2f * static_cast<float>(std::sin(cycle * 0.0021 * 2 * M_PI));
    bus.sendRecv(commands, motors, imus, batteries);
    if (!timer.wait()) timer.start();  // an over-run: begin the next period now
  }

  bus.print(motors, imus, batteries);
  bus.stop();
  std::printf("[motor_bus_example] done\n");
  return 0;
}
