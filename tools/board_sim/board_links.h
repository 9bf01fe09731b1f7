// The two ways the board is reached: UDP datagrams, or a pseudo-terminal standing in for
// the USB serial device.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.h"

class UdpLink {
 public:
  /// Binds to `address`:`port`; with `otherPort`, a second socket on an ephemeral port of
  /// the same address sends the replies; with an `otherAddress`, a second socket on that
  /// address does. Throws std::runtime_error on failure.
  UdpLink(const std::string& address, uint16_t port, bool otherPort, const std::string& otherAddress = "");

  int fd() const { return socket_.get(); }
  /// Reads one datagram (up to 64 KiB) and remembers its sender; false if none was queued.
  bool receive(std::vector<uint8_t>& datagram, sockaddr_in& sender);
  void send(const std::vector<uint8_t>& bytes, size_t length, const sockaddr_in& to) const;
  uint16_t replyPort() const;
  /// The port the listening socket got (the asked one, or the system's pick for port 0).
  uint16_t boundPort() const;

 private:
  UniqueFd socket_;
  UniqueFd replySocket_;
};

class PtyLink {
 public:
  /// Opens a pseudo-terminal pair in raw mode and keeps the slave open too, so the master
  /// never sees a hang-up while the SDK closes and reopens the device.
  PtyLink();

  int fd() const { return master_.get(); }
  const std::string& slavePath() const { return slavePath_; }
  /// Appends whatever bytes are waiting; false on a read error.
  bool receive(std::vector<uint8_t>& bytes);
  void send(const std::vector<uint8_t>& bytes, size_t length) const;

 private:
  UniqueFd master_;
  UniqueFd slave_;
  std::string slavePath_;
};
