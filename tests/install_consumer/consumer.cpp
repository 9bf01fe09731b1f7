#include <drivelink.h>

#include <cstdio>
#include <vector>

// Without arguments: links and runs. With a configuration: opens that robot's link and reads
// every device once (run it against the board simulator).
int main(int argc, char** argv) {
  MotorSDK bus;
  std::printf("motor bus %s\n", bus.get_version().c_str());
  std::printf("passive kd %.2f, frame of 12 motors %zu bytes\n", wire::kPassiveReadKd,
              wire::FrameLayout{12, 1, 1}.commandLength());
  if (argc < 2) return 0;

  bus.init(argv[1], UDP);
  std::vector<MotorState> motors;
  std::vector<ImuState> imus;
  std::vector<BatState> batteries;
  bus.recv(motors, imus, batteries);
  size_t valid = 0;
  for (const MotorState& motor : motors) valid += motor.status == kStatusValid;
  std::printf("%zu of %zu motors answered\n", valid, motors.size());
  return valid == motors.size() && !motors.empty() ? 0 : 1;
}
