// The robot-level observation and command records a controller exchanges with RobotSDK.
// Both serve the real (motor) and the virtual (serial-chain) joint space; joint i is always
// the i-th configured motor.
#pragma once

#include <Eigen/Dense>

#include "eigen_types.h"

/// One observation of the whole robot. Per-joint vectors start empty; the IMU fields start at
/// zero so a record that was never filled prints and compares predictably.
struct RobotState {
  Vec3<double> acc = Vec3<double>::Zero();   // first IMU, x y z, calibrated
  Vec3<double> gyro = Vec3<double>::Zero();  // first IMU, x y z, calibrated
  Vec4<double> quat = Vec4<double>::Zero();  // first IMU, w x y z; needs 16-byte alignment
  Eigen::VectorXd pos;
  Eigen::VectorXd vel;
  Eigen::VectorXd tau;
  Eigen::VectorXd aux0;  // sized and kept at zero; carried unchanged between joint spaces
  Eigen::VectorXd aux1;
  Eigen::VectorXd aux2;
  bool flag = false;  // carried unchanged between joint spaces, never interpreted

  /// Sizes the six per-joint vectors to n zeros. Vectors that already hold n entries keep
  /// their storage, so calling this every cycle does not allocate. The IMU fields and the
  /// flag are left alone. Throws std::invalid_argument for a negative n.
  void zero(int n);

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

/// One command for every joint. Note the torque comes first here, unlike RobotState.
/// The owner sizes the vectors itself.
struct RobotCommand {
  Eigen::VectorXd tau;  // feed-forward torque
  Eigen::VectorXd pos;  // target position
  Eigen::VectorXd vel;  // target velocity
  Eigen::VectorXd kp;   // stiffness
  Eigen::VectorXd kd;   // damping
  bool flag0 = false;   // the three flags are carried unchanged, never interpreted
  bool flag1 = false;
  bool flag2 = false;
};
