/// \file
/// One function run on a thread of its own at a fixed period, paced by a kernel interval timer:
/// the first cycle runs at once, later cycles on whole periods after the timer was armed.
/// Missed expirations are not made up.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

/// A named loop thread that calls one function every period. start(), stop() and setPeriod()
/// may be called from any thread but the loop itself, except that the function may stop its
/// own loop (it is joined later, by start() or the destructor). The function runs on the loop
/// thread and must not throw.
class PeriodicFunction {
 public:
  /// `period` in seconds. Leaves the thread's CPU and scheduling alone unless `priority` > 0,
  /// in which case the thread gets SCHED_FIFO at that priority. Throws std::invalid_argument
  /// for a period that arms no timer (NaN, not above zero once truncated to whole
  /// nanoseconds, or 2^31 s and longer).
  PeriodicFunction(float period, std::string name, std::function<void()> function, int priority);
  /// Also pins the thread to `cpuId`. The CPU comes before the priority.
  PeriodicFunction(float period, std::string name, std::function<void()> function, int cpuId, int priority);
  /// Stops and joins a running thread first.
  ~PeriodicFunction();

  // The loop thread holds a pointer to this object.
  PeriodicFunction(const PeriodicFunction&) = delete;
  PeriodicFunction& operator=(const PeriodicFunction&) = delete;
  PeriodicFunction(PeriodicFunction&&) = delete;
  PeriodicFunction& operator=(PeriodicFunction&&) = delete;

  /// Called by start() before the thread exists.
  void init();
  /// Starts the loop thread, then pins and prioritises it as configured. A refused affinity
  /// or priority ends the process with status 254.
  void start();
  /// Asks the loop to end and joins it; takes up to one period plus one cycle.
  void stop();
  /// Changes the period of a running loop: the timer is re-armed after the current cycle.
  /// Refuses a period that arms no timer as the constructor does, keeping the old one.
  void setPeriod(float period);

  /// One cycle of work.
  void run();
  /// The body of the loop thread.
  void loopFunction();

  /// True between start() and stop(). Any thread.
  bool isRunning() const { return _running; }
  /// The period. Unit: [s]. Any thread.
  float period() const { return _period; }
  /// The name the start and stop lines print.
  const std::string& name() const { return _name; }

 private:
  static float _requireArmingPeriod(float period);
  void _bindToCpu();
  void _raisePriority();
  void _releaseThread();

  std::function<void()> _function;
  std::atomic<float> _period;
  int _cpuId = 0;
  int _priority;
  bool _bindCpu = false;
  std::atomic<bool> _periodChanged{false};
  std::atomic<bool> _running{false};
  std::string _name;
  std::thread _thread;
};
