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

  /// Lets commands expire: once no frame has come for `seconds` (> 0), every motor damps
  /// (kBrakeKd joint side, no stiffness, no torque) until the next frame.
  void setCommandTimeout(double seconds) { commandTimeout_ = seconds; }
  /// Called between frames with the seconds since the last one: past the timeout the plant
  /// runs the damping over the silence so far. Does nothing without a timeout or a frame.
  void idle(double sinceLastFrame);
  /// How many times the commands expired.
  uint64_t expiries() const { return expiries_; }
  /// Damping of an expired motor, N m s/rad on the joint side (the SDK's brake).
  static constexpr float kBrakeKd = 0.8f;

  /// Number of records in each reply that carry an injected error status.
  size_t injectedErrorRecords() const;

  /// The plant's part of the per-second summary.
  std::string plantSummary();

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

  // Command expiry: silence already run by idle() since the last frame, s.
  double commandTimeout_ = 0.0;
  bool framed_ = false;
  bool expired_ = false;
  double silenceRun_ = 0.0;
  uint64_t expiries_ = 0;
  std::vector<MotorCmd> brakeCommands_;
};
