// The motor board over a USB serial device, in raw mode at standard and custom rates.
#pragma once

#include <cstdint>
#include <string>

#include "io_port.h"

struct termios;

class SerialPort : public IOPort {
 public:
  /// Opens `portName` and configures the line. Throws IOException when the device cannot
  /// be opened or configured, std::invalid_argument for bad line options.
  SerialPort(const std::string& portName, size_t recvLength, uint32_t baudrate, size_t timeOutUs,
             BlockYN blockYN = NO, bytesize_t bytesize = bits8, parity_t parity = par_none,
             stopbits_t stopbits = stop_one, flowcontrol_t flowcontrol = flow_none);
  ~SerialPort() override;

  size_t Send(uint8_t* data, size_t length) override;
  size_t Recv(uint8_t* buffer, size_t length) override;
  size_t Recv(uint8_t* buffer) override;
  /// Flushes both queues, writes one frame and reads one reply; true for a complete reply.
  bool SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) override;

  /// Reconfigures the open device without reopening it.
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
