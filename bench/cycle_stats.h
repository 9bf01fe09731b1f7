// Measures how well a periodic loop keeps to its grid: each cycle records its start on the
// monotonic clock, and the figures say how late cycles began relative to their grid points,
// how many grid points were skipped and how much CPU the loop thread used.
// Header-only so every benchmark program can reuse it.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline int64_t nanosOf(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/// Cycle starts of one loop, written by the loop thread without allocating.
class CycleRecorder {
 public:
  explicit CycleRecorder(size_t cycles) : starts_(cycles) {}

  /// Call first thing in every cycle, on the loop thread. False once all cycles are recorded.
  bool record() {
    const size_t index = recorded_.load(std::memory_order_relaxed);
    if (index >= starts_.size()) return false;
    starts_[index] = nanosOf(CLOCK_MONOTONIC);
    if (index == 0) _sample(firstCpu_, firstSwitches_);
    if (index + 1 == starts_.size()) _sample(lastCpu_, lastSwitches_);
    recorded_.store(index + 1, std::memory_order_release);
    return true;
  }

  bool full() const { return recorded_.load(std::memory_order_acquire) >= starts_.size(); }

  /// Polls until every cycle is recorded or `limit` has passed; true when full.
  bool waitUntilFull(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!full()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  /// Valid once full().
  const std::vector<int64_t>& starts() const { return starts_; }
  /// CPU time the loop thread used from the first recorded cycle to the last.
  int64_t threadCpuNanos() const { return lastCpu_ - firstCpu_; }
  /// Context switches of the loop thread over the same span: the times it blocked (waits for a
  /// timer or a reply) and the times it was taken off its CPU while it could have run.
  int64_t voluntarySwitches() const { return lastSwitches_.voluntary - firstSwitches_.voluntary; }
  int64_t involuntarySwitches() const { return lastSwitches_.involuntary - firstSwitches_.involuntary; }

 private:
  struct Switches {
    int64_t voluntary = 0, involuntary = 0;
  };

  static void _sample(int64_t& cpu, Switches& switches) {
    cpu = nanosOf(CLOCK_THREAD_CPUTIME_ID);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    switches = {usage.ru_nvcsw, usage.ru_nivcsw};
  }

  std::vector<int64_t> starts_;
  std::atomic<size_t> recorded_{0};
  int64_t firstCpu_ = 0;
  int64_t lastCpu_ = 0;
  Switches firstSwitches_;
  Switches lastSwitches_;
};

struct GridFigures {
  size_t cycles = 0;
  double medianUs = 0, p99Us = 0, p999Us = 0, maxUs = 0;  // start after the grid point
  size_t missed = 0;                                        // grid points that began no cycle
  double cpuMsPerSecond = 0;                                // loop thread CPU per wall second
  double voluntaryPerCycle = 0, involuntaryPerCycle = 0;    // loop thread context switches
};

/// Nearest-rank percentile of sorted values.
inline double percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

/// The arming instant is not observable from the cycle, so the grid is placed by the cycles
/// themselves, counted from the first one. A cycle belongs to the grid point at or before its
/// start (up to a tenth of a period before counts as that point, for the first cycle's own delay),
/// and to an earlier point than the cycle after it, since every cycle consumes an expiration:
/// a cycle that woke most of a period late shares its nearest point with its successor and is
/// moved back to its own. The grid's phase is then set by the cycle that began earliest relative
/// to it, so lateness excludes the smallest wake-up latency seen and measures the jitter above it.
/// Takes the starts of any loop (CLOCK_MONOTONIC ns, in order); the CPU is left at 0.
inline GridFigures gridFigures(const std::vector<int64_t>& starts, int64_t periodNanos) {
  GridFigures figures;
  figures.cycles = starts.size();
  if (starts.size() < 2) return figures;

  const double period = static_cast<double>(periodNanos);
  constexpr double kEarlyTolerance = 0.1;  // in periods
  std::vector<double> sinceFirst(starts.size());
  std::vector<int64_t> slots(starts.size());
  for (size_t i = 0; i < starts.size(); ++i) {
    sinceFirst[i] = static_cast<double>(starts[i] - starts[0]);
    slots[i] = static_cast<int64_t>(std::floor(sinceFirst[i] / period + kEarlyTolerance));
  }
  for (size_t i = starts.size() - 1; i-- > 0;) slots[i] = std::min(slots[i], slots[i + 1] - 1);

  std::vector<double> lateUs;
  lateUs.reserve(starts.size());
  for (size_t i = 0; i < starts.size(); ++i) {
    if (i > 0) figures.missed += static_cast<size_t>(slots[i] - slots[i - 1] - 1);
    lateUs.push_back((sinceFirst[i] - static_cast<double>(slots[i]) * period) / 1000.0);
  }
  std::sort(lateUs.begin(), lateUs.end());
  const double phaseUs = lateUs.front();
  for (double& late : lateUs) late -= phaseUs;
  figures.medianUs = percentile(lateUs, 0.5);
  figures.p99Us = percentile(lateUs, 0.99);
  figures.p999Us = percentile(lateUs, 0.999);
  figures.maxUs = lateUs.back();
  return figures;
}

/// The figures of a full recorder, its loop thread's CPU included.
inline GridFigures gridFigures(const CycleRecorder& recorder, int64_t periodNanos) {
  const auto& starts = recorder.starts();
  GridFigures figures = gridFigures(starts, periodNanos);
  if (starts.size() < 2) return figures;
  const double wallSeconds = static_cast<double>(starts.back() - starts.front()) * 1e-9;
  figures.cpuMsPerSecond = static_cast<double>(recorder.threadCpuNanos()) * 1e-6 / wallSeconds;
  const double spans = static_cast<double>(starts.size() - 1);
  figures.voluntaryPerCycle = static_cast<double>(recorder.voluntarySwitches()) / spans;
  figures.involuntaryPerCycle = static_cast<double>(recorder.involuntarySwitches()) / spans;
  return figures;
}

struct Figure {
  std::string name;
  double value;
  std::string unit;
};

inline std::vector<Figure> figuresNamed(const std::string& loop, const GridFigures& grid) {
  return {
      {loop + ".cycles", static_cast<double>(grid.cycles), "count"},
      {loop + ".start_late.median", grid.medianUs, "us"},
      {loop + ".start_late.p99", grid.p99Us, "us"},
      {loop + ".start_late.p99_9", grid.p999Us, "us"},
      {loop + ".start_late.max", grid.maxUs, "us"},
      {loop + ".missed_cycles", static_cast<double>(grid.missed), "count"},
      {loop + ".thread_cpu", grid.cpuMsPerSecond, "ms/s"},
      {loop + ".switches_per_cycle.voluntary", grid.voluntaryPerCycle, "count"},
      {loop + ".switches_per_cycle.involuntary", grid.involuntaryPerCycle, "count"},
  };
}

/// One JSON array, one object per figure.
inline void writeJson(std::ostream& out, const std::vector<Figure>& figures) {
  out << "[\n";
  for (size_t i = 0; i < figures.size(); ++i) {
    char value[64];
    std::snprintf(value, sizeof(value), "%.3f", figures[i].value);
    out << "  {\"name\": \"" << figures[i].name << "\", \"value\": " << value << ", \"unit\": \""
        << figures[i].unit << "\"}" << (i + 1 < figures.size() ? ",\n" : "\n");
  }
  out << "]\n";
}

/// A table with one column per loop; all loops list the same figures in the same order.
inline void writeTable(std::ostream& out, const std::vector<std::string>& loops,
                       const std::vector<GridFigures>& grids) {
  char line[160];
  std::snprintf(line, sizeof(line), "%-24s", "figure");
  out << line;
  for (const auto& loop : loops) {
    std::snprintf(line, sizeof(line), "%20s", loop.c_str());
    out << line;
  }
  out << '\n';
  const auto rows = figuresNamed("", GridFigures{});
  for (size_t row = 0; row < rows.size(); ++row) {
    const std::string label = rows[row].name.substr(1) + " [" + rows[row].unit + "]";
    std::snprintf(line, sizeof(line), "%-24s", label.c_str());
    out << line;
    for (const auto& grid : grids) {
      std::snprintf(line, sizeof(line), "%20.2f", figuresNamed("", grid)[row].value);
      out << line;
    }
    out << '\n';
  }
}

}  // namespace bench
