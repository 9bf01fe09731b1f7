// A temporary file with given contents, removed when it goes out of scope (for YAML
// configurations written by a test).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

class TempFile {
 public:
  explicit TempFile(const std::string& contents, const std::string& suffix = ".yaml") {
    std::string pattern = "/tmp/drivelink_XXXXXX" + suffix;
    const int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("cannot create a temporary file");
    path_ = pattern;
    const bool written = ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    ::close(fd);
    if (!written) throw std::runtime_error("cannot write " + path_);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
