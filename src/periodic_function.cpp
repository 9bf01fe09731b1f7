#include "periodic_function.h"

#include <pthread.h>
#include <sched.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "absolute_timer.h"
#include "log_line.h"

namespace {

constexpr size_t kLongestThreadName = 15;  // the kernel keeps 16 bytes with the terminator

// The PeriodicFunction whose loop runs on this thread, if any: stop() called from its own loop
// must not wait for itself. (Its std::thread object may still be being assigned when the loop
// starts, so the loop never reads it.)
thread_local const PeriodicFunction* t_ownLoop = nullptr;

int wholeMilliseconds(const itimerspec& setting) { return static_cast<int>(setting.it_interval.tv_nsec / 1000000); }

}  // namespace

PeriodicFunction::PeriodicFunction(float period, std::string name, std::function<void()> function, int priority)
    : _function(std::move(function)), _period(_requireArmingPeriod(period)), _name(std::move(name)) {
  _schedule.priority = priority;
}

PeriodicFunction::PeriodicFunction(float period, std::string name, std::function<void()> function, int cpuId,
                                   int priority)
    : PeriodicFunction(period, std::move(name), std::move(function), priority) {
  _schedule.cpu = cpuId;
  _schedule.bindCpu = true;
}

PeriodicFunction::~PeriodicFunction() {
  if (_running) stop();
  _releaseThread();
}

// Destroying or replacing a joinable thread would terminate the process. A loop that stopped
// itself is joined here, from another thread; only a loop that is being destroyed on its own
// thread (a static owner destroyed after the loop's function ended the process) is let go.
void PeriodicFunction::_releaseThread() {
  if (!_thread.joinable()) return;
  if (t_ownLoop == this) {
    _thread.detach();
  } else {
    _thread.join();
  }
}

void PeriodicFunction::init() {}

void PeriodicFunction::start() {
  if (_running) {
    logFormat("[PeriodicTask] Tried to start %s but it was already running!\n", _name.c_str());
    return;
  }
  _releaseThread();  // a loop that stopped itself
  init();
  _periodChanged = false;  // a period set while idle is armed from the start anyway
  std::promise<void> report;
  std::future<void> settled = report.get_future();
  _startReport = &report;
  _running = true;
  _thread = std::thread(&PeriodicFunction::loopFunction, this);
  const auto abandon = [this] {  // the thread ended before its first cycle
    _running = false;
    _thread.join();
  };
  try {
    settled.get();
  } catch (const RealtimeRefused& refusal) {
    abandon();
    if (_refusalEndsProcess) _exitOnRefusal(refusal);
    throw;
  } catch (...) {
    abandon();
    throw;
  }
}

void PeriodicFunction::setSchedule(const ThreadSchedule& schedule) {
  if (_running) throw std::logic_error("[PeriodicFunction] " + _name + ": the schedule changes only while stopped");
  _schedule = schedule;
  _refusalEndsProcess = false;
}

void PeriodicFunction::_exitOnRefusal(const RealtimeRefused& refusal) {
  logLine(refusal.setting() == RealtimeRefused::Setting::Cpu ? "Error: Set affinity failed."
                                                               : "Error: Set priority failed.");
  flushLogBeforeExit();
  exit(-2);
}

void PeriodicFunction::stop() {
  if (!_running) {
    logFormat("[PeriodicFunction] Tried to stop %s but it wasn't running!\n", _name.c_str());
    return;
  }
  _running = false;
  logFormat("[PeriodicFunction] Waiting for %s to stop...\n", _name.c_str());
  // Called from the loop's own function, it cannot wait for itself: the loop ends after this
  // cycle and is joined by the next start() or the destructor.
  if (t_ownLoop != this) _thread.join();
  logLine("[PeriodicFunction] Done!");
}

// A period whose timer setting truncates to zero disarms the timer: the loop would wait for
// ever and stop() would never return.
float PeriodicFunction::_requireArmingPeriod(float period) {
  if (armsTimer(intervalTimerSpec(period))) return period;
  std::ostringstream text;
  text << "[PeriodicFunction] a period of " << period
       << " s arms no timer: it must be at least a nanosecond and below 2^31 s";
  throw std::invalid_argument(text.str());
}

void PeriodicFunction::setPeriod(float period) {
  _period = _requireArmingPeriod(period);
  _periodChanged = true;
}

void PeriodicFunction::run() { _function(); }

void PeriodicFunction::loopFunction() {
  t_ownLoop = this;
  (void)pthread_setname_np(pthread_self(), _name.substr(0, kLongestThreadName).c_str());
  // The settings are in place before the first cycle, and a refusal reaches start(). start()
  // returns once this thread's start line is out, so the threads' lines come in start order.
  std::promise<void>* report = std::exchange(_startReport, nullptr);
  try {
    if (_schedule.priority > 0) logLine("priority of thread ", _name, " is ", _schedule.priority);
    applyScheduleToThisThread(_name, _schedule);
  } catch (...) {
    if (!report) throw;
    report->set_exception(std::current_exception());
    return;
  }
  TimerDescriptor timer;
  uint64_t expirations = 0;
  const itimerspec setting = intervalTimerSpec(_period.load());
  timer.arm(setting);
  logFormat("[PeriodicFunction] Start %s (%d s, %d ms)\n", _name.c_str(), static_cast<int>(setting.it_interval.tv_sec),
            wholeMilliseconds(setting));
  if (report) report->set_value();

  while (_running) {
    run();
    // Clear the request before reading the period, so a change made meanwhile is not lost.
    if (_periodChanged.exchange(false)) {
      const float period = _period;
      timer.arm(intervalTimerSpec(period));
      logLine(_name, " [PeriodicFunction] reset period: ", period);
    }
    timer.awaitExpiry(expirations);
  }
  logFormat("[PeriodicFunction] %s has stopped!\n", _name.c_str());
}
