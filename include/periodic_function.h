/// \file
/// One function run on a thread of its own at a fixed period, paced by a kernel interval timer:
/// the first cycle runs at once, later cycles on whole periods after the timer was armed.
/// Missed expirations are not made up.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "realtime.h"

/// A named loop thread that calls one function every period. The thread carries its name at
/// the operating system (the first 15 characters), so `ps -L` and /proc/PID/task/*/comm show
/// it, and applies its CPU, priority and stack settings to itself before its first cycle.
/// start(), stop() and setPeriod()
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
  /// Starts the loop thread and waits until it has applied its settings to itself. A refused
  /// affinity or priority given to a constructor prints its line and ends the process with
  /// status 254; one given through setSchedule() throws RealtimeRefused instead, with the
  /// thread joined and nothing left running (the object may be started again).
  void start();
  /// Replaces the CPU, priority and stack settings the thread applies to itself from the next
  /// start() on; a refusal then throws from start(). The owner's thread, while not running
  /// (std::logic_error otherwise).
  void setSchedule(const ThreadSchedule& schedule);
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
  void _releaseThread();
  [[noreturn]] void _exitOnRefusal(const RealtimeRefused& refusal);

  std::function<void()> _function;
  std::atomic<float> _period;
  ThreadSchedule _schedule;
  bool _refusalEndsProcess = true;  // as the constructors' settings always did
  std::promise<void>* _startReport = nullptr;  // start() waits on it; the thread fulfils it once
  std::atomic<bool> _periodChanged{false};
  std::atomic<bool> _running{false};
  std::string _name;
  std::thread _thread;
};
