// Soak run: a polling controller drives RobotSDK against the board simulator for a bounded time
// under a steady mix of faults (lost, cut, padded, doubled and stale replies, brief silences),
// then reports the exchanges, the replies, the faults ridden out and the memory use. It fails
// (exit status 1) when memory grows after warm-up, when a reading leaves its target, when the
// run stops making progress, or when the process is ended by the watchdog.
//
// Run it inside a private network namespace that owns the link addresses (scripts/soak does).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_sim.h"
#include "robot_sdk.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// ---- Options ----------------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' shadow memory and quarantine grow with the run on their own; only a plain
// build measures the SDK's memory.
constexpr long kDefaultRssLimitKb = 256 * 1024;
#else
constexpr long kDefaultRssLimitKb = 1024;
#endif

struct SoakOptions {
  int seconds = 120;
  std::string config = DRIVELINK_SOURCE_DIR "/configs/zenthi.yaml";
  unsigned seed = 1;
  long rssLimitKb = kDefaultRssLimitKb;  // growth allowed between the end of warm-up and the end
};

void printUsage() {
  std::printf(
      "usage: drivelink_soak [--seconds N] [--config FILE] [--seed N] [--rss-limit-kb N]\n"
      "  Drives RobotSDK in polling style against the board simulator under a mix of faults for\n"
      "  N seconds (default 120) and reports exchanges, replies, faults survived and memory.\n"
      "  The configuration must be a robot whose joints map one to one (zenthi, the default).\n"
      "  Exit status 0 when it held up, 1 when it did not, 2 for bad options.\n");
}

bool parseOptions(int argc, char** argv, SoakOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help") {
      printUsage();
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--seconds") options.seconds = std::atoi(value.c_str());
    else if (name == "--config") options.config = value;
    else if (name == "--seed") options.seed = static_cast<unsigned>(std::atoi(value.c_str()));
    else if (name == "--rss-limit-kb") options.rssLimitKb = std::atol(value.c_str());
    else return false;
  }
  return options.seconds > 0 && options.rssLimitKb > 0;
}

// ---- The console ------------------------------------------------------------------------------

// The report's own descriptor, while the SDK's standard output is being counted.
int g_consoleFd = STDOUT_FILENO;
std::atomic<bool> g_runFinished{false};

void say(const std::string& line) {
  const std::string text = "soak: " + line + "\n";
  if (::write(g_consoleFd, text.data(), text.size()) < 0) return;
}

// The watchdog ends the process with exit(); say so, since the SDK's own line is swallowed.
void reportUnexpectedExit() {
  if (!g_runFinished) say("FAILED: the process was ended during the run (the watchdog gave up on the link)");
}

/// What the SDK printed that tells about the link.
struct LinkLines {
  std::atomic<uint64_t> timeouts{0};      // no reply within the receive timeout
  std::atomic<uint64_t> wrongLength{0};   // a reply of the wrong length
  std::atomic<int> longestFailingRun{0};  // highest watchdog failure count seen
};

/// Routes standard output (the SDK's lines) into a pipe whose lines are counted, not shown;
/// restores it when destroyed.
class StdoutCounter {
 public:
  explicit StdoutCounter(LinkLines& lines) : lines_(lines) {
    std::cout.flush();
    std::fflush(stdout);
    g_consoleFd = console_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int fds[2];
    if (console_ < 0 || pipe2(fds, O_CLOEXEC) < 0) throw std::runtime_error("cannot redirect standard output");
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    reader_ = std::thread(&StdoutCounter::_read, this, fds[0]);
  }
  ~StdoutCounter() {
    std::cout.flush();
    std::fflush(stdout);
    dup2(console_, STDOUT_FILENO);  // the pipe's last writer goes, so the reader sees its end
    reader_.join();
    g_consoleFd = STDOUT_FILENO;
    close(console_);
  }
  StdoutCounter(const StdoutCounter&) = delete;
  StdoutCounter& operator=(const StdoutCounter&) = delete;

 private:
  void _read(int fd) {
    char chunk[4096];
    std::string line;
    line.reserve(512);
    ssize_t count;
    while ((count = read(fd, chunk, sizeof(chunk))) != 0) {
      if (count < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (ssize_t i = 0; i < count; ++i) {
        if (chunk[i] != '\n') {
          line.push_back(chunk[i]);
          continue;
        }
        _count(line);
        line.clear();
      }
    }
    close(fd);
  }

  void _count(const std::string& line) {
    if (line.find("wait time out") != std::string::npos) ++lines_.timeouts;
    if (line.find("bytes, but not") != std::string::npos) ++lines_.wrongLength;
    static const std::string failureCount = "[RobotSDK] watchdog: comm failure count ";
    const size_t at = line.find(failureCount);
    if (at != std::string::npos) {
      const int run = std::atoi(line.c_str() + at + failureCount.size());
      if (run > lines_.longestFailingRun) lines_.longestFailingRun = run;
    }
    if (line.find("EXIT") != std::string::npos || line.find("[ERROR]") != std::string::npos) say("sdk: " + line);
  }

  LinkLines& lines_;
  int console_ = -1;
  std::thread reader_;
};

// ---- Progress guard ---------------------------------------------------------------------------

/// Ends the run as failed when the controller loop stops making progress: a hang in the SDK
/// would otherwise hold the soak for ever. The simulator is killed first so it does not outlive
/// the soak.
class HangGuard {
 public:
  HangGuard(std::chrono::seconds stallLimit, pid_t simPid) : stallLimit_(stallLimit), simPid_(simPid) {
    beat();
    monitor_ = std::thread(&HangGuard::_watch, this);
  }
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    monitor_.join();
  }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

  void beat() { lastBeat_ = Clock::now().time_since_epoch().count(); }

 private:
  void _watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, 100ms, [this] { return done_; })) {
      const Clock::time_point last{Clock::duration(lastBeat_.load())};
      if (Clock::now() - last < stallLimit_) continue;
      say("FAILED: no progress for " + std::to_string(stallLimit_.count()) + " s (hang)");
      kill(simPid_, SIGKILL);
      _exit(1);
    }
  }

  const std::chrono::seconds stallLimit_;
  const pid_t simPid_;
  std::atomic<Clock::rep> lastBeat_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread monitor_;
};

// ---- Memory -----------------------------------------------------------------------------------

/// A "Name:   123 kB" field of /proc/self/status, in kB (0 if absent).
long statusFieldKb(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  return 0;
}

long residentKb() { return statusFieldKb("VmRSS"); }
long peakResidentKb() { return statusFieldKb("VmHWM"); }

// ---- The controller ---------------------------------------------------------------------------

constexpr double kStiffness = 20.0;
constexpr double kDamping = 1.0;
constexpr double kSwing = 0.05;      // rad, around 70 % of each joint's range
constexpr double kSwingHz = 0.5;
constexpr double kTolerance = 0.15;  // rad; a reply read as zeros is off by far more
constexpr auto kPollPause = 1ms;
constexpr auto kSettleTime = 1s;

/// Polls RobotSDK like a controller: every joint follows a slow swing around a point inside
/// its limits, and every reading is compared with where the joint is being held.
class SwingController {
 public:
  explicit SwingController(RobotSDK& robot) : robot_(robot) {
    const MotorSDK& bus = robot.motor_sdk_;
    const Eigen::Index n = bus.motor_num_;
    centre_.resize(n);
    for (Eigen::Index i = 0; i < n; ++i)
      centre_[i] = bus.jointMin()[i] + 0.7 * (bus.jointMax()[i] - bus.jointMin()[i]);
    command_.pos = centre_;
    command_.vel = command_.tau = Eigen::VectorXd::Zero(n);
    command_.kp = Eigen::VectorXd::Constant(n, kStiffness);
    command_.kd = Eigen::VectorXd::Constant(n, kDamping);
    state_.zero(static_cast<int>(n));
    start_ = Clock::now();
  }

  /// One poll: post the command for this instant, read the state, judge it.
  void poll() {
    const double t = std::chrono::duration<double>(Clock::now() - start_).count();
    command_.pos = centre_.array() + kSwing * std::sin(2.0 * M_PI * kSwingHz * t);
    robot_.setCommand(command_);
    robot_.getState(state_);
    ++polls_;
    if (Clock::now() - start_ > kSettleTime && !_onTarget()) ++offTarget_;
  }

  uint64_t polls() const { return polls_; }
  uint64_t offTarget() const { return offTarget_; }

 private:
  bool _onTarget() const {
    for (Eigen::Index i = 0; i < centre_.size(); ++i)
      if (!(std::fabs(state_.pos[i] - command_.pos[i]) < kTolerance)) return false;
    return true;
  }

  RobotSDK& robot_;
  Eigen::VectorXd centre_;
  RobotCommand command_;
  RobotState state_;
  Clock::time_point start_;
  uint64_t polls_ = 0;
  uint64_t offTarget_ = 0;
};

// ---- The run ----------------------------------------------------------------------------------

/// Brief silences of the board, each well under the watchdog's 100 ms, every few seconds.
class SilenceSchedule {
 public:
  SilenceSchedule(const BoardSim& sim, unsigned seed) : sim_(sim), dice_(seed) { _planNext(Clock::now()); }

  void tick(Clock::time_point now) {
    if (!silent_ && now >= nextStart_) {
      sim_.goSilent();
      silent_ = true;
      end_ = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 50)(dice_));
    } else if (silent_ && now >= end_) {
      sim_.resume();
      silent_ = false;
      ++count_;
      _planNext(now);
    }
  }
  void finish() {
    if (silent_) sim_.resume();
    silent_ = false;
  }
  uint64_t count() const { return count_; }

 private:
  void _planNext(Clock::time_point now) {
    nextStart_ = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(1500, 3500)(dice_));
  }

  const BoardSim& sim_;
  std::mt19937 dice_;
  bool silent_ = false;
  Clock::time_point nextStart_, end_;
  uint64_t count_ = 0;
};

struct MemorySamples {
  long start = 0;   // after warm-up
  long middle = 0;
  long end = 0;
  long peak = 0;
};

struct RunTotals {
  uint64_t polls = 0;
  uint64_t offTarget = 0;
  uint64_t silences = 0;
  MemorySamples memory;
  LinkStats link;  // the SDK's own count of the run
};

std::vector<std::string> boardFaultArgs(unsigned seed) {
  return {"--record", "/dev/null",  // a soak's frames would fill the disk; the summary counts them
          "--seed", std::to_string(seed), "--drop", "0.05", "--short", "0.005", "--long", "0.005",
          "--duplicate", "0.01", "--stale", "0.01"};
}

RunTotals runController(const SoakOptions& options, const BoardSim& sim, HangGuard& guard) {
  RunTotals totals;
  RobotSDK robot(options.config);
  robot.init();
  robot.start();
  SwingController controller(robot);
  SilenceSchedule silences(sim, options.seed);

  const auto run = std::chrono::seconds(options.seconds);
  const auto warmUp = std::clamp<Clock::duration>(run / 10, 1s, 10s);
  const auto start = Clock::now();
  bool warm = false, halfway = false;
  for (auto now = start; now - start < run; now = Clock::now()) {
    controller.poll();
    silences.tick(now);
    guard.beat();
    if (!warm && now - start >= warmUp) {
      totals.memory.start = residentKb();
      warm = true;
    }
    if (!halfway && now - start >= run / 2) {
      totals.memory.middle = residentKb();
      halfway = true;
    }
    std::this_thread::sleep_for(kPollPause);
  }
  totals.memory.end = residentKb();
  silences.finish();
  totals.link = robot.linkStats();
  robot.stop();
  guard.beat();
  totals.polls = controller.polls();
  totals.offTarget = controller.offTarget();
  totals.silences = silences.count();
  return totals;
}

/// The number after `label` in the simulator's final summary line (0 if absent).
unsigned long long summaryCount(const std::string& summary, const std::string& label) {
  const size_t at = summary.rfind(label);
  return at == std::string::npos ? 0 : std::strtoull(summary.c_str() + at + label.size(), nullptr, 10);
}

/// The simulator's final line, "board_sim: stopped, frames in ...".
std::string finalSummary(const std::string& simOutput) {
  const size_t at = simOutput.rfind("board_sim: stopped,");
  if (at == std::string::npos) return "";
  return simOutput.substr(at, simOutput.find('\n', at) - at);
}

bool report(const SoakOptions& options, const RunTotals& totals, const LinkLines& lines,
            const std::string& summary) {
  const unsigned long long frames = summaryCount(summary, "frames in ");
  const unsigned long long lost = lines.timeouts + lines.wrongLength;
  const long growth = totals.memory.end - totals.memory.start;
  const size_t breakdown = summary.find("faults injected ");

  say(std::to_string(options.seconds) + " s with " + options.config);
  say("exchanges attempted (frames the board saw): " + std::to_string(frames));
  say("replies received: " + std::to_string(frames > lost ? frames - lost : 0) + " (timed out " +
      std::to_string(lines.timeouts) + ", wrong length " + std::to_string(lines.wrongLength) + ")");
  say("faults survived: " + (breakdown == std::string::npos ? std::string("?") : summary.substr(breakdown)) +
      ", silences of 20-50 ms " + std::to_string(totals.silences) + ", longest failing watchdog run " +
      std::to_string(lines.longestFailingRun) + " of 10 checks");
  say("link stats: " + linkStatsText(totals.link));
  say("polls " + std::to_string(totals.polls) + ", readings off target " + std::to_string(totals.offTarget));
  say("RSS kB: start " + std::to_string(totals.memory.start) + " (after warm-up), middle " +
      std::to_string(totals.memory.middle) + ", end " + std::to_string(totals.memory.end) + ", growth " +
      std::to_string(growth) + " (limit " + std::to_string(options.rssLimitKb) + "); peak (VmHWM) " +
      std::to_string(totals.memory.peak));

  std::vector<std::string> failures;
  if (growth > options.rssLimitKb) failures.push_back("memory grew by " + std::to_string(growth) + " kB");
  if (totals.offTarget > 0) failures.push_back(std::to_string(totals.offTarget) + " readings off target");
  if (frames == 0) failures.push_back("the board saw no frames");
  if (failures.empty()) {
    say("PASSED");
    return true;
  }
  std::string text = "FAILED:";
  for (const std::string& failure : failures) text += " " + failure + ";";
  say(text);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  SoakOptions options;
  if (!parseOptions(argc, argv, options)) {
    printUsage();
    return 2;
  }
  std::atexit(reportUnexpectedExit);
  try {
    LinkLines lines;
    RunTotals totals;
    std::string summary;
    {
      StdoutCounter counter(lines);
      BoardSim sim(options.config, boardFaultArgs(options.seed));
      {
        HangGuard guard(10s, sim.pid());
        totals = runController(options, sim, guard);
        totals.memory.peak = peakResidentKb();
      }
      sim.stop();
      summary = finalSummary(sim.output());
    }
    g_runFinished = true;
    return report(options, totals, lines, summary) ? 0 : 1;
  } catch (const std::exception& error) {
    g_runFinished = true;
    say(std::string("FAILED: ") + error.what());
    return 1;
  }
}
