// The simulated motors and IMU as their calibration file (models/actuators.yaml) describes
// them: per motor type at the rotor, brought to each joint through its gear ratio, and the
// IMU's noise, drifting bias and delay. The one reader of that file format.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board_model.h"

/// One motor type at the rotor, before the gear (units N m, rad/s, kg m^2, s, degrees C).
struct MotorTypeModel {
  double peakTorque = 0.0;          // N m, up to the corner speed
  double cornerSpeed = 0.0;         // rad/s
  double noLoadSpeed = 0.0;         // rad/s: no torque left to drive faster
  double coulombFriction = 0.0;     // N m
  double viscousFriction = 0.0;     // N m s/rad
  double rotorInertia = 0.0;        // kg m^2
  double delay = 0.0;               // s from a command frame's arrival to its torque
  double encoderCounts = 0.0;       // per rotor revolution
  double velocityNoise = 0.0;       // rad/s, one sigma
  double torqueNoise = 0.0;         // N m, one sigma
  double ambient = 30.0;            // degrees C
  double risePerTorqueSquared = 0;  // K per (N m)^2 held, at the steady state
  double thermalTimeConstant = 0;   // s
};

/// The IMU: white noise per sample, a turn-on bias drawn once and wandering as a random walk,
/// and the age of each reading (units m/s^2 and rad/s, s).
struct ImuModel {
  double accNoise = 0.0, accBias = 0.0, accBiasWalk = 0.0;     // walk: per sqrt(s)
  double gyroNoise = 0.0, gyroBias = 0.0, gyroBiasWalk = 0.0;
  double delay = 0.0;
};

/// A calibration file's contents.
struct ActuatorFile {
  std::string path;
  std::map<int, MotorTypeModel> motorTypes;
  ImuModel imu;
};

/// Reads a calibration file. Throws std::runtime_error naming the file and the key that is
/// missing or wrong (every value must be a finite number, none negative, the no-load speed
/// above the corner speed, the encoder's counts at least 1).
ActuatorFile loadActuatorFile(const std::string& path);

/// One motor as its joint feels it, after the gear. Speeds of infinity and zero noise,
/// delay, step and time constant make the ideal motor.
struct JointActuator {
  double peakTorque = 0.0;    // N m
  double cornerSpeed = 0.0;   // rad/s
  double noLoadSpeed = 0.0;   // rad/s
  double coulombFriction = 0.0;  // N m (used where the model gives the joint no friction)
  double viscousFriction = 0.0;  // N m s/rad (likewise)
  double armature = 0.0;      // kg m^2, the rotor's inertia times gr^2
  double delay = 0.0;         // s
  double positionStep = 0.0;  // rad per encoder count; 0: exact
  double velocityNoise = 0.0;  // rad/s
  double torqueNoise = 0.0;    // N m
  double ambient = 0.0;        // degrees C
  double risePerTorqueSquared = 0.0;  // K per (N m)^2
  double thermalTimeConstant = 0.0;   // s; 0: no thermal model (the board's rough estimate)

  /// The most torque [N m] the motor delivers at joint speed `speed` [rad/s] in the direction
  /// of `torque`: the peak up to the corner speed, then falling linearly to zero at the
  /// no-load speed while it drives the motion; braking gets the peak at any speed.
  double torqueLimit(double torque, double speed) const;
};

/// The joints' actuators from the file, motor i of `config` by its motor_type and gr. Throws
/// std::runtime_error naming a motor whose type the file does not describe.
std::vector<JointActuator> jointActuators(const ActuatorFile& file, const BoardConfig& config);

/// The ideal motors: by motor type, joint side, 3: 30 N m, 4: 60 N m, 5: 120 N m (any other
/// type as 4) at any speed, the rotor's inertia times gr^2, a little friction, no delay, exact
/// sensing and no heating.
std::vector<JointActuator> idealActuators(const BoardConfig& config);
