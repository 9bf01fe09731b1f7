// The black box's cost on the link: CPU time of the exchanging thread per exchange with the
// black box capturing and paused, in alternating rounds against the board simulator (thread
// CPU time is steadier on a shared machine than round-trip medians), and the heap allocations
// of the exchanging thread and of a running robot's threads with a command timeout judged at
// every exchange.
//
//   bench_black_box [--smoke] [--json] [--rounds N] [--exchanges N per round]
//
// Needs the link addresses: run it inside scripts/netns-run.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench_support.h"
#include "robot_sdk.h"

namespace {

constexpr const char* kConfig = "bench/configs/bus12.yaml";

struct Options {
  bool json = false;
  size_t rounds = 10;
  size_t exchanges = 2000;  // per round and setting
  double robotSeconds = 2.0;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--smoke") {
      options.rounds = 2;
      options.exchanges = 100;
      options.robotSeconds = 0.2;
    } else if (arg == "--rounds" && i + 1 < argc) {
      options.rounds = std::max<size_t>(1, std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--exchanges" && i + 1 < argc) {
      options.exchanges = std::max<size_t>(2, std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::cerr << "usage: " << argv[0] << " [--smoke] [--json] [--rounds N] [--exchanges N per round]\n";
      std::exit(2);
    }
  }
  return options;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Round {
  double cpuNsPerExchange = 0;
  size_t allocations = 0;
};

/// `exchanges` exchanges back to back on this thread, as the link thread makes them.
Round exchangeRound(MotorSDK& bus, size_t exchanges) {
  bus.sendRecvMT();  // the first one after a switch is not counted
  const alloc_counter::Scope allocations;
  const int64_t cpuStart = bench::nanosOf(CLOCK_THREAD_CPUTIME_ID);
  for (size_t i = 0; i < exchanges; ++i) bus.sendRecvMT();
  const int64_t cpu = bench::nanosOf(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
  return {static_cast<double>(cpu) / static_cast<double>(exchanges), allocations.count()};
}

/// Allocations of every thread of a running robot per exchange while nobody calls into it: its
/// link thread judges a command timeout and captures into the black box at every exchange.
double robotAllocationsPerExchange(double seconds) {
  RobotSDK robot(bench::projectFile(kConfig));
  robot.setCommandTimeout(60.0);
  robot.init();
  robot.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the threads' first cycles
  const uint64_t exchangesBefore = robot.linkStats().exchanges;
  const size_t before = alloc_counter::processAllocations();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const size_t after = alloc_counter::processAllocations();
  const uint64_t exchanges = robot.linkStats().exchanges - exchangesBefore;
  robot.stop();
  return exchanges ? static_cast<double>(after - before) / static_cast<double>(exchanges) : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  std::vector<double> on, off;
  size_t allocationsOn = 0;
  double robotAllocations = 0;
  {
    bench::StdoutAside logsAside(options.json);
    bench::ChildProcess board({bench::boardSimProgram(), "--config", bench::projectFile(kConfig), "--quiet"},
                              "board_sim: ready");
    {
      MotorSDK bus;
      bus.init(bench::projectFile(kConfig), UDP);
      bus.blackBox().configure(bus.recordingDescription(0));
      for (size_t round = 0; round < options.rounds; ++round) {
        bus.blackBox().pause(true);
        off.push_back(exchangeRound(bus, options.exchanges).cpuNsPerExchange);
        bus.blackBox().pause(false);
        const Round captured = exchangeRound(bus, options.exchanges);
        on.push_back(captured.cpuNsPerExchange);
        allocationsOn += captured.allocations;
      }
    }
    robotAllocations = robotAllocationsPerExchange(options.robotSeconds);
  }
  const std::vector<bench::Figure> figures = {
      {"black_box.cpu_per_exchange.on", median(on) / 1000.0, "us"},
      {"black_box.cpu_per_exchange.off", median(off) / 1000.0, "us"},
      {"black_box.allocations_per_exchange",
       static_cast<double>(allocationsOn) / static_cast<double>(options.rounds * options.exchanges), "count"},
      {"black_box.robot_allocations_per_exchange", robotAllocations, "count"},
  };
  bench::writeFigures(figures, options.json);
  return 0;
}
