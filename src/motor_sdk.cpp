#include "motor_sdk.h"

#include "config_file.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "UDPPort.h"
#include "absolute_timer.h"
#include "serial_port.h"

// std::mutex is usable from program start, so the locks need no run-time set-up.
std::mutex cmd_mutex;
std::mutex feedback_mutex;

Vec3<double> acc_bias = Vec3<double>::Zero();
Vec3<double> gyro_bias = Vec3<double>::Zero();
Mat3<double> R_b_i = Mat3<double>::Identity();
Vec3<double> t_b_i = Vec3<double>::Zero();

namespace {

// The link to the board, fixed for every robot.
constexpr const char* kSerialDevice = "/dev/ttyACM0";
constexpr uint32_t kSerialBaudrate = 2000000;
constexpr const char* kBoardAddress = "192.168.1.5";
constexpr uint32_t kBoardPort = 8880;
constexpr uint32_t kControllerPort = 8881;
constexpr size_t kReceiveTimeoutUs = 2000;

constexpr int kStopRepeats = 5;
constexpr const char* kVersion = "1.0.1";

// ---- Configuration checks. ----------------------------------------------------------------

// Every per-motor list except `gr` must hold exactly one element per motor; the condition text
// tells the user which list is wrong.
void requireTableSize(const YAML::Node& jointConfig, uint8_t motorNum, const char* key) {
  if (jointConfig[key].size() == motorNum) return;
  throw ConfigError(std::string("[MotorSDK] configuration check failed: motor_num_ == config[\"joint_config\"][\"") +
                    key + "\"].size()");
}

void requireTableSizes(const YAML::Node& jointConfig, uint8_t motorNum) {
  for (const char* key : {"abs_id", "offset", "motor_id", "motor_type", "jpos_max", "jpos_min"})
    requireTableSize(jointConfig, motorNum, key);
}

std::string motorValueText(size_t index, const char* key, double value) {
  std::ostringstream text;
  text << "[MotorSDK] motor " << index << ": joint_config " << key << "[" << index << "] = " << value;
  return text.str();
}

// The gear ratio divides torques and gains on the way to the motor: zero or a non-finite
// ratio would put infinite gains on the link. A negative ratio is a reversed motor.
void requireUsableGearRatio(size_t index, double gr) {
  if (std::isfinite(gr) && gr != 0.0) return;
  throw ConfigError(motorValueText(index, "gr", gr) + " is not a usable gear ratio (finite, non-zero)");
}

void requireFiniteOffset(size_t index, double offset) {
  if (std::isfinite(offset)) return;
  throw ConfigError(motorValueText(index, "offset", offset) + " is not a finite offset");
}

// The counts constructor takes its tables as given; one shorter than the motor count would be
// read past its end by every encoding, so it is refused up front.
template <typename T>
void requireTableCovers(const std::vector<T>& table, uint8_t motorNum, const char* name) {
  if (table.size() >= motorNum) return;
  std::ostringstream text;
  text << "[MotorSDK] " << name << " has " << table.size() << " entries for " << static_cast<unsigned>(motorNum)
       << " motors";
  throw ConfigError(text.str());
}

// Only the motors' own entries are used, so only they are checked.
void requireUsableTables(const std::vector<double>& gr, const std::vector<double>& offset, uint8_t motorNum) {
  for (size_t i = 0; i < motorNum; ++i) requireUsableGearRatio(i, gr[i]);
  for (size_t i = 0; i < motorNum; ++i) requireFiniteOffset(i, offset[i]);
}

// ---- IMU calibration. ---------------------------------------------------------------------

Vec3<double> readVec3(const YAML::Node& seq) {
  return Vec3<double>(seq[0].as<double>(), seq[1].as<double>(), seq[2].as<double>());
}

// Every value is read before any is stored: a file that fails half-way leaves the calibration
// that every bus in the process shares as it was.
void setImuCalibration(const YAML::Node& intrinsics, const YAML::Node& extrinsics) {
  const Vec3<double> acc = readVec3(intrinsics["accelerometer"]["bias"]);
  const Vec3<double> gyro = readVec3(intrinsics["gyroscope"]["bias"]);
  // The file lists the mounting quaternion as x, y, z, w.
  const YAML::Node rotation = extrinsics["rotation"];
  const Vec4<double> q(rotation[3].as<double>(), rotation[0].as<double>(), rotation[1].as<double>(),
                       rotation[2].as<double>());
  const Vec3<double> translation = readVec3(extrinsics["translation"]);
  acc_bias = acc;
  gyro_bias = gyro;
  R_b_i = quatToRotMat(q);
  t_b_i = translation;
}

void resetImuCalibration() {
  acc_bias.setZero();
  gyro_bias.setZero();
  R_b_i.setIdentity();
  t_b_i.setZero();
}

void printImuCalibration() {
  std::cout << "acc bias: " << acc_bias.transpose() << std::endl;
  std::cout << "gyro bias: " << gyro_bias.transpose() << std::endl;
  std::cout << "R_b_i: " << std::endl << R_b_i << std::endl;
  std::cout << "t_b_i: " << t_b_i.transpose() << std::endl;
}

// (w, x, y, z) of a rotation matrix; the largest-diagonal branch keeps the division well away
// from zero when the trace is not positive.
Vec4<double> rotMatToQuat(const Mat3<double>& M) {
  Vec4<double> q;
  const double t = M(0, 0) + M(1, 1) + M(2, 2);
  if (t > 0) {
    const double s = std::sqrt(t + 1.0);
    const double r = 0.5 / s;
    q << s / 2, (M(2, 1) - M(1, 2)) * r, (M(0, 2) - M(2, 0)) * r, (M(1, 0) - M(0, 1)) * r;
    return q;
  }
  int i = 0;
  if (M(1, 1) > M(0, 0)) i = 1;
  if (M(2, 2) > M(i, i)) i = 2;
  const int j = (i + 1) % 3;
  const int k = (j + 1) % 3;
  const double s = std::sqrt(M(i, i) - M(j, j) - M(k, k) + 1.0);
  const double r = 0.5 / s;
  q[0] = (M(k, j) - M(j, k)) * r;
  q[1 + i] = s / 2;
  q[1 + j] = (M(j, i) + M(i, j)) * r;
  q[1 + k] = (M(k, i) + M(i, k)) * r;
  return q;
}

float minus(float reading, double bias) { return static_cast<float>(static_cast<double>(reading) - bias); }

// Each record reads only its own values, so a per-record snapshot is enough and nothing is
// allocated on the exchange path.
void calibrateRecord(ImuState& record) {
  const ImuState in = record;
  for (int a = 0; a < 3; ++a) {
    record.acc[a] = minus(in.acc[a], acc_bias[a]);
    record.gyro[a] = minus(in.gyro[a], gyro_bias[a]);
  }
  const Vec4<double> reading(in.quat[0], in.quat[1], in.quat[2], in.quat[3]);
  const Vec4<double> body = rotMatToQuat(R_b_i.transpose() * quatToRotMat(reading));
  for (int c = 0; c < 4; ++c) record.quat[c] = static_cast<float>(body[c]);
}

void calibrateRecords(ImuState* records, size_t count) {
  for (size_t j = 0; j < count; ++j) calibrateRecord(records[j]);
}

template <typename Record>
void requireAtLeast(const std::vector<Record>& records, size_t count, const char* what) {
  if (records.size() >= count) return;
  throw std::out_of_range(std::string("[MotorSDK] ") + what + " vector holds " + std::to_string(records.size()) +
                          " records, " + std::to_string(count) + " needed");
}

}  // namespace

void calibration_imu(std::vector<ImuState>& imus) { calibrateRecords(imus.data(), imus.size()); }

// ---- Set-up. --------------------------------------------------------------------------------

MotorSDK::MotorSDK() = default;

MotorSDK::MotorSDK(uint8_t& motor_num, uint8_t& imu_num, uint8_t& battery_num, std::vector<double>& offset,
                   std::vector<double>& gr, std::vector<uint16_t>& motor_id, CommType comm_type) {
  requireTableCovers(offset, motor_num, "offset");
  requireTableCovers(gr, motor_num, "gr");
  requireTableCovers(motor_id, motor_num, "motor_id");
  requireUsableTables(gr, offset, motor_num);
  motor_num_ = motor_num;
  imu_num_ = imu_num;
  battery_num_ = battery_num;
  motor_id_ = motor_id;
  offset_ = offset;
  gr_ = gr;
  dual_encoder_ = false;
  std::cout << "motor leg constructing " << std::endl;

  _sizeFrames();
  motor_type_.assign(motor_num_, 5);
  _openPort(comm_type, false);
  if (!port_) return;
  std::cout << "[MotorSDK] successful initialization " << std::endl;
  // The locks are process-wide std::mutex objects, ready from program start: there is nothing
  // to initialise here, so the "Failed to create cmd/state mutex" reports cannot occur.
}

MotorSDK::~MotorSDK() = default;

void MotorSDK::init(std::string path, CommType comm_type) {
  const YAML::Node config = config_file::load(path);

  motor_num_ = static_cast<uint8_t>(config["motor_num"].as<int>());
  std::cout << "motor num " << static_cast<unsigned>(motor_num_) << " " << config["motor_num"].as<int>()
            << std::endl;

  const YAML::Node jointConfig = config["joint_config"];
  requireTableSizes(jointConfig, motor_num_);

  imu_num_ = static_cast<uint8_t>(config["imu_num"].as<int>());
  battery_num_ = static_cast<uint8_t>(config["battery_num"].as<int>());
  dual_encoder_ = config["dual_encoder"].as<bool>();

  offset_.resize(motor_num_);
  gr_.resize(motor_num_);
  motor_id_.resize(motor_num_);
  motor_type_.resize(motor_num_);
  jpos_min_.resize(motor_num_);
  jpos_max_.resize(motor_num_);
  for (size_t i = 0; i < motor_num_; ++i) {
    offset_[i] = jointConfig["offset"][i].as<double>();
    motor_id_[i] = jointConfig["motor_id"][i].as<unsigned char>();
    gr_[i] = jointConfig["gr"][i].as<double>();
    motor_type_[i] = jointConfig["motor_type"][i].as<unsigned char>();
    jpos_min_[i] = jointConfig["jpos_min"][i].as<double>();
    jpos_max_[i] = jointConfig["jpos_max"][i].as<double>();
    requireFiniteOffset(i, offset_[i]);
    requireUsableGearRatio(i, gr_[i]);
  }

  std::cout << "[MotorSDK] robot type is " << config["robot_type"].as<std::string>()
            << ", robot init params, total motor num is " << static_cast<unsigned>(motor_num_) << std::endl;

  if (config["imu_intrinsics"] && config["imu_extrinsics"]) {
    std::cout << "[MotorSDK] imu param exists " << std::endl;
    setImuCalibration(config["imu_intrinsics"], config["imu_extrinsics"]);
    printImuCalibration();
  } else {
    std::cout << "[MotorSDK] imu param does not exist " << std::endl;
    resetImuCalibration();
  }

  _sizeFrames();
  _openPort(comm_type, true);
  if (port_) std::cout << "[MotorSDK] successful initialization " << std::endl;
}

void MotorSDK::_sizeFrames() {
  send_len_ = sizeof(MotorCmd) * motor_num_;
  motor_recv_len_ = sizeof(MotorState) * motor_num_;
  imu_recv_len_ = sizeof(ImuState) * imu_num_;
  battery_recv_len_ = sizeof(BatState) * battery_num_;
  cmd_frame_.assign(motor_num_, MotorCmd{});
  motor_raw_.assign(motor_num_, MotorState{});
  imu_raw_.assign(imu_num_, ImuState{});
  battery_raw_.assign(battery_num_, BatState{});
  send_buf_.assign(send_len_, 0);
  recv_buf_.assign(replyLength(), 0);
}

void MotorSDK::_openPort(CommType comm_type, bool announceUsb) {
  switch (comm_type) {
    case USB:
      if (announceUsb) std::cout << "CommType::USB" << std::endl;
      port_ = std::make_unique<SerialPort>(kSerialDevice, replyLength(), kSerialBaudrate, kReceiveTimeoutUs, NO,
                                           bits8, par_none, stop_one, flow_none);
      return;
    case UDP:
      port_ = std::make_unique<UDPPort>(kBoardAddress, kBoardPort, kControllerPort, replyLength(),
                                        kReceiveTimeoutUs, NO);
      return;
  }
  std::cout << "[MotorSDK] CommType error " << std::endl;
}

// ---- The exchange step, in three pieces so the split family can lock around each. ----------

void MotorSDK::_loadSendBuffer() {
  if (send_len_) std::memcpy(send_buf_.data(), cmd_frame_.data(), send_len_);
  std::fill(recv_buf_.begin(), recv_buf_.end(), 0);
}

void MotorSDK::_transfer() {
  // A bus without a port behaves like a board that never answers: the zeros stay.
  if (!port_) return;
  ExchangeResult result;
  result.sentNs = monotonicNanos();
  result.complete = port_->SendRecv(send_buf_.data(), recv_buf_.data(), send_len_);
  result.repliedNs = monotonicNanos();
  const size_t received = port_->lastReplyLength();  // a failed call's -1 counts as nothing
  result.received = result.complete ? replyLength() : (received <= replyLength() ? received : 0);
  result.cut = port_->lastReplyWasCut();
  link_monitor_.noteExchange(result, recv_buf_.data(), wire::FrameLayout{motor_num_, imu_num_, battery_num_});
  recorder_slot_.capture(result, send_buf_.data(), recv_buf_.data());
  if (result.complete) return;
  // A short reply: the record it was cut inside must read as missing, not as valid.
  wire::clearCutRecords(recv_buf_.data(), port_->lastReplyLength(),
                        wire::FrameLayout{motor_num_, imu_num_, battery_num_});
}

void MotorSDK::_storeReply() {
  wire::splitReply(recv_buf_.data(), motor_raw_, imu_raw_, battery_raw_);
  reply_sequence_.fetch_add(1, std::memory_order_release);
}

void MotorSDK::_exchange() {
  _loadSendBuffer();
  _transfer();
  _storeReply();
}

// ---- Synchronous family. --------------------------------------------------------------------

void MotorSDK::_resizeToCounts(std::vector<MotorState>& motors, std::vector<ImuState>& imus,
                               std::vector<BatState>& bats) const {
  motors.resize(motor_num_);
  imus.resize(imu_num_);
  bats.resize(battery_num_);
}

void MotorSDK::_decode(wire::PositionForm form, wire::Operation op, bool calibrate, std::vector<MotorState>& motors,
                       std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  wire::decodeMotors(motor_raw_, _table(), form, op, motors);
  wire::decodeImus(imu_raw_, op, imus);
  if (calibrate) calibrateRecords(imus.data(), imu_num_);
  wire::decodeBatteries(battery_raw_, op, bats);
}

void MotorSDK::sendRecv(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                        std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _resizeToCounts(motors, imus, bats);
  if (!wire::encodeCommands(cmd, _table(), cmd_frame_)) return;
  _exchange();
  _decode(wire::PositionForm::Offset, wire::Operation::SendRecv, true, motors, imus, bats);
}

void MotorSDK::recv(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _resizeToCounts(motors, imus, bats);
  wire::buildPassiveRead(_table(), cmd_frame_);
  _exchange();
  _decode(wire::PositionForm::Offset, wire::Operation::Recv, true, motors, imus, bats);
}

void MotorSDK::recvRaw(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _resizeToCounts(motors, imus, bats);
  wire::buildPassiveRead(_table(), cmd_frame_);
  _exchange();
  _decode(wire::PositionForm::Raw, wire::Operation::Recv, false, motors, imus, bats);
}

void MotorSDK::setMotorZero(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                            std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _resizeToCounts(motors, imus, bats);
  if (!wire::buildZeroSetting(cmd, _table(), cmd_frame_)) return;
  _exchange();
  _decode(wire::PositionForm::Raw, wire::Operation::SetMotorZero, true, motors, imus, bats);
}

// ---- Split family. --------------------------------------------------------------------------

void MotorSDK::setSendMT(const std::vector<MotorCmd>& cmd) {
  // The caller may change its vector again as soon as this copy is taken. Each posting thread
  // keeps its own snapshot buffer, so after the first post no command allocates.
  thread_local std::vector<MotorCmd> snapshot;
  snapshot.assign(cmd.begin(), cmd.end());
  std::lock_guard<std::mutex> lock(cmd_mutex);
  wire::encodeCommands(snapshot, _table(), cmd_frame_);
}

void MotorSDK::sendRecvMT() {
  {
    std::lock_guard<std::mutex> lock(cmd_mutex);
    if (!wire::refreshMotorTypes(_table(), cmd_frame_)) return;
    _loadSendBuffer();
  }
  _transfer();
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _storeReply();
}

void MotorSDK::recvMT() {
  {
    std::lock_guard<std::mutex> lock(cmd_mutex);
    if (!wire::buildBackgroundPassiveRead(_table(), cmd_frame_)) return;
    _loadSendBuffer();
  }
  _transfer();
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _storeReply();
}

void MotorSDK::_requireCounts(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                              const std::vector<BatState>& bats) const {
  requireAtLeast(motors, motor_num_, "motor");
  requireAtLeast(imus, imu_num_, "imu");
  requireAtLeast(bats, battery_num_, "battery");
}

void MotorSDK::getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  // Checked before the lock is taken and before any record changes.
  _requireCounts(motors, imus, bats);
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _decode(wire::PositionForm::Offset, wire::Operation::SendRecv, true, motors, imus, bats);
}

// ---- Stop, report, version. -----------------------------------------------------------------

void MotorSDK::stop() {
  // The battery part of these replies is received but not kept.
  std::vector<BatState> noBatteries;
  for (int n = 0; n < kStopRepeats; ++n) {
    _loadSendBuffer();
    _transfer();
    wire::splitReply(recv_buf_.data(), motor_raw_, imu_raw_, noBatteries);
    reply_sequence_.fetch_add(1, std::memory_order_release);
  }
}

void MotorSDK::close() { stop(); }

void MotorSDK::print(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                     const std::vector<BatState>& bats) {
  for (size_t i = 0; i < motor_num_; ++i) {
    const MotorState& m = motors.at(i);
    if (m.status == kStatusValid)
      std::printf("[motor recv] id:%u mode:%u pos:%.3f vel:%.3f tau:%.3f temp:%.3f\n", unsigned(m.id),
                  unsigned(m.mode), m.pos, m.vel, m.tau, m.temp);
    else
      std::printf("[ERROR][motor recv] id:%u status:%u mode:%u pos:%.3f vel:%.3f tau:%.3f temp:%.3f\n",
                  unsigned(m.id), unsigned(m.status), unsigned(m.mode), m.pos, m.vel, m.tau, m.temp);
  }
  for (size_t j = 0; j < imu_num_; ++j) {
    const ImuState& u = imus.at(j);
    if (u.status == kStatusValid) {
      const Vec3<double> rpy = quatToRPY(Vec4<double>(u.quat[0], u.quat[1], u.quat[2], u.quat[3]));
      std::printf("[imu recv] id:%u roll:%.3f pitch:%.3f yaw:%.3f\n", unsigned(u.id), rpy[0], rpy[1], rpy[2]);
    } else {
      std::printf("[ERROR][print] imu %u recv error, error type %u!\n", unsigned(u.id), unsigned(u.status));
    }
  }
  for (size_t k = 0; k < battery_num_; ++k) {
    const BatState& b = bats.at(k);
    if (b.status == kStatusValid)
      std::printf("[battery recv] bms_id:%u voltage:%.3f current:%.3f soc:%.3f failure:%d\n", unsigned(b.bms_id),
                  b.voltage, b.current, b.soc, static_cast<int>(b.failure));
    else
      std::printf("[ERROR][print] battery %u recv error, error type %u!\n", unsigned(b.bms_id), unsigned(b.status));
  }
}

void MotorSDK::print(const std::vector<MotorCmd>& /*cmd*/, const std::vector<MotorState>& motors,
                     const std::vector<ImuState>& imus, const std::vector<BatState>& bats) {
  print(motors, imus, bats);
}

std::string MotorSDK::get_version() { return kVersion; }

LinkStats MotorSDK::linkStats() const { return link_monitor_.read(port_ ? &port_->counters() : nullptr); }

RobotDescription MotorSDK::recordingDescription(int32_t robotType) const {
  return RobotDescription{robotType, wire::FrameLayout{motor_num_, imu_num_, battery_num_}, motor_id_, motor_type_,
                          gr_, offset_};
}

void MotorSDK::resetLinkStats() { link_monitor_.reset(port_ ? &port_->counters() : nullptr); }
