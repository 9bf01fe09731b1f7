// Link test: opens the robot layer's link from a configuration, primes it, and lets "motor_comm"
// exchange passive frames (zero set-points and gains: safe on a standing robot) for a few
// seconds while the flight recorder keeps every exchange. From that recording it prints how
// many exchanges were answered completely and validly, the round trips, how late each cycle
// began, the cycles that never began, and the longest time without a valid reply, then one
// verdict line.
//
//   linktest CONFIG [--seconds S] [--realtime-priority N] [--link-cpu C]
//
// Exit status 0 when at least 99.9 % of the exchanges were answered and no time without a
// valid reply reached the watchdog's 100 ms; 1 otherwise (and when the link cannot be opened
// or a real-time setting is refused); 2 for a bad command line.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "absolute_timer.h"
#include "cycle_stats.h"
#include "device_records.h"
#include "realtime.h"
#include "robot_sdk.h"

namespace {

constexpr double kBusPeriod = 0.0021;
constexpr double kRequiredShare = 0.999;
constexpr double kWatchdogLimitMs = 100.0;  // ten failing 10 ms checks in a row

void usage(const char* program) {
  std::cerr << "usage: " << program << " CONFIG [--seconds S] [--realtime-priority N] [--link-cpu C]\n"
            << "  --seconds S             how long to exchange passive frames (default 10)\n"
            << "  --realtime-priority N   run the link and watchdog threads at SCHED_FIFO N (1-99)\n"
            << "  --link-cpu C            pin the link thread to CPU C\n";
}

struct Options {
  std::string config;
  double seconds = 10.0;
  RealtimeOptions realtime;
};

bool parseNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    double value = 0;
    const bool hasValue = i + 1 < argc;
    if (arg == "--seconds" && hasValue && parseNumber(argv[++i], value) && value > 0 && value <= 3600) {
      options.seconds = value;
    } else if (arg == "--realtime-priority" && hasValue && parseNumber(argv[++i], value)) {
      options.realtime.link_priority = static_cast<int>(value);
    } else if (arg == "--link-cpu" && hasValue && parseNumber(argv[++i], value)) {
      options.realtime.link_cpu = static_cast<int>(value);
    } else if (!arg.empty() && arg[0] != '-' && options.config.empty()) {
      options.config = arg;
    } else {
      return false;
    }
  }
  return !options.config.empty();
}

/// One exchange as the flight recorder kept it.
struct Exchange {
  int64_t sentNs = 0;
  int64_t repliedNs = 0;
  bool complete = false;
  bool valid = false;  // complete, and every record of the reply has status 9
};

/// A recording read back: every exchange in order, and how many the recorder could not keep.
struct Recording {
  std::vector<Exchange> exchanges;
  uint64_t dropped = 0;
};

template <typename T>
T fieldAt(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

/// True when every `count` records of `size` bytes from `records` carry status 9 at `statusAt`.
bool allValid(const uint8_t* records, size_t size, size_t count, size_t statusAt) {
  for (size_t i = 0; i < count; ++i) {
    if (records[i * size + statusAt] != kStatusValid) return false;
  }
  return true;
}

/// Reads the recording at `path` (the layout of flight_recorder.h). Throws std::runtime_error
/// when the file is not one.
Recording readRecording(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 72 || std::memcmp(bytes.data(), "DLFLREC", 8) != 0) {
    throw std::runtime_error("linktest: the recording " + path + " is not a flight recording");
  }
  const auto headerSize = fieldAt<uint32_t>(bytes, 12);
  const auto recordSize = fieldAt<uint32_t>(bytes, 16);
  const auto motors = fieldAt<uint16_t>(bytes, 24);
  const auto imus = fieldAt<uint16_t>(bytes, 26);
  const auto batteries = fieldAt<uint16_t>(bytes, 28);
  const auto commandLength = fieldAt<uint32_t>(bytes, 32);
  if (recordSize == 0 || headerSize > bytes.size()) throw std::runtime_error("linktest: a broken recording header");

  Recording recording;
  uint64_t expected = 0;
  for (size_t at = headerSize; at + recordSize <= bytes.size(); at += recordSize) {
    const auto number = fieldAt<uint64_t>(bytes, at);
    recording.dropped += number - expected;
    expected = number + 1;
    Exchange exchange;
    exchange.sentNs = fieldAt<int64_t>(bytes, at + 8);
    exchange.repliedNs = fieldAt<int64_t>(bytes, at + 16);
    exchange.complete = bytes[at + 24] == 0 || bytes[at + 24] == 3;  // a long reply is cut to length
    const uint8_t* reply = bytes.data() + at + 32 + commandLength;
    const uint8_t* imuRecords = reply + motors * sizeof(MotorState);
    const uint8_t* batteryRecords = imuRecords + imus * sizeof(ImuState);
    exchange.valid = exchange.complete &&
                     allValid(reply, sizeof(MotorState), motors, offsetof(MotorState, status)) &&
                     allValid(imuRecords, sizeof(ImuState), imus, offsetof(ImuState, status)) &&
                     allValid(batteryRecords, sizeof(BatState), batteries, offsetof(BatState, status));
    recording.exchanges.push_back(exchange);
  }
  return recording;
}

/// The longest stretch without a valid reply: from the previous valid reply (or the first
/// send) to the next (or the last exchange's end).
struct Silence {
  double ms = 0;
  size_t exchanges = 0;    // exchanges in it that brought no valid reply
  double startsAtS = 0;    // since the first send
};

Silence longestSilence(const std::vector<Exchange>& exchanges) {
  Silence longest;
  if (exchanges.empty()) return longest;
  const int64_t first = exchanges.front().sentNs;
  int64_t since = first;
  size_t failed = 0;
  auto close = [&](int64_t until) {
    const double ms = static_cast<double>(until - since) * 1e-6;
    if (failed > 0 && ms > longest.ms) longest = {ms, failed, static_cast<double>(since - first) * 1e-9};
  };
  for (const Exchange& exchange : exchanges) {
    if (exchange.valid) {
      close(exchange.repliedNs);
      since = exchange.repliedNs;
      failed = 0;
    } else {
      ++failed;
    }
  }
  close(exchanges.back().repliedNs);
  return longest;
}

std::string microseconds(double us) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f us", us);
  return text;
}

/// The figures, then the verdict line; returns the exit status.
int report(const Options& options, const Recording& recording, uint64_t linkLosses) {
  const auto& exchanges = recording.exchanges;
  std::vector<double> roundTripsUs;
  std::vector<int64_t> starts;
  size_t answered = 0;
  for (const Exchange& exchange : exchanges) {
    starts.push_back(exchange.sentNs);
    if (exchange.complete) roundTripsUs.push_back(static_cast<double>(exchange.repliedNs - exchange.sentNs) * 1e-3);
    if (exchange.valid) ++answered;
  }
  std::sort(roundTripsUs.begin(), roundTripsUs.end());
  const itimerspec period = intervalTimerSpec(kBusPeriod);
  const bench::GridFigures grid =
      bench::gridFigures(starts, static_cast<int64_t>(period.it_interval.tv_sec) * 1000000000 + period.it_interval.tv_nsec);
  const uint64_t total = exchanges.size() + recording.dropped;  // an exchange not recorded counts as unanswered
  const double share = total ? static_cast<double>(answered) / static_cast<double>(total) : 0.0;
  const double gridPoints = static_cast<double>(grid.cycles + grid.missed);
  const Silence silence = longestSilence(exchanges);

  std::printf("linktest: %s, %.1f s of passive frames\n", options.config.c_str(), options.seconds);
  std::printf("  exchanges                    %llu\n", static_cast<unsigned long long>(total));
  std::printf("  answered completely, validly %zu (%.3f %%)\n", answered, 100.0 * share);
  if (recording.dropped > 0) {
    std::printf("  not recorded                 %llu (counted as unanswered)\n",
                static_cast<unsigned long long>(recording.dropped));
  }
  std::printf("  round trip                   median %s, p99 %s, max %s\n",
              microseconds(bench::percentile(roundTripsUs, 0.5)).c_str(),
              microseconds(bench::percentile(roundTripsUs, 0.99)).c_str(),
              microseconds(roundTripsUs.empty() ? 0 : roundTripsUs.back()).c_str());
  std::printf("  start lateness               median %s, p99 %s, max %s\n", microseconds(grid.medianUs).c_str(),
              microseconds(grid.p99Us).c_str(), microseconds(grid.maxUs).c_str());
  std::printf("  missed cycles                %zu (%.3f %%)\n", grid.missed,
              gridPoints > 0 ? 100.0 * static_cast<double>(grid.missed) / gridPoints : 0.0);
  if (silence.exchanges == 0) {
    std::printf("  longest run without a reply  none\n");
  } else {
    std::printf("  longest run without a reply  %.1f ms (%zu exchanges, from %.2f s)\n", silence.ms, silence.exchanges,
                silence.startsAtS);
  }
  if (linkLosses > 0) {
    std::printf("  the watchdog declared the link lost %llu time(s)\n", static_cast<unsigned long long>(linkLosses));
  }

  const bool enoughAnswered = total > 0 && share >= kRequiredShare;
  const bool noLongSilence = silence.ms < kWatchdogLimitMs;
  if (enoughAnswered && noLongSilence) {
    std::printf("linktest: PASS - %.3f %% answered, no run without a reply near the watchdog's %.0f ms\n",
                100.0 * share, kWatchdogLimitMs);
    return 0;
  }
  std::string why;
  if (!enoughAnswered) {
    char text[96];
    std::snprintf(text, sizeof(text), "only %.3f %% answered (at least %.1f %% needed)", 100.0 * share,
                  100.0 * kRequiredShare);
    why = text;
  }
  if (!noLongSilence) {
    char text[160];
    std::snprintf(text, sizeof(text), "a run of %.1f ms without a reply from %.2f s reached the watchdog's %.0f ms",
                  silence.ms, silence.startsAtS, kWatchdogLimitMs);
    why += (why.empty() ? "" : "; ") + std::string(text);
  }
  std::printf("linktest: FAIL - %s\n", why.c_str());
  return 1;
}

/// A temporary file name, removed with its owner.
class TemporaryPath {
 public:
  TemporaryPath() {
    char name[] = "/tmp/linktest-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("linktest: cannot make a temporary file in /tmp");
    ::close(fd);
    path_ = name;
  }
  ~TemporaryPath() { std::remove(path_.c_str()); }
  TemporaryPath(const TemporaryPath&) = delete;
  TemporaryPath& operator=(const TemporaryPath&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Runs the passive link for the options' time, recording every exchange; returns the
/// recording and counts the watchdog's link losses (each ridden out, not ending the process).
Recording runLink(const Options& options, uint64_t& linkLosses) {
  RobotSDK robot(options.config, RobotSDK::OpenFailure::Throw);
  robot.setRealtime(options.realtime);
  robot.init();  // priming: ten passive exchanges
  std::atomic<uint64_t> losses{0};
  robot.setLinkFailureHandler([&losses] { losses.fetch_add(1); });
  TemporaryPath file;
  // The whole run fits in the ring, so a slow disk cannot cost a record.
  const auto records = static_cast<size_t>(options.seconds / kBusPeriod) + 256;
  robot.startRecording(file.path(), std::max(records, FlightRecorder::kDefaultRingRecords));
  robot.start();
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!robot.brakeLatch().holds(BrakeLatch::kLinkLost)) continue;
    try {
      robot.resumeAfterLinkFailure();  // back to the passive frames once every motor answers
    } catch (const LinkFailure&) {
    }
  }
  robot.stop();
  robot.stopRecording();
  linkLosses = losses.load();
  return readRecording(file.path());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    usage(argv[0]);
    return 2;
  }
  try {
    uint64_t linkLosses = 0;
    const Recording recording = runLink(options, linkLosses);
    return report(options, recording, linkLosses);
  } catch (const std::exception& error) {
    std::printf("linktest: FAIL - %s\n", error.what());
    return 1;
  }
}
