#include "board_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

BoardConfig loadBoardConfig(const std::string& path) { return loadRobotConfig(path, ConfigKeys::BoardOnly); }

BoardModel::BoardModel(BoardConfig config, ErrorStatuses errors, std::unique_ptr<Plant> plant)
    : config_(std::move(config)),
      errors_(std::move(errors)),
      plant_(std::move(plant)),
      wireCommands_(config_.motors),
      jointCommands_(config_.motors) {
  reading_.joints.resize(config_.motors);
  MotorCmd brake{};
  brake.kd = kBrakeKd;
  brakeCommands_.assign(config_.motors, brake);
}

std::string BoardModel::plantSummary() {
  std::string text = plant_->summary();
  if (commandTimeout_ > 0.0) text += ", commands expired " + std::to_string(expiries_) + " times";
  return text;
}

void BoardModel::idle(double sinceLastFrame) {
  if (commandTimeout_ <= 0.0 || !framed_ || sinceLastFrame < commandTimeout_) return;
  if (!expired_) {
    // The last command held until the timeout.
    expired_ = true;
    ++expiries_;
    plant_->apply(jointCommands_, commandTimeout_);
    silenceRun_ = commandTimeout_;
  }
  plant_->apply(brakeCommands_, sinceLastFrame - silenceRun_);
  silenceRun_ = sinceLastFrame;
}

std::vector<uint8_t> BoardModel::answer(const uint8_t* frame, double dt) {
  const wire::FrameLayout layout = config_.layout();
  for (size_t i = 0; i < config_.motors; ++i) {
    std::memcpy(&wireCommands_[i], frame + i * sizeof(MotorCmd), sizeof(MotorCmd));
    // The motor-side law kp_m(pos_m - q_m) + kd_m(vel_m - dq_m) + tau_m is the same law on
    // the joint side once every value is brought through the gear.
    jointCommands_[i] = wire::toJointSide(wireCommands_[i], config_.gr[i], config_.offset[i]);
  }
  // After an expiry the plant has already run the silence up to the last idle().
  if (expired_) dt = std::max(0.0, dt - silenceRun_);
  expired_ = false;
  framed_ = true;
  plant_->apply(jointCommands_, dt);
  plant_->read(reading_);
  std::vector<uint8_t> reply(layout.replyLength(), 0);
  for (size_t i = 0; i < config_.motors; ++i) {
    const MotorState record = _motorRecord(wireCommands_[i], i);
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

MotorState BoardModel::_motorRecord(const MotorCmd& wireCommand, size_t i) const {
  MotorState record{};
  const auto error = errors_.motors.find(i);
  record.id = wireCommand.id;  // the board answers with the id it was addressed with
  if (error != errors_.motors.end()) {
    record.status = error->second;
    return record;
  }
  const JointReading& joint = reading_.joints[i];
  record.status = kStatusValid;
  record.mode = wireCommand.mode;
  record.pos = static_cast<float>(joint.q);
  record.vel = static_cast<float>(joint.dq);
  record.tau = static_cast<float>(joint.tau);
  // Without a thermal model the winding is guessed warmer the harder the motor works.
  const double temp = std::isnan(joint.temp) ? 32.0 + std::min(8.0, 0.2 * std::fabs(joint.tau)) : joint.temp;
  record.temp = static_cast<float>(temp);
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
  for (int a = 0; a < 3; ++a) {
    record.acc[a] = static_cast<float>(reading_.acc[a]);
    record.gyro[a] = static_cast<float>(reading_.gyro[a]);
  }
  for (int a = 0; a < 4; ++a) record.quat[a] = static_cast<float>(reading_.quat[a]);
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
  for (const JointReading& joint : reading_.joints) load += std::fabs(joint.tau * joint.dq);
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
