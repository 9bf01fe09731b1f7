// Captures what the SDK writes to standard output (printf and std::cout alike).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <string>

class StdoutCapture {
 public:
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!done_) finish();
  }
  /// Stops capturing and returns everything written since construction.
  std::string finish() {
    std::cout.flush();
    std::fflush(stdout);
    done_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool done_ = false;
};

/// Number of non-overlapping occurrences of `needle` in `haystack`.
inline size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size()))
    ++count;
  return count;
}
