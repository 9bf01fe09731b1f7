// Runs the board simulator as a child process for tests that need a motor board.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link_options.h"

/// Starts ${DRIVELINK_BIN_DIR}/board_sim with `--config config`, `--quiet` (a later
/// `--verbose` in `extraArgs` undoes it), `--record` to a temporary file, `extraArgs`, and
/// `--serial` when asked; without `--model` it runs at real-time priority where the system
/// allows it, as a board's own processor would answer. Waits (at most 5 s) for its ready line; throws std::runtime_error
/// if it does not come up. The destructor stops it with SIGTERM and reaps it.
class BoardSim {
 public:
  explicit BoardSim(const std::string& config, std::vector<std::string> extraArgs = {}, bool serial = false);
  ~BoardSim();
  BoardSim(const BoardSim&) = delete;
  BoardSim& operator=(const BoardSim&) = delete;

  const std::string& serialPath() const;  // slave pty path in serial mode
  /// The UDP port its ready line names (the system's pick after `--bind ADDR:0`).
  uint16_t udpPort() const;
  /// A controller's link to where its ready line says it listens, from any free port of
  /// 127.0.0.1: for a simulator started with onLoopback(). Throws std::runtime_error without
  /// a UDP ready line.
  LinkOptions loopbackLink() const;
  std::vector<std::vector<uint8_t>> recordedFrames() const;  // every frame the board received
  size_t framesReceived() const;
  bool waitForFrames(size_t count, int timeoutMs) const;
  void goSilent() const;  // SIGUSR1
  void resume() const;    // SIGUSR2
  std::string output() const;  // its standard output so far
  pid_t pid() const;
  /// Sends SIGTERM, waits for the exit and returns the exit status (-1 if killed by a
  /// signal). Called by the destructor if the test did not.
  int stop();

 private:
  void _readOutput(int fd);
  bool _waitForOutput(const std::string& text, int timeoutMs) const;
  std::pair<std::string, uint16_t> _udpEndpoint() const;  // of the ready line

  pid_t pid_ = -1;
  int exitStatus_ = -1;
  std::string recordPath_;
  std::string serialPath_;
  mutable std::mutex mutex_;
  mutable std::condition_variable outputGrew_;
  std::string output_;
  bool outputClosed_ = false;
  std::thread reader_;
};

/// `extraArgs` behind `--bind 127.0.0.1:0`: the simulator listens on a free loopback port,
/// so the test needs neither the robot's private addresses nor a namespace, and parallel
/// tests never share a board. A `--bind` in `extraArgs` still wins.
std::vector<std::string> onLoopback(std::vector<std::string> extraArgs = {});

/// DRIVELINK_SOURCE_DIR "/configs/" + name.
std::string configPath(const std::string& name);

/// Path of the simulator program of this build.
std::string boardSimProgram();
