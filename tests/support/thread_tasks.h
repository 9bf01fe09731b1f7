// What the operating system says about each thread of a process: its name, scheduling and CPUs.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

/// One thread as /proc and sched_getaffinity report it.
struct ThreadTask {
  pid_t tid = 0;
  std::string name;       // /proc/PID/task/TID/comm
  int policy = -1;        // SCHED_OTHER, SCHED_FIFO, ...
  int priority = 0;       // its real-time priority (0 for ordinary threads)
  std::vector<int> cpus;  // the CPUs it may run on
};

/// The CPUs thread (or process) `tid` may run on; empty when it is gone.
inline std::vector<int> cpusOf(pid_t tid) {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(tid, sizeof(set), &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  return cpus;
}

/// Every thread of process `pid` (this one by default) that is still there when read.
inline std::vector<ThreadTask> threadTasks(pid_t pid = getpid()) {
  std::vector<ThreadTask> tasks;
  const std::string folder = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return tasks;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ThreadTask task;
    task.tid = static_cast<pid_t>(std::stol(entry->d_name));
    const std::string base = folder + "/" + entry->d_name;
    std::ifstream comm(base + "/comm");
    std::ifstream stat(base + "/stat");
    std::string statLine;
    if (!std::getline(comm, task.name) || !std::getline(stat, statLine)) continue;  // it ended meanwhile
    // The fields after the name in parentheses start with field 3; rt_priority is field 40,
    // policy 41.
    std::istringstream fields(statLine.substr(statLine.rfind(')') + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) values.push_back(value);
    if (values.size() < 39) continue;
    task.priority = std::stoi(values[37]);
    task.policy = std::stoi(values[38]);
    task.cpus = cpusOf(task.tid);
    tasks.push_back(task);
  }
  closedir(dir);
  return tasks;
}

/// The threads of process `pid` named `name`.
inline std::vector<ThreadTask> threadsNamed(const std::string& name, pid_t pid = getpid()) {
  std::vector<ThreadTask> named;
  for (const ThreadTask& task : threadTasks(pid))
    if (task.name == name) named.push_back(task);
  return named;
}
