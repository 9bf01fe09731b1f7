// How closely the 2.1 ms bus thread keeps to its grid, next to a bare timerfd loop measured in
// the same run: lateness of each cycle's start, skipped grid points and loop-thread CPU.
//
//   bench_periodic [--cycles N] [--json]
//
// With --json the figures go to standard output as JSON and the library's log lines are sent
// to standard error.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "absolute_timer.h"
#include "cycle_stats.h"
#include "periodic_function.h"

namespace {

constexpr float kBusPeriod = 0.0021f;

struct Options {
  size_t cycles = 3000;
  bool json = false;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      options.cycles = std::strtoul(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--json") == 0) {
      options.json = true;
    } else {
      std::cerr << "usage: " << argv[0] << " [--cycles N] [--json]\n";
      std::exit(2);
    }
  }
  if (options.cycles < 2) options.cycles = 2;
  return options;
}

// Sends standard output to standard error while it lives.
class StdoutToStderr {
 public:
  StdoutToStderr() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~StdoutToStderr() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_;
};

std::chrono::milliseconds generousLimit(size_t cycles) {
  return std::chrono::milliseconds(static_cast<int64_t>(cycles * kBusPeriod * 1000 * 4) + 5000);
}

bench::GridFigures measurePeriodicFunction(size_t cycles, int64_t periodNanos) {
  bench::CycleRecorder recorder(cycles);
  PeriodicFunction loop(kBusPeriod, "bench_periodic", [&recorder] { recorder.record(); }, -1);
  loop.start();
  if (!recorder.waitUntilFull(generousLimit(cycles))) std::cerr << "periodic function did not finish in time\n";
  loop.stop();
  return bench::gridFigures(recorder, periodNanos);
}

bench::GridFigures measureBareTimerfd(size_t cycles, int64_t periodNanos) {
  bench::CycleRecorder recorder(cycles);
  std::thread loop([&recorder] {
    TimerDescriptor timer;
    uint64_t expirations = 0;
    timer.arm(intervalTimerSpec(kBusPeriod));
    while (recorder.record()) timer.awaitExpiry(expirations);
  });
  loop.join();
  return bench::gridFigures(recorder, periodNanos);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  // Both loops run on the timer interval the float period actually yields.
  const itimerspec setting = intervalTimerSpec(kBusPeriod);
  const int64_t periodNanos = static_cast<int64_t>(setting.it_interval.tv_sec) * 1000000000 + setting.it_interval.tv_nsec;

  bench::GridFigures periodic;
  bench::GridFigures bare;
  {
    std::unique_ptr<StdoutToStderr> logsAside;
    if (options.json) logsAside = std::make_unique<StdoutToStderr>();
    periodic = measurePeriodicFunction(options.cycles, periodNanos);
    bare = measureBareTimerfd(options.cycles, periodNanos);
  }

  if (options.json) {
    auto figures = bench::figuresNamed("periodic_function", periodic);
    const auto bareFigures = bench::figuresNamed("bare_timerfd", bare);
    figures.insert(figures.end(), bareFigures.begin(), bareFigures.end());
    bench::writeJson(std::cout, figures);
  } else {
    std::cout << "\n" << options.cycles << " cycles of " << periodNanos / 1000.0 << " us; start_late is a cycle's start "
              << "after its grid point\n";
    bench::writeTable(std::cout, {"PeriodicFunction", "bare timerfd"}, {periodic, bare});
  }
  return 0;
}
