/// \file
/// The port interface through which the motor bus reaches the board, the serial line
/// options, and the exception a port throws when its device cannot be opened or configured.
///
/// Threads: a port takes no lock. One thread at a time may use it (the thread that owns the
/// link); only its counters() may be read from any thread. Transfer operations never throw:
/// they print a warning line and report through their result.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

/// How a receive waits for data. A port holding any other value receives nothing: every
/// receive returns 0 without touching the device.
enum BlockYN : int32_t {
  YES = 0,  ///< Blocking: wait without a time limit.
  NO = 1,   ///< Wait at most the port's timeout.
};

/// Data bits per character of a serial line.
enum bytesize_t : int32_t {
  bits5 = 0,  ///< 5 data bits.
  bits6 = 1,  ///< 6 data bits.
  bits7 = 2,  ///< 7 data bits.
  bits8 = 3   ///< 8 data bits (the board's line).
};
/// Parity of a serial line.
enum parity_t : int32_t {
  par_none = 0,  ///< No parity (the board's line).
  par_odd = 1,   ///< Odd parity.
  par_even = 2,  ///< Even parity.
  par_mark = 3,  ///< Mark parity.
  par_space = 4  ///< Space parity.
};
/// Stop bits of a serial line.
enum stopbits_t : int32_t {
  stop_one = 0,     ///< One stop bit (the board's line).
  stop_two = 1,     ///< Two stop bits.
  stop_two_alt = 2  ///< Handled exactly like stop_two.
};
/// Flow control of a serial line.
enum flowcontrol_t : int32_t {
  flow_none = 0,      ///< None (the board's line).
  flow_software = 1,  ///< XON/XOFF.
  flow_hardware = 2   ///< RTS/CTS.
};

/// Raised while a port opens or configures its device (never by a transfer). Nothing in the
/// SDK catches it: it reaches the caller of SerialPort, MotorSDK::init or RobotSDK.
class IOException : public std::exception {
 public:
  /// "IO Exception (errnum): <strerror>, file <file>, line <line>."
  IOException(std::string file, int line, int errnum);
  /// "IO Exception: <description>, file <file>, line <line>."; the error number is 0.
  IOException(std::string file, int line, const char* description);
  ~IOException() override = default;

  /// The whole message, composed once; valid as long as the exception lives.
  const char* what() const noexcept override { return _what.c_str(); }
  /// The system error number (errno); 0 for the description form.
  int getErrorNumber() const { return _errno; }
  /// The source module that raised it (the serial port passes "serial_port").
  const std::string& getFile() const { return _file; }
  /// The source line that raised it.
  int getLine() const { return _line; }

 private:
  std::string _file;
  int _line;
  std::string _what;
  int _errno;
};

/// A link that cannot be opened: the socket cannot be made or bound. Raised by the UDP port's
/// constructor; the motor bus passes it on, and the robot layer turns it into its process
/// exit unless asked to pass it on too. The message is the port's error line followed by
/// what to do about it.
class LinkOpenError : public std::runtime_error {
 public:
  /// `message` as what() returns it; `errnum` the system error number (errno).
  LinkOpenError(const std::string& message, int errnum) : std::runtime_error(message), errno_(errnum) {}
  /// The system error number of the failed call.
  int errorNumber() const { return errno_; }

 private:
  int errno_;
};

/// What a port passed over while waiting for replies. Written only by the thread that runs
/// the exchanges; any thread may read them at any time (relaxed atomics, never a lock).
struct PortCounters {
  std::atomic<uint64_t> staleSkipped{0};    ///< Replies to earlier frames (late or repeated), passed over.
  std::atomic<uint64_t> foreignDropped{0};  ///< Datagrams from an address other than the board's, dropped.
  std::atomic<uint64_t> longReplies{0};     ///< Replies longer than the reply length, cut to it.

  /// Adds one; only the exchanging thread writes, so no read-modify-write is needed.
  static void bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
};

/// A link to the motor board: every receive expects one complete reply of `_recvLength` bytes.
/// Counts are returned as the unsigned form of the system call's result, so a failed call
/// (-1) comes back as the largest size_t. One thread at a time (see the file's notes).
class IOPort {
 public:
  IOPort() = default;
  IOPort(const IOPort&) = delete;
  IOPort& operator=(const IOPort&) = delete;
  /// Closes the device or socket (the derived port does).
  virtual ~IOPort() = default;

  /// Writes `length` bytes; returns the count the system reported (-1 as the largest size_t,
  /// with a printed line). Never throws.
  virtual size_t Send(uint8_t* data, size_t length) = 0;
  /// Receives into `buffer` (room for `length` bytes, and for a whole reply on UDP); returns
  /// the count received: 0 after a timeout or a failed wait, -1 as the largest size_t after a
  /// failed read. A timeout or an incomplete reply prints a warning line, as each port says.
  /// Never throws.
  virtual size_t Recv(uint8_t* buffer, size_t length) = 0;
  /// Receives one reply of `_recvLength` bytes, as Recv(buffer, _recvLength).
  virtual size_t Recv(uint8_t* buffer) = 0;
  /// Sends one command frame of `sendLength` bytes, then receives one reply of `_recvLength`
  /// bytes into `recvBuffer`. True for a complete reply; false (with a printed warning) for
  /// none, a short one or a failed send. Never throws.
  virtual bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) = 0;

  /// Sets the receive mode, the reply length in bytes and the timeout of the non-blocking mode
  /// in µs (stored as seconds and microseconds). Not while another thread uses the port.
  void ResetIO(BlockYN blockYN, size_t recvLength, size_t timeOutUs);

  /// Bytes of the reply that the last SendRecv received (-1 as the largest size_t after a
  /// failed read). The exchanging thread.
  size_t lastReplyLength() const { return _lastReplyLength; }
  /// Whether the last reply received was longer than the reply length (and cut to it).
  bool lastReplyWasCut() const { return _lastReplyCut; }
  /// Bytes the last reply had as it arrived: lastReplyLength(), or more when it was cut to the
  /// reply length. The exchanging thread.
  size_t lastReplyFullLength() const { return _lastReplyCut ? _lastReplyFullLength : _lastReplyLength; }
  /// Running totals of what the port passed over; readable from any thread.
  const PortCounters& counters() const { return _counters; }

  /// The receive mode.
  BlockYN blockMode() const { return _blockYN; }
  /// Bytes one receive expects: one whole reply.
  size_t recvLength() const { return _recvLength; }
  /// The timeout of the non-blocking mode's next wait. The serial port waits this long
  /// (resetSerial changes it); the UDP port refreshes it from savedTimeout() before every
  /// receive and shortens it while passing over datagrams.
  timeval timeout() const { return _timeout; }
  /// The timeout ResetIO set (resetSerial leaves it); what the UDP port waits per receive.
  timeval savedTimeout() const { return _savedTimeout; }

 protected:
  BlockYN _blockYN = NO;          ///< Receive mode.
  size_t _recvLength = 0;         ///< Bytes of one whole reply. Unit: [byte].
  timeval _timeout{};             ///< Timeout of the next wait (see timeout()).
  timeval _savedTimeout{};        ///< The timeout ResetIO set (see savedTimeout()).
  size_t _lastReplyLength = 0;    ///< Bytes the last SendRecv received.
  bool _lastReplyCut = false;     ///< The last reply was longer than `_recvLength` and cut.
  size_t _lastReplyFullLength = 0;  ///< Bytes of the last cut reply before it was cut.
  PortCounters _counters;         ///< What the port passed over.
};
