// Link loop: RobotSDK's "motor_comm" thread exchanging with the board simulator every 2.1 ms,
// next to a bare timerfd loop at the same period in the same run. Per loop: how late each
// cycle began after its grid point, grid points that began no cycle, and CPU per second.
// For the SDK also the CPU of all its threads and the heap allocations per exchange made on
// the link thread.
//
// A cycle of the link thread starts when its frame leaves: this program interposes its own
// sendto on the library's, and while armed records the moment, the thread's CPU and its
// allocation count there (operator new is the counting one of tests/support/alloc_counter).
// Its select is interposed too, to count exchanges whose reply did not come within the
// port's 2 ms: such a cycle overruns its period, which shows as a missed grid point.
//
// Rounds of the two loops alternate so load coming and going on the machine hits both.
//
// For a pass under load: --sdk-only leaves the bare loop out (its floor is the unloaded run's),
// --realtime-priority N runs "motor_comm" at SCHED_FIFO N, --board-priority N the simulator (a
// board has a processor of its own, which the load does not reach), and --name NAME prefixes the figures
// with NAME instead of "link_loop". The link thread's own round trips come from its link stats.
// A link the watchdog declares lost is counted (link_lost) rather than ending the bench; the
// link thread goes on exchanging the brake frame, so its cycles are still measured.
// --link-cpu C pins "motor_comm" to CPU C (link_cpu). --starts FILE writes the link thread's cycle starts (CLOCK_MONOTONIC ns, one a line, rounds one
// after another), to see whether late cycles come in clusters.
//
//   bench_link_loop [--smoke] [--json] [--rounds N] [--cycles N per round] [--sdk-only]
//                   [--realtime-priority N] [--board-priority N] [--link-cpu C] [--name NAME] [--starts FILE]
//
// Needs the link addresses: run it inside scripts/netns-run.
#include <dlfcn.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "absolute_timer.h"
#include "alloc_counter.h"
#include "bench_support.h"
#include "robot_sdk.h"

namespace {

constexpr double kBusPeriod = 0.0021;
constexpr const char* kConfig = "bench/configs/bus12.yaml";

struct Options {
  bool json = false;
  bool sdkOnly = false;
  int linkPriority = 0;
  int boardPriority = 0;
  int linkCpu = -1;
  std::string name = "link_loop";
  std::string startsFile;
  size_t rounds = 4;
  size_t cycles = 1250;  // per round and loop
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--smoke") {
      options.rounds = 1;
      options.cycles = 100;
    } else if (arg == "--cycles" && i + 1 < argc) {
      options.cycles = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--rounds" && i + 1 < argc) {
      options.rounds = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--sdk-only") {
      options.sdkOnly = true;
    } else if (arg == "--realtime-priority" && i + 1 < argc) {
      options.linkPriority = std::atoi(argv[++i]);
    } else if (arg == "--board-priority" && i + 1 < argc) {
      options.boardPriority = std::atoi(argv[++i]);
    } else if (arg == "--name" && i + 1 < argc) {
      options.name = argv[++i];
    } else if (arg == "--link-cpu" && i + 1 < argc) {
      options.linkCpu = std::atoi(argv[++i]);
    } else if (arg == "--starts" && i + 1 < argc) {
      options.startsFile = argv[++i];
    } else {
      std::cerr << "usage: " << argv[0] << " [--smoke] [--json] [--rounds N] [--cycles N per round] [--sdk-only]"
                << " [--realtime-priority N] [--board-priority N] [--link-cpu C] [--name NAME] [--starts FILE]\n";
      std::exit(2);
    }
  }
  if (options.cycles < 3) options.cycles = 3;
  if (options.rounds < 1) options.rounds = 1;
  return options;
}

/// What the interposed sendto records while armed. Only the link thread sends while it is
/// armed (priming is over by then), so the recorder has a single writer.
class SendObserver {
 public:
  std::unique_ptr<bench::CycleRecorder> recorder;
  std::vector<size_t> allocations;  // the link thread's allocation count at each cycle start
  std::atomic<bool> armed{false};
  std::atomic<size_t> timeouts{0};
  std::atomic<size_t> linkLost{0};

  void arm(size_t cycles) {
    next_ = 0;
    recorder = std::make_unique<bench::CycleRecorder>(cycles);
    allocations.assign(cycles, 0);
    armed.store(true, std::memory_order_release);
  }

  /// The allocation count is stored before the cycle is recorded, so a reader that sees the
  /// recorder full sees every count.
  /// The UDP port's wait for a reply ran out (2 ms): the exchange took its whole timeout.
  void onWait(int ready) {
    if (ready == 0 && armed.load(std::memory_order_acquire)) timeouts.fetch_add(1, std::memory_order_relaxed);
  }

  void onSend() {
    if (!armed.load(std::memory_order_acquire)) return;
    if (next_ < allocations.size()) allocations[next_++] = alloc_counter::threadAllocations();
    if (!recorder->record()) armed.store(false, std::memory_order_release);
  }

 private:
  size_t next_ = 0;
};

SendObserver g_observer;

using SendToFunction = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
SendToFunction g_realSendTo = nullptr;
using SelectFunction = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
SelectFunction g_realSelect = nullptr;

}  // namespace

// The library's UDP port resolves sendto to this definition, because the executable comes
// first in symbol lookup.
extern "C" ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to, socklen_t toLength) {
  g_observer.onSend();
  return g_realSendTo(fd, data, length, flags, to, toLength);
}

extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout) {
  const int ready = g_realSelect(count, readable, writable, failed, timeout);
  g_observer.onWait(ready);
  return ready;
}

namespace {

struct LinkFigures {
  bench::GridFigures grid;
  double sdkThreadsCpuMsPerSecond = 0;
  double allocationsPerExchange = 0;
  double roundTripP99Us = 0;  // the link stats' p99 over the last exchanges of the round
};

std::chrono::milliseconds generousLimit(size_t cycles) {
  return std::chrono::milliseconds(static_cast<int64_t>(static_cast<double>(cycles) * kBusPeriod * 4000) + 5000);
}

int64_t timerPeriodNanos() {
  const itimerspec setting = intervalTimerSpec(static_cast<float>(kBusPeriod));
  return static_cast<int64_t>(setting.it_interval.tv_sec) * 1000000000 + setting.it_interval.tv_nsec;
}

LinkFigures measureRobotLoop(size_t cycles, const Options& options, std::ostream* starts) {
  RobotSDK robot(bench::projectFile(kConfig));
  RealtimeOptions realtime;
  realtime.link_priority = options.linkPriority;
  realtime.link_cpu = options.linkCpu;
  robot.setRealtime(realtime);
  robot.setLinkFailureHandler([] { g_observer.linkLost.fetch_add(1, std::memory_order_relaxed); });
  robot.init();

  g_observer.arm(cycles);
  const int64_t processCpuStart = bench::nanosOf(CLOCK_PROCESS_CPUTIME_ID);
  const int64_t ownCpuStart = bench::nanosOf(CLOCK_THREAD_CPUTIME_ID);
  const int64_t wallStart = bench::nanosOf(CLOCK_MONOTONIC);
  robot.start();
  if (!g_observer.recorder->waitUntilFull(generousLimit(cycles))) std::cerr << "bench_link_loop: the link loop stalled\n";
  const int64_t wall = bench::nanosOf(CLOCK_MONOTONIC) - wallStart;
  const int64_t sdkCpu = (bench::nanosOf(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart) -
                         (bench::nanosOf(CLOCK_THREAD_CPUTIME_ID) - ownCpuStart);
  const double roundTripP99Us = robot.linkStats().rtt_p99_us;
  robot.stop();

  LinkFigures figures;
  figures.roundTripP99Us = roundTripP99Us;
  figures.grid = bench::gridFigures(*g_observer.recorder, timerPeriodNanos());
  if (starts != nullptr)
    for (const int64_t start : g_observer.recorder->starts()) *starts << start << '\n';
  figures.sdkThreadsCpuMsPerSecond = static_cast<double>(sdkCpu) * 1e-6 / (static_cast<double>(wall) * 1e-9);
  // From the second cycle start to the last: whole exchanges only.
  const auto& allocations = g_observer.allocations;
  figures.allocationsPerExchange =
      static_cast<double>(allocations.back() - allocations[1]) / static_cast<double>(allocations.size() - 2);
  return figures;
}

bench::GridFigures measureBareTimerfd(size_t cycles) {
  bench::CycleRecorder recorder(cycles);
  std::thread loop([&recorder] {
    TimerDescriptor timer;
    uint64_t expirations = 0;
    timer.arm(intervalTimerSpec(static_cast<float>(kBusPeriod)));
    while (recorder.record()) timer.awaitExpiry(expirations);
  });
  loop.join();
  return bench::gridFigures(recorder, timerPeriodNanos());
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  g_realSendTo = reinterpret_cast<SendToFunction>(dlsym(RTLD_NEXT, "sendto"));
  g_realSelect = reinterpret_cast<SelectFunction>(dlsym(RTLD_NEXT, "select"));
  if (g_realSendTo == nullptr || g_realSelect == nullptr) {
    std::cerr << "bench_link_loop: cannot find the C library's sendto and select\n";
    return 1;
  }

  std::vector<bench::GridFigures> robotRounds;
  std::vector<bench::GridFigures> bareRounds;
  std::vector<double> sdkThreadsCpu;
  std::vector<double> allocationsPerExchange;
  std::vector<double> roundTripP99;
  {
    bench::StdoutAside logsAside(options.json);
    std::vector<std::string> boardArgv = {bench::boardSimProgram(), "--config", bench::projectFile(kConfig), "--quiet"};
    if (options.boardPriority > 0) boardArgv.insert(boardArgv.end(), {"--realtime-priority", std::to_string(options.boardPriority)});
    bench::ChildProcess board(boardArgv, "board_sim: ready");
    std::ofstream starts;
    if (!options.startsFile.empty()) starts.open(options.startsFile);
    for (size_t round = 0; round < options.rounds; ++round) {
      if (!options.sdkOnly) bareRounds.push_back(measureBareTimerfd(options.cycles));
      const LinkFigures robot = measureRobotLoop(options.cycles, options, starts.is_open() ? &starts : nullptr);
      roundTripP99.push_back(robot.roundTripP99Us);
      robotRounds.push_back(robot.grid);
      sdkThreadsCpu.push_back(robot.sdkThreadsCpuMsPerSecond);
      allocationsPerExchange.push_back(robot.allocationsPerExchange);
    }
  }
  LinkFigures robot;
  robot.grid = bench::combineRounds(robotRounds);
  for (size_t round = 0; round < options.rounds; ++round) {
    robot.sdkThreadsCpuMsPerSecond += sdkThreadsCpu[round] / static_cast<double>(options.rounds);
    robot.allocationsPerExchange = std::max(robot.allocationsPerExchange, allocationsPerExchange[round]);
  }
  std::sort(roundTripP99.begin(), roundTripP99.end());
  const std::string sdk = options.name + ".sdk";
  auto figures = bench::figuresNamed(sdk, robot.grid);
  figures.push_back({sdk + ".all_threads_cpu", robot.sdkThreadsCpuMsPerSecond, "ms/s"});
  figures.push_back({sdk + ".allocations_per_exchange", robot.allocationsPerExchange, "count"});
  figures.push_back({sdk + ".replies_timed_out", static_cast<double>(g_observer.timeouts.load()), "count"});
  figures.push_back({sdk + ".link_lost", static_cast<double>(g_observer.linkLost.load()), "count"});
  figures.push_back({sdk + ".round_trip.p99", bench::percentile(roundTripP99, 0.5), "us"});
  if (!options.sdkOnly) {
    const auto bareFigures = bench::figuresNamed(options.name + ".floor", bench::combineRounds(bareRounds));
    figures.insert(figures.end(), bareFigures.begin(), bareFigures.end());
  }
  bench::writeFigures(figures, options.json);
  return 0;
}
