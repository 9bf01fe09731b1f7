// Exchange round trip: MotorSDK::sendRecvMT against the board simulator on a 12-motor bus
// (276-byte command, 315-byte reply), back to back and paced at 2.1 ms, next to a bare UDP
// ping-pong of the same sizes between the same addresses, with the same poll-with-timeout
// receive, against a bare echo. Rounds alternate between the two so machine noise hits both.
// The bare client also runs against the simulator, to tell the simulator's share of the
// difference from the SDK's, and against the simulator with whole-body physics (--model), whose
// replies must not wait for the physics thread. The SDK runs twice per round, plain and with the
// flight recorder writing every exchange to a file, and counts the measuring thread's heap
// allocations.
//
// Whether client and server share a CPU decides the round trip (about 4 us on one CPU, 11-15 us
// across two), and the scheduler picks anew for every process started. So, unless --no-pin,
// every phase runs the same way: the measuring thread on the first CPU it may use, the server
// (simulator or echo) on the second - the cross-CPU wake-up stays in every figure, SDK and floor
// alike. With fewer than two CPUs it measures unpinned. The physics simulator steps from its
// start (its 1 kHz physics thread would otherwise wait for a command that takes hold) and,
// pinned, runs its physics thread on the measuring thread's CPU, which sleeps while it waits
// for a reply: on the link's CPU every step would sit in front of some replies.
//
//   bench_exchange [--smoke] [--json] [--no-pin] [--rounds N] [--back-to-back N] [--paced N]
//   bench_exchange --echo        (the bare echo on the board's address; used by the above)
//
// Needs the link addresses: run it inside scripts/netns-run.
#include <arpa/inet.h>
#include <sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "absolute_timer.h"
#include "alloc_counter.h"
#include "bench_support.h"
#include "flight_recorder.h"
#include "motor_sdk.h"

namespace {

constexpr const char* kBoardAddress = "192.168.1.5";
constexpr uint16_t kBoardPort = 8880;
constexpr uint16_t kControllerPort = 8881;
constexpr size_t kCommandBytes = 12 * sizeof(MotorCmd);
constexpr size_t kReplyBytes = 12 * sizeof(MotorState) + sizeof(ImuState) + sizeof(BatState);
constexpr long kReceiveTimeoutUs = 2000;
constexpr double kBusPeriod = 0.0021;
constexpr size_t kWarmUp = 50;
constexpr const char* kConfig = "bench/configs/bus12.yaml";
constexpr const char* kPhysicsModel = "models/zenthi.xml";  // motors 0-11 of the bus drive four of its legs
constexpr const char* kEchoReady = "bench_exchange echo: ready";

struct Options {
  bool json = false;
  bool echo = false;
  bool pin = true;
  size_t rounds = 4;
  size_t backToBack = 5000;
  size_t paced = 1000;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto count = [&] { return i + 1 < argc ? std::strtoul(argv[++i], nullptr, 10) : 0UL; };
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (arg == "--no-pin") {
      options.pin = false;
    } else if (arg == "--smoke") {
      options.rounds = 1;
      options.backToBack = 200;
      options.paced = 50;
    } else if (arg == "--rounds") {
      options.rounds = count();
    } else if (arg == "--back-to-back") {
      options.backToBack = count();
    } else if (arg == "--paced") {
      options.paced = count();
    } else {
      std::cerr << "usage: " << argv[0]
                << " [--smoke] [--json] [--no-pin] [--rounds N] [--back-to-back N] [--paced N] | --echo\n";
      std::exit(2);
    }
  }
  return options;
}

sockaddr_in ipv4(const char* address, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = inet_addr(address);
  return addr;
}

/// A datagram socket bound to one address, closed with its owner.
class BoundSocket {
 public:
  explicit BoundSocket(const sockaddr_in& local) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
      std::perror("bench_exchange: socket/bind");
      std::exit(1);
    }
  }
  ~BoundSocket() { ::close(fd_); }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

/// The bare board: answers every datagram with one reply-sized datagram, nothing else.
[[noreturn]] void runEcho() {
  BoundSocket board(ipv4(kBoardAddress, kBoardPort));
  std::printf("%s\n", kEchoReady);
  std::fflush(stdout);
  std::vector<uint8_t> frame(2048);
  for (;;) {
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    const ssize_t got = recvfrom(board.fd(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0) continue;
    sendto(board.fd(), frame.data(), kReplyBytes, 0, reinterpret_cast<sockaddr*>(&sender), length);
  }
}

/// The floor's controller side: one send, then poll with the port's timeout, then one
/// non-blocking receive, as the SDK's UDP port does. Like the port it answers each frame only
/// with that frame's reply: whatever is queued before the send (a reply that came after its
/// exchange timed out) is dropped first. Without that, one late reply puts the client a frame
/// behind for good, every poll then finds the previous frame's reply already waiting, and the
/// "round trip" shrinks to the cost of three system calls.
class BarePingPong {
 public:
  BarePingPong() : socket_(ipv4("192.168.1.10", kControllerPort)), board_(ipv4(kBoardAddress, kBoardPort)) {}

  bool exchange() {
    while (recv(socket_.fd(), reply_, sizeof(reply_), MSG_DONTWAIT) >= 0) ++stale_;
    sendto(socket_.fd(), command_, sizeof(command_), 0, reinterpret_cast<const sockaddr*>(&board_), sizeof(board_));
    pollfd readable{socket_.fd(), POLLIN, 0};
    const timespec timeout{0, kReceiveTimeoutUs * 1000};
    if (ppoll(&readable, 1, &timeout, nullptr) <= 0) return false;
    return recvfrom(socket_.fd(), reply_, sizeof(reply_), MSG_DONTWAIT, nullptr, nullptr) == static_cast<ssize_t>(kReplyBytes);
  }
  size_t stale() const { return stale_; }

 private:
  BoundSocket socket_;
  sockaddr_in board_;
  size_t stale_ = 0;  // replies dropped because they came too late for their own exchange
  uint8_t command_[kCommandBytes] = {};
  uint8_t reply_[kReplyBytes] = {};
};

/// Round trips of one kind of exchange, pooled over the rounds, and the thread CPU the paced
/// loop spent per exchange.
struct ExchangeSamples {
  std::vector<double> backToBackUs;
  std::vector<double> pacedUs;
  double pacedCpuNanos = 0;
  size_t pacedCount = 0;
  size_t allocations = 0;  // the measuring thread's, over the timed exchanges
};

double microsSince(int64_t startNanos) {
  return static_cast<double>(bench::nanosOf(CLOCK_MONOTONIC) - startNanos) / 1000.0;
}

void timeBackToBack(const std::function<void()>& exchange, size_t count, std::vector<double>& out) {
  for (size_t i = 0; i < kWarmUp; ++i) exchange();
  for (size_t i = 0; i < count; ++i) {
    const int64_t start = bench::nanosOf(CLOCK_MONOTONIC);
    exchange();
    out.push_back(microsSince(start));
  }
}

/// One exchange per 2.1 ms timer expiry, as the link thread does it.
void timePaced(const std::function<void()>& exchange, size_t count, ExchangeSamples& samples) {
  TimerDescriptor timer;
  timer.arm(intervalTimerSpec(kBusPeriod));
  uint64_t expirations = 0;
  const int64_t cpuStart = bench::nanosOf(CLOCK_THREAD_CPUTIME_ID);
  for (size_t i = 0; i < count; ++i) {
    timer.awaitExpiry(expirations);
    const int64_t start = bench::nanosOf(CLOCK_MONOTONIC);
    exchange();
    samples.pacedUs.push_back(microsSince(start));
  }
  samples.pacedCpuNanos += static_cast<double>(bench::nanosOf(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
  samples.pacedCount += count;
}

/// The CPUs of the pinned set-up: the first two this process may use, or none.
struct CpuPair {
  int client = -1;
  int server = -1;
};

CpuPair choosePinning(const Options& options) {
  CpuPair cpus;
  if (!options.pin) return cpus;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.server < 0; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    (cpus.client < 0 ? cpus.client : cpus.server) = cpu;
  }
  if (cpus.server < 0 || !bench::pinToCpu(cpus.client)) {
    std::cerr << "bench_exchange: fewer than two CPUs to pin to; measuring unpinned\n";
    return CpuPair{};
  }
  return cpus;
}

void measureSdk(const Options& options, ExchangeSamples& samples, bool recording) {
  MotorSDK bus;
  bus.init(bench::projectFile(kConfig), UDP);
  if (bus.sendLength() != kCommandBytes || bus.replyLength() != kReplyBytes) {
    std::cerr << "bench_exchange: the bus does not have the 276/315-byte frames\n";
    std::exit(1);
  }
  const std::string path = "/tmp/bench_exchange_" + std::to_string(getpid()) + ".dlrec";
  std::unique_ptr<FlightRecorder> recorder;
  if (recording) {
    recorder = std::make_unique<FlightRecorder>(path, bus.recordingDescription(0));
    bus.attachRecorder(recorder.get());
  }
  const auto exchange = [&bus] { bus.sendRecvMT(); };
  // The samples' own storage must not count as the exchanges' allocations.
  samples.backToBackUs.reserve(samples.backToBackUs.size() + options.backToBack);
  samples.pacedUs.reserve(samples.pacedUs.size() + options.paced);
  const alloc_counter::Scope allocations;
  timeBackToBack(exchange, options.backToBack, samples.backToBackUs);
  timePaced(exchange, options.paced, samples);
  samples.allocations += allocations.count();
  if (recording) {
    bus.detachRecorder();
    recorder->finish();
    std::remove(path.c_str());
  }
}

void measureBare(const Options& options, ExchangeSamples& samples) {
  BarePingPong link;
  size_t lost = 0;
  const auto exchange = [&link, &lost] { lost += link.exchange() ? 0 : 1; };
  timeBackToBack(exchange, options.backToBack, samples.backToBackUs);
  timePaced(exchange, options.paced, samples);
  if (lost > 0) std::cerr << "bench_exchange: " << lost << " bare replies lost, " << link.stale() << " late ones dropped\n";
}

/// Against the simulator: the SDK, then the bare client, which tells the simulator's share of
/// the difference to the floor from the SDK's.
void measureSimulatorRound(const Options& options, int serverCpu, ExchangeSamples& sdk, ExchangeSamples& recording,
                           ExchangeSamples& bareVsSimulator) {
  bench::ChildProcess board({bench::boardSimProgram(), "--config", bench::projectFile(kConfig), "--quiet"},
                            "board_sim: ready", serverCpu);
  measureSdk(options, sdk, false);
  measureSdk(options, recording, true);
  measureBare(options, bareVsSimulator);
}

void measurePhysicsRound(const Options& options, const CpuPair& cpus, ExchangeSamples& samples) {
  std::vector<std::string> argv = {bench::boardSimProgram(), "--config", bench::projectFile(kConfig), "--model",
                                   bench::projectFile(kPhysicsModel), "--release-at-start", "--quiet"};
  if (cpus.client >= 0) argv.insert(argv.end(), {"--physics-cpu", std::to_string(cpus.client)});
  bench::ChildProcess board(argv, "board_sim: ready", cpus.server);
  measureBare(options, samples);
}

void measureFloorRound(const Options& options, int serverCpu, const std::string& self, ExchangeSamples& samples) {
  bench::ChildProcess echo({self, "--echo"}, kEchoReady, serverCpu);
  measureBare(options, samples);
}

std::string selfPath(const char* argv0) {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return argv0;
  return std::string(path, static_cast<size_t>(length));
}

void appendSamples(std::vector<bench::Figure>& out, const std::string& prefix, const ExchangeSamples& samples) {
  bench::appendLatency(out, prefix + ".back_to_back", bench::latencyFigures(samples.backToBackUs));
  bench::appendLatency(out, prefix + ".paced", bench::latencyFigures(samples.pacedUs));
  const double cpuUs = samples.pacedCount ? samples.pacedCpuNanos / 1000.0 / static_cast<double>(samples.pacedCount) : 0;
  out.push_back({prefix + ".paced.cpu_per_exchange", cpuUs, "us"});
  const size_t exchanges = samples.backToBackUs.size() + samples.pacedUs.size();
  out.push_back({prefix + ".allocations_per_exchange",
                 exchanges ? static_cast<double>(samples.allocations) / static_cast<double>(exchanges) : 0, "count"});
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  if (options.echo) runEcho();

  const CpuPair cpus = choosePinning(options);
  ExchangeSamples sdk;
  ExchangeSamples sdkRecording;
  ExchangeSamples bareVsSimulator;
  ExchangeSamples floor;
  ExchangeSamples bareVsPhysics;
  {
    bench::StdoutAside logsAside(options.json);
    for (size_t round = 0; round < options.rounds; ++round) {
      measureSimulatorRound(options, cpus.server, sdk, sdkRecording, bareVsSimulator);
      measureFloorRound(options, cpus.server, selfPath(argv[0]), floor);
      measurePhysicsRound(options, cpus, bareVsPhysics);
    }
  }
  std::vector<bench::Figure> figures;
  appendSamples(figures, "exchange.sdk", sdk);
  appendSamples(figures, "exchange.sdk_recording", sdkRecording);
  appendSamples(figures, "exchange.floor", floor);
  appendSamples(figures, "exchange.bare_vs_simulator", bareVsSimulator);
  appendSamples(figures, "exchange.bare_vs_physics", bareVsPhysics);
  bench::writeFigures(figures, options.json);
  return 0;
}
