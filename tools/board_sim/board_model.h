// The simulated motor board: the robot's configuration, one simulated joint per motor, and
// the reply frame it builds for each command frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device_records.h"
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
  // Joint-side inertia and viscous friction, the same for every joint whatever its gear:
  // with kp 200 and kd 5 (the stiffest gains a controller sends) the joint is still over-
  // damped, and with kp 20, kd 0.5 it settles within a few hundred milliseconds.
  static constexpr double kJointInertia = 0.02;   // kg m^2
  static constexpr double kJointFriction = 0.1;   // N m s / rad
  static constexpr double kMaxStep = 0.010;       // s; a late frame never simulates more
  static constexpr double kSubStep = 0.0005;      // s

  BoardModel(BoardConfig config, ErrorStatuses errors, double tiltRoll, double tiltPitch);

  const BoardConfig& config() const { return config_; }
  size_t commandLength() const { return config_.layout().commandLength(); }
  size_t replyLength() const { return config_.layout().replyLength(); }

  /// Advances every joint by `dt` seconds under the frame's commands (motor side on the
  /// link) and returns the reply. `frame` must be commandLength() bytes.
  std::vector<uint8_t> answer(const uint8_t* frame, double dt);

  /// Number of records in each reply that carry an injected error status.
  size_t injectedErrorRecords() const;

  /// Joint-side position of motor i.
  double jointPosition(size_t i) const { return joints_[i].q; }

 private:
  struct Joint {
    double q = 0.0;    // joint side, rad
    double dq = 0.0;   // rad/s
    double tau = 0.0;  // last applied joint-side torque
  };

  void _advance(Joint& joint, const MotorCmd& jointCommand, size_t i, double dt) const;
  MotorState _motorRecord(const MotorCmd& wireCommand, size_t i) const;
  ImuState _imuRecord(size_t j) const;
  BatState _batteryRecord(size_t k) const;

  BoardConfig config_;
  ErrorStatuses errors_;
  std::vector<Joint> joints_;
  float acc_[3];
  float quat_[4];
};
