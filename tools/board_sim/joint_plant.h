// The simulator's plain joint model: each motor drives its own joint with a small inertia,
// viscous friction and hard stops; the body never moves and the IMU shows a fixed tilt.
#pragma once

#include "board_model.h"
#include "plant.h"

class JointPlant : public Plant {
 public:
  // Joint-side inertia and viscous friction, the same for every joint whatever its gear:
  // with kp 200 and kd 5 (the stiffest gains a controller sends) the joint is still over-
  // damped, and with kp 20, kd 0.5 it settles within a few hundred milliseconds.
  static constexpr double kJointInertia = 0.02;   // kg m^2
  static constexpr double kJointFriction = 0.1;   // N m s / rad
  static constexpr double kMaxStep = 0.010;       // s; a late frame never simulates more
  static constexpr double kSubStep = 0.0005;      // s

  /// Joints start at 0 (clamped into their limits); the body is tilted by Ry(pitch) Rx(roll).
  JointPlant(const BoardConfig& config, double tiltRoll, double tiltPitch);

  /// Advances every joint by `dt` (at most kMaxStep) under the frame's commands.
  void apply(const std::vector<MotorCmd>& jointCommands, double dt) override;
  void read(PlantReading& out) const override { out = state_; }

 private:
  void _advance(JointReading& joint, const MotorCmd& command, size_t i, double dt) const;

  std::vector<double> lo_;
  std::vector<double> hi_;
  PlantReading state_;
};
