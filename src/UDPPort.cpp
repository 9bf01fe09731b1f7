#include "UDPPort.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "log_line.h"

namespace {

sockaddr_in ipv4Address(const std::string& ip, uint32_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  addr.sin_addr.s_addr = inet_addr(ip.c_str());
  return addr;
}

}  // namespace

UDPPort::UDPPort(std::string remoteIp, uint32_t remotePort, uint32_t localPort, size_t recvLength,
                 size_t timeOutUs, BlockYN blockYN) {
  ResetIO(blockYN, recvLength, timeOutUs);
  _reuseAddr = 1;
  _remoteAddr = ipv4Address(remoteIp, remotePort);
  _localAddr = ipv4Address(kControllerAddress, localPort);
  _fromAddr = sockaddr_in{};

  _sockfd = socket(AF_INET, SOCK_DGRAM, 0);
  if (_sockfd < 0) {
    perror("[ERROR] UDPPort::UDPPort, create socket failed\n");
    exit(-1);
  }
  setsockopt(_sockfd, SOL_SOCKET, SO_REUSEADDR, &_reuseAddr, sizeof(_reuseAddr));
  const int stampArrivals = 1;
  setsockopt(_sockfd, SOL_SOCKET, SO_TIMESTAMPNS, &stampArrivals, sizeof(stampArrivals));
  if (bind(_sockfd, reinterpret_cast<sockaddr*>(&_localAddr), sizeof(_localAddr)) < 0) {
    perror("[ERROR] UDPPort::UDPPort, bind failed");
    exit(-1);
  }
  _addrLen = sizeof(sockaddr_in);
  _scratch.resize(_recvLength);
}

UDPPort::~UDPPort() {
  if (_sockfd >= 0) close(_sockfd);
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
  if (_blockYN == NO) {
    FD_ZERO(&_readSet);
    FD_SET(_sockfd, &_readSet);
    _timeout = _savedTimeout;
    for (;;) {
      // select leaves the time still to wait in _timeout, so skipping a stale reply never
      // stretches the wait beyond the configured timeout.
      const int ready = select(_sockfd + 1, &_readSet, nullptr, nullptr, &_timeout);
      if (ready == -1) {
        logLine("[WARNING] UDPPort::recv, unblock version, receive error");
        return 0;
      }
      if (ready == 0) {
        logLine("[WARNING] UDPPort::recv, unblock version, wait time out");
        return 0;
      }
      bool stale = false;
      const ssize_t count = _receiveDatagram(buffer, MSG_DONTWAIT, stale);
      const int error = errno;
      if (stale) {
        FD_ZERO(&_readSet);
        FD_SET(_sockfd, &_readSet);
        continue;
      }
      if (static_cast<size_t>(count) != _recvLength) {
        logLine("[WARNING] UDPPort::recv, unblock version, received ", static_cast<size_t>(count), " bytes, but not ",
                _recvLength, " bytes, ", std::strerror(error));
      }
      return static_cast<size_t>(count);
    }
  }
  if (_blockYN == YES) {
    bool stale = true;
    ssize_t count = 0;
    while (stale) count = _receiveDatagram(buffer, MSG_WAITALL, stale);
    const int error = errno;
    if (static_cast<size_t>(count) != _recvLength) {
      logLine("[WARNING] UDPPort::recv, block version, received ", static_cast<size_t>(count), " bytes, but not ",
              _recvLength, " bytes, ", std::strerror(error));
    }
    return static_cast<size_t>(count);
  }
  return 0;
}

// Receives one datagram and tells whether it arrived before the frame it would answer was
// sent: such a reply belongs to an earlier exchange (it came after that one timed out, or the
// board sent it twice) and must not be taken for this one.
ssize_t UDPPort::_receiveDatagram(uint8_t* buffer, int flags, bool& stale) {
  // Inside an exchange the datagram lands in scratch memory first: one that turns out stale
  // must leave the caller's buffer as it was.
  uint8_t* target = buffer;
  if (_exchangeSentAt) {
    if (_scratch.size() < _recvLength) _scratch.resize(_recvLength);  // only when the length changed
    target = _scratch.data();
  }
  iovec data{target, _recvLength};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_name = &_fromAddr;
  message.msg_namelen = sizeof(_fromAddr);
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t count = recvmsg(_sockfd, &message, flags);
  _addrLen = message.msg_namelen;
  stale = count >= 0 && _exchangeSentAt && _arrivedBefore(message, *_exchangeSentAt);
  if (target != buffer && count > 0 && !stale) std::memcpy(buffer, target, static_cast<size_t>(count));
  return count;
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
  while (recv(_sockfd, &scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC) >= 0) {
  }
}
