// One line of the SDK's console output, written in one piece: the link, watchdog and control
// threads share standard output, and a line built from several pieces could otherwise have
// another thread's line land in its middle.
#pragma once

#include <iostream>
#include <sstream>

template <typename... Parts>
void logLine(const Parts&... parts) {
  std::ostringstream line;
  (line << ... << parts);
  line << '\n';
  std::cout << line.str() << std::flush;
}
