#include "joint_plant.h"

#include <Eigen/Geometry>
#include <algorithm>

namespace {

constexpr double kGravity = 9.81;

bool hasLimits(double lo, double hi) { return lo <= hi; }

}  // namespace

JointPlant::JointPlant(const BoardConfig& config, double tiltRoll, double tiltPitch)
    : lo_(config.jposMin), hi_(config.jposMax) {
  state_.joints.resize(config.motors);
  for (size_t i = 0; i < config.motors; ++i)
    state_.joints[i].q = hasLimits(lo_[i], hi_[i]) ? std::clamp(0.0, lo_[i], hi_[i]) : 0.0;
  // The body is tilted by R = Ry(pitch) Rx(roll); the accelerometer sees gravity's reaction
  // in the body frame, R^T (0, 0, g).
  const Eigen::Quaterniond tilt = Eigen::AngleAxisd(tiltPitch, Eigen::Vector3d::UnitY()) *
                                  Eigen::AngleAxisd(tiltRoll, Eigen::Vector3d::UnitX());
  const Eigen::Vector3d acc = tilt.toRotationMatrix().transpose() * Eigen::Vector3d(0, 0, kGravity);
  for (int a = 0; a < 3; ++a) state_.acc[a] = acc[a];
  state_.quat[0] = tilt.w();
  state_.quat[1] = tilt.x();
  state_.quat[2] = tilt.y();
  state_.quat[3] = tilt.z();
}

void JointPlant::apply(const std::vector<MotorCmd>& jointCommands, double dt) {
  dt = std::clamp(dt, 0.0, kMaxStep);
  for (size_t i = 0; i < state_.joints.size(); ++i) _advance(state_.joints[i], jointCommands[i], i, dt);
}

void JointPlant::_advance(JointReading& joint, const MotorCmd& command, size_t i, double dt) const {
  const double kp = command.kp, kd = command.kd;
  const double lo = lo_[i], hi = hi_[i];
  double remaining = dt;
  while (remaining > 1e-12) {
    const double h = std::min(kSubStep, remaining);
    remaining -= h;
    // Semi-implicit Euler with the damping taken implicitly: stable for any kd.
    const double stiffForce = kp * (command.pos - joint.q) + kd * command.vel + command.tau;
    const double damping = kd + kJointFriction;
    joint.dq = (joint.dq + h * stiffForce / kJointInertia) / (1.0 + h * damping / kJointInertia);
    joint.q += h * joint.dq;
    if (hasLimits(lo, hi) && (joint.q < lo || joint.q > hi)) {
      joint.q = std::clamp(joint.q, lo, hi);
      joint.dq = 0.0;  // a hard stop
    }
  }
  joint.tau = kp * (command.pos - joint.q) + kd * (command.vel - joint.dq) + command.tau;
}
