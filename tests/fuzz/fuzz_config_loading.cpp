// Configuration loading of arbitrary YAML text. Whatever the file holds, init either
// configures the bus or raises an exception; it never crashes. The link is left unopened
// (an unknown link type), so no socket or device is touched.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "motor_sdk.h"

namespace {

// One scratch file per fuzzing process, rewritten for every input.
const std::string& scratchPath() {
  static const std::string path = [] {
    char name[] = "/tmp/drivelink_fuzz_config_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    std::atexit([] { std::remove(scratchPath().c_str()); });
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchPath();
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  try {
    MotorSDK bus;
    bus.init(path, static_cast<CommType>(2));
  } catch (const std::exception&) {
    // Every rejection is an exception with a message; that is the expected outcome.
  }
  return 0;
}
