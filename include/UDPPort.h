/// \file
/// The motor board over Ethernet: one UDP datagram per command frame and per reply,
/// from the controller's fixed address on the robot's private network.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <ctime>

#include <string>
#include <vector>

#include "io_port.h"

/// The controller's address on the robot network; the socket binds to it.
constexpr const char* kControllerAddress = "192.168.1.10";

/// The board over UDP: one datagram per command frame, one per reply. Only datagrams from the
/// board's address are taken; a reply is cut to the reply length. Like every port, used by
/// one thread at a time; counters() from any thread.
class UDPPort : public IOPort {
 public:
  /// Opens a datagram socket bound to 192.168.1.10:`localPort` that sends to
  /// `remoteIp`:`remotePort`; `recvLength` is the reply length in bytes, `timeOutUs` the wait
  /// of the non-blocking mode in µs. A socket or bind failure throws LinkOpenError, its message
  /// the error line ("[ERROR] UDPPort::UDPPort, bind failed: ...") and, for an address the
  /// machine lacks, where to run without the robot; the socket is closed again.
  UDPPort(std::string remoteIp, uint32_t remotePort, uint32_t localPort, size_t recvLength,
          size_t timeOutUs, BlockYN blockYN);
  /// As the constructor above, but bound to `localIp`:`localPort` (port 0: any free one), so
  /// a board on another network, loopback included, can be reached. `localIp` must be a
  /// dotted IPv4 address.
  UDPPort(std::string remoteIp, uint32_t remotePort, const std::string& localIp, uint32_t localPort,
          size_t recvLength, size_t timeOutUs, BlockYN blockYN);
  /// Closes the socket.
  ~UDPPort() override;

  /// Sends one datagram of `length` bytes to the board. A short or failed send prints
  /// "[WARNING] UDPPort::send, ..." and returns the count (-1 as the largest size_t).
  size_t Send(uint8_t* data, size_t length) override;
  /// Takes one datagram from the board, cut to the reply length (`length` is not read), into
  /// `buffer`, which needs room for a whole reply. In the non-blocking mode waits at most the
  /// timeout in all, datagrams passed over included; a timeout or failed wait prints a
  /// warning and returns 0, a reply of another length prints one and returns its length.
  size_t Recv(uint8_t* buffer, size_t length) override;
  /// As Recv(buffer, length).
  size_t Recv(uint8_t* buffer) override;
  /// Sends one frame and waits for its reply, passing over replies that arrived before the
  /// frame was sent (late or repeated answers to earlier frames) and datagrams from any address
  /// but the board's (another source port is accepted). True for a complete reply.
  bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) override;

  /// The sender of the last datagram received (also of one that was passed over).
  const sockaddr_in& lastSender() const { return _fromAddr; }

 private:
  struct Received {
    ssize_t count = -1;
    bool taken = true;  // false: passed over (stale or foreign), the caller's buffer untouched
  };

  [[noreturn]] void _fail(const char* line, int error);
  size_t _timedRecv(uint8_t* buffer);
  size_t _blockingRecv(uint8_t* buffer);
  Received _receiveDatagram(uint8_t* buffer, int flags);
  static bool _arrivedBefore(msghdr& message, const timespec& moment);
  void _discardQueued();

  sockaddr_in _localAddr{};
  sockaddr_in _remoteAddr{};
  sockaddr_in _fromAddr{};
  socklen_t _addrLen = sizeof(sockaddr_in);
  int _sockfd = -1;
  int _reuseAddr = 1;
  int64_t _sentLength = 0;
  const timespec* _exchangeSentAt = nullptr;  // set while SendRecv waits for its reply
  bool _replyMayBeQueued = false;              // the last exchange ended without its reply
  std::vector<uint8_t> _scratch;               // where every datagram lands first
};
