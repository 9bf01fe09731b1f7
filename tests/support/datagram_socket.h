// A bare datagram socket for tests that play one end of the link themselves: it sees whole
// datagrams, so short, long and repeated ones can be told apart.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

class DatagramSocket {
 public:
  using Bytes = std::vector<uint8_t>;

  /// Bound to `address`:`port` (port 0: any free port).
  DatagramSocket(const char* address, uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in local = addressOf(address, port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) < 0) {
      if (fd_ >= 0) close(fd_);
      throw std::runtime_error("cannot bind a test socket");
    }
  }
  ~DatagramSocket() { close(fd_); }
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  static sockaddr_in addressOf(const char* address, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(address);
    return addr;
  }

  void sendTo(const sockaddr_in& to, const Bytes& bytes) const {
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  }

  /// The next datagram, whole, or nothing within `timeoutMs`.
  std::optional<Bytes> receive(int timeoutMs, sockaddr_in* from = nullptr) const {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes datagram(65536);
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    const ssize_t count =
        recvfrom(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (count < 0) return std::nullopt;
    datagram.resize(static_cast<size_t>(count));
    if (from) *from = sender;
    return datagram;
  }

 private:
  int fd_;
};
