#include "motor_sdk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>

#include "UDPPort.h"
#include "absolute_timer.h"
#include "imu_calibration_detail.h"
#include "log_line.h"
#include "serial_port.h"

// std::mutex is usable from program start, so the locks need no run-time set-up.
std::mutex cmd_mutex;
std::mutex feedback_mutex;

namespace {

constexpr int kStopRepeats = 5;
constexpr const char* kVersion = "1.0.1";

// ---- Configuration checks of the counts constructor. ----------------------------------------

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

// ---- IMU calibration. ---------------------------------------------------------------------

void printImuCalibration(const ImuCalibration& imu) {
  std::ostringstream text;  // Eigen's own stream layout, handed over in one piece
  text << "acc bias: " << imu.accBias.transpose() << "\n";
  text << "gyro bias: " << imu.gyroBias.transpose() << "\n";
  text << "R_b_i: \n" << quatToRotMat(imu.rotation) << "\n";
  text << "t_b_i: " << imu.translation.transpose() << "\n";
  logText(text.str());
}

}  // namespace

// The lines init prints while the file is read, so that a file failing at a later key has
// printed the lines of the keys before it.
RobotConfigProgress MotorSDK::startupReport() {
  RobotConfigProgress report;
  report.countRead = [](const RobotConfig& config) {
    logLine("motor num ", config.motors, " ", config.motorNumInFile);
  };
  // The robot type line is begun before the type is read: a type that fails to read leaves
  // its beginning printed, as it always has.
  report.tablesRead = [](const RobotConfig&) { logText("[MotorSDK] robot type is "); };
  report.robotTypeRead = [](const RobotConfig& config) {
    logLine(config.robotType, ", robot init params, total motor num is ", config.motors);
  };
  report.imuSectionsFound = [](bool present) {
    logLine(present ? "[MotorSDK] imu param exists " : "[MotorSDK] imu param does not exist ");
  };
  return report;
}

void MotorSDK::requirePort(const IOPort* port) {
  if (!port) throw std::invalid_argument("[MotorSDK] init: no port was given");
}

namespace {

template <typename Record>
void requireAtLeast(const std::vector<Record>& records, size_t count, const char* what) {
  if (records.size() >= count) return;
  throw std::out_of_range(std::string("[MotorSDK] ") + what + " vector holds " + std::to_string(records.size()) +
                          " records, " + std::to_string(count) + " needed");
}

// The board's endpoint by link type, as the claim on it is keyed and named.
struct LinkName {
  std::string key;
  std::string text;
};

std::optional<LinkName> linkName(const LinkSettings& link) {
  switch (link.kind) {
    case USB: return LinkName{LinkHold::serialKey(link.device), link.describe()};
    case UDP: return LinkName{LinkHold::udpKey(link.boardAddress, link.boardPort), link.describe()};
  }
  return std::nullopt;
}

// The port by link type; none (after a printed message) for an unknown type.
std::unique_ptr<IOPort> openPort(const LinkSettings& link, size_t replyLength, bool announceUsb) {
  switch (link.kind) {
    case USB:
      if (announceUsb) logLine("CommType::USB");
      return std::make_unique<SerialPort>(link.device, replyLength, link.baud, link.receiveTimeoutUs, NO, bits8,
                                          par_none, stop_one, flow_none);
    case UDP:
      return std::make_unique<UDPPort>(link.boardAddress, link.boardPort, link.localAddress, link.localPort,
                                       replyLength, link.receiveTimeoutUs, NO);
  }
  logLine("[MotorSDK] CommType error ");
  return nullptr;
}

LinkSettings linkOfKind(CommType comm_type) {
  LinkSettings link;
  link.kind = comm_type;
  return link;
}

// ---- Who uses the process-wide IMU calibration. ----------------------------------------------

// Every bus set up from a file, with the calibration it set and the file it came from. A
// second robot with another calibration would silently recalibrate the first one's IMU.
struct CalibrationUser {
  const MotorSDK* bus;
  ImuCalibration calibration;
  std::string path;
};

std::mutex calibrationUsersMutex;
std::vector<CalibrationUser> calibrationUsers;

bool sameCalibration(const ImuCalibration& a, const ImuCalibration& b) {
  return a.accBias == b.accBias && a.gyroBias == b.gyroBias && a.rotation == b.rotation &&
         a.translation == b.translation;
}

void requireSharedCalibration(const MotorSDK* bus, const ImuCalibration& calibration, const std::string& path) {
  std::lock_guard<std::mutex> lock(calibrationUsersMutex);
  for (const CalibrationUser& user : calibrationUsers) {
    if (user.bus == bus || sameCalibration(user.calibration, calibration)) continue;
    throw ConfigError("[MotorSDK] the IMU calibration of " + path + " differs from that of " + user.path +
                      ", which another robot of this process uses: the calibration is process-wide, so "
                      "robots with different IMU calibrations need a process each");
  }
}

void useCalibration(const MotorSDK* bus, const ImuCalibration& calibration, const std::string& path) {
  std::lock_guard<std::mutex> lock(calibrationUsersMutex);
  for (CalibrationUser& user : calibrationUsers)
    if (user.bus == bus) {
      user = CalibrationUser{bus, calibration, path};
      return;
    }
  calibrationUsers.push_back(CalibrationUser{bus, calibration, path});
}

void dropCalibrationUser(const MotorSDK* bus) {
  std::lock_guard<std::mutex> lock(calibrationUsersMutex);
  calibrationUsers.erase(std::remove_if(calibrationUsers.begin(), calibrationUsers.end(),
                                        [bus](const CalibrationUser& user) { return user.bus == bus; }),
                         calibrationUsers.end());
}

}  // namespace

// ---- Set-up. --------------------------------------------------------------------------------

MotorSDK::MotorSDK() = default;

MotorSDK::MotorSDK(uint8_t& motor_num, uint8_t& imu_num, uint8_t& battery_num, std::vector<double>& offset,
                   std::vector<double>& gr, std::vector<uint16_t>& motor_id, CommType comm_type) {
  requireTableCovers(offset, motor_num, "offset");
  requireTableCovers(gr, motor_num, "gr");
  requireTableCovers(motor_id, motor_num, "motor_id");
  // Only the motors' own entries are used, so only they are checked.
  for (size_t i = 0; i < motor_num; ++i) requireUsableMotorValues(i, offset[i], gr[i]);
  RobotConfig config;
  config.motors = motor_num;
  config.imus = imu_num;
  config.batteries = battery_num;
  config.motorId = motor_id;
  config.offset = offset;
  config.gr = gr;
  config.motorType.assign(motor_num, 5);
  logLine("motor leg constructing ");

  const LinkSettings link = linkOfKind(comm_type);
  LinkHold hold = _claimLink(link);
  std::unique_ptr<IOPort> port = openPort(link, config.layout().replyLength(), false);
  _keepClaim(std::move(hold), link);
  _adopt(std::move(config), std::move(port));
  if (!port_) return;
  logLine("[MotorSDK] successful initialization ");
  // The locks are process-wide std::mutex objects, ready from program start: there is nothing
  // to initialise here, so the "Failed to create cmd/state mutex" reports cannot occur.
}

MotorSDK::~MotorSDK() { dropCalibrationUser(this); }

void MotorSDK::init(std::string path, CommType comm_type) {
  LinkOptions link;
  link.kind = comm_type;
  init(std::move(path), link);
}

void MotorSDK::init(std::string path, const LinkOptions& link) {
  init(loadRobotConfig(path, ConfigKeys::All, startupReport()), link);
}

void MotorSDK::init(RobotConfig config, const LinkOptions& link) {
  // Nothing is stored until the port is open, so a failed init leaves this bus, and the
  // calibration every bus shares, exactly as they were.
  const std::string& path = config.path;
  const LinkSettings settings = link.over(config.link).resolved();
  if (config.imu) printImuCalibration(*config.imu);
  const ImuCalibration calibration = config.imu.value_or(ImuCalibration{});
  // Only a bus with a board decodes IMU records; one without a port is no robot to protect.
  if (linkName(settings)) requireSharedCalibration(this, calibration, path);
  LinkHold hold = _claimLink(settings);
  std::unique_ptr<IOPort> port = openPort(settings, config.layout().replyLength(), true);
  setImuCalibration(calibration);
  if (port) useCalibration(this, calibration, path);
  else dropCalibrationUser(this);
  port_.reset();  // the old port closes before its claim goes
  _keepClaim(std::move(hold), settings);
  _adopt(std::move(config), std::move(port));
  if (port_) logLine("[MotorSDK] successful initialization ");
}

void MotorSDK::init(std::string path, std::unique_ptr<IOPort> port) {
  requirePort(port.get());  // before the file is read
  init(loadRobotConfig(path, ConfigKeys::All, startupReport()), std::move(port));
}

void MotorSDK::init(RobotConfig config, std::unique_ptr<IOPort> port) {
  requirePort(port.get());
  const std::string& path = config.path;
  if (config.imu) printImuCalibration(*config.imu);
  const ImuCalibration calibration = config.imu.value_or(ImuCalibration{});
  requireSharedCalibration(this, calibration, path);
  const timeval wait = port->savedTimeout();
  port->ResetIO(port->blockMode(), config.layout().replyLength(),
                static_cast<size_t>(wait.tv_sec) * 1000000 + static_cast<size_t>(wait.tv_usec));
  setImuCalibration(calibration);
  useCalibration(this, calibration, path);
  port_.reset();
  hold_ = LinkHold();  // the caller's port is the caller's to share or not
  _adopt(std::move(config), std::move(port));
  logLine("[MotorSDK] successful initialization ");
}

// A second controller on the board would take this one's replies while both command the
// motors. A bus opened again on the link it holds already keeps its claim.
LinkHold MotorSDK::_claimLink(const LinkSettings& link) {
  const std::optional<LinkName> name = linkName(link);
  if (!name) return LinkHold();
  if (hold_.holds() && hold_.key() == name->key) return LinkHold();
  return LinkHold(name->key, name->text);
}

// Called once the new port is open: a fresh claim replaces the old one; an empty one keeps
// the claim this bus already has on the same board, or drops it for a bus without a port.
void MotorSDK::_keepClaim(LinkHold hold, const LinkSettings& link) {
  if (hold.holds() || !linkName(link)) hold_ = std::move(hold);
}

void MotorSDK::_adopt(RobotConfig config, std::unique_ptr<IOPort> port) {
  config_ = std::move(config);
  layout_ = config_.layout();
  motor_num_ = static_cast<uint8_t>(layout_.motors);
  imu_num_ = static_cast<uint8_t>(layout_.imus);
  battery_num_ = static_cast<uint8_t>(layout_.batteries);
  _sizeFrames();
  port_ = std::move(port);
  configured_ = true;
}

void MotorSDK::_sizeFrames() {
  cmd_frame_.assign(layout_.motors, MotorCmd{});
  motor_raw_.assign(layout_.motors, MotorState{});
  imu_raw_.assign(layout_.imus, ImuState{});
  battery_raw_.assign(layout_.batteries, BatState{});
  send_buf_.assign(layout_.commandLength(), 0);
  recv_buf_.assign(layout_.replyLength(), 0);
  health_ = std::make_unique<std::atomic<uint16_t>[]>(layout_.motors);
  for (size_t i = 0; i < layout_.motors; ++i) health_[i].store(0, std::memory_order_relaxed);
}

// Every exchange reads the per-motor tables and writes the command frame, which only a
// completed set-up sizes together.
void MotorSDK::_requireConfigured(const char* operation) const {
  if (configured_) return;
  throw std::logic_error(std::string("[MotorSDK] ") + operation + " on a bus that init has not configured");
}

// ---- The exchange step, in three pieces so the split family can lock around each. ----------

void MotorSDK::_loadSendBuffer() {
  if (!send_buf_.empty()) std::memcpy(send_buf_.data(), cmd_frame_.data(), send_buf_.size());
  std::fill(recv_buf_.begin(), recv_buf_.end(), 0);
}

MotorSDK::Arrival MotorSDK::_transfer() {
  // A bus without a port behaves like a board that never answers: the zeros stay.
  if (!port_) return {false, false, monotonicNanos()};
  ExchangeResult result;
  result.sentNs = monotonicNanos();
  result.complete = port_->SendRecv(send_buf_.data(), recv_buf_.data(), send_buf_.size());
  result.repliedNs = monotonicNanos();
  const size_t received = port_->lastReplyLength();  // a failed call's -1 counts as nothing
  result.received = result.complete ? replyLength() : (received <= replyLength() ? received : 0);
  result.cut = port_->lastReplyWasCut();
  last_reply_bytes_.store(received == static_cast<size_t>(-1) ? 0 : port_->lastReplyFullLength(),
                          std::memory_order_relaxed);
  link_monitor_.noteExchange(result, recv_buf_.data(), layout_);
  recorder_slot_.capture(result, send_buf_.data(), recv_buf_.data());
  black_box_.capture(result, send_buf_.data(), recv_buf_.data());
  if (result.complete) return {true, true, result.repliedNs};
  // A short reply: the record it was cut inside must read as missing, not as valid.
  wire::clearCutRecords(recv_buf_.data(), port_->lastReplyLength(), layout_);
  return {port_->lastReplyLength() > 0, false, result.repliedNs};
}

// Every stored reply gets a new sequence number (the robot layer decodes each one once); one
// that at least partly arrived also counts as received (waiters for a new state wake on it).
// The motors' status bytes are published as well, so a watchdog judges what the link got, not
// what some reader last decoded. The reply's stamp is stored with the records it describes.
void MotorSDK::_storeReply(Arrival arrival, Keep keep) {
  static std::vector<BatState> noBatteries;  // never resized: splitReply copies no battery bytes
  wire::splitReply(recv_buf_.data(), motor_raw_, imu_raw_, keep == Keep::Everything ? battery_raw_ : noBatteries);
  for (size_t i = 0; i < motor_raw_.size(); ++i)
    health_[i].store(static_cast<uint16_t>(motor_raw_[i].status | (motor_raw_[i].id << 8)),
                     std::memory_order_relaxed);
  // The sequence moves first: a waiter woken by the received count finds the new reply.
  latest_.sequence = reply_sequence_.fetch_add(1, std::memory_order_release) + 1;
  if (arrival.answered) replies_received_.fetch_add(1, std::memory_order_release);
  if (arrival.complete) complete_replies_.fetch_add(1, std::memory_order_release);
  latest_.answered = replies_received_.load(std::memory_order_relaxed);
  latest_.receiveTime = static_cast<double>(arrival.endedNs) * 1e-9;
}

void MotorSDK::latestHealth(std::vector<MotorHealth>& health) const {
  if (health.size() != motor_num_)
    throw std::out_of_range("[MotorSDK] latestHealth: " + std::to_string(health.size()) + " entries for " +
                            std::to_string(motor_num_) + " motors");
  for (size_t i = 0; i < health.size(); ++i) {
    const uint16_t both = health_[i].load(std::memory_order_relaxed);
    health[i].status = static_cast<uint8_t>(both & 0xFF);
    health[i].id = static_cast<uint8_t>(both >> 8);
  }
}

void MotorSDK::_exchange() {
  _loadSendBuffer();
  _storeReply(_transfer());
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
  if (calibrate) calibrateFreshRecords(imu_raw_, imus);
  wire::decodeBatteries(battery_raw_, op, bats);
}

void MotorSDK::sendRecv(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                        std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _requireConfigured("sendRecv");
  _resizeToCounts(motors, imus, bats);
  wire::requireFiniteOnLink(cmd, _table());
  if (!wire::encodeCommands(cmd, _table(), cmd_frame_)) return;
  _exchange();
  _decode(wire::PositionForm::Offset, wire::Operation::SendRecv, true, motors, imus, bats);
}

void MotorSDK::recv(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _requireConfigured("recv");
  _resizeToCounts(motors, imus, bats);
  wire::buildPassiveRead(_table(), cmd_frame_);
  _exchange();
  _decode(wire::PositionForm::Offset, wire::Operation::Recv, true, motors, imus, bats);
}

void MotorSDK::recvRaw(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _requireConfigured("recvRaw");
  _resizeToCounts(motors, imus, bats);
  wire::buildPassiveRead(_table(), cmd_frame_);
  _exchange();
  _decode(wire::PositionForm::Raw, wire::Operation::Recv, false, motors, imus, bats);
}

void MotorSDK::setMotorZero(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                            std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  _requireConfigured("setMotorZero");
  _resizeToCounts(motors, imus, bats);
  if (!wire::buildZeroSetting(cmd, _table(), cmd_frame_)) return;
  _exchange();
  _decode(wire::PositionForm::Raw, wire::Operation::SetMotorZero, true, motors, imus, bats);
}

// ---- Split family. --------------------------------------------------------------------------

void MotorSDK::setSendMT(const std::vector<MotorCmd>& cmd) {
  _requireConfigured("setSendMT");
  _encodeUnlessHeld(cmd);
}

bool MotorSDK::trySetSendMT(const std::vector<MotorCmd>& cmd) {
  _requireConfigured("trySetSendMT");
  return _encodeUnlessHeld(cmd);
}

// The caller may change its vector again as soon as this copy is taken. Each posting thread
// keeps its own snapshot buffer, so after the first post no command allocates.
const std::vector<MotorCmd>& MotorSDK::_checkedSnapshot(const std::vector<MotorCmd>& cmd) const {
  thread_local std::vector<MotorCmd> snapshot;
  snapshot.assign(cmd.begin(), cmd.end());
  wire::requireFiniteOnLink(snapshot, _table());
  return snapshot;
}

bool MotorSDK::_encodeUnlessHeld(const std::vector<MotorCmd>& cmd) {
  const std::vector<MotorCmd>& snapshot = _checkedSnapshot(cmd);
  std::lock_guard<std::mutex> lock(cmd_mutex);
  // Judged under the lock that stores: a hold set a moment earlier is never overwritten.
  if (hold_bits_.load(std::memory_order_relaxed) != 0) return false;
  wire::encodeCommands(snapshot, _table(), cmd_frame_);
  return true;
}

uint32_t MotorSDK::holdCommands(const std::vector<MotorCmd>& frame, uint32_t bits) {
  _requireConfigured("holdCommands");
  const std::vector<MotorCmd>& snapshot = _checkedSnapshot(frame);
  std::lock_guard<std::mutex> lock(cmd_mutex);
  wire::encodeCommands(snapshot, _table(), cmd_frame_);
  return hold_bits_.fetch_or(bits, std::memory_order_acq_rel);
}

uint32_t MotorSDK::releaseCommands(uint32_t bits) {
  std::lock_guard<std::mutex> lock(cmd_mutex);
  return hold_bits_.fetch_and(~bits, std::memory_order_acq_rel) & ~bits;
}

void MotorSDK::sendRecvMT() {
  _requireConfigured("sendRecvMT");
  {
    std::lock_guard<std::mutex> lock(cmd_mutex);
    if (!wire::refreshMotorTypes(_table(), cmd_frame_)) return;
    _loadSendBuffer();
  }
  const Arrival arrival = _transfer();
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _storeReply(arrival);
}

void MotorSDK::recvMT() {
  _requireConfigured("recvMT");
  {
    std::lock_guard<std::mutex> lock(cmd_mutex);
    // A held frame goes out instead of the passive read.
    if (hold_bits_.load(std::memory_order_relaxed) != 0) {
      if (!wire::refreshMotorTypes(_table(), cmd_frame_)) return;
    } else if (!wire::buildBackgroundPassiveRead(_table(), cmd_frame_)) {
      return;
    }
    _loadSendBuffer();
  }
  const Arrival arrival = _transfer();
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _storeReply(arrival);
}

void MotorSDK::_requireCounts(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                              const std::vector<BatState>& bats) const {
  requireAtLeast(motors, motor_num_, "motor");
  requireAtLeast(imus, imu_num_, "imu");
  requireAtLeast(bats, battery_num_, "battery");
}

void MotorSDK::getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats) {
  ReplyStamp unused;
  getRecvMT(motors, imus, bats, unused);
}

void MotorSDK::getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats,
                         ReplyStamp& stamp) {
  _requireConfigured("getRecvMT");
  // Checked before the lock is taken and before any record changes.
  _requireCounts(motors, imus, bats);
  std::lock_guard<std::mutex> lock(feedback_mutex);
  _decode(wire::PositionForm::Offset, wire::Operation::SendRecv, true, motors, imus, bats);
  stamp = latest_;
}

std::vector<MotorState> MotorSDK::rawMotorStates() const {
  std::lock_guard<std::mutex> lock(feedback_mutex);
  return motor_raw_;
}

std::vector<BatState> MotorSDK::rawBatteryStates() const {
  std::lock_guard<std::mutex> lock(feedback_mutex);
  return battery_raw_;
}

// ---- Stop, report, version. -----------------------------------------------------------------

void MotorSDK::stop() {
  _requireConfigured("stop");
  // The battery part of these replies is received but not kept.
  for (int n = 0; n < kStopRepeats; ++n) {
    _loadSendBuffer();
    _storeReply(_transfer(), Keep::AllButBatteries);
  }
}

void MotorSDK::close() {
  _requireConfigured("close");
  stop();
}

void MotorSDK::print(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                     const std::vector<BatState>& bats) {
  for (size_t i = 0; i < motor_num_; ++i) {
    const MotorState& m = motors.at(i);
    if (m.status == kStatusValid)
      logFormat("[motor recv] id:%u mode:%u pos:%.3f vel:%.3f tau:%.3f temp:%.3f\n", unsigned(m.id), unsigned(m.mode),
                m.pos, m.vel, m.tau, m.temp);
    else
      logFormat("[ERROR][motor recv] id:%u status:%u mode:%u pos:%.3f vel:%.3f tau:%.3f temp:%.3f\n", unsigned(m.id),
                unsigned(m.status), unsigned(m.mode), m.pos, m.vel, m.tau, m.temp);
  }
  for (size_t j = 0; j < imu_num_; ++j) {
    const ImuState& u = imus.at(j);
    if (u.status == kStatusValid) {
      const Vec3<double> rpy = quatToRPY(Vec4<double>(u.quat[0], u.quat[1], u.quat[2], u.quat[3]));
      logFormat("[imu recv] id:%u roll:%.3f pitch:%.3f yaw:%.3f\n", unsigned(u.id), rpy[0], rpy[1], rpy[2]);
    } else {
      logFormat("[ERROR][print] imu %u recv error, error type %u!\n", unsigned(u.id), unsigned(u.status));
    }
  }
  for (size_t k = 0; k < battery_num_; ++k) {
    const BatState& b = bats.at(k);
    if (b.status == kStatusValid)
      logFormat("[battery recv] bms_id:%u voltage:%.3f current:%.3f soc:%.3f failure:%d\n", unsigned(b.bms_id),
                b.voltage, b.current, b.soc, static_cast<int>(b.failure));
    else
      logFormat("[ERROR][print] battery %u recv error, error type %u!\n", unsigned(b.bms_id), unsigned(b.status));
  }
}

void MotorSDK::print(const std::vector<MotorCmd>& /*cmd*/, const std::vector<MotorState>& motors,
                     const std::vector<ImuState>& imus, const std::vector<BatState>& bats) {
  print(motors, imus, bats);
}

std::string MotorSDK::get_version() { return kVersion; }

LinkStats MotorSDK::linkStats() const { return link_monitor_.read(port_ ? &port_->counters() : nullptr); }

RobotDescription MotorSDK::recordingDescription(int32_t robotType) const {
  return RobotDescription{robotType, layout_, _table()};
}

void MotorSDK::resetLinkStats() { link_monitor_.reset(port_ ? &port_->counters() : nullptr); }
