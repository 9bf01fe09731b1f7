// Loading the robot's YAML configuration file; shared by the motor bus and the robot layer.
#pragma once

#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace config_file {

/// YAML::LoadFile, except that a directory is refused up front with the loader's own
/// bad-file error: the loader would fail on it too, but lose its read buffer doing so.
inline YAML::Node load(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) throw YAML::BadFile(path);
  return YAML::LoadFile(path);
}

}  // namespace config_file
