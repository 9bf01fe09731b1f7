#include "actuator_model.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Reads one non-negative finite number, naming the file and the key on failure.
double number(const YAML::Node& parent, const std::string& key, const std::string& where) {
  const YAML::Node node = parent[key];
  if (!node) throw std::runtime_error(where + ": no " + key);
  double value = NAN;
  try {
    value = node.as<double>();
  } catch (const YAML::Exception&) {
  }
  if (!std::isfinite(value) || value < 0.0) throw std::runtime_error(where + ": " + key + " is not a number >= 0");
  return value;
}

YAML::Node section(const YAML::Node& parent, const std::string& key, const std::string& where) {
  const YAML::Node node = parent[key];
  if (!node || !node.IsMap()) throw std::runtime_error(where + ": no section " + key);
  return node;
}

MotorTypeModel motorType(const YAML::Node& node, const std::string& where) {
  MotorTypeModel m;
  m.peakTorque = number(node, "peak_torque", where);
  m.cornerSpeed = number(node, "corner_speed", where);
  m.noLoadSpeed = number(node, "no_load_speed", where);
  m.coulombFriction = number(node, "coulomb_friction", where);
  m.viscousFriction = number(node, "viscous_friction", where);
  m.rotorInertia = number(node, "rotor_inertia", where);
  m.delay = number(node, "delay", where);
  m.encoderCounts = number(node, "encoder_counts", where);
  m.velocityNoise = number(node, "velocity_noise", where);
  m.torqueNoise = number(node, "torque_noise", where);
  const YAML::Node thermal = section(node, "thermal", where);
  m.ambient = thermal["ambient"] ? thermal["ambient"].as<double>() : m.ambient;
  m.risePerTorqueSquared = number(thermal, "rise_per_torque_squared", where + " thermal");
  m.thermalTimeConstant = number(thermal, "time_constant", where + " thermal");
  if (!(m.noLoadSpeed > m.cornerSpeed)) throw std::runtime_error(where + ": no_load_speed is not above corner_speed");
  if (m.encoderCounts < 1.0) throw std::runtime_error(where + ": encoder_counts is below 1");
  if (!(m.thermalTimeConstant > 0.0)) throw std::runtime_error(where + " thermal: time_constant is not above 0");
  return m;
}

void imuSensor(const YAML::Node& node, const std::string& where, double& noise, double& bias, double& walk) {
  noise = number(node, "noise", where);
  bias = number(node, "bias", where);
  walk = number(node, "bias_walk", where);
}

// Today's rough motors by protocol type, joint side whatever the gear: torque limit, rotor
// inertia (motor side), dry friction and damping.
struct IdealTraits {
  double torqueLimit, rotorInertia, frictionLoss, damping;
};

IdealTraits idealTraits(uint8_t type) {
  switch (type) {
    case 3: return {30.0, 6.0e-5, 0.2, 0.05};
    case 5: return {120.0, 2.5e-4, 0.6, 0.2};
    default: return {60.0, 1.2e-4, 0.4, 0.1};  // type 4, and any type the board does not know
  }
}

}  // namespace

ActuatorFile loadActuatorFile(const std::string& path) {
  ActuatorFile file;
  file.path = path;
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& error) {
    throw std::runtime_error("cannot read the actuator file " + path + ": " + error.what());
  }
  const YAML::Node types = section(root, "motor_types", path);
  for (const auto& entry : types) {
    const std::string where = path + ": motor type " + entry.first.as<std::string>();
    int type = -1;
    try {
      type = entry.first.as<int>();
    } catch (const YAML::Exception&) {
    }
    if (type < 0 || type > 255) throw std::runtime_error(where + " is not a type 0-255");
    file.motorTypes[type] = motorType(entry.second, where);
  }
  const YAML::Node imu = section(root, "imu", path);
  imuSensor(section(imu, "accelerometer", path + ": imu"), path + ": imu accelerometer", file.imu.accNoise,
            file.imu.accBias, file.imu.accBiasWalk);
  imuSensor(section(imu, "gyroscope", path + ": imu"), path + ": imu gyroscope", file.imu.gyroNoise,
            file.imu.gyroBias, file.imu.gyroBiasWalk);
  file.imu.delay = number(imu, "delay", path + ": imu");
  return file;
}

double JointActuator::torqueLimit(double torque, double speed) const {
  const double driving = torque * speed > 0.0 ? std::fabs(speed) : 0.0;
  if (driving <= cornerSpeed) return peakTorque;
  return peakTorque * std::max(0.0, (noLoadSpeed - driving) / (noLoadSpeed - cornerSpeed));
}

std::vector<JointActuator> jointActuators(const ActuatorFile& file, const BoardConfig& config) {
  std::vector<JointActuator> joints;
  for (size_t i = 0; i < config.motors; ++i) {
    const auto found = file.motorTypes.find(config.motorType[i]);
    if (found == file.motorTypes.end())
      throw std::runtime_error(file.path + " describes no motor type " + std::to_string(config.motorType[i]) +
                               " (motor " + std::to_string(i) + ")");
    const MotorTypeModel& m = found->second;
    const double gear = std::fabs(config.gr[i]);
    JointActuator a;
    a.peakTorque = m.peakTorque * gear;
    a.cornerSpeed = m.cornerSpeed / gear;
    a.noLoadSpeed = m.noLoadSpeed / gear;
    a.coulombFriction = m.coulombFriction * gear;
    a.viscousFriction = m.viscousFriction * gear * gear;
    a.armature = m.rotorInertia * gear * gear;
    a.delay = m.delay;
    a.positionStep = 2.0 * M_PI / m.encoderCounts / gear;
    a.velocityNoise = m.velocityNoise / gear;
    a.torqueNoise = m.torqueNoise * gear;
    a.ambient = m.ambient;
    a.risePerTorqueSquared = m.risePerTorqueSquared / (gear * gear);  // the rotor carries tau / gear
    a.thermalTimeConstant = m.thermalTimeConstant;
    joints.push_back(a);
  }
  return joints;
}

std::vector<JointActuator> idealActuators(const BoardConfig& config) {
  std::vector<JointActuator> joints;
  for (size_t i = 0; i < config.motors; ++i) {
    const IdealTraits traits = idealTraits(config.motorType[i]);
    JointActuator a;
    a.peakTorque = traits.torqueLimit;
    a.cornerSpeed = a.noLoadSpeed = INFINITY;
    a.coulombFriction = traits.frictionLoss;
    a.viscousFriction = traits.damping;
    a.armature = traits.rotorInertia * config.gr[i] * config.gr[i];
    joints.push_back(a);
  }
  return joints;
}
