#include <drivelink.h>

#include <cstdio>

int main() {
  MotorSDK bus;
  std::printf("motor bus %s\n", bus.get_version().c_str());
  std::printf("passive kd %.2f, frame of 12 motors %zu bytes\n", wire::kPassiveReadKd,
              wire::FrameLayout{12, 1, 1}.commandLength());
  return 0;
}
