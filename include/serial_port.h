/// \file
/// The motor board over a USB serial device, in raw mode at standard and custom rates.
#pragma once

#include <cstdint>
#include <string>

#include "io_port.h"

struct termios;

/// The board over a serial device (the board's line: /dev/ttyACM0, 2000000 baud, 8N1), raw
/// mode, low latency. Like every port, used by one thread at a time.
class SerialPort : public IOPort {
 public:
  /// Opens `portName` and configures the line: `recvLength` is the reply length in bytes,
  /// `baudrate` in bit/s (a standard rate, or 4800000 or 6000000 through the driver's
  /// divisor), `timeOutUs` the wait of the non-blocking mode in µs. Throws IOException when
  /// the device cannot be opened or configured (an unknown rate: "Baudrate error"),
  /// std::invalid_argument for an out-of-range option; the device is closed again either way.
  SerialPort(const std::string& portName, size_t recvLength, uint32_t baudrate, size_t timeOutUs,
             BlockYN blockYN = NO, bytesize_t bytesize = bits8, parity_t parity = par_none,
             stopbits_t stopbits = stop_one, flowcontrol_t flowcontrol = flow_none);
  /// Closes the device.
  ~SerialPort() override;

  /// Writes `length` bytes; a short or failed write prints a perror line "[ERROR]
  /// SerialPort::sendMsg failed" and returns the count (-1 as the largest size_t).
  size_t Send(uint8_t* data, size_t length) override;
  /// Reads up to `length` bytes. Non-blocking mode: waits at most the timeout, then reads what
  /// is there, up to five times until `length` bytes arrived; a timeout returns 0, a part of
  /// the reply returns its count; both print a warning and flush the line. Blocking mode: one
  /// read (-1 as the largest size_t when it fails), then the line is flushed.
  size_t Recv(uint8_t* buffer, size_t length) override;
  /// As Recv(buffer, length) with the reply length.
  size_t Recv(uint8_t* buffer) override;
  /// Flushes both queues, writes one frame and reads one reply; true for a complete reply.
  bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) override;

  /// Reconfigures the open device without reopening it (arguments as the constructor's).
  /// Throws as the constructor does, leaving the device open. Not while another thread uses
  /// the port.
  void resetSerial(size_t recvLength, uint32_t baudrate, size_t timeOutUs, BlockYN blockYN = NO,
                   bytesize_t bytesize = bits8, parity_t parity = par_none, stopbits_t stopbits = stop_one,
                   flowcontrol_t flowcontrol = flow_none);

 private:
  void _open();
  void _set();
  void _close();
  void _applyFlowControl(termios& options);
  void _setDriverSpeed(bool customRate);
  void _flushBothQueues();
  size_t _nonBlockRecv(uint8_t* buffer, size_t length);
  size_t _receivedPart(uint8_t* buffer, size_t length);
  size_t _blockingRecv(uint8_t* buffer, size_t length);

  std::string _portName;
  uint32_t _baudrate = 0;
  bytesize_t _bytesize = bits8;
  parity_t _parity = par_none;
  stopbits_t _stopbits = stop_one;
  flowcontrol_t _flowcontrol = flow_none;
  bool _xonxoff = false;
  bool _rtscts = false;
  int _fd = -1;
};
