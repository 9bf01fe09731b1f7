#include "serial_driver_stub.h"

#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace {

struct Driver {
  bool installed = false;
  bool failGet = false;
  bool failSet = false;
  serial_struct record{};
  serial_driver_stub::Seen seen;
};

std::mutex driverMutex;
Driver driver;

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction systemIoctl() {
  static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

int getSerial(serial_struct* out) {
  std::lock_guard<std::mutex> lock(driverMutex);
  ++driver.seen.getCalls;
  if (driver.failGet) {
    errno = ENOTTY;
    return -1;
  }
  *out = driver.record;
  return 0;
}

int setSerial(const serial_struct* in) {
  std::lock_guard<std::mutex> lock(driverMutex);
  ++driver.seen.setCalls;
  if (driver.failSet) {
    errno = EPERM;
    return -1;
  }
  driver.record.flags = in->flags;
  driver.record.custom_divisor = in->custom_divisor;
  driver.seen.flags = in->flags;
  driver.seen.customDivisor = in->custom_divisor;
  return 0;
}

bool standingIn(unsigned long request) {
  if (request != TIOCGSERIAL && request != TIOCSSERIAL) return false;
  std::lock_guard<std::mutex> lock(driverMutex);
  return driver.installed;
}

}  // namespace

// Every ioctl of the process comes through here; only the two serial-driver requests are
// answered by the stand-in, and only while it is installed.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (standingIn(request)) {
    return request == TIOCGSERIAL ? getSerial(static_cast<serial_struct*>(argument))
                                  : setSerial(static_cast<const serial_struct*>(argument));
  }
  return systemIoctl()(fd, request, argument);
}

namespace serial_driver_stub {

void install(int baudBase, int customDivisor) {
  std::lock_guard<std::mutex> lock(driverMutex);
  driver = Driver{};
  driver.installed = true;
  driver.record.baud_base = baudBase;
  driver.record.custom_divisor = customDivisor;
  driver.seen.baudBase = baudBase;
  driver.seen.customDivisor = customDivisor;
}

void uninstall() {
  std::lock_guard<std::mutex> lock(driverMutex);
  driver = Driver{};
}

void failGetSerial(bool fail) {
  std::lock_guard<std::mutex> lock(driverMutex);
  driver.failGet = fail;
}

void failSetSerial(bool fail) {
  std::lock_guard<std::mutex> lock(driverMutex);
  driver.failSet = fail;
}

Seen last() {
  std::lock_guard<std::mutex> lock(driverMutex);
  return driver.seen;
}

}  // namespace serial_driver_stub
