// RobotSDK: the motor link thread, the watchdog, the optional control loop, and the state and
// command hand-over in the virtual joint space.
#include "robot_sdk.h"

#include <dirent.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "absolute_timer.h"
#include "log_line.h"
#include "robot_config.h"

namespace {

constexpr float kCommPeriod = 0.0021f;
constexpr float kWatchdogPeriod = 0.01f;
constexpr int kNoRealtimePriority = -1;
constexpr int kPrimingPasses = 10;
constexpr float kBrakeDamping = 0.8f;
constexpr int64_t kDumpSpacingNs = 10'000'000'000;  // at most one automatic dump per cause in this time
constexpr int kMostDumpsPerFolder = 20;
constexpr auto kDumpPoll = std::chrono::milliseconds(20);  // how often the black box thread looks for causes
constexpr double kLongestCommandTimeout = 1e9;             // s; keeps the nanoseconds in range
constexpr const char* kDumpCauseNames[] = {"link-lost", "callback-threw", "command-expired"};

// "20261209T134512.123Z": the time in a file name, sortable, without characters a shell quotes.
std::string utcStamp() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  gmtime_r(&now.tv_sec, &parts);
  char text[32];
  const size_t length = strftime(text, sizeof(text), "%Y%m%dT%H%M%S", &parts);
  std::snprintf(text + length, sizeof(text) - length, ".%03ldZ", now.tv_nsec / 1000000);
  return text;
}

constexpr const char* kDumpPrefix = "blackbox-";

// The black box files already in `folder`, whoever wrote them: a process that restarts after
// each failure must not fill the disk either. 0 for a folder that cannot be read (its dump
// then fails and says why).
int dumpsIn(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (!directory) return 0;
  int count = 0;
  while (const dirent* entry = readdir(directory))
    if (std::strncmp(entry->d_name, kDumpPrefix, std::strlen(kDumpPrefix)) == 0) ++count;
  closedir(directory);
  return count;
}

// In callback style a command comes once per control period at best: a shorter timeout would
// brake a controller that keeps its period.
void requireTimeoutCoversPeriod(double timeout, double dt) {
  if (timeout <= 0.0 || timeout >= dt) return;
  std::ostringstream text;
  text << "[RobotSDK] a command timeout of " << timeout << " s is shorter than the control period of " << dt
       << " s: every period would expire";
  throw std::invalid_argument(text.str());
}

void zeroCommand(RobotCommand& command, Eigen::Index n) {
  for (Eigen::VectorXd* vector : {&command.tau, &command.pos, &command.vel, &command.kp, &command.kd})
    vector->setZero(n);
  command.flag0 = command.flag1 = command.flag2 = false;
}

std::string messageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

}  // namespace

const char* BrakeLatch::describe(uint32_t reason) {
  switch (reason) {
    case kLinkLost:
      return "the link to the motor board is lost";
    case kControllerFailed:
      return "the control callback threw";
    case kCommandExpired:
      return "the commands stopped coming";
    default:
      return reason ? "several automatic brakes" : "no automatic brake";
  }
}

// ---- Construction ------------------------------------------------------------------------

RobotSDK::RobotSDK() = default;

RobotSDK::RobotSDK(std::string path) : RobotSDK(std::move(path), OpenFailure::ExitProcess) {}

RobotSDK::RobotSDK(std::string path, OpenFailure onFailure) : RobotSDK(std::move(path), LinkOptions{}, onFailure) {}

RobotSDK::RobotSDK(std::string path, const LinkOptions& link, OpenFailure onFailure) {
  _createThreads();
  RobotConfig config = _readConfig(path, onFailure);
  _openBus([&] { motor_sdk_.init(std::move(config), link); }, onFailure);
}

RobotSDK::RobotSDK(std::string path, std::unique_ptr<IOPort> port, OpenFailure onFailure) {
  _createThreads();
  RobotConfig config = _readConfig(path, onFailure, port.get());
  _openBus([&] { motor_sdk_.init(std::move(config), std::move(port)); }, onFailure);
}

RobotSDK::RobotSDK(std::string path, double dt, ControlCallback callback)
    : RobotSDK(std::move(path), dt, std::move(callback), OpenFailure::ExitProcess) {}

RobotSDK::RobotSDK(std::string path, double dt, ControlCallback callback, OpenFailure onFailure)
    : RobotSDK(std::move(path), dt, std::move(callback), LinkOptions{}, onFailure) {}

RobotSDK::RobotSDK(std::string path, double dt, ControlCallback callback, const LinkOptions& link,
                   OpenFailure onFailure) {
  _enableControl(dt, std::move(callback));
  _createThreads();
  RobotConfig config = _readConfig(path, onFailure);
  _openBus([&] { motor_sdk_.init(std::move(config), link); }, onFailure);
}

RobotSDK::RobotSDK(std::string path, double dt, ControlCallback callback, std::unique_ptr<IOPort> port,
                   OpenFailure onFailure) {
  _enableControl(dt, std::move(callback));
  _createThreads();
  RobotConfig config = _readConfig(path, onFailure, port.get());
  _openBus([&] { motor_sdk_.init(std::move(config), std::move(port)); }, onFailure);
}

// Checked before anything is read or opened.
void RobotSDK::_enableControl(double dt, ControlCallback callback) {
  _requireCallback(callback);
  _requireControlPeriod(dt);
  dt_ = dt;
  control_callback_ = std::move(callback);
  control_enabled_ = true;
}

// Never throws: an exception the control callback threw and stop() did not hand over is printed.
RobotSDK::~RobotSDK() {
  if (running_) _stopThreads();
  _stopBlackBoxThread();
  stopRecording();
  if (const std::exception_ptr failure = controllerFailure())
    logLine("[ERROR] [RobotSDK] the control callback's exception was never collected by stop(): ",
            messageOf(failure));
  watchdog_task_.reset();
  comm_task_.reset();
  control_task_.reset();
}

void RobotSDK::_requireCallback(const ControlCallback& callback) {
  if (!callback) throw std::invalid_argument("[RobotSDK] the control callback is empty");
}

// A period whose timer setting (taken from the float the thread runs on) truncates to zero
// would disarm the control thread's timer: the thread would wait for ever and stop() would
// never return. The range test only keeps the narrowing to float defined.
void RobotSDK::_requireControlPeriod(double dt) {
  if (std::fabs(dt) < 2147483648.0 && armsTimer(intervalTimerSpec(static_cast<float>(dt)))) return;
  std::ostringstream text;
  text << "[RobotSDK] the control period must be between a nanosecond and 2^31 s, not " << dt << " s";
  throw std::invalid_argument(text.str());
}

void RobotSDK::_createThreads() {
  comm_task_ = std::make_unique<PeriodicFunction>(kCommPeriod, "motor_comm", [this] { _lowLevelComm(); },
                                                  kNoRealtimePriority);
  if (control_enabled_) _createControlThread();
  watchdog_task_ = std::make_unique<PeriodicFunction>(kWatchdogPeriod, "watch_dog", [this] { _watchDog(); },
                                                      kNoRealtimePriority);
}

void RobotSDK::_createControlThread() {
  control_task_ = std::make_unique<PeriodicFunction>(static_cast<float>(dt_), "motion_control",
                                                     [this] { _run(); }, kNoRealtimePriority);
}

// The file is read once: the robot type first, judged before any of the bus's lines, then
// everything else with the bus's report. A caller's port is checked where the bus would check
// it, after the robot type and before the rest of the file.
RobotConfig RobotSDK::_readConfig(const std::string& path, OpenFailure onFailure, std::optional<const IOPort*> port) {
  logLine("[robot sdk] config path is ", path);
  RobotConfigProgress report = MotorSDK::startupReport();
  report.robotTypeFirst = [&](const std::string& name) {
    _chooseRobotType(name, path, onFailure);
    if (port) MotorSDK::requirePort(*port);
  };
  return loadRobotConfig(path, ConfigKeys::All, report);
}

void RobotSDK::_chooseRobotType(const std::string& name, const std::string& path, OpenFailure onFailure) {
  if (const std::optional<RobotType> type = robotTypeFromName(name)) {
    logLine(robotTypeRow(*type).openLine);
    robot_type_ = *type;
    return;
  }
  const std::string detail = unknownRobotTypeText(name, path);
  if (onFailure == OpenFailure::Throw)
    throw RobotTypeError("[robot sdk] invalid robot type name, check config file: " + detail);
  logLine("[robot sdk] invalid robot type name, check config file ");
  logLine("[robot sdk] ", detail);
  flushLogBeforeExit();
  std::exit(1);  // nothing is open and no thread runs yet
}

void RobotSDK::_openBus(const std::function<void()>& initBus, OpenFailure onFailure) {
  try {
    initBus();
  } catch (const LinkOpenError& error) {
    if (onFailure == OpenFailure::Throw) throw;
    logLine(error.what());
    std::exit(-1);  // status 255, as for every link that cannot be opened
  }
  const int n = motor_sdk_.motor_num_;
  // Refused here, before any thread runs: the control thread could not map such a robot.
  if (!supportsJointCount(robotTypeCode(robot_type_), n))
    throw ConfigError(std::string("[RobotSDK] a ") + robotTypeName(robot_type_) + " robot cannot have " +
                      std::to_string(n) + " motors: the bipeds have 10 to 14 joints, zenthi robots at most 18");
  reportConfiguredLimits(robotTypeCode(robot_type_), motor_sdk_.jointMin(), motor_sdk_.jointMax());
  motor_sdk_.blackBox().configure(motor_sdk_.recordingDescription(robotTypeCode(robot_type_)));
  zeroCommand(cmd_virtual_, n);
  zeroCommand(cmd_real_, n);
  state_virtual_.zero(n);
  state_real_.zero(n);
  motor_cmds_.assign(n, MotorCmd{});
  motor_states_.assign(n, MotorState{});
  imu_states_.assign(motor_sdk_.imu_num_, ImuState{});
  bat_states_.assign(motor_sdk_.battery_num_, BatState{});
  watchdog_view_.assign(n, MotorSDK::MotorHealth{});
  watchdog_ = LinkWatchdog(watchdog_view_.size());
  brake_cmds_.assign(n, MotorCmd{});
  for (MotorCmd& cmd : brake_cmds_) {
    cmd.mode = kModeNormal;
    cmd.kd = kBrakeDamping;
  }
  configured_ = true;
}

// Priming exchanges on the caller's thread while "motor_comm" exchanges on the same port would
// take each other's replies.
void RobotSDK::_requireStopped(const char* operation) const {
  if (running_) throw std::logic_error(std::string("[RobotSDK] ") + operation + " while the threads run: stop() first");
}

void RobotSDK::_requireConfigured(const char* operation) const {
  if (!configured_)
    throw std::logic_error(std::string("[RobotSDK] ") + operation + " needs an object built from a configuration");
}

// ---- Public operations --------------------------------------------------------------------

void RobotSDK::init() {
  _requireConfigured("init");
  _requireStopped("init");
  _prime();
}

void RobotSDK::init(double dt, ControlCallback callback) {
  _requireConfigured("init");
  _requireStopped("init");
  _requireCallback(callback);
  _requireControlPeriod(dt);
  if (control_enabled_) throw std::invalid_argument("[RobotSDK] init: a control callback is already set");
  requireTimeoutCoversPeriod(commandTimeout(), dt);
  dt_ = dt;
  control_callback_ = std::move(callback);
  control_enabled_ = true;
  _createControlThread();
  _prime();
}

void RobotSDK::start() {
  _requireConfigured("start");
  // A second start() only has each thread say that it already runs.
  if (!running_) {
    if (realtime_.lock_memory) lockProcessMemory();  // before the threads' stacks exist
    comm_task_->setSchedule(realtime_.link());
    if (control_enabled_) control_task_->setSchedule(realtime_.control());
    watchdog_task_->setSchedule(realtime_.watchdog());
  }
  last_command_ns_.store(monotonicNanos());  // the commands' clock starts with the link
  _startThreads();
  running_ = true;
  _setLinkRunning(true);
}

void RobotSDK::setRealtime(const RealtimeOptions& options) {
  _requireConfigured("setRealtime");
  _requireStopped("setRealtime");
  options.check();
  realtime_ = options;
}

// A thread the system refuses ends before its first cycle; the ones started before it are
// stopped again, in the order of stop().
void RobotSDK::_startThreads() {
  try {
    comm_task_->start();
    if (control_enabled_) control_task_->start();
    watchdog_task_->start();
  } catch (...) {
    for (PeriodicFunction* task : {watchdog_task_.get(), comm_task_.get(), control_task_.get()})
      if (task && task->isRunning()) task->stop();
    throw;
  }
}

void RobotSDK::stop() {
  _requireConfigured("stop");
  _stopThreads();
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    failure = std::exchange(controller_failure_, nullptr);
  }
  if (!failure) return;
  _releaseBrake(BrakeLatch::kControllerFailed, "stop()");
  std::rethrow_exception(failure);
}

std::exception_ptr RobotSDK::controllerFailure() const {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  return controller_failure_;
}

void RobotSDK::_stopThreads() {
  watchdog_task_->stop();
  comm_task_->stop();
  if (control_enabled_) control_task_->stop();
  running_ = false;
  _setLinkRunning(false);
}

void RobotSDK::setLinkFailureHandler(std::function<void()> handler) {
  _requireConfigured("setLinkFailureHandler");
  _requireStopped("setLinkFailureHandler");
  link_failure_handler_ = std::move(handler);
}

// Its own frame, never written after set-up, so any thread may brake while the control
// thread fills motor_cmds_.
void RobotSDK::brake() {
  _requireConfigured("brake");
  motor_sdk_.setSendMT(brake_cmds_);
}

void RobotSDK::resumeAfterLinkFailure() {
  _requireConfigured("resumeAfterLinkFailure");
  if (!brakeLatch().holds(BrakeLatch::kLinkLost)) return;
  const std::string silent = _silentMotors();
  if (!silent.empty())
    throw LinkFailure("[RobotSDK] resumeAfterLinkFailure: " + silent +
                      " still send no valid record; the damping brake holds");
  link_down_.store(false);
  _releaseBrake(BrakeLatch::kLinkLost, "resumeAfterLinkFailure()");
}

// Under brake_mutex_, so that a brake engaged on one thread and released on another print
// their lines in the order the hold changed.
void RobotSDK::_engageBrake(BrakeLatch::Reason reason) {
  std::lock_guard<std::mutex> lock(brake_mutex_);
  motor_sdk_.holdCommands(brake_cmds_, reason);
}

void RobotSDK::_releaseBrake(BrakeLatch::Reason reason, const char* how) {
  std::lock_guard<std::mutex> lock(brake_mutex_);
  if (!brakeLatch().holds(reason)) return;
  const uint32_t left = motor_sdk_.releaseCommands(reason);
  if (left)
    logLine("[RobotSDK] ", how, " ends the brake for: ", BrakeLatch::describe(reason), "; the damping brake holds for: ",
            BrakeLatch::describe(BrakeLatch(left).inForce()));
  else
    logLine("[RobotSDK] ", how, " ends the brake for: ", BrakeLatch::describe(reason),
            "; commands are accepted again");
}

// The motors whose record in the latest reply is not valid, as "motor 0 (id 1), motor 3 (id 4)".
std::string RobotSDK::_silentMotors() const {
  std::vector<MotorSDK::MotorHealth> health(motor_sdk_.motor_num_);
  motor_sdk_.latestHealth(health);
  std::ostringstream silent;
  for (size_t i = 0; i < health.size(); ++i) {
    if (health[i].status == kStatusValid) continue;
    if (silent.tellp() > 0) silent << ", ";
    silent << "motor " << i << " (id " << motor_sdk_.motorIds()[i] << ")";
  }
  return silent.str();
}

// A read while the link is lost would hand out the last values as if they were fresh.
void RobotSDK::_requireLinkUp(const char* operation) {
  if (!link_down_.load() || _silentMotors().empty()) return;
  const LinkStats stats = motor_sdk_.linkStats();
  std::ostringstream text;
  text.precision(2);
  text << std::fixed << "[RobotSDK] " << operation << ": the link to the motor board is lost";
  if (stats.reply_age_us >= 0) text << " (last complete reply " << stats.reply_age_us / 1e6 << " s ago)";
  text << "; the motors hold the damping brake until resumeAfterLinkFailure()";
  throw LinkFailure(text.str());
}

void RobotSDK::getState(RobotState& state) { state = readState(); }

const RobotState& RobotSDK::readState() {
  _requireConfigured("getState");
  _requireLinkUp("getState");
  _getState();
  return _mappedState();
}

void RobotSDK::setCommand(const RobotCommand& command) {
  _requireConfigured("setCommand");
  const auto refuse = [this] {
    // An expired command is ended by this very command.
    const BrakeLatch latch(brakeLatch().bits() & ~BrakeLatch::kCommandExpired);
    if (!latch.any()) return;
    const std::string text = std::string("[RobotSDK] setCommand: ") + BrakeLatch::describe(latch.inForce()) +
                             "; the motors hold the damping brake";
    if (latch.holds(BrakeLatch::kLinkLost)) throw LinkFailure(text + " until resumeAfterLinkFailure() succeeds");
    throw std::runtime_error(text);
  };
  refuse();
  requireUsableCommand(command, motor_sdk_.motor_num_, "[RobotSDK] setCommand");
  _getState();  // the present configuration gives the legs' Jacobians
  switchVirtualToReal(state_real_, command, cmd_real_, robotTypeCode(robot_type_), frame_.legs);
  if (!_storeCommand()) refuse();  // a brake engaged meanwhile kept its frame
}

std::vector<MotorState> RobotSDK::motorStates() const {
  _requireConfigured("motorStates");
  return motor_sdk_.rawMotorStates();
}

std::vector<BatState> RobotSDK::batteryStates() const {
  _requireConfigured("batteryStates");
  return motor_sdk_.rawBatteryStates();
}

bool RobotSDK::waitForNewState(double timeoutSeconds) {
  _requireConfigured("waitForNewState");
  if (!(timeoutSeconds >= 0.0))
    throw std::invalid_argument("[RobotSDK] waitForNewState: the timeout must be 0 s or more");
  constexpr double kLongestWait = 1e7;  // keeps the deadline far from the clock's range
  const std::chrono::duration<double> timeout(std::min(timeoutSeconds, kLongestWait));
  _requireLinkUp("waitForNewState");
  std::unique_lock<std::mutex> lock(reply_mutex_);
  const auto newReply = [this] { return motor_sdk_.repliesReceived() > frame_.answeredSeen.load(); };
  reply_arrived_.wait_for(lock, timeout, [&] { return newReply() || !link_running_ || link_down_.load(); });
  if (link_down_.load() && !newReply()) {
    lock.unlock();
    _requireLinkUp("waitForNewState");
  }
  if (!newReply()) return false;
  frame_.answeredSeen.store(motor_sdk_.repliesReceived());
  return true;
}

// A stopped link brings no reply: waiters are let go at once.
void RobotSDK::_setLinkRunning(bool running) {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  link_running_ = running;
  reply_arrived_.notify_all();
}

void RobotSDK::startRecording(const std::string& path, size_t ringRecords) {
  _requireConfigured("startRecording");
  if (recorder_) throw std::logic_error("[RobotSDK] startRecording: a recording already runs");
  recorder_ = std::make_unique<FlightRecorder>(path, motor_sdk_.recordingDescription(robotTypeCode(robot_type_)),
                                               ringRecords);
  motor_sdk_.attachRecorder(recorder_.get());
}

RecordingSummary RobotSDK::stopRecording() {
  if (!recorder_) return {};
  motor_sdk_.detachRecorder();
  const RecordingSummary summary = recorder_->finish();
  recorder_.reset();
  return summary;
}

// ---- Feedback -----------------------------------------------------------------------------

// A device that never answered would read as zeros (every joint at 0, a level IMU) while the
// real robot stands elsewhere; a controller started on that could command a violent move.
void RobotSDK::_prime() {
  std::vector<bool> motorAnswered(motor_states_.size(), false);
  std::vector<bool> imuAnswered(imu_states_.size(), false);
  bool someReplyFitted = false;
  size_t otherLength = 0;  // of the last reply that did not fit the frame
  for (int pass = 0; pass < kPrimingPasses; ++pass) {
    motor_sdk_.recvMT();
    const size_t replied = motor_sdk_.lastReplyBytes();
    if (replied == motor_sdk_.replyLength()) someReplyFitted = true;
    else if (replied != 0) otherLength = replied;
    motor_sdk_.getRecvMT(motor_states_, imu_states_, bat_states_);
    for (size_t i = 0; i < motor_states_.size(); ++i)
      if (motor_states_[i].status == kStatusValid) motorAnswered[i] = true;
    for (size_t i = 0; i < imu_states_.size(); ++i)
      if (imu_states_[i].status == kStatusValid) imuAnswered[i] = true;
    logLine("[RobotSDK] comm init ... ", pass);
  }
  // A board with another number of devices answers every frame with a reply of its own
  // length: its records would be read at the wrong places (or read as silent).
  if (!someReplyFitted && otherLength != 0) {
    std::ostringstream text;
    text << "[RobotSDK] init: the board's replies are " << otherLength << " bytes; this configuration (motor_num "
         << unsigned(motor_sdk_.motor_num_) << ", imu_num " << unsigned(motor_sdk_.imu_num_) << ", battery_num "
         << unsigned(motor_sdk_.battery_num_) << ") expects " << motor_sdk_.replyLength()
         << ": the counts in the file do not match the robot";
    throw std::runtime_error(text.str());
  }
  _requireEveryDeviceAnswered(motorAnswered, imuAnswered);
}

void RobotSDK::_requireEveryDeviceAnswered(const std::vector<bool>& motorAnswered,
                                           const std::vector<bool>& imuAnswered) const {
  std::ostringstream silent;
  const auto next = [&silent]() -> std::ostringstream& {
    if (silent.tellp() > 0) silent << ", ";
    return silent;
  };
  for (size_t i = 0; i < motorAnswered.size(); ++i)
    if (!motorAnswered[i]) next() << "motor " << i << " (id " << motor_sdk_.motorIds()[i] << ")";
  for (size_t i = 0; i < imuAnswered.size(); ++i)
    if (!imuAnswered[i]) next() << "imu " << i;
  if (silent.tellp() == 0) return;
  throw std::runtime_error("[RobotSDK] init: no valid record during the " + std::to_string(kPrimingPasses) +
                           " priming exchanges from " + silent.str() +
                           "; the robot does not start on readings it never received");
}

void RobotSDK::_getState() {
  _readJoints();
  _readImu();
}

// Decoding a frame whose records were all valid a second time would change nothing and print
// nothing, so the frame is decoded once; one with invalid records is decoded (and reported)
// every time, as before. The peek at the sequence only decides whether to decode: the state's
// stamp comes with the records, under the feedback lock.
bool RobotSDK::_readJoints() {
  if (frame_.decodedClean && motor_sdk_.replySequence() == state_real_.replySequence) return false;
  MotorSDK::ReplyStamp stamp;
  motor_sdk_.getRecvMT(motor_states_, imu_states_, bat_states_, stamp);
  frame_.answeredSeen.store(stamp.answered);
  for (size_t i = 0; i < motor_states_.size(); ++i) {
    const auto joint = static_cast<Eigen::Index>(i);
    state_real_.pos[joint] = motor_states_[i].pos;
    state_real_.vel[joint] = motor_states_[i].vel;
    state_real_.tau[joint] = motor_states_[i].tau;
  }
  state_real_.replySequence = stamp.sequence;
  state_real_.replyTime = stamp.receiveTime;
  frame_.decodedClean = _allFeedbackValid();
  frame_.mappedClean = false;  // the new frame is yet to be mapped
  return true;
}

// A frame that was already mapped without a complaint is served again; a mapping that
// complained runs (and says so) every time, as the mapping alone would.
const RobotState& RobotSDK::_mappedState() {
  if (!frame_.mappedClean)
    frame_.mappedClean = switchRealToVirtual(state_real_, state_virtual_, robotTypeCode(robot_type_), frame_.legs);
  return state_virtual_;
}

bool RobotSDK::_allFeedbackValid() const {
  auto valid = [](const auto& record) { return record.status == kStatusValid; };
  return std::all_of(motor_states_.begin(), motor_states_.end(), valid) &&
         std::all_of(imu_states_.begin(), imu_states_.end(), valid) &&
         std::all_of(bat_states_.begin(), bat_states_.end(), valid);
}

void RobotSDK::_readImu() {
  const ImuState& imu = imu_states_.at(0);  // throws std::out_of_range when none is configured
  for (int k = 0; k < 3; ++k) {
    state_real_.acc[k] = imu.acc[k];
    state_real_.gyro[k] = imu.gyro[k];
  }
  for (int k = 0; k < 4; ++k) state_real_.quat[k] = imu.quat[k];
}


// ---- Threads ------------------------------------------------------------------------------

bool RobotSDK::_setCommand() {
  for (size_t i = 0; i < motor_cmds_.size(); ++i) {
    const auto joint = static_cast<Eigen::Index>(i);
    MotorCmd& cmd = motor_cmds_[i];
    cmd.pos = static_cast<float>(cmd_real_.pos[joint]);
    cmd.vel = static_cast<float>(cmd_real_.vel[joint]);
    cmd.tau = static_cast<float>(cmd_real_.tau[joint]);
    cmd.kp = static_cast<float>(cmd_real_.kp[joint]);
    cmd.kd = static_cast<float>(cmd_real_.kd[joint]);
    cmd.mode = kModeNormal;
  }
  return motor_sdk_.trySetSendMT(motor_cmds_);
}

void RobotSDK::_lowLevelComm() {
  _judgeCommandExpiry(monotonicNanos());  // before the exchange, so an expiry leaves with it
  motor_sdk_.sendRecvMT();
  _announceReply();
}

// Taking the lock orders the notification after a waiter's check of the count.
void RobotSDK::_announceReply() {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  reply_arrived_.notify_all();
}

// An exception must not leave the control thread (std::terminate, and no brake): the failed
// loop brakes every motor instead. While any automatic brake holds, the callback is not called:
// it would compute on feedback that is frozen or missing.
void RobotSDK::_run() {
  if (brakeLatch().bits() & ~BrakeLatch::kCommandExpired) return;  // an expiry ends with the callback's next command
  try {
    _controlPeriod();
  } catch (...) {
    _failController(std::current_exception());
  }
}

void RobotSDK::_failController(std::exception_ptr failure) {
  const std::string message = messageOf(failure);
  {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    controller_failure_ = std::move(failure);
  }
  _engageBrake(BrakeLatch::kControllerFailed);
  logLine("[ERROR] [RobotSDK] the control callback threw: ", message,
          "; it is not called again, every motor gets the damping brake frame until stop(), which rethrows it");
  _requestDump(kDumpControllerFailed);
}

// Without an IMU the control loop keeps going on the joints alone: the IMU fields keep their
// last values and one warning says so. (getState and setCommand report it by throwing.)
void RobotSDK::_controlPeriod() {
  _readJoints();
  if (!imu_states_.empty()) {
    _readImu();
  } else if (!imu_warning_printed_) {
    logLine("[WARNING] [RobotSDK] no IMU configured: the control loop keeps the IMU fields at their last values");
    imu_warning_printed_ = true;
  }
  control_callback_(_mappedState(), cmd_virtual_);
  if (!_callbackCommandUsable()) return;  // the previous frame keeps going out
  switchVirtualToReal(state_real_, cmd_virtual_, cmd_real_, robotTypeCode(robot_type_), frame_.legs);
  _storeCommand();
}

// Without this check a shrunken vector would be read past its end. One warning per run of
// unusable periods, not one per period.
bool RobotSDK::_callbackCommandUsable() {
  const CommandFault fault = findCommandFault(cmd_virtual_, motor_sdk_.motor_num_);
  if (!fault.field) {
    command_fault_reported_ = false;
    return true;
  }
  if (command_fault_reported_) return false;
  command_fault_reported_ = true;
  const char* keeps = "; no command stored, the previous one keeps going out";
  if (fault.joint < 0)
    logLine("[WARNING] [RobotSDK] the control callback left ", fault.field, " with ", fault.length, " entries for ",
            static_cast<unsigned>(motor_sdk_.motor_num_), " motors", keeps);
  else
    logLine("[WARNING] [RobotSDK] the control callback left ", fault.field, " of joint ", fault.joint, " at ",
            fault.value, keeps);
  return false;
}

// Judges what the link thread received, not what a caller last decoded: a caller that stops
// reading (or only waits) is watched all the same. Allocates nothing.
void RobotSDK::_watchDog() {
  const uint64_t replies = motor_sdk_.completeReplies();
  motor_sdk_.latestHealth(watchdog_view_);
  const LinkWatchdog::Verdict verdict = watchdog_.check(watchdog_view_, replies);
  watchdog_.report();
  if (verdict == LinkWatchdog::Verdict::kRestored) {
    _announceRestoredLink();
  } else if (verdict == LinkWatchdog::Verdict::kLost) {
    if (!link_failure_handler_) {
      logLine("[RobotSDK] watchdog: comm failed, EXIT ");
      _dumpAutomatically(kDumpLinkLost);  // on this thread: the process ends right after
      flushLogBeforeExit();
      std::exit(1);
    }
    _declareLinkLost();
  }
}

// The brake goes on before anyone is told, so no command computed on frozen feedback can reach
// the motors once the link returns.
void RobotSDK::_declareLinkLost() {
  _engageBrake(BrakeLatch::kLinkLost);
  link_down_.store(true);
  {
    std::lock_guard<std::mutex> lock(reply_mutex_);  // orders the wake-up after a waiter's check
    reply_arrived_.notify_all();
  }
  logLine("[RobotSDK] watchdog: comm failed, braking until resumeAfterLinkFailure()");
  _requestDump(kDumpLinkLost);
  try {
    link_failure_handler_();
  } catch (...) {
    logLine("[ERROR] [RobotSDK] watchdog: the link failure handler threw: ", messageOf(std::current_exception()),
            "; the damping brake holds");
  }
}

// The brake of the loss holds until resumeAfterLinkFailure(); reads are served again.
void RobotSDK::_announceRestoredLink() {
  link_down_.store(false);
  if (brakeLatch().holds(BrakeLatch::kLinkLost))
    logLine("[RobotSDK] watchdog: comm restored, every motor answers again; the damping brake holds until "
            "resumeAfterLinkFailure()");
  else
    logLine("[RobotSDK] watchdog: comm restored, every motor answers again");
}

// ---- Command expiry -----------------------------------------------------------------------

void RobotSDK::setCommandTimeout(double seconds) {
  _requireConfigured("setCommandTimeout");
  if (!(seconds >= 0.0 && seconds <= kLongestCommandTimeout)) {
    std::ostringstream text;
    text << "[RobotSDK] setCommandTimeout: the timeout must be 0 s (off) up to " << kLongestCommandTimeout
         << " s, not " << seconds;
    throw std::invalid_argument(text.str());
  }
  if (control_enabled_) requireTimeoutCoversPeriod(seconds, dt_);
  last_command_ns_.store(monotonicNanos());
  command_timeout_ns_.store(std::llround(seconds * 1e9));
}

double RobotSDK::commandTimeout() const { return static_cast<double>(command_timeout_ns_.load()) * 1e-9; }

LinkStats RobotSDK::linkStats() const {
  LinkStats stats = motor_sdk_.linkStats();
  stats.command_expiries = command_expiries_.load() - expiries_baseline_.load();
  return stats;
}

void RobotSDK::resetLinkStats() {
  motor_sdk_.resetLinkStats();
  expiries_baseline_.store(command_expiries_.load());
}

// A command stored a moment after the link thread expired the commands meets the hold: it is
// tried once more, now that it ends the expiry.
bool RobotSDK::_storeCommand() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    _takeCommand();
    if (_setCommand()) return true;
  }
  return false;
}

void RobotSDK::_takeCommand() {
  last_command_ns_.store(monotonicNanos());
  if (brakeLatch().bits() == BrakeLatch::kCommandExpired) _releaseBrake(BrakeLatch::kCommandExpired, "a new command");
}

// The link thread, every exchange: two atomic loads and a subtraction, nothing allocated.
void RobotSDK::_judgeCommandExpiry(int64_t nowNs) {
  const int64_t previousNs = std::exchange(expiry_judged_ns_, nowNs);
  const int64_t timeoutNs = command_timeout_ns_.load(std::memory_order_relaxed);
  if (timeoutNs <= 0) return;
  const BrakeLatch latch = brakeLatch();
  if (latch.holds(BrakeLatch::kLinkLost)) {  // it outranks an expiry, whose clock stands still meanwhile
    if (previousNs != 0) last_command_ns_.fetch_add(nowNs - previousNs);
    return;
  }
  if (latch.holds(BrakeLatch::kCommandExpired) || latch.holds(BrakeLatch::kControllerFailed)) return;
  if (nowNs - last_command_ns_.load() >= timeoutNs) _expireCommands(nowNs, timeoutNs);
}

// Judged again under the brake lock: a command that came meanwhile wins.
void RobotSDK::_expireCommands(int64_t nowNs, int64_t timeoutNs) {
  {
    std::lock_guard<std::mutex> lock(brake_mutex_);
    const int64_t missingNs = nowNs - last_command_ns_.load();
    if (missingNs < timeoutNs) return;
    motor_sdk_.holdCommands(brake_cmds_, BrakeLatch::kCommandExpired);
    command_expiries_.fetch_add(1);
    logLine("[RobotSDK] no new command for ", missingNs / 1000000, " ms (the command timeout is ",
            timeoutNs / 1000000, " ms): every motor gets the damping brake frame until the next command");
  }
  _requestDump(kDumpCommandExpired);
}

// ---- The black box ------------------------------------------------------------------------

RecordingSummary RobotSDK::dumpBlackBox(const std::string& path) const {
  _requireConfigured("dumpBlackBox");
  return motor_sdk_.blackBox().dump(path);
}

void RobotSDK::setBlackBoxFolder(const std::string& folder) {
  _requireConfigured("setBlackBoxFolder");
  std::lock_guard<std::mutex> lock(black_box_mutex_);
  if (folder != black_box_folder_) dumps_stopped_said_ = false;
  black_box_folder_ = folder;
  if (folder.empty() || black_box_thread_.joinable()) return;
  dumps_pending_.store(0);  // causes from before there was a folder are not written
  black_box_thread_ = std::thread(&RobotSDK::_blackBoxLoop, this);
  (void)pthread_setname_np(black_box_thread_.native_handle(), "black_box");
}

// Any thread, the link thread included: a flag, no lock, no allocation.
void RobotSDK::_requestDump(BlackBoxCause cause) { dumps_pending_.fetch_or(cause); }

void RobotSDK::_blackBoxLoop() {
  const auto dumpPending = [this] {
    const uint32_t causes = dumps_pending_.exchange(0);
    for (BlackBoxCause cause : {kDumpLinkLost, kDumpControllerFailed, kDumpCommandExpired})
      if (causes & cause) _dumpAutomatically(cause);
  };
  std::unique_lock<std::mutex> lock(black_box_mutex_);
  while (!black_box_quit_) {
    black_box_wake_.wait_for(lock, kDumpPoll);
    lock.unlock();
    dumpPending();
    lock.lock();
  }
  lock.unlock();
  dumpPending();  // a cause flagged just before the end is written all the same
}

void RobotSDK::_stopBlackBoxThread() {
  if (!black_box_thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(black_box_mutex_);
    black_box_quit_ = true;
  }
  black_box_wake_.notify_all();
  black_box_thread_.join();
}

// The decision under the lock, the writing outside it: a slow disk delays no other cause.
void RobotSDK::_dumpAutomatically(BlackBoxCause cause) {
  const size_t index = cause == kDumpLinkLost ? 0 : cause == kDumpControllerFailed ? 1 : 2;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(black_box_mutex_);
    if (black_box_folder_.empty()) return;
    const int64_t now = monotonicNanos();
    if (last_dump_ns_[index] != 0 && now - last_dump_ns_[index] < kDumpSpacingNs) return;
    if (dumpsIn(black_box_folder_) >= kMostDumpsPerFolder) {
      if (!dumps_stopped_said_)
        logLine("[RobotSDK] black box: ", black_box_folder_, " holds ", kMostDumpsPerFolder,
                " black box files: automatic dumps stopped");
      dumps_stopped_said_ = true;
      return;
    }
    last_dump_ns_[index] = now;
    path = black_box_folder_ + "/" + kDumpPrefix + utcStamp() + "-" + kDumpCauseNames[index] + ".dlrec";
  }
  try {
    const RecordingSummary summary = motor_sdk_.blackBox().dump(path);
    logLine("[RobotSDK] black box (", kDumpCauseNames[index], "): the last ", summary.recorded,
            " exchanges are in ", path);
  } catch (const std::exception& error) {
    logLine("[WARNING] [RobotSDK] black box (", kDumpCauseNames[index], "): ", error.what());
  }
}
