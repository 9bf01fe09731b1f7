// drivelink_dds CONFIG [--name ROBOT] [--domain N] [--interface NAME] [--board ADDR:PORT]:
// the robot layer on this computer, its state and commands on DDS.
#include <cstdio>

int main() {
  std::fprintf(stderr, "drivelink_dds: not built yet\n");
  return 1;
}
