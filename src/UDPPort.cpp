#include "UDPPort.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <utility>

#include "absolute_timer.h"
#include "log_line.h"

namespace {

sockaddr_in ipv4Address(const std::string& ip, uint32_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  addr.sin_addr.s_addr = inet_addr(ip.c_str());
  return addr;
}

int64_t nanosOf(const timeval& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + static_cast<int64_t>(t.tv_usec) * 1000;
}

timespec timespecOf(const timeval& t) { return timespec{t.tv_sec, static_cast<long>(t.tv_usec) * 1000}; }

timeval timevalOf(int64_t nanos) {
  return timeval{static_cast<time_t>(nanos / 1000000000), static_cast<suseconds_t>(nanos % 1000000000 / 1000)};
}

}  // namespace

UDPPort::UDPPort(std::string remoteIp, uint32_t remotePort, uint32_t localPort, size_t recvLength,
                 size_t timeOutUs, BlockYN blockYN)
    : UDPPort(std::move(remoteIp), remotePort, kControllerAddress, localPort, recvLength, timeOutUs, blockYN) {}

UDPPort::UDPPort(std::string remoteIp, uint32_t remotePort, const std::string& localIp, uint32_t localPort,
                 size_t recvLength, size_t timeOutUs, BlockYN blockYN) {
  ResetIO(blockYN, recvLength, timeOutUs);
  _reuseAddr = 1;
  _remoteAddr = ipv4Address(remoteIp, remotePort);
  _localAddr = ipv4Address(localIp, localPort);
  _fromAddr = sockaddr_in{};

  _sockfd = socket(AF_INET, SOCK_DGRAM, 0);
  if (_sockfd < 0) _fail("[ERROR] UDPPort::UDPPort, create socket failed", errno);
  setsockopt(_sockfd, SOL_SOCKET, SO_REUSEADDR, &_reuseAddr, sizeof(_reuseAddr));
  const int stampArrivals = 1;
  setsockopt(_sockfd, SOL_SOCKET, SO_TIMESTAMPNS, &stampArrivals, sizeof(stampArrivals));
  if (bind(_sockfd, reinterpret_cast<sockaddr*>(&_localAddr), sizeof(_localAddr)) < 0)
    _fail("[ERROR] UDPPort::UDPPort, bind failed", errno);
  _addrLen = sizeof(sockaddr_in);
  _scratch.resize(_recvLength);
}

UDPPort::~UDPPort() {
  if (_sockfd >= 0) close(_sockfd);
}

// No destructor runs for a half-built port, so the socket is closed here.
void UDPPort::_fail(const char* line, int error) {
  if (_sockfd >= 0) close(_sockfd);
  _sockfd = -1;
  std::string message = std::string(line) + ": " + std::strerror(error);
  const std::string localIp = inet_ntoa(_localAddr.sin_addr);
  if (error == EADDRNOTAVAIL)
    message += " (this machine has no address " + localIp +
               ", the controller's address on the robot network: connect it to the robot, or run the program "
               "against the board simulator with scripts/with-simulator)";
  else if (error == EADDRINUSE)
    message += " (another program uses " + localIp + ":" +
               std::to_string(ntohs(_localAddr.sin_port)) + ")";
  throw LinkOpenError(message, error);
}

size_t UDPPort::Send(uint8_t* data, size_t length) {
  _sentLength = sendto(_sockfd, data, length, 0, reinterpret_cast<sockaddr*>(&_remoteAddr), _addrLen);
  if (_sentLength == static_cast<int64_t>(length)) return length;
  const int error = errno;  // before any output can change it
  logLine("[WARNING] UDPPort::send, sent ", static_cast<size_t>(_sentLength), " bytes, but not ", length, " bytes, ",
          std::strerror(error));
  return static_cast<size_t>(_sentLength);
}

size_t UDPPort::Recv(uint8_t* buffer, size_t /*length*/) {
  // One receive takes one whole reply datagram, cut to the reply length.
  _lastReplyCut = false;
  if (_blockYN == NO) return _timedRecv(buffer);
  if (_blockYN == YES) return _blockingRecv(buffer);
  return 0;
}

// Waits with poll, which serves any descriptor number (select corrupts memory from 1024 on).
// Datagrams passed over (stale or foreign) never stretch the wait beyond the timeout.
size_t UDPPort::_timedRecv(uint8_t* buffer) {
  _timeout = _savedTimeout;
  const int64_t deadline = monotonicNanos() + nanosOf(_savedTimeout);
  for (;;) {
    pollfd readable{_sockfd, POLLIN, 0};
    const timespec wait = timespecOf(_timeout);
    const int ready = ppoll(&readable, 1, &wait, nullptr);
    if (ready == -1) {
      logLine("[WARNING] UDPPort::recv, unblock version, receive error");
      return 0;
    }
    if (ready == 0) {
      logLine("[WARNING] UDPPort::recv, unblock version, wait time out");
      return 0;
    }
    const Received received = _receiveDatagram(buffer, MSG_DONTWAIT);
    const int error = errno;
    if (!received.taken) {
      _timeout = timevalOf(std::max<int64_t>(0, deadline - monotonicNanos()));
      continue;
    }
    if (static_cast<size_t>(received.count) != _recvLength) {
      logLine("[WARNING] UDPPort::recv, unblock version, received ", static_cast<size_t>(received.count),
              " bytes, but not ", _recvLength, " bytes, ", std::strerror(error));
    }
    return static_cast<size_t>(received.count);
  }
}

size_t UDPPort::_blockingRecv(uint8_t* buffer) {
  Received received;
  do {
    received = _receiveDatagram(buffer, MSG_WAITALL);
  } while (!received.taken);
  const int error = errno;
  if (static_cast<size_t>(received.count) != _recvLength) {
    logLine("[WARNING] UDPPort::recv, block version, received ", static_cast<size_t>(received.count),
            " bytes, but not ", _recvLength, " bytes, ", std::strerror(error));
  }
  return static_cast<size_t>(received.count);
}

// Receives one datagram into scratch memory and takes it into the caller's buffer only when it
// is this exchange's reply from the board. Passed over, and counted, are datagrams from any
// other address (a host on the robot's network could otherwise forge the robot's state; the
// board may answer from another port) and replies that arrived before the frame they would
// answer was sent (they came after that one timed out, or the board sent them twice).
UDPPort::Received UDPPort::_receiveDatagram(uint8_t* buffer, int flags) {
  if (_scratch.size() < _recvLength) _scratch.resize(_recvLength);  // only when the length changed
  iovec data{_scratch.data(), _recvLength};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_name = &_fromAddr;
  message.msg_namelen = sizeof(_fromAddr);
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  Received received;
  // With MSG_TRUNC the count is the datagram's own length even when it did not fit.
  received.count = recvmsg(_sockfd, &message, flags | MSG_TRUNC);
  _addrLen = message.msg_namelen;
  if (received.count < 0) return received;  // taken: reported as the failed count it is
  if (_fromAddr.sin_addr.s_addr != _remoteAddr.sin_addr.s_addr) {
    PortCounters::bump(_counters.foreignDropped);
    received.taken = false;
    return received;
  }
  if (_exchangeSentAt && _arrivedBefore(message, *_exchangeSentAt)) {
    PortCounters::bump(_counters.staleSkipped);
    received.taken = false;
    return received;
  }
  if (message.msg_flags & MSG_TRUNC) {
    _lastReplyCut = true;
    _lastReplyFullLength = static_cast<size_t>(received.count);
    received.count = static_cast<ssize_t>(_recvLength);
    PortCounters::bump(_counters.longReplies);
  }
  if (received.count > 0) std::memcpy(buffer, _scratch.data(), static_cast<size_t>(received.count));
  return received;
}

bool UDPPort::_arrivedBefore(msghdr& message, const timespec& moment) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec arrived;
    std::memcpy(&arrived, CMSG_DATA(c), sizeof(arrived));
    return arrived.tv_sec < moment.tv_sec || (arrived.tv_sec == moment.tv_sec && arrived.tv_nsec < moment.tv_nsec);
  }
  return false;  // no arrival stamp: take it as this exchange's reply
}

size_t UDPPort::Recv(uint8_t* buffer) { return Recv(buffer, _recvLength); }

bool UDPPort::SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) {
  // A reply that comes after its exchange timed out must not answer this frame. Datagrams
  // queued after a failed exchange are dropped outright; otherwise the arrival stamps the
  // kernel puts on every datagram tell an earlier exchange's reply (a late or a repeated one)
  // from this frame's, without an extra call on the socket in the normal case.
  if (_replyMayBeQueued) _discardQueued();
  timespec sentAt;
  clock_gettime(CLOCK_REALTIME, &sentAt);
  _exchangeSentAt = &sentAt;
  Send(sendData, sendLength);
  _lastReplyLength = Recv(recvBuffer, _recvLength);
  const bool complete = _lastReplyLength == _recvLength;
  _exchangeSentAt = nullptr;
  _replyMayBeQueued = !complete;
  return complete;
}

void UDPPort::_discardQueued() {
  uint8_t scrap;
  sockaddr_in sender{};
  socklen_t length = sizeof(sender);
  while (recvfrom(_sockfd, &scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender),
                  &length) >= 0) {
    const bool fromBoard = sender.sin_addr.s_addr == _remoteAddr.sin_addr.s_addr;
    PortCounters::bump(fromBoard ? _counters.staleSkipped : _counters.foreignDropped);
    length = sizeof(sender);
  }
}
