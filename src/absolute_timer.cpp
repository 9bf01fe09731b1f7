#include "absolute_timer.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <iostream>
#include <system_error>

#include "log_line.h"

int64_t getSystemTime() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

double getTimeSecond() { return static_cast<double>(getSystemTime()) * 1e-6; }

int64_t monotonicNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

itimerspec intervalTimerSpec(double seconds) {
  itimerspec setting{};
  // Outside this range (or NaN) the conversions below would be undefined or negative.
  if (!(seconds >= 0.0 && seconds < 2147483648.0)) return setting;
  timespec every{};
  every.tv_sec = static_cast<int32_t>(seconds);
  every.tv_nsec = static_cast<int32_t>(std::fmod(seconds, 1.0) * 1e9);
  setting.it_interval = every;
  setting.it_value = every;
  return setting;
}

bool armsTimer(const itimerspec& setting) {
  const timespec& first = setting.it_value;
  return first.tv_sec >= 0 && first.tv_nsec >= 0 && (first.tv_sec > 0 || first.tv_nsec > 0);
}

TimerDescriptor::TimerDescriptor() : _fd(timerfd_create(CLOCK_MONOTONIC, 0)) {}

TimerDescriptor::~TimerDescriptor() {
  if (_fd >= 0) close(_fd);
}

void TimerDescriptor::arm(const itimerspec& setting) const { timerfd_settime(_fd, 0, &setting, nullptr); }

bool TimerDescriptor::awaitExpiry(uint64_t& expirations) const {
  const ssize_t got = read(_fd, &expirations, sizeof(expirations));
  return got == static_cast<ssize_t>(sizeof(expirations));
}

AbsoluteTimer::AbsoluteTimer(double waitTime) : _waitTime(waitTime) {
  if (!_timerFd.isOpen()) {
    // Without a descriptor every sleep would return at once and wait() would spin.
    const int error = errno;
    perror("[ERROR] AbsoluteTimer, timerfd_create failed");
    throw std::system_error(error, std::system_category(), "AbsoluteTimer: timerfd_create");
  }
}

void AbsoluteTimer::start() { _startTime = getTimeSecond(); }

bool AbsoluteTimer::wait() {
  if (_waitTime == 0.0) return true;

  _leftTime = _waitTime - (getTimeSecond() - _startTime);
  if (_leftTime < 0) {
    logLine("[WARNING] The wait time ", _waitTime * 1000, "ms of AbsoluteTimer is not enough!");
    logLine("The program has already cost ", (getTimeSecond() - _startTime) * 1000, "ms.");
    return false;
  }

  while (true) {
    _leftTime = _waitTime - (getTimeSecond() - _startTime);
    if (_leftTime < 1e-6) break;
    _sleepTime = _leftTime >= 0.002 ? 0.002 : 0.5 * _leftTime;
    _updateWaitTime(_sleepTime);
    _timerFd.awaitExpiry(_expirations);
  }
  start();
  return true;
}

void AbsoluteTimer::_updateWaitTime(double seconds) {
  _timerSpec = intervalTimerSpec(seconds);
  _timerFd.arm(_timerSpec);
}
