// Pieces the link benchmarks share: a child process that serves the board's address (the board
// simulator or a bare echo) and is stopped with its owner, a latency summary in microseconds,
// and a switch that moves the library's log lines off standard output while JSON is written.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cycle_stats.h"

namespace bench {

/// The board simulator of this build.
inline std::string boardSimProgram() { return std::string(DRIVELINK_BIN_DIR) + "/board_sim"; }

/// A file below the project folder, e.g. "bench/configs/bus12.yaml".
inline std::string projectFile(const std::string& relative) {
  return std::string(DRIVELINK_SOURCE_DIR) + "/" + relative;
}

/// Pins the calling thread (a process's main thread: the whole process) to one CPU.
inline bool pinToCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof(set), &set) == 0;
}

/// A program started in the background whose standard output comes through a pipe; the
/// constructor waits for its ready line. Whatever it prints later stays in the pipe, which is
/// fine for the quiet servers started here. Stopped with SIGTERM and reaped with its owner.
class ChildProcess {
 public:
  /// `cpu` >= 0 pins the child to that CPU before it starts.
  ChildProcess(const std::vector<std::string>& argv, const std::string& readyLine, int cpu = -1,
               int timeoutMs = 10000) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      if (cpu >= 0) pinToCpu(cpu);
      _exec(argv, out[1]);
    }
    ::close(out[1]);
    readFd_ = out[0];
    if (!_awaitLine(readyLine, timeoutMs)) {
      stop();
      throw std::runtime_error(argv[0] + " did not report \"" + readyLine + "\"");
    }
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (readFd_ >= 0) {
      ::close(readFd_);
      readFd_ = -1;
    }
  }

 private:
  [[noreturn]] static void _exec(const std::vector<std::string>& argv, int writeFd) {
    dup2(writeFd, STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror("exec");
    _exit(127);
  }

  /// Reads the child's output until `line` shows up; the pipe stays open afterwards, and a
  /// quiet child writes little enough that it never fills.
  bool _awaitLine(const std::string& line, int timeoutMs) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen.find(line) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{readFd_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t got = ::read(readFd_, chunk, sizeof(chunk));
      if (got <= 0) return false;
      seen.append(chunk, static_cast<size_t>(got));
    }
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
};

/// Median, p99 and p99.9 of a set of durations, in microseconds.
struct LatencyFigures {
  size_t count = 0;
  double medianUs = 0, p99Us = 0, p999Us = 0, maxUs = 0;
};

inline LatencyFigures latencyFigures(std::vector<double> microseconds) {
  LatencyFigures figures;
  figures.count = microseconds.size();
  if (microseconds.empty()) return figures;
  std::sort(microseconds.begin(), microseconds.end());
  figures.medianUs = percentile(microseconds, 0.5);
  figures.p99Us = percentile(microseconds, 0.99);
  figures.p999Us = percentile(microseconds, 0.999);
  figures.maxUs = microseconds.back();
  return figures;
}

inline void appendLatency(std::vector<Figure>& out, const std::string& name, const LatencyFigures& latency) {
  out.push_back({name + ".count", static_cast<double>(latency.count), "count"});
  out.push_back({name + ".median", latency.medianUs, "us"});
  out.push_back({name + ".p99", latency.p99Us, "us"});
  out.push_back({name + ".p99_9", latency.p999Us, "us"});
  out.push_back({name + ".max", latency.maxUs, "us"});
}

/// Rounds of one loop measured between rounds of another, so that load coming and going on a
/// shared machine hits both: the percentiles are the median over the rounds, the maximum the
/// largest, missed cycles add up and the CPU is the mean.
inline GridFigures combineRounds(const std::vector<GridFigures>& rounds) {
  GridFigures combined;
  if (rounds.empty()) return combined;
  auto medianOf = [&rounds](double GridFigures::*field) {
    std::vector<double> values;
    for (const auto& round : rounds) values.push_back(round.*field);
    std::sort(values.begin(), values.end());
    return percentile(values, 0.5);
  };
  combined.medianUs = medianOf(&GridFigures::medianUs);
  combined.p99Us = medianOf(&GridFigures::p99Us);
  combined.p999Us = medianOf(&GridFigures::p999Us);
  for (const auto& round : rounds) {
    combined.cycles += round.cycles;
    combined.missed += round.missed;
    combined.maxUs = std::max(combined.maxUs, round.maxUs);
    combined.cpuMsPerSecond += round.cpuMsPerSecond / static_cast<double>(rounds.size());
    combined.voluntaryPerCycle += round.voluntaryPerCycle / static_cast<double>(rounds.size());
    combined.involuntaryPerCycle += round.involuntaryPerCycle / static_cast<double>(rounds.size());
  }
  return combined;
}

/// Sends standard output to standard error while it lives, so the library's log lines do not
/// mix with figures written as JSON.
class StdoutAside {
 public:
  explicit StdoutAside(bool active) : saved_(active ? dup(STDOUT_FILENO) : -1) {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~StdoutAside() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutAside(const StdoutAside&) = delete;
  StdoutAside& operator=(const StdoutAside&) = delete;

 private:
  int saved_;
};

/// Figures as JSON on standard output, or as a plain two-column list.
inline void writeFigures(const std::vector<Figure>& figures, bool json) {
  if (json) {
    writeJson(std::cout, figures);
    return;
  }
  for (const auto& figure : figures) std::printf("%-44s %14.3f %s\n", figure.name.c_str(), figure.value, figure.unit.c_str());
}

}  // namespace bench
