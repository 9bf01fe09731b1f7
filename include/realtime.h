/// \file
/// Real-time scheduling for the SDK's own threads: a SCHED_FIFO priority, one CPU, and memory
/// locked and faulted in before the first cycle. Nothing here touches the caller's thread: each
/// thread applies its own settings to itself.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

/// The system refused a real-time setting, or the setting cannot be had here (a priority
/// outside 1-99, a CPU outside the set this process may use). The message says what was
/// refused and how to allow it.
class RealtimeRefused : public std::runtime_error {
 public:
  /// Which setting was refused.
  enum class Setting { Cpu, Priority, Memory };
  /// `setting` refused, with the full message `what`.
  RealtimeRefused(Setting setting, const std::string& what) : std::runtime_error(what), setting_(setting) {}
  /// The setting that was refused.
  Setting setting() const { return setting_; }

 private:
  Setting setting_;
};

/// What one thread asks of the system for itself before its first cycle.
struct ThreadSchedule {
  int priority = 0;         ///< SCHED_FIFO priority; 0 or below leaves the thread's scheduling alone.
  bool bindCpu = false;     ///< Pin the thread to `cpu`.
  int cpu = -1;             ///< The only CPU the thread may run on, when bindCpu.
  bool touchStack = false;  ///< Fault in the top of its stack (kTouchedStackBytes) first.
};

/// How much of a thread's stack is faulted in when ThreadSchedule::touchStack is set. Unit: [byte].
constexpr size_t kTouchedStackBytes = 128 * 1024;

/// Applies `schedule` to the calling thread: the CPU first, then the priority, then the stack. `name` goes into the
/// messages. Throws RealtimeRefused when the system says no; the thread keeps whatever was
/// applied before the refusal. Call it on the thread that is to change, never for another.
void applyScheduleToThisThread(const std::string& name, const ThreadSchedule& schedule);

/// Locks every present and future page of the process into memory (mlockall). Stays in
/// force for the life of the process. Throws RealtimeRefused(Memory) when refused. Any thread.
void lockProcessMemory();

/// The CPUs this process may run on (sched_getaffinity), as "0-1" or "0,2-3". Any thread.
std::string allowedCpuText();

/// True when `cpu` is in the set this process may run on. Any thread.
bool cpuAllowed(int cpu);

/// Throws RealtimeRefused(Priority) unless `priority` is 0 (off) or within SCHED_FIFO's 1-99;
/// `what` names the setting in the message ("link_priority"). Any thread.
void requireFifoPriority(int priority, const char* what);

/// The real-time options of a RobotSDK (RobotSDK::setRealtime). Everything is off by default,
/// and then no thread asks for real-time scheduling or a CPU.
///
/// Costs: a thread at a SCHED_FIFO priority runs before every ordinary thread of the machine
/// whenever it is ready, so a busy cycle at a high priority can starve the rest of the
/// system; the SDK's cycles are short and sleep between periods. Locked memory stays resident
/// (every thread's whole stack included) for the life of the process.
///
/// Permissions: SCHED_FIFO needs root, CAP_SYS_NICE, or an `rtprio` limit in
/// /etc/security/limits.conf at least as high as the priority; lock_memory needs root,
/// CAP_IPC_LOCK or a large enough `memlock` limit.
struct RealtimeOptions {
  /// watchdog_priority's default: whatever link_priority is.
  static constexpr int kSameAsLink = -1;

  int link_priority = 0;       ///< SCHED_FIFO 1-99 for "motor_comm"; 0 = off.
  int link_cpu = -1;           ///< The only CPU "motor_comm" runs on; -1 = none.
  int control_priority = 0;    ///< SCHED_FIFO 1-99 for "motion_control" (callback style); 0 = off.
  int watchdog_priority = kSameAsLink;  ///< SCHED_FIFO 1-99 for "watch_dog"; 0 = off; kSameAsLink.
  bool lock_memory = false;    ///< mlockall (present and future pages) at start(), stacks faulted in.

  /// Throws RealtimeRefused for what can be judged without starting a thread: a priority
  /// outside 1-99 (or a watchdog_priority below kSameAsLink), a link_cpu outside the set this
  /// process may run on. Any thread.
  void check() const;
  /// The schedule of "motor_comm".
  ThreadSchedule link() const;
  /// The schedule of "motion_control".
  ThreadSchedule control() const;
  /// The schedule of "watch_dog".
  ThreadSchedule watchdog() const;
};
