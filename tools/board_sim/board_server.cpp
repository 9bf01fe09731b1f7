#include "board_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = BoardServer::Clock;
using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Bytes of a serial frame that stop arriving for this long are a broken frame, not the
// start of the next one.
constexpr milliseconds kSerialFrameGap{20};
constexpr milliseconds kExpiryTick{2};  // how often a board with a command timeout looks at the silence
constexpr milliseconds kSummaryPeriod{1000};

UniqueFd openSignalFd() {
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&mask, signal);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) < 0) throw std::runtime_error("sigprocmask failed");
  UniqueFd fd(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd.valid()) throw std::runtime_error("signalfd failed");
  return fd;
}

int millisecondsUntil(Clock::time_point when) {
  const auto left = duration_cast<milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 1000));
}

}  // namespace

BoardServer::BoardServer(const SimOptions& options, BoardModel& model)
    : options_(options), model_(model), signals_(openSignalFd()), faults_(options) {
  if (!options.recordPath.empty()) {
    record_.reset(std::fopen(options.recordPath.c_str(), "a"));
    if (!record_) throw std::runtime_error("cannot open the record file " + options.recordPath);
  }
  if (!options.replayPath.empty()) replay_.emplace(options.replayPath, model.config().layout(), options.replayLead);
  if (options.serial) {
    pty_.emplace();
    std::printf("%s\n", pty_->slavePath().c_str());
    std::fflush(stdout);
  } else {
    udp_.emplace(options.bindAddress, options.bindPort, options.otherPort, options.otherAddress);
  }
  _announce();
  nextSummary_ = Clock::now() + kSummaryPeriod;
}

void BoardServer::_announce() const {
  const wire::FrameLayout layout = model_.config().layout();
  if (pty_) {
    std::printf("board_sim: ready serial %s", pty_->slavePath().c_str());
  } else {
    std::printf("board_sim: ready udp %s:%u", options_.bindAddress.c_str(), udp_->boundPort());
    if (!options_.otherAddress.empty())
      std::printf(" (replies from %s:%u)", options_.otherAddress.c_str(), udp_->replyPort());
    else if (options_.otherPort)
      std::printf(" (replies from port %u)", udp_->replyPort());
  }
  std::printf(", motors %zu, imus %zu, batteries %zu, command %zu bytes, reply %zu bytes\n", layout.motors,
              layout.imus, layout.batteries, layout.commandLength(), layout.replyLength());
  std::fflush(stdout);
}

int BoardServer::run() {
  const int linkFd = udp_ ? udp_->fd() : pty_->fd();
  while (!stopping_) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {linkFd, POLLIN, 0}};
    const int ready = poll(fds, 2, _pollTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      std::perror("board_sim: poll");
      return 1;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) _handleSignals();
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      if (udp_) _receiveUdp();
      else _receiveSerial();
    }
    if (pty_) _dropIncompleteSerialFrame();
    _sendDueReplies();
    if (lastFrame_) model_.idle(duration<double>(Clock::now() - *lastFrame_).count());
    if (!options_.quiet && Clock::now() >= nextSummary_) {
      _printSummary("board_sim:");
      nextSummary_ += kSummaryPeriod;
    }
  }
  _printSummary("board_sim: stopped,");
  _reportReplay();  // the last line, where scripts/with-simulator looks
  return 0;
}

bool BoardServer::_handleSignals() {
  signalfd_siginfo info;
  while (read(signals_.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    switch (info.ssi_signo) {
      case SIGUSR1: signalSilent_ = true; break;
      case SIGUSR2: signalSilent_ = false; break;
      default: stopping_ = true; break;
    }
  }
  return stopping_;
}

void BoardServer::_receiveUdp() {
  std::vector<uint8_t> datagram;
  sockaddr_in sender{};
  while (udp_->receive(datagram, sender)) _handleFrame(datagram, sender);
}

void BoardServer::_receiveSerial() {
  if (!pty_->receive(serialBuffer_)) return;
  lastSerialByte_ = Clock::now();
  const size_t length = model_.commandLength();
  if (length == 0) return;
  size_t used = 0;
  for (; serialBuffer_.size() - used >= length; used += length) {
    const std::vector<uint8_t> frame(serialBuffer_.begin() + used, serialBuffer_.begin() + used + length);
    _handleFrame(frame, sockaddr_in{});
  }
  serialBuffer_.erase(serialBuffer_.begin(), serialBuffer_.begin() + used);
}

void BoardServer::_dropIncompleteSerialFrame() {
  if (serialBuffer_.empty() || Clock::now() - lastSerialByte_ < kSerialFrameGap) return;
  _handleFrame(serialBuffer_, sockaddr_in{});  // counted and recorded as a bad frame
  serialBuffer_.clear();
}

void BoardServer::_handleFrame(const std::vector<uint8_t>& frame, const sockaddr_in& sender) {
  ++framesIn_;
  _record(frame);
  if (frame.size() != model_.commandLength()) {
    if (!options_.anyFrameLength) {
      ++badFrames_;
      return;
    }
    // Motors the frame does not reach get an all-zero command; extra records are ignored.
    std::vector<uint8_t> fitted(frame);
    fitted.resize(model_.commandLength(), 0);
    _answer(fitted, sender);
    return;
  }
  _answer(frame, sender);
}

void BoardServer::_answer(const std::vector<uint8_t>& frame, const sockaddr_in& sender) {
  if (replay_) {
    _answerFromReplay(frame, sender);
    return;
  }
  const Clock::time_point now = Clock::now();
  const double dt = lastFrame_ ? duration<double>(now - *lastFrame_).count() : 0.0;
  if (!firstFrame_) firstFrame_ = now;
  lastFrame_ = now;

  // The joints move whether or not the reply gets through.
  std::vector<uint8_t> reply = model_.answer(frame.data(), dt);
  const uint64_t msSinceFirst = duration_cast<milliseconds>(now - *firstFrame_).count();
  const ReplyPlan plan = faults_.plan(goodFrames_++, msSinceFirst, answered_, signalSilent_,
                                      !previousReply_.empty(), reply.size(), model_.injectedErrorRecords());
  std::vector<uint8_t> outgoing = plan.useStale ? previousReply_ : reply;
  previousReply_ = std::move(reply);
  if (!plan.answer) return;
  ++answered_;
  if (plan.length > outgoing.size()) outgoing.resize(plan.length, 0xEE);
  for (int copy = 0; copy < plan.copies; ++copy)
    pending_.push_back({now + std::chrono::microseconds(plan.delayUs), outgoing, plan.length, sender});
}

// The recording alone decides what goes back: the joints and the fault plan stay out of it.
void BoardServer::_answerFromReplay(const std::vector<uint8_t>& frame, const sockaddr_in& sender) {
  const Replay::Answer reply = replay_->answer(frame);
  if (reply.length > 0) {
    ++answered_;
    pending_.push_back({Clock::now(), *reply.bytes, reply.length, sender});
  }
  if (replay_->finished() && !replayEnded_) {
    replayEnded_ = true;
    std::printf("board_sim: replay: the recording has ended; the board stays silent\n");
    _reportReplay();
  }
}

void BoardServer::_reportReplay() {
  if (!replay_) return;
  std::printf("%s\n", replay_->report().c_str());
  std::fflush(stdout);
}

void BoardServer::_record(const std::vector<uint8_t>& frame) {
  if (!record_) return;
  for (size_t i = 0; i < frame.size(); ++i) std::fprintf(record_.get(), i ? " %02X" : "%02X", frame[i]);
  std::fputc('\n', record_.get());
  std::fflush(record_.get());
}

void BoardServer::_sendDueReplies() {
  const Clock::time_point now = Clock::now();
  while (!pending_.empty() && pending_.front().due <= now) {
    _transmit(pending_.front());
    pending_.pop_front();
  }
}

void BoardServer::_transmit(const PendingReply& reply) {
  ++datagramsOut_;
  if (udp_) udp_->send(reply.bytes, reply.length, reply.to);
  else pty_->send(reply.bytes, reply.length);
}

int BoardServer::_pollTimeoutMs() const {
  Clock::time_point wake = nextSummary_;
  if (options_.quiet) wake = Clock::now() + kSummaryPeriod;
  if (!pending_.empty()) wake = std::min(wake, pending_.front().due);
  if (!serialBuffer_.empty()) wake = std::min(wake, lastSerialByte_ + kSerialFrameGap);
  if (options_.boardTimeoutMs) wake = std::min(wake, Clock::now() + kExpiryTick);
  return millisecondsUntil(wake);
}

void BoardServer::_printSummary(const char* label) {
  const FaultCounts& f = faults_.counts();
  std::printf(
      "%s frames in %llu (bad %llu), replies out %llu (datagrams %llu), faults injected %llu "
      "(silenced %llu, dropped %llu, delayed %llu, short %llu, long %llu, duplicated %llu, stale %llu, "
      "error records %llu)%s\n",
      label, (unsigned long long)framesIn_, (unsigned long long)badFrames_, (unsigned long long)answered_,
      (unsigned long long)datagramsOut_, (unsigned long long)f.total(), (unsigned long long)f.silenced,
      (unsigned long long)f.dropped, (unsigned long long)f.delayed, (unsigned long long)f.shortened,
      (unsigned long long)f.lengthened, (unsigned long long)f.duplicated, (unsigned long long)f.stale,
      (unsigned long long)f.errorRecords, model_.plantSummary().c_str());
  std::fflush(stdout);
}
