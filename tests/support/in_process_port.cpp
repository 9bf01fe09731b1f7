#include "in_process_port.h"

#include <algorithm>
#include <cstring>

#include "board_model.h"
#include "joint_plant.h"

namespace {

constexpr size_t kTimeoutUs = 2000;
// The simulator's joint model steps by the time between frames; the first one gets a step
// as the link's own period would give it.
constexpr double kFirstStepSeconds = 0.0021;

class InProcessPort : public IOPort {
 public:
  explicit InProcessPort(InProcessBoard& board) : board_(board) { ResetIO(NO, 0, kTimeoutUs); }

  size_t Send(uint8_t* data, size_t length) override {
    reply_ = board_.exchange(data, length);
    return length;
  }
  size_t Recv(uint8_t* buffer, size_t /*length*/) override {
    const size_t count = std::min(reply_.size(), _recvLength);
    if (count > 0) std::memcpy(buffer, reply_.data(), count);  // a silent board's reply is empty
    reply_.clear();
    return count;
  }
  size_t Recv(uint8_t* buffer) override { return Recv(buffer, _recvLength); }
  bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) override {
    Send(sendData, sendLength);
    _lastReplyLength = Recv(recvBuffer);
    _lastReplyCut = false;
    return _lastReplyLength == _recvLength;
  }

 private:
  InProcessBoard& board_;
  std::vector<uint8_t> reply_;
};

}  // namespace

InProcessBoard::InProcessBoard(const std::string& config) {
  BoardConfig board = loadBoardConfig(config);
  auto plant = std::make_unique<JointPlant>(board, 0.0, 0.0);
  model_ = std::make_unique<BoardModel>(std::move(board), ErrorStatuses{}, std::move(plant));
}

InProcessBoard::~InProcessBoard() = default;

std::unique_ptr<IOPort> InProcessBoard::port() { return std::make_unique<InProcessPort>(*this); }

std::vector<std::vector<uint8_t>> InProcessBoard::recordedFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

size_t InProcessBoard::framesReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

bool InProcessBoard::waitForFrames(size_t count, int /*timeoutMs*/) const { return framesReceived() >= count; }

void InProcessBoard::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

std::vector<uint8_t> InProcessBoard::exchange(const uint8_t* frame, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.emplace_back(frame, frame + length);
  const auto now = std::chrono::steady_clock::now();
  const double dt = anyFrame_ ? std::chrono::duration<double>(now - lastFrame_).count() : kFirstStepSeconds;
  lastFrame_ = now;
  anyFrame_ = true;
  // A frame of another length is never answered, as on the board.
  if (silent_ || length != model_->commandLength()) return {};
  return model_->answer(frame, dt);
}
