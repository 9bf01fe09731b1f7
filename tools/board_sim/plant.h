// What the board's motors and IMU sit on: either one simple joint per motor (JointPlant) or
// a physics simulation of the whole robot (PhysicsPlant). The board itself (records, error
// injection, faults, link) is the same for both.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "device_records.h"

/// One motor's joint, on the joint side of its gear.
struct JointReading {
  double q = 0.0;    // rad
  double dq = 0.0;   // rad/s
  double tau = 0.0;  // N m, the torque the motor applied last
  double temp = NAN;  // degrees C of the winding; NaN: not modelled (the board estimates it)
};

/// Everything the board reports, before conversion to the motor side.
struct PlantReading {
  std::vector<JointReading> joints;     // one per configured motor
  double acc[3] = {0.0, 0.0, 0.0};      // m/s^2 in the IMU frame, gravity's reaction included
  double gyro[3] = {0.0, 0.0, 0.0};     // rad/s in the IMU frame
  double quat[4] = {1.0, 0.0, 0.0, 0.0};  // w x y z, IMU frame to world
};

class Plant {
 public:
  virtual ~Plant() = default;

  /// Hands over one command frame, already brought to the joint side (one record per motor),
  /// received `dt` seconds after the previous one. Called on the link thread; never blocks
  /// for longer than a copy.
  virtual void apply(const std::vector<MotorCmd>& jointCommands, double dt) = 0;

  /// The latest state. Called on the link thread; never blocks for longer than a copy.
  virtual void read(PlantReading& out) const = 0;

  /// Text appended to the simulator's per-second summary line ("" for none).
  virtual std::string summary() { return {}; }

  /// Lines (without "board_sim: " and newline) printed once the board is ready: what the
  /// plant runs with, for a repeat of the run.
  virtual std::vector<std::string> startLines() const { return {}; }
};
