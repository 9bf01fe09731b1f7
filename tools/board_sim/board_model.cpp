#include "board_model.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kGravity = 9.81;

bool hasLimits(double lo, double hi) { return lo <= hi; }

}  // namespace

BoardConfig loadBoardConfig(const std::string& path) { return loadRobotConfig(path, ConfigKeys::BoardOnly); }

BoardModel::BoardModel(BoardConfig config, ErrorStatuses errors, double tiltRoll, double tiltPitch)
    : config_(std::move(config)), errors_(std::move(errors)), joints_(config_.motors) {
  for (size_t i = 0; i < config_.motors; ++i) {
    const double lo = config_.jposMin[i], hi = config_.jposMax[i];
    joints_[i].q = hasLimits(lo, hi) ? std::clamp(0.0, lo, hi) : 0.0;
  }
  // The body is tilted by R = Ry(pitch) Rx(roll); the accelerometer sees gravity's reaction
  // in the body frame, R^T (0, 0, g).
  const Eigen::Quaterniond tilt = Eigen::AngleAxisd(tiltPitch, Eigen::Vector3d::UnitY()) *
                                  Eigen::AngleAxisd(tiltRoll, Eigen::Vector3d::UnitX());
  const Eigen::Vector3d acc = tilt.toRotationMatrix().transpose() * Eigen::Vector3d(0, 0, kGravity);
  for (int a = 0; a < 3; ++a) acc_[a] = static_cast<float>(acc[a]);
  quat_[0] = static_cast<float>(tilt.w());
  quat_[1] = static_cast<float>(tilt.x());
  quat_[2] = static_cast<float>(tilt.y());
  quat_[3] = static_cast<float>(tilt.z());
}

std::vector<uint8_t> BoardModel::answer(const uint8_t* frame, double dt) {
  dt = std::clamp(dt, 0.0, kMaxStep);
  const wire::FrameLayout layout = config_.layout();
  std::vector<uint8_t> reply(layout.replyLength(), 0);
  for (size_t i = 0; i < config_.motors; ++i) {
    MotorCmd wireCommand;
    std::memcpy(&wireCommand, frame + i * sizeof(MotorCmd), sizeof(MotorCmd));
    // The motor-side law kp_m(pos_m - q_m) + kd_m(vel_m - dq_m) + tau_m is the same law on
    // the joint side once every value is brought through the gear.
    const MotorCmd jointCommand = wire::toJointSide(wireCommand, config_.gr[i], config_.offset[i]);
    _advance(joints_[i], jointCommand, i, dt);
    const MotorState record = _motorRecord(wireCommand, i);
    std::memcpy(reply.data() + i * sizeof(MotorState), &record, sizeof(record));
  }
  for (size_t j = 0; j < config_.imus; ++j) {
    const ImuState record = _imuRecord(j);
    std::memcpy(reply.data() + layout.imuOffset() + j * sizeof(ImuState), &record, sizeof(record));
  }
  for (size_t k = 0; k < config_.batteries; ++k) {
    const BatState record = _batteryRecord(k);
    std::memcpy(reply.data() + layout.batteryOffset() + k * sizeof(BatState), &record, sizeof(record));
  }
  return reply;
}

void BoardModel::_advance(Joint& joint, const MotorCmd& command, size_t i, double dt) const {
  const double kp = command.kp, kd = command.kd;
  const double lo = config_.jposMin[i], hi = config_.jposMax[i];
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

MotorState BoardModel::_motorRecord(const MotorCmd& wireCommand, size_t i) const {
  MotorState record{};
  const auto error = errors_.motors.find(i);
  record.id = wireCommand.id;  // the board answers with the id it was addressed with
  if (error != errors_.motors.end()) {
    record.status = error->second;
    return record;
  }
  const Joint& joint = joints_[i];
  record.status = kStatusValid;
  record.mode = wireCommand.mode;
  record.pos = static_cast<float>(joint.q);
  record.vel = static_cast<float>(joint.dq);
  record.tau = static_cast<float>(joint.tau);
  record.temp = static_cast<float>(32.0 + std::min(8.0, 0.2 * std::fabs(joint.tau)));
  return wire::toMotorSide(record, config_.gr[i], config_.offset[i]);
}

ImuState BoardModel::_imuRecord(size_t j) const {
  ImuState record{};
  record.id = static_cast<uint8_t>(j + 1);
  const auto error = errors_.imus.find(j);
  if (error != errors_.imus.end()) {
    record.status = error->second;
    return record;
  }
  record.status = kStatusValid;
  std::memcpy(record.acc, acc_, sizeof(acc_));
  std::memcpy(record.quat, quat_, sizeof(quat_));
  return record;
}

BatState BoardModel::_batteryRecord(size_t k) const {
  BatState record{};
  record.bms_id = static_cast<uint8_t>(k + 1);
  const auto error = errors_.batteries.find(k);
  if (error != errors_.batteries.end()) {
    record.status = error->second;
    return record;
  }
  double load = 0.0;
  for (const Joint& joint : joints_) load += std::fabs(joint.tau * joint.dq);
  record.status = kStatusValid;
  record.failure = 0;
  record.voltage = 48.0f;
  record.current = static_cast<float>(1.5 + std::min(5.0, load / 48.0));
  record.soc = 0.9f;
  return record;
}

size_t BoardModel::injectedErrorRecords() const {
  size_t count = 0;
  for (const auto& entry : errors_.motors) count += entry.first < config_.motors;
  for (const auto& entry : errors_.imus) count += entry.first < config_.imus;
  for (const auto& entry : errors_.batteries) count += entry.first < config_.batteries;
  return count;
}
