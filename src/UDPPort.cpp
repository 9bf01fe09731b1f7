#include "UDPPort.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

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
  if (bind(_sockfd, reinterpret_cast<sockaddr*>(&_localAddr), sizeof(_localAddr)) < 0) {
    perror("[ERROR] UDPPort::UDPPort, bind failed");
    exit(-1);
  }
  _addrLen = sizeof(sockaddr_in);
}

UDPPort::~UDPPort() {
  if (_sockfd >= 0) close(_sockfd);
}

size_t UDPPort::Send(uint8_t* data, size_t length) {
  _sentLength = sendto(_sockfd, data, length, 0, reinterpret_cast<sockaddr*>(&_remoteAddr), _addrLen);
  if (_sentLength == static_cast<int64_t>(length)) return length;
  std::cout << "[WARNING] UDPPort::send, sent " << static_cast<size_t>(_sentLength) << " bytes, but not "
            << length << " bytes, " << std::strerror(errno) << std::endl;
  return static_cast<size_t>(_sentLength);
}

size_t UDPPort::Recv(uint8_t* buffer, size_t /*length*/) {
  // One receive takes one whole reply datagram, cut to the reply length.
  if (_blockYN == NO) {
    FD_ZERO(&_readSet);
    FD_SET(_sockfd, &_readSet);
    _timeout = _savedTimeout;
    const int ready = select(_sockfd + 1, &_readSet, nullptr, nullptr, &_timeout);
    if (ready == -1) {
      std::cout << "[WARNING] UDPPort::recv, unblock version, receive error" << std::endl;
      return 0;
    }
    if (ready == 0) {
      std::cout << "[WARNING] UDPPort::recv, unblock version, wait time out" << std::endl;
      return 0;
    }
    _addrLen = sizeof(sockaddr_in);
    const ssize_t count = recvfrom(_sockfd, buffer, _recvLength, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&_fromAddr), &_addrLen);
    if (static_cast<size_t>(count) != _recvLength) {
      std::cout << "[WARNING] UDPPort::recv, unblock version, received " << static_cast<size_t>(count)
                << " bytes, but not " << _recvLength << " bytes, " << std::strerror(errno) << std::endl;
    }
    return static_cast<size_t>(count);
  }
  if (_blockYN == YES) {
    _addrLen = sizeof(sockaddr_in);
    const ssize_t count = recvfrom(_sockfd, buffer, _recvLength, MSG_WAITALL,
                                   reinterpret_cast<sockaddr*>(&_fromAddr), &_addrLen);
    if (static_cast<size_t>(count) != _recvLength) {
      std::cout << "[WARNING] UDPPort::recv, block version, received " << static_cast<size_t>(count)
                << " bytes, but not " << _recvLength << " bytes, " << std::strerror(errno) << std::endl;
    }
    return static_cast<size_t>(count);
  }
  return 0;
}

size_t UDPPort::Recv(uint8_t* buffer) { return Recv(buffer, _recvLength); }

bool UDPPort::SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) {
  // A reply that came after an earlier receive timed out would otherwise be taken as the
  // answer to this frame, and every later state would lag one exchange behind.
  _discardStaleReplies();
  Send(sendData, sendLength);
  return Recv(recvBuffer, _recvLength) == _recvLength;
}

size_t UDPPort::_discardStaleReplies() {
  size_t dropped = 0;
  uint8_t scrap;
  while (recv(_sockfd, &scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC) >= 0) ++dropped;
  return dropped;
}
