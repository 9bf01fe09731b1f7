// Holds enough descriptors open that the next one a port opens is numbered above 1023, the
// most a select() set can hold (a large Python program easily has that many open).
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

class ManyDescriptors {
 public:
  explicit ManyDescriptors(int count = 1100) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    if (raised.rlim_cur < static_cast<rlim_t>(count) + 64) raised.rlim_cur = static_cast<rlim_t>(count) + 64;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) throw std::runtime_error("cannot raise RLIMIT_NOFILE");
    for (int i = 0; i < count; ++i) {
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw std::runtime_error("cannot open enough descriptors");
      fds_.push_back(fd);
    }
  }
  ~ManyDescriptors() {
    for (int fd : fds_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  ManyDescriptors(const ManyDescriptors&) = delete;
  ManyDescriptors& operator=(const ManyDescriptors&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> fds_;
};
