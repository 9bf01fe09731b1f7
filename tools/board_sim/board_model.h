// The simulated motor board: the robot's configuration, the plant its motors drive, and the
// reply frame it builds for each command frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device_records.h"
#include "plant.h"
#include "robot_config.h"
#include "wire_frames.h"

/// The robot configuration as the SDK reads it; the board uses the counts (motors, imus,
/// batteries), the per-motor tables and layout().
using BoardConfig = RobotConfig;

/// Reads the same YAML file as the SDK, with the same checks, but only the keys that shape
/// the frames and joints (no robot_type, dual_encoder, abs_id or IMU sections needed).
/// Throws yaml-cpp's exceptions or ConfigError.
BoardConfig loadBoardConfig(const std::string& path);

/// Injected error statuses, by record index.
struct ErrorStatuses {
  std::map<size_t, uint8_t> motors;
  std::map<size_t, uint8_t> imus;
  std::map<size_t, uint8_t> batteries;
};

class BoardModel {
 public:
  BoardModel(BoardConfig config, ErrorStatuses errors, std::unique_ptr<Plant> plant);

  const BoardConfig& config() const { return config_; }
  size_t commandLength() const { return config_.layout().commandLength(); }
  size_t replyLength() const { return config_.layout().replyLength(); }

  /// Hands the frame's commands (motor side on the link) to the plant, `dt` seconds after
  /// the previous frame, and returns the reply built from the plant's latest state.
  /// `frame` must be commandLength() bytes.
  std::vector<uint8_t> answer(const uint8_t* frame, double dt);

  /// Number of records in each reply that carry an injected error status.
  size_t injectedErrorRecords() const;

  /// The plant's part of the per-second summary.
  std::string plantSummary() { return plant_->summary(); }

 private:
  MotorState _motorRecord(const MotorCmd& wireCommand, size_t i) const;
  ImuState _imuRecord(size_t j) const;
  BatState _batteryRecord(size_t k) const;

  BoardConfig config_;
  ErrorStatuses errors_;
  std::unique_ptr<Plant> plant_;
  std::vector<MotorCmd> wireCommands_;
  std::vector<MotorCmd> jointCommands_;
  PlantReading reading_;
};
