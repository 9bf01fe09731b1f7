/// \file
/// The robot-level observation and command records a controller exchanges with RobotSDK.
/// Both serve the real (motor) and the virtual (serial-chain) joint space; joint i is always
/// the i-th configured motor. Plain data, never locked: one thread at a time per record.
#pragma once

#include <Eigen/Dense>

#include <cstdint>
#include <string>

#include "eigen_types.h"

/// One observation of the whole robot. Per-joint vectors start empty; the IMU fields start at
/// zero so a record that was never filled prints and compares predictably. Joint i is the
/// i-th configured motor; RobotSDK::getState fills it in the virtual joint space, joint side.
struct RobotState {
  Vec3<double> acc = Vec3<double>::Zero();   ///< First IMU, x y z, calibrated. Unit: [m/s²].
  Vec3<double> gyro = Vec3<double>::Zero();  ///< First IMU, x y z, calibrated. Unit: [rad/s].
  Vec4<double> quat = Vec4<double>::Zero();  ///< First IMU orientation, (w, x, y, z); needs 16-byte alignment.
  Eigen::VectorXd pos;   ///< Joint positions. Unit: [rad].
  Eigen::VectorXd vel;   ///< Joint velocities. Unit: [rad/s].
  Eigen::VectorXd tau;   ///< Joint torques. Unit: [N·m].
  Eigen::VectorXd aux0;  ///< Sized and kept at zero; carried unchanged between joint spaces.
  Eigen::VectorXd aux1;  ///< As aux0.
  Eigen::VectorXd aux2;  ///< As aux0.
  bool flag = false;     ///< Carried unchanged between joint spaces, never interpreted.
  /// The reply this state was decoded from: MotorSDK::replySequence() as it stood when the link
  /// thread stored it; 0 for a state never filled. Carried unchanged between joint spaces.
  uint64_t replySequence = 0;
  /// When that reply was received (the end of its exchange), CLOCK_MONOTONIC as
  /// monotonicNanos() reads it. Unit: [s]; 0 for a state never filled. Carried unchanged.
  double replyTime = 0.0;

  /// Sizes the six per-joint vectors to n zeros. Vectors that already hold n entries keep
  /// their storage, so calling this every cycle does not allocate. The IMU fields and the
  /// flag are left alone. Throws std::invalid_argument for a negative n.
  void zero(int n);

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

/// One command for every joint, joint side. Note the torque comes first here, unlike
/// RobotState. The owner sizes the vectors itself (at least one entry per motor). The motor
/// applies tau + kp·(pos − q) + kd·(vel − q̇).
struct RobotCommand {
  Eigen::VectorXd tau;  ///< Feed-forward torque. Unit: [N·m].
  Eigen::VectorXd pos;  ///< Target position. Unit: [rad].
  Eigen::VectorXd vel;  ///< Target velocity. Unit: [rad/s].
  Eigen::VectorXd kp;   ///< Stiffness. Unit: [N·m/rad].
  Eigen::VectorXd kd;   ///< Damping. Unit: [N·m·s/rad].
  bool flag0 = false;   ///< Carried unchanged, never interpreted.
  bool flag1 = false;   ///< Carried unchanged, never interpreted.
  bool flag2 = false;   ///< Carried unchanged, never interpreted.
};

/// The first entry of a command that cannot go to n motors: a vector shorter than n (`joint`
/// is then -1), or a value that is NaN, infinite, or beyond the link's 32-bit floats (it would
/// narrow to infinity). A plain value.
struct CommandFault {
  const char* field = nullptr;  ///< "tau", "pos", "vel", "kp" or "kd"; null for a usable command.
  Eigen::Index joint = -1;      ///< The joint of the bad value; -1 for a vector too short.
  Eigen::Index length = 0;      ///< That vector's length.
  double value = 0.0;           ///< The bad value (0 for a vector too short).
};

/// The first fault of `command` for `n` motors (see CommandFault). Any thread; allocates nothing.
CommandFault findCommandFault(const RobotCommand& command, Eigen::Index n);

/// Throws std::invalid_argument "<operation>: ..." naming every vector's length when one is
/// shorter than `n`, else the field and joint of the first value that is not finite or not
/// within the link's 32-bit floats. Any thread; allocates only to throw.
void requireUsableCommand(const RobotCommand& command, Eigen::Index n, const char* operation);
