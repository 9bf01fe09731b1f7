// A network namespace of the calling process's own with only loopback in it: the robot's link
// addresses do not exist there, so a bind to the controller's address fails as it does on a
// machine off the robot's network (while loopback is down, the kernel would accept the bind).
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

/// Moves the calling process (a test's child) into a fresh network namespace and brings its
/// loopback up; false when either step fails.
inline bool enterBareNamespace() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  if (fd >= 0) close(fd);
  return up;
}
