// The port interface through which the motor bus reaches the board, the serial line
// options, and the exception a port throws when its device cannot be opened or configured.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

/// How a receive waits for data.
enum BlockYN : int32_t {
  YES = 0,  // blocking: wait without a time limit
  NO = 1,   // wait at most the port's timeout
};

enum bytesize_t : int32_t { bits5 = 0, bits6 = 1, bits7 = 2, bits8 = 3 };
enum parity_t : int32_t { par_none = 0, par_odd = 1, par_even = 2, par_mark = 3, par_space = 4 };
enum stopbits_t : int32_t { stop_one = 0, stop_two = 1, stop_two_alt = 2 };
enum flowcontrol_t : int32_t { flow_none = 0, flow_software = 1, flow_hardware = 2 };

/// Raised while a port opens or configures its device.
class IOException : public std::exception {
 public:
  /// "IO Exception (errnum): <strerror>, file <file>, line <line>."
  IOException(std::string file, int line, int errnum);
  /// "IO Exception: <description>, file <file>, line <line>."
  IOException(std::string file, int line, const char* description);
  ~IOException() override = default;

  const char* what() const noexcept override { return _what.c_str(); }
  int getErrorNumber() const { return _errno; }
  const std::string& getFile() const { return _file; }
  int getLine() const { return _line; }

 private:
  std::string _file;
  int _line;
  std::string _what;
  int _errno;
};

/// What a port passed over while waiting for replies. Written only by the thread that runs
/// the exchanges; any thread may read them at any time (relaxed atomics, never a lock).
struct PortCounters {
  std::atomic<uint64_t> staleSkipped{0};    // replies to earlier frames (late or repeated)
  std::atomic<uint64_t> foreignDropped{0};  // datagrams from an address other than the board's
  std::atomic<uint64_t> longReplies{0};     // replies longer than the reply length, cut to it

  /// Adds one; only the exchanging thread writes, so no read-modify-write is needed.
  static void bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
};

/// A link to the motor board: every receive expects one complete reply of `_recvLength` bytes.
class IOPort {
 public:
  IOPort() = default;
  IOPort(const IOPort&) = delete;
  IOPort& operator=(const IOPort&) = delete;
  virtual ~IOPort() = default;

  /// Writes `length` bytes; returns the count the system reported (-1 as the largest size_t).
  virtual size_t Send(uint8_t* data, size_t length) = 0;
  /// Receives into `buffer`; returns the count received.
  virtual size_t Recv(uint8_t* buffer, size_t length) = 0;
  /// Receives one reply of `_recvLength` bytes.
  virtual size_t Recv(uint8_t* buffer) = 0;
  /// Sends one command frame, then receives one reply of `_recvLength` bytes.
  virtual bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) = 0;

  /// Sets the receive mode, reply length and timeout (split into seconds and microseconds).
  void ResetIO(BlockYN blockYN, size_t recvLength, size_t timeOutUs);

  /// Bytes of the reply that the last SendRecv received.
  size_t lastReplyLength() const { return _lastReplyLength; }
  /// Whether the last reply received was longer than the reply length (and cut to it).
  bool lastReplyWasCut() const { return _lastReplyCut; }
  /// Running totals of what the port passed over; readable from any thread.
  const PortCounters& counters() const { return _counters; }

  BlockYN blockMode() const { return _blockYN; }
  size_t recvLength() const { return _recvLength; }
  timeval timeout() const { return _timeout; }
  timeval savedTimeout() const { return _savedTimeout; }

 protected:
  BlockYN _blockYN = NO;
  size_t _recvLength = 0;
  timeval _timeout{};
  timeval _savedTimeout{};  // the configured timeout; a wait call may change `_timeout`
  size_t _lastReplyLength = 0;
  bool _lastReplyCut = false;
  PortCounters _counters;
};
