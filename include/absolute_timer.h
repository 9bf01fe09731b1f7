/// \file
/// Wall-clock readings and a pacing timer for loops written by the SDK's users: call start()
/// once, do one cycle of work, call wait(), which sleeps until the period has passed since the
/// cycle began and begins the next one.
///
/// The free functions keep no state: any thread; none throws.
#pragma once

#include <sys/timerfd.h>

#include <cstdint>

/// Microseconds since the epoch (wall clock, gettimeofday).
int64_t getSystemTime();
/// getSystemTime() in seconds.
double getTimeSecond();
/// Nanoseconds on CLOCK_MONOTONIC (no system call: the kernel serves it from user space).
int64_t monotonicNanos();

/// The kernel timer setting that first expires after `seconds` and every `seconds` after that:
/// the whole seconds and the nanoseconds of the fraction, both truncated. A NaN, negative or
/// 2^31 s and longer period gives the zero setting.
itimerspec intervalTimerSpec(double seconds);
/// True when arming a timer with `setting` makes it expire: a zero setting disarms the timer
/// (a period below a nanosecond truncates to one), and the kernel refuses a negative one.
bool armsTimer(const itimerspec& setting);

/// Owns one CLOCK_MONOTONIC timer descriptor with blocking reads, and closes it.
/// When the kernel refuses a descriptor, isOpen() is false and errno tells why; reads on
/// such a descriptor return at once.
class TimerDescriptor {
 public:
  /// Asks the kernel for the descriptor; never throws (see isOpen()).
  TimerDescriptor();
  /// Closes the descriptor.
  ~TimerDescriptor();
  TimerDescriptor(const TimerDescriptor&) = delete;
  TimerDescriptor& operator=(const TimerDescriptor&) = delete;

  /// False when the kernel refused the descriptor.
  bool isOpen() const { return _fd >= 0; }
  /// The timer descriptor, -1 when refused.
  int fd() const { return _fd; }
  /// Arms the timer relative to now; pending expirations are discarded. A refused setting
  /// (or descriptor) is ignored.
  void arm(const itimerspec& setting) const;
  /// Blocks until the timer has expired; `expirations` receives the count since the last
  /// read. False when the read failed.
  bool awaitExpiry(uint64_t& expirations) const;

 private:
  int _fd;
};

/// Paces a fixed-period loop on the calling thread. wait() sleeps in slices of at most 2 ms on
/// a kernel timer and halves the slice within the last 2 ms, ending within 1 µs of the deadline.
class AbsoluteTimer {
 public:
  /// Creates the timer descriptor. When the kernel refuses one, prints a perror line to
  /// standard error and throws std::system_error carrying the errno of timerfd_create.
  /// `waitTime` is the period in seconds. Call from the thread that will wait.
  explicit AbsoluteTimer(double waitTime);
  AbsoluteTimer(const AbsoluteTimer&) = delete;
  AbsoluteTimer& operator=(const AbsoluteTimer&) = delete;

  /// Begins a period now. The thread that waits.
  void start();
  /// Sleeps until the period has passed since the period began, then begins the next one and
  /// returns true. When the period is already over, prints two warning lines and returns
  /// false without beginning a new period (every later wait() warns too until start()).
  /// A period of 0 returns true at once. Blocks the calling thread; one thread per timer.
  bool wait();

  /// The period. Unit: [s].
  double waitTime() const { return _waitTime; }

 private:
  void _updateWaitTime(double seconds);

  TimerDescriptor _timerFd;
  uint64_t _expirations = 0;
  double _waitTime;
  double _startTime = 0.0;
  double _leftTime = 0.0;
  double _sleepTime = 0.0;
  itimerspec _timerSpec{};
};
