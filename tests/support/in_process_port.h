// A motor board inside the test program: a port that answers every command frame as the
// board simulator does (the simulator's own reply building, with its joint model), without a
// socket, a pseudo-terminal or a network namespace. For tests of the bus and robot logic;
// the ports themselves are tested on real sockets and terminals.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io_port.h"

class BoardModel;

/// The board of the robot file at `config` (read as the simulator reads it). It outlives
/// every port it hands out. Thread-safe: the bus's link thread exchanges while the test reads
/// the recorded frames.
class InProcessBoard {
 public:
  explicit InProcessBoard(const std::string& config);
  ~InProcessBoard();
  InProcessBoard(const InProcessBoard&) = delete;
  InProcessBoard& operator=(const InProcessBoard&) = delete;

  /// A port to this board, for MotorSDK::init(path, port) or a RobotSDK; its timeout 2000 µs.
  std::unique_ptr<IOPort> port();

  /// Every frame the board received, of any length, oldest first.
  std::vector<std::vector<uint8_t>> recordedFrames() const;
  size_t framesReceived() const;
  /// Frames arrive during the exchange itself, so this only checks the count (the signature
  /// is BoardSim's, so a test reads the same either way).
  bool waitForFrames(size_t count, int timeoutMs) const;
  /// While silent, frames are recorded but not answered.
  void setSilent(bool silent);

  /// The reply to one frame (empty when unanswered); what the port receives.
  std::vector<uint8_t> exchange(const uint8_t* frame, size_t length);

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<BoardModel> model_;
  std::vector<std::vector<uint8_t>> frames_;
  bool silent_ = false;
  std::chrono::steady_clock::time_point lastFrame_;
  bool anyFrame_ = false;
};
