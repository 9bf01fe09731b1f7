// Machine stalls: how often a thread that never yields its CPU still loses it, the floor below
// which no scheduling setting of the SDK can bring the link's missed cycles. One thread per CPU in
// turn, pinned and at SCHED_FIFO 1 where the system allows it, reads the monotonic clock in a
// loop; a gap between two readings is time the CPU spent elsewhere (a virtual machine's host
// running another guest, interrupts, kernel work that cannot be preempted). Run beside the
// loaded pass's load, its counts stand for what a link thread at any priority would meet.
//
// The probe sleeps 10 ms after each 100 ms so the kernel's real-time throttling (950 ms in each
// second) never takes its CPU; those sleeps are not counted.
//
//   bench_stalls [--json] [--seconds S per CPU] [--name NAME]
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int64_t kCountedGap = 300000;  // ns: shorter gaps are ordinary interrupts
constexpr int64_t kLinkPeriod = 2100000;
constexpr int64_t kSpinSpan = 100000000;
constexpr auto kRest = std::chrono::milliseconds(10);

struct Stalls {
  double seconds = 0;
  size_t counted = 0;    // gaps of at least kCountedGap
  size_t overPeriod = 0;  // gaps of at least 0.9 link periods: a link cycle caught in one misses its grid point
  int64_t longest = 0, total = 0;
};

void probeCpu(int cpu, double seconds, Stalls& stalls) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
  sched_param param{};
  param.sched_priority = 1;
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);  // ordinary scheduling where refused
  const int64_t end = bench::nanosOf(CLOCK_MONOTONIC) + static_cast<int64_t>(seconds * 1e9);
  for (int64_t spanStart = bench::nanosOf(CLOCK_MONOTONIC); spanStart < end;
       spanStart = bench::nanosOf(CLOCK_MONOTONIC)) {
    int64_t last = spanStart;
    while (last - spanStart < kSpinSpan && last < end) {
      const int64_t now = bench::nanosOf(CLOCK_MONOTONIC);
      const int64_t gap = now - last;
      if (gap >= kCountedGap) {
        ++stalls.counted;
        if (gap * 10 >= kLinkPeriod * 9) ++stalls.overPeriod;
        stalls.longest = std::max(stalls.longest, gap);
        stalls.total += gap;
      }
      last = now;
    }
    stalls.seconds += static_cast<double>(last - spanStart) * 1e-9;
    std::this_thread::sleep_for(kRest);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  double seconds = 10;
  std::string name = "stalls";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--json] [--seconds S per CPU] [--name NAME]\n", argv[0]);
      return 2;
    }
  }
  Stalls stalls;
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  for (int cpu = 0; cpu < cpus; ++cpu) std::thread(probeCpu, cpu, seconds, std::ref(stalls)).join();
  // Per link cycle of probed time, so the count compares with a missed-cycle share.
  const double periods = stalls.seconds * 1e9 / static_cast<double>(kLinkPeriod);
  bench::writeFigures({{name + ".probed", stalls.seconds, "s"},
                       {name + ".count", static_cast<double>(stalls.counted), "count"},
                       {name + ".over_0_9_period", static_cast<double>(stalls.overPeriod), "count"},
                       {name + ".over_0_9_period_share", 100.0 * static_cast<double>(stalls.overPeriod) / periods, "%"},
                       {name + ".longest", static_cast<double>(stalls.longest) * 1e-3, "us"},
                       {name + ".stalled_share", 100.0 * static_cast<double>(stalls.total) * 1e-9 / stalls.seconds, "%"}},
                      json);
  return 0;
}
