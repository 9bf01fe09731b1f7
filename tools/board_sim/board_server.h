// The simulator's event loop: one thread, poll() over the link, the signals and the timers
// of delayed replies and summaries.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "board_links.h"
#include "board_model.h"
#include "fault_plan.h"
#include "replay.h"
#include "sim_options.h"
#include "unique_fd.h"

class BoardServer {
 public:
  using Clock = std::chrono::steady_clock;

  /// Opens the link and the record file; prints the slave path (serial) and the ready line.
  BoardServer(const SimOptions& options, BoardModel& model);
  /// Runs until SIGINT or SIGTERM; returns the exit status.
  int run();

 private:
  struct PendingReply {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    size_t length;
    sockaddr_in to;
  };
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  void _announce() const;
  bool _handleSignals();
  void _receiveUdp();
  void _receiveSerial();
  void _dropIncompleteSerialFrame();
  void _handleFrame(const std::vector<uint8_t>& frame, const sockaddr_in& sender);
  void _answer(const std::vector<uint8_t>& frame, const sockaddr_in& sender);
  void _answerFromReplay(const std::vector<uint8_t>& frame, const sockaddr_in& sender);
  void _reportReplay();
  void _record(const std::vector<uint8_t>& frame);
  void _sendDueReplies();
  void _transmit(const PendingReply& reply);
  int _pollTimeoutMs() const;
  void _printSummary(const char* label);

  const SimOptions& options_;
  BoardModel& model_;
  std::optional<UdpLink> udp_;
  std::optional<PtyLink> pty_;
  UniqueFd signals_;
  std::unique_ptr<std::FILE, FileCloser> record_;
  FaultPlan faults_;
  std::optional<Replay> replay_;
  bool replayEnded_ = false;

  bool signalSilent_ = false;
  bool stopping_ = false;
  uint64_t framesIn_ = 0;
  uint64_t goodFrames_ = 0;
  uint64_t badFrames_ = 0;
  uint64_t answered_ = 0;
  uint64_t datagramsOut_ = 0;
  std::optional<Clock::time_point> firstFrame_;
  std::optional<Clock::time_point> lastFrame_;
  std::vector<uint8_t> previousReply_;
  std::deque<PendingReply> pending_;
  std::vector<uint8_t> serialBuffer_;
  Clock::time_point lastSerialByte_;
  Clock::time_point nextSummary_;
};
