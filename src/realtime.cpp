#include "realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

namespace {

constexpr int kLowestFifoPriority = 1;
constexpr int kHighestFifoPriority = 99;
constexpr size_t kPageBytes = 4096;

bool allowedSet(cpu_set_t& cpus) {
  CPU_ZERO(&cpus);
  return sched_getaffinity(0, sizeof(cpus), &cpus) == 0;
}

std::string outsideTheSet(const std::string& name, int cpu) {
  return "[realtime] CPU " + std::to_string(cpu) + " for " + name +
         " is outside the CPUs this process may run on (" + allowedCpuText() +
         "): choose one of those, or widen the set (taskset, the cgroup's cpuset)";
}

// Faulted in page by page from the top, so the cycles that follow find their stack resident.
__attribute__((noinline)) void touchStack() {
  volatile unsigned char stack[kTouchedStackBytes];
  for (size_t offset = 0; offset < sizeof(stack); offset += kPageBytes) stack[offset] = 0;
}

void pinThisThread(const std::string& name, int cpu) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  // An out-of-range CPU leaves the set empty, which the kernel refuses.
  if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &cpus);
  if (pthread_setaffinity_np(pthread_self(), sizeof(cpus), &cpus) != 0)
    throw RealtimeRefused(RealtimeRefused::Setting::Cpu, outsideTheSet(name, cpu));
}

void raiseThisThread(const std::string& name, int priority) {
  sched_param param{};
  param.sched_priority = priority;
  const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (error == 0) return;
  std::ostringstream text;
  text << "[realtime] SCHED_FIFO priority " << priority << " for " << name << " was refused (" << std::strerror(error)
       << ")";
  if (error == EPERM)
    text << ": run as root, give the program CAP_SYS_NICE (setcap cap_sys_nice+ep PROGRAM), or allow it with an "
            "rtprio line in /etc/security/limits.conf (for example '@realtime - rtprio 99', then log in again)";
  throw RealtimeRefused(RealtimeRefused::Setting::Priority, text.str());
}

}  // namespace

void applyScheduleToThisThread(const std::string& name, const ThreadSchedule& schedule) {
  if (schedule.bindCpu) pinThisThread(name, schedule.cpu);
  if (schedule.priority > 0) raiseThisThread(name, schedule.priority);
  if (schedule.touchStack) touchStack();
}

void lockProcessMemory() {
  if (mlockall(MCL_CURRENT | MCL_FUTURE) == 0) return;
  const int error = errno;
  throw RealtimeRefused(RealtimeRefused::Setting::Memory,
                        std::string("[realtime] locking the process's memory (mlockall) was refused (") +
                            std::strerror(error) +
                            "): run as root, give the program CAP_IPC_LOCK, or raise the memlock limit in "
                            "/etc/security/limits.conf (for example '@realtime - memlock unlimited')");
}

std::string allowedCpuText() {
  cpu_set_t cpus;
  if (!allowedSet(cpus)) return "unknown";
  std::ostringstream text;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &cpus)) continue;
    int last = cpu;
    while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &cpus)) ++last;
    if (text.tellp() > 0) text << ',';
    text << cpu;
    if (last > cpu) text << '-' << last;
    cpu = last;
  }
  return text.str();
}

bool cpuAllowed(int cpu) {
  cpu_set_t cpus;
  return cpu >= 0 && cpu < CPU_SETSIZE && allowedSet(cpus) && CPU_ISSET(cpu, &cpus);
}

void requireFifoPriority(int priority, const char* what) {
  if (priority == 0 || (priority >= kLowestFifoPriority && priority <= kHighestFifoPriority)) return;
  throw RealtimeRefused(RealtimeRefused::Setting::Priority,
                        std::string("[realtime] ") + what + " " + std::to_string(priority) +
                            " is outside SCHED_FIFO's priorities 1-99 (0 turns it off)");
}

void RealtimeOptions::check() const {
  requireFifoPriority(link_priority, "link_priority");
  requireFifoPriority(control_priority, "control_priority");
  if (watchdog_priority != kSameAsLink) requireFifoPriority(watchdog_priority, "watchdog_priority");
  if (link_cpu != -1 && !cpuAllowed(link_cpu))
    throw RealtimeRefused(RealtimeRefused::Setting::Cpu, outsideTheSet("motor_comm (link_cpu)", link_cpu));
}

ThreadSchedule RealtimeOptions::link() const {
  ThreadSchedule schedule;
  schedule.priority = link_priority;
  schedule.bindCpu = link_cpu != -1;
  schedule.cpu = link_cpu;
  schedule.touchStack = lock_memory;
  return schedule;
}

ThreadSchedule RealtimeOptions::control() const {
  ThreadSchedule schedule;
  schedule.priority = control_priority;
  schedule.touchStack = lock_memory;
  return schedule;
}

ThreadSchedule RealtimeOptions::watchdog() const {
  ThreadSchedule schedule;
  schedule.priority = watchdog_priority == kSameAsLink ? link_priority : watchdog_priority;
  schedule.touchStack = lock_memory;
  return schedule;
}
