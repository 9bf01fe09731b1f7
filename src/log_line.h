// One line of the SDK's console output, written in one piece: the link, watchdog and control
// threads share standard output, and a line built from several pieces could otherwise have
// another thread's line land in its middle. The line is put together on the stack, so
// reporting a failed exchange allocates nothing either.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "log_sink.h"

/// The one writer of the SDK's console: `length` bytes ending in a line end (or a piece of an
/// overlong line). Standard output by default; with a sink installed, a bounded queue that the
/// drain thread empties. Never allocates; never waits for the sink.
void writeLogText(const char* text, size_t length);

class LogLine {
 public:
  void put(const char* text) { _append(text, std::strlen(text)); }
  void put(const std::string& text) { _append(text.data(), text.size()); }
  void put(double value) {  // as a stream prints it by default: six significant digits
    char text[32];
    const int length = std::snprintf(text, sizeof(text), "%g", value);
    _append(text, static_cast<size_t>(length));
  }
  template <typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
  void put(Int value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof(text), value).ptr;
    _append(text, static_cast<size_t>(end - text));
  }

  /// Ends the line and writes it with one call.
  void write() {
    _append("\n", 1);
    _flush();
  }

 private:
  void _append(const char* text, size_t length) {
    while (length > 0) {
      if (size_ == sizeof(data_)) _flush();  // only a line longer than the buffer is split
      const size_t part = std::min(length, sizeof(data_) - size_);
      std::memcpy(data_ + size_, text, part);
      size_ += part;
      text += part;
      length -= part;
    }
  }
  void _flush() {
    writeLogText(data_, size_);
    size_ = 0;
  }

  char data_[1024];
  size_t size_ = 0;
};

template <typename... Parts>
void logLine(const Parts&... parts) {
  LogLine line;
  (line.put(parts), ...);
  line.write();
}

/// Text already laid out by a stream (matrices), one or more whole lines.
inline void logText(const std::string& text) { writeLogText(text.data(), text.size()); }

/// A line in printf's terms; the format carries its own line end, as printf lines do.
__attribute__((format(printf, 1, 2))) inline void logFormat(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (length < 0) return;
  writeLogText(text, std::min(static_cast<size_t>(length), sizeof(text) - 1));
}
