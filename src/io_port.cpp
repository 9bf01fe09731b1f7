#include "io_port.h"

#include <cstring>
#include <sstream>

IOException::IOException(std::string file, int line, int errnum)
    : _file(std::move(file)), _line(line), _errno(errnum) {
  std::ostringstream text;
  text << "IO Exception (" << _errno << "): " << std::strerror(_errno) << ", file " << _file << ", line "
       << _line << ".";
  _what = text.str();
}

IOException::IOException(std::string file, int line, const char* description)
    : _file(std::move(file)), _line(line), _errno(0) {
  std::ostringstream text;
  text << "IO Exception: " << description << ", file " << _file << ", line " << _line << ".";
  _what = text.str();
}

void IOPort::ResetIO(BlockYN blockYN, size_t recvLength, size_t timeOutUs) {
  _blockYN = blockYN;
  _recvLength = recvLength;
  _timeout.tv_sec = static_cast<time_t>(timeOutUs / 1000000);
  _timeout.tv_usec = static_cast<suseconds_t>(timeOutUs % 1000000);
  _savedTimeout = _timeout;
}
