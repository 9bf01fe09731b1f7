// Robot configurations for tests: the shipped files with a top-level key changed, and the
// board's view of recorded command frames.
#pragma once

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_sim.h"
#include "device_records.h"
#include "wire_frames.h"

/// Text of configs/<name>.
inline std::string shippedConfigText(const std::string& name) {
  std::ifstream file(configPath(name));
  if (!file) throw std::runtime_error("cannot read " + configPath(name));
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

/// `text` with the line of top-level `key` replaced by "key: value" (value as YAML source).
inline std::string withTopLevelKey(const std::string& text, const std::string& key, const std::string& value) {
  std::istringstream lines(text);
  std::string line, result;
  bool replaced = false;
  while (std::getline(lines, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      line = key + ": " + value;
      replaced = true;
    }
    result += line + "\n";
  }
  if (!replaced) throw std::runtime_error("no top-level key " + key);
  return result;
}

/// Record i of a recorded command frame, as it travelled (motor side).
inline MotorCmd wireRecord(const std::vector<uint8_t>& frame, size_t i) {
  if ((i + 1) * sizeof(MotorCmd) > frame.size()) throw std::out_of_range("frame too short");
  MotorCmd record;
  std::memcpy(&record, frame.data() + i * sizeof(MotorCmd), sizeof(record));
  return record;
}
