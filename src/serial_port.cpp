#include "serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "log_line.h"

namespace {

constexpr const char* kModule = "serial_port";
constexpr size_t kReceiveAttempts = 5;

struct SpeedChoice {
  speed_t code;
  bool custom;  // the driver's custom divisor sets the real rate behind B38400
};

struct RateEntry {
  uint32_t rate;
  speed_t code;
};

constexpr RateEntry kStandardRates[] = {
    {0, B0},           {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

// Rates the board supports beyond the platform's table; the driver reaches them by divisor.
constexpr uint32_t kCustomRates[] = {4800000, 6000000};

/// The speed code for `rate`; false when the rate is neither standard nor custom.
bool speedFor(uint32_t rate, SpeedChoice& choice) {
  for (const RateEntry& entry : kStandardRates) {
    if (entry.rate == rate) {
      choice = {entry.code, false};
      return true;
    }
  }
  for (uint32_t custom : kCustomRates) {
    if (custom == rate) {
      choice = {B38400, true};
      return true;
    }
  }
  return false;
}

void setFlag(tcflag_t& flags, tcflag_t bits, bool on) {
  if (on)
    flags |= bits;
  else
    flags &= ~bits;
}

void applyCharacterSize(termios& options, bytesize_t bytesize) {
  options.c_cflag &= ~CSIZE;
  switch (bytesize) {
    case bits5: options.c_cflag |= CS5; break;
    case bits6: options.c_cflag |= CS6; break;
    case bits7: options.c_cflag |= CS7; break;
    case bits8: options.c_cflag |= CS8; break;
    default: throw std::invalid_argument("invalid char len");
  }
}

void applyStopBits(termios& options, stopbits_t stopbits) {
  switch (stopbits) {
    case stop_one: options.c_cflag &= ~CSTOPB; break;
    case stop_two:
    case stop_two_alt: options.c_cflag |= CSTOPB; break;
    default: throw std::invalid_argument("invalid stop bit");
  }
}

void applyParity(termios& options, parity_t parity) {
  options.c_iflag &= ~(INPCK | ISTRIP);
  switch (parity) {
    case par_none: options.c_cflag &= ~(PARENB | PARODD); break;
    case par_odd: options.c_cflag |= (PARENB | PARODD); break;
    case par_even:
      options.c_cflag |= PARENB;
      options.c_cflag &= ~PARODD;
      break;
    case par_mark: options.c_cflag |= (PARENB | PARODD | CMSPAR); break;
    case par_space:
      options.c_cflag |= (PARENB | CMSPAR);
      options.c_cflag &= ~PARODD;
      break;
    default: throw std::invalid_argument("invalid parity");
  }
}

/// A count from read/write as the port reports it: -1 becomes the largest size_t.
size_t asCount(ssize_t result) { return static_cast<size_t>(result); }

}  // namespace

SerialPort::SerialPort(const std::string& portName, size_t recvLength, uint32_t baudrate, size_t timeOutUs,
                       BlockYN blockYN, bytesize_t bytesize, parity_t parity, stopbits_t stopbits,
                       flowcontrol_t flowcontrol)
    : _portName(portName),
      _baudrate(baudrate),
      _bytesize(bytesize),
      _parity(parity),
      _stopbits(stopbits),
      _flowcontrol(flowcontrol) {
  ResetIO(blockYN, recvLength, timeOutUs);
  _open();
  try {
    _set();
  } catch (...) {
    // No destructor runs for a half-built port, so the device would stay open for good.
    _close();
    throw;
  }
}

SerialPort::~SerialPort() { _close(); }

void SerialPort::_open() {
  for (;;) {
    logLine("*********open serial************");
    _fd = open(_portName.c_str(), O_RDWR | O_NOCTTY);
    if (_fd != -1) return;
    if (errno == EINTR) continue;
    if (errno == ENFILE || errno == EMFILE) throw IOException(kModule, __LINE__, "Too many file handles open.");
    throw IOException(kModule, __LINE__, errno);
  }
}

void SerialPort::_close() {
  if (_fd == -1) return;
  close(_fd);
  _fd = -1;
}

void SerialPort::_set() {
  logLine("*********set serial************");

  termios current{};
  if (tcgetattr(_fd, &current) == -1) throw IOException(kModule, __LINE__, "::tcgetattr");

  // Raw line: no echo, no canonical mode, no signals, no output processing.
  termios options{};
  options.c_iflag = IGNPAR;
  options.c_cflag = CREAD | CLOCAL;

  SpeedChoice speed{};
  if (!speedFor(_baudrate, speed)) throw IOException(kModule, __LINE__, "Baudrate error");
  cfsetispeed(&options, speed.code);
  cfsetospeed(&options, speed.code);

  applyCharacterSize(options, _bytesize);
  applyStopBits(options, _stopbits);
  applyParity(options, _parity);
  _applyFlowControl(options);

  // A blocking read waits for one whole reply; a non-blocking one takes what is there.
  options.c_cc[VTIME] = 0;
  options.c_cc[VMIN] = _blockYN == YES ? static_cast<cc_t>(_recvLength % 256) : 0;
  tcsetattr(_fd, TCSANOW, &options);

  _setDriverSpeed(speed.custom);

  logLine("[baud] current input baud: ", cfgetispeed(&options), "output baud: ", cfgetospeed(&options));
  tcflush(_fd, TCIOFLUSH);
}

void SerialPort::_applyFlowControl(termios& options) {
  switch (_flowcontrol) {
    case flow_none:
      _xonxoff = false;
      _rtscts = false;
      break;
    case flow_software:
      _xonxoff = true;
      _rtscts = false;
      break;
    case flow_hardware:
      _xonxoff = false;
      _rtscts = true;
      break;
    default: break;  // an unknown choice keeps the flags in effect
  }
  options.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (_xonxoff) options.c_iflag |= (IXON | IXOFF);
  setFlag(options.c_cflag, CRTSCTS, _rtscts);
}

void SerialPort::_setDriverSpeed(bool customRate) {
  serial_struct serial{};
  if (ioctl(_fd, TIOCGSERIAL, &serial) == -1) throw IOException(kModule, __LINE__, errno);
  logFormat("[sc_setting] custom_divisor=%d, baud_base=%d\n", serial.custom_divisor, serial.baud_base);

  // The USB adapter otherwise holds received bytes back for its own latency timer.
  serial.flags |= ASYNC_LOW_LATENCY;
  logFormat("[baud] want to set baud to %d\n", static_cast<int>(_baudrate));
  if (customRate) {
    serial.flags &= ~ASYNC_SPD_MASK;
    serial.flags |= ASYNC_SPD_CUST;
    serial.custom_divisor = static_cast<int>(static_cast<unsigned>(serial.baud_base) / _baudrate);
    logFormat("[baud] sc.custom_divisor = %d \r\n", serial.custom_divisor);
  }
  if (ioctl(_fd, TIOCSSERIAL, &serial) == -1) throw IOException(kModule, __LINE__, errno);
}

void SerialPort::_flushBothQueues() { tcflush(_fd, TCIOFLUSH); }

size_t SerialPort::Send(uint8_t* data, size_t length) {
  const size_t count = asCount(write(_fd, data, length));
  if (count != length) perror("[ERROR] SerialPort::sendMsg failed");
  return count;
}

size_t SerialPort::_nonBlockRecv(uint8_t* buffer, size_t length) {
  // poll serves any descriptor number (select corrupts memory from 1024 on); the configured
  // timeout stays put.
  pollfd readable{_fd, POLLIN, 0};
  const timespec wait{_timeout.tv_sec, static_cast<long>(_timeout.tv_usec) * 1000};
  const int ready = ppoll(&readable, 1, &wait, nullptr);
  if (ready == -1) {
    logLine("[WARNING] SerialPort::recv error code 1, unblock version, receive error");
    _flushBothQueues();
    return 0;
  }
  if (ready == 0) {
    logLine("[WARNING] SerialPort::recv error code 2, unblock version, wait time out");
    _flushBothQueues();
    return 0;
  }
  return asCount(read(_fd, buffer, length));
}

size_t SerialPort::_receivedPart(uint8_t* buffer, size_t length) {
  const size_t count = _nonBlockRecv(buffer, length);
  // A failed read brought nothing; taken as a count it would wreck the running total.
  return count == static_cast<size_t>(-1) ? 0 : count;
}

size_t SerialPort::Recv(uint8_t* buffer, size_t length) {
  if (_blockYN == YES) return _blockingRecv(buffer, length);
  if (_blockYN != NO) return 0;

  size_t total = _receivedPart(buffer, length);
  if (total == length || total == 0) return total;
  for (size_t attempt = 2; attempt <= kReceiveAttempts; ++attempt) {
    total += _receivedPart(buffer + total, length - total);
    if (total == length) return total;
  }
  logLine("[WARNING] SerialPort::recv error code 3, unblock version, received ", total, " bytes, but not ", length,
          " bytes.");
  _flushBothQueues();
  return total;
}

size_t SerialPort::_blockingRecv(uint8_t* buffer, size_t length) {
  logLine("[STATE] SerialPort start block receiving");
  const size_t count = asCount(read(_fd, buffer, length));
  _flushBothQueues();
  return count;
}

size_t SerialPort::Recv(uint8_t* buffer) { return Recv(buffer, _recvLength); }

bool SerialPort::SendRecv(uint8_t* sendData, uint8_t* recvBuffer, size_t sendLength) {
  _flushBothQueues();  // a late reply to an earlier frame must not pass for this one's
  _lastReplyLength = 0;
  if (Send(sendData, sendLength) != sendLength) {
    logLine("[WARNING] SerialPort::sendRecv. send error!");
    return false;
  }
  _lastReplyLength = Recv(recvBuffer);
  return _lastReplyLength == _recvLength;
}

void SerialPort::resetSerial(size_t recvLength, uint32_t baudrate, size_t timeOutUs, BlockYN blockYN,
                             bytesize_t bytesize, parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol) {
  const bool lineChanged = recvLength != _recvLength || baudrate != _baudrate || bytesize != _bytesize ||
                           parity != _parity || stopbits != _stopbits || flowcontrol != _flowcontrol;
  if (lineChanged) {
    logLine("[STATE] Reset serial");
    _recvLength = recvLength;
    _baudrate = baudrate;
    _bytesize = bytesize;
    _parity = parity;
    _stopbits = stopbits;
    _flowcontrol = flowcontrol;
  }
  _blockYN = blockYN;
  _timeout.tv_sec = static_cast<time_t>(timeOutUs / 1000000);
  _timeout.tv_usec = static_cast<suseconds_t>(timeOutUs % 1000000);
  _set();
}
