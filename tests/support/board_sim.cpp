#include "board_sim.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "realtime_probe.h"

namespace {

constexpr int kStartTimeoutMs = 5000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kSimulatorPriority = 10;  // SCHED_FIFO, below the kernel's own threads

std::string makeRecordFile() {
  char path[] = "/tmp/board_sim_record_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("cannot create the board record file");
  close(fd);
  return path;
}

std::vector<uint8_t> parseHexLine(const std::string& line) {
  std::vector<uint8_t> bytes;
  std::istringstream cells(line);
  std::string cell;
  while (cells >> cell) bytes.push_back(static_cast<uint8_t>(std::stoul(cell, nullptr, 16)));
  return bytes;
}

// Waits for the child without blocking for ever; false if it is still running.
bool reap(pid_t pid, int timeoutMs, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) return true;
    usleep(2000);
  }
  return false;
}


}  // namespace

std::string configPath(const std::string& name) { return std::string(DRIVELINK_SOURCE_DIR "/configs/") + name; }

std::string boardSimProgram() { return DRIVELINK_BIN_DIR "/board_sim"; }

BoardSim::BoardSim(const std::string& config, std::vector<std::string> extraArgs, bool serial)
    : recordPath_(makeRecordFile()) {
  const bool physics = std::find(extraArgs.begin(), extraArgs.end(), "--model") != extraArgs.end();
  std::vector<std::string> args = {boardSimProgram(), "--config", config, "--quiet", "--record", recordPath_};
  if (serial) args.push_back("--serial");
  // A real board answers within microseconds whatever the controller's machine is doing; on a
  // busy test machine the simulator would otherwise queue behind other processes for longer
  // than the link's 2 ms receive timeout, and tests would see lost replies no board causes.
  // Taken where the system allows it (root, or CAP_SYS_NICE), else the simulator runs as it is.
  // The whole-body physics keeps ordinary scheduling: its thread steps for its whole life.
  if (!physics && fifoPermitted(kSimulatorPriority))
    args.insert(args.end(), {"--realtime-priority", std::to_string(kSimulatorPriority)});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ == 0) {
    // Child: a clean signal state (the test may block some) and stdout into the pipe.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(pipeFds[1], STDOUT_FILENO);
    // Its errors go into the same pipe, never into the test runner's output, which would keep
    // the runner waiting; and it goes away with the test program if that one dies.
    dup2(pipeFds[1], STDERR_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    throw std::runtime_error("fork failed");
  }
  reader_ = std::thread(&BoardSim::_readOutput, this, pipeFds[0]);

  if (!_waitForOutput("board_sim: ready", kStartTimeoutMs)) {
    const std::string seen = output();
    stop();
    throw std::runtime_error("board_sim did not come up; its output: " + seen);
  }
  if (serial) {
    const std::string text = output();
    serialPath_ = text.substr(0, text.find('\n'));
  }
}

BoardSim::~BoardSim() {
  stop();
  std::remove(recordPath_.c_str());
}

int BoardSim::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    if (!reap(pid_, kStopTimeoutMs, status)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  return exitStatus_;
}

void BoardSim::_readOutput(int fd) {
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof(chunk))) > 0 || (count < 0 && errno == EINTR)) {
    if (count <= 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(chunk, static_cast<size_t>(count));
    outputGrew_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  outputClosed_ = true;
  outputGrew_.notify_all();
}

bool BoardSim::_waitForOutput(const std::string& text, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return outputGrew_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return outputClosed_ || output_.find(text) != std::string::npos;
  }) && output_.find(text) != std::string::npos;
}

uint16_t BoardSim::udpPort() const { return _udpEndpoint().second; }

LinkOptions BoardSim::loopbackLink() const {
  const auto [address, port] = _udpEndpoint();
  return LinkOptions::udp(address + ":" + std::to_string(port), "127.0.0.1:0");
}

std::pair<std::string, uint16_t> BoardSim::_udpEndpoint() const {
  const std::string text = output();
  const std::string ready = "board_sim: ready udp ";
  const size_t start = text.find(ready);
  const size_t colon = start == std::string::npos ? start : text.find(':', start + ready.size());
  if (colon == std::string::npos) throw std::runtime_error("no UDP ready line in: " + text);
  const size_t address = start + ready.size();
  return {text.substr(address, colon - address), static_cast<uint16_t>(std::stoul(text.substr(colon + 1)))};
}

std::vector<std::string> onLoopback(std::vector<std::string> extraArgs) {
  extraArgs.insert(extraArgs.begin(), {"--bind", "127.0.0.1:0"});
  return extraArgs;
}

const std::string& BoardSim::serialPath() const { return serialPath_; }

std::vector<std::vector<uint8_t>> BoardSim::recordedFrames() const {
  std::ifstream file(recordPath_);
  std::stringstream whole;
  whole << file.rdbuf();
  const std::string text = whole.str();
  std::vector<std::vector<uint8_t>> frames;
  // Only lines already ended belong to complete frames.
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    frames.push_back(parseHexLine(text.substr(start, end - start)));
    start = end + 1;
  }
  return frames;
}

size_t BoardSim::framesReceived() const { return recordedFrames().size(); }

bool BoardSim::waitForFrames(size_t count, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (framesReceived() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(2000);
  }
  return true;
}

void BoardSim::goSilent() const {
  if (pid_ > 0) kill(pid_, SIGUSR1);
}

void BoardSim::resume() const {
  if (pid_ > 0) kill(pid_, SIGUSR2);
}

std::string BoardSim::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

pid_t BoardSim::pid() const { return pid_; }
