#include "robot_service.h"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "absolute_timer.h"
#include "link_options.h"
#include "robot_config.h"

namespace {

constexpr int64_t kStatsPeriodNs = 100'000'000;   // link statistics at 10 Hz
constexpr int64_t kStatusPeriodNs = 1'000'000'000;  // the status at least once a second
constexpr int64_t kResumePeriodNs = 100'000'000;  // how often a lost link is tried again
constexpr dds_duration_t kCommandWait = DDS_MSECS(5);  // the lease is watched this often at least

void say(const std::string& line) {
  std::fprintf(stdout, "[drivelink_dds] %s\n", line.c_str());
  std::fflush(stdout);
}

std::string hex(uint64_t id) {
  char text[20];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(id));
  return text;
}

void nameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

bool sameStatus(const dds_support::StatusMsg& a, const dds_support::StatusMsg& b) {
  return a.session_in_charge == b.session_in_charge && a.lease == b.lease && a.foreign_dropped == b.foreign_dropped &&
         a.expired_dropped == b.expired_dropped && a.lease_expiries == b.lease_expiries && a.brakes == b.brakes &&
         a.brake_bits == b.brake_bits && a.link_lost == b.link_lost;
}

void copyInto(const dds_sequence_double& from, Eigen::VectorXd& to, int n) {
  to.setZero(n);
  for (int i = 0; i < n && i < static_cast<int>(from._length); ++i) to[i] = from._buffer[i];
}

}  // namespace

RobotService::RobotService(const ServiceOptions& options)
    : name_(options.name.empty() ? loadRobotType(options.config) : options.name),
      domain_(options.domain),
      service_id_(dds_support::randomId()),
      arbiter_(RemoteRobot::kMaxLease) {
  ddsTopicName(name_, "low_state");  // a bad name is refused before anything is joined
  participant_ = dds_support::createParticipant(domain_, options.interfaceName);
  topics_ = dds_support::createTopics(participant_.get(), name_);
  _refuseTakenName(options.discoverySeconds);
  _openRobot(options);
  using dds_support::Flow;
  state_writer_ = dds_support::createWriter(participant_.get(), topics_.lowState, Flow::State);
  stats_writer_ = dds_support::createWriter(participant_.get(), topics_.linkStats, Flow::Statistics);
  status_writer_ = dds_support::createWriter(participant_.get(), topics_.status, Flow::Status);
  cmd_reader_ = dds_support::createReader(participant_.get(), topics_.lowCmd, Flow::Command);
  waitset_ = dds_support::Entity(dds_support::check(dds_create_waitset(participant_.get()), "cannot create a waitset"));
  const dds_entity_t arrived =
      dds_support::check(dds_create_readcondition(cmd_reader_, DDS_ANY_STATE), "cannot create a read condition");
  dds_support::check(dds_waitset_attach(waitset_.get(), arrived, 0), "cannot attach the read condition");
  _publishStatus(monotonicNanos(), true);
  state_thread_ = std::thread([this] { _stateLoop(); });
  command_thread_ = std::thread([this] { _commandLoop(); });
  say("serving robot \"" + name_ + "\" (" + robot_type_ + ", " + std::to_string(motors_) + " joints) on DDS domain " +
      std::to_string(domain_) + ", interface " + options.interfaceName + ", topics " + ddsTopicName(name_, "*") +
      ", service " + hex(service_id_));
}

RobotService::~RobotService() {
  quit_.store(true);
  if (state_thread_.joinable()) state_thread_.join();
  if (command_thread_.joinable()) command_thread_.join();
  if (!robot_) return;
  robot_->brake();
  // A few exchanges, so the damping frame is on the wire before the link thread stops.
  for (int i = 0; i < 3; ++i) {
    try {
      robot_->waitForNewState(0.05);
    } catch (const std::exception&) {
    }
  }
  try {
    robot_->stop();
  } catch (const std::exception& error) {
    say(std::string("stopping the robot: ") + error.what());
  }
  say("stopped; every motor braked");
}

// Another service's state writer on the same topic is what taken means: any writer this
// fresh reader matches before ours exists.
void RobotService::_refuseTakenName(double seconds) {
  dds_support::Entity probe(dds_support::createReader(participant_.get(), topics_.lowState, dds_support::Flow::State));
  const int64_t deadline = monotonicNanos() + static_cast<int64_t>(seconds * 1e9);
  while (monotonicNanos() < deadline) {
    if (dds_support::matchedPublishers(probe.get()) > 0)
      throw NameTaken("another robot service already publishes \"" + name_ + "\" on DDS domain " +
                      std::to_string(domain_) + " (" + ddsTopicName(name_, "low_state") + "); not starting");
    dds_sleepfor(DDS_MSECS(20));
  }
}

void RobotService::_openRobot(const ServiceOptions& options) {
  if (options.board)
    robot_ = std::make_unique<RobotSDK>(options.config, LinkOptions::udp(*options.board), RobotSDK::OpenFailure::Throw);
  else
    robot_ = std::make_unique<RobotSDK>(options.config, RobotSDK::OpenFailure::Throw);
  motors_ = robot_->motor_sdk_.motor_num_;
  robot_type_ = robotTypeName(robot_->robotType());
  pos_.assign(motors_, 0.0);
  vel_.assign(motors_, 0.0);
  tau_.assign(motors_, 0.0);
  // A lost link brakes and the service goes on: it tells the sessions and tries again.
  robot_->setLinkFailureHandler([] { say("the link to the motor board is lost: every motor braked"); });
  robot_->init();
  robot_->start();
}

// ---- State ---------------------------------------------------------------------------------

void RobotService::_stateLoop() {
  nameThread("dds_state");
  while (!quit_.load()) {
    try {
      if (!robot_->waitForNewState(0.1)) continue;
    } catch (const LinkFailure&) {
      dds_sleepfor(DDS_MSECS(10));
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    _publishNewState();
  }
}

void RobotService::_publishNewState() {
  try {
    robot_->getState(state_);
  } catch (const LinkFailure&) {
    return;
  } catch (const std::out_of_range&) {
    // no IMU: the joints are read all the same
  }
  if (state_.replySequence <= published_sequence_) return;
  published_sequence_ = state_.replySequence;
  arbiter_.noteState(state_.replySequence, static_cast<int64_t>(std::llround(state_.replyTime * 1e9)));
  dds_support::LowStateMsg message{};
  message.service_id = service_id_;
  message.reply_sequence = state_.replySequence;
  message.receive_time = state_.replyTime;
  for (int i = 0; i < motors_; ++i) {
    pos_[i] = state_.pos[i];
    vel_[i] = state_.vel[i];
    tau_[i] = state_.tau[i];
  }
  message.pos = dds_support::viewOf(pos_.data(), motors_);
  message.vel = dds_support::viewOf(vel_.data(), motors_);
  message.tau = dds_support::viewOf(tau_.data(), motors_);
  for (int i = 0; i < 4; ++i) message.quat[i] = state_.quat[i];
  for (int i = 0; i < 3; ++i) {
    message.acc[i] = state_.acc[i];
    message.gyro[i] = state_.gyro[i];
  }
  const BrakeLatch latch = robot_->brakeLatch();
  message.brake_bits = latch.bits();
  message.link_lost = latch.holds(BrakeLatch::kLinkLost);
  dds_write(state_writer_, &message);
}

// ---- Commands, lease, status ---------------------------------------------------------------

void RobotService::_commandLoop() {
  nameThread("dds_commands");
  while (!quit_.load()) {
    const dds_return_t triggered = dds_waitset_wait(waitset_.get(), nullptr, 0, kCommandWait);
    const int64_t now = monotonicNanos();
    std::lock_guard<std::mutex> lock(mutex_);
    if (triggered > 0) _takeCommands(now);
    _watchLink(now);
    _watchLease(now);
    _publishStatus(now, false);
    _publishLinkStats(now);
  }
}

void RobotService::_takeCommands(int64_t arrivalNs) {
  constexpr size_t kBatch = 8;
  void* samples[kBatch] = {};
  dds_sample_info_t infos[kBatch];
  const dds_return_t taken = dds_take(cmd_reader_, samples, infos, kBatch, kBatch);
  for (dds_return_t i = 0; i < taken; ++i)
    if (infos[i].valid_data) _handle(*static_cast<const dds_support::LowCmdMsg*>(samples[i]), arrivalNs);
  if (taken > 0) dds_return_loan(cmd_reader_, samples, taken);
}

void RobotService::_handle(const dds_support::LowCmdMsg& message, int64_t arrivalNs) {
  const bool linkLost = robot_->brakeLatch().holds(BrakeLatch::kLinkLost);
  if (linkLost && !message.brake) return;  // the lost link's brake outranks every command
  SessionCommand command;
  command.session = message.session_id;
  command.counter = message.counter;
  command.stateSequence = message.state_sequence;
  command.lease = message.lease;
  command.brake = message.brake;
  const uint64_t before = arbiter_.sessionInCharge();
  switch (arbiter_.judge(command, arrivalNs)) {
    case CommandArbiter::Verdict::Brake:
      robot_->brake();
      say("brake asked by session " + hex(message.session_id) + ": every motor braked, the robot is free");
      break;
    case CommandArbiter::Verdict::Apply:
      if (before != arbiter_.sessionInCharge())
        say("session " + hex(arbiter_.sessionInCharge()) + " is in charge, lease " +
            std::to_string(arbiter_.lease()) + " s");
      _apply(message);
      break;
    case CommandArbiter::Verdict::Foreign:
    case CommandArbiter::Verdict::Expired:
      break;
  }
}

void RobotService::_apply(const dds_support::LowCmdMsg& message) {
  copyInto(message.tau, command_.tau, motors_);
  copyInto(message.pos, command_.pos, motors_);
  copyInto(message.vel, command_.vel, motors_);
  copyInto(message.kp, command_.kp, motors_);
  copyInto(message.kd, command_.kd, motors_);
  try {
    robot_->setCommand(command_);
  } catch (const LinkFailure&) {
    return;
  } catch (const std::out_of_range&) {
    // no IMU: the command was refused, as on the robot itself
    return;
  } catch (const std::invalid_argument& error) {
    say(std::string("command of session ") + hex(message.session_id) + " refused: " + error.what());
    return;
  }
  // The robot layer's own expiry puts the damping frame on the wire the moment the lease runs
  // out, exchange-exact; the arbiter then frees the robot.
  if (arbiter_.lease() != timeout_in_force_) {
    timeout_in_force_ = arbiter_.lease();
    robot_->setCommandTimeout(timeout_in_force_);
  }
  _publishNewState();  // the command read the newest frame: it is not new to the state thread any more
}

void RobotService::_watchLease(int64_t nowNs) {
  const uint64_t session = arbiter_.sessionInCharge();
  if (!arbiter_.expire(nowNs)) return;
  robot_->brake();
  say("session " + hex(session) + " sent nothing for its lease: every motor braked, the robot is free");
}

// A lost link frees the robot; once every motor answers again the brake ends (its damping
// frame stays on the wire until a session takes charge anew).
void RobotService::_watchLink(int64_t nowNs) {
  if (!robot_->brakeLatch().holds(BrakeLatch::kLinkLost)) {
    link_lost_said_ = false;
    return;
  }
  if (!link_lost_said_) {
    arbiter_.release();
    link_lost_said_ = true;
  }
  if (nowNs < next_resume_ns_) return;
  next_resume_ns_ = nowNs + kResumePeriodNs;
  try {
    robot_->resumeAfterLinkFailure();
    say("the link to the motor board is back; the robot is free");
  } catch (const LinkFailure&) {
  }
}

void RobotService::_publishStatus(int64_t nowNs, bool force) {
  dds_support::StatusMsg message{};
  message.service_id = service_id_;
  message.robot_type = const_cast<char*>(robot_type_.c_str());
  message.motor_count = static_cast<uint32_t>(motors_);
  message.session_in_charge = arbiter_.sessionInCharge();
  message.lease = arbiter_.lease();
  const ArbiterCounts& counts = arbiter_.counts();
  message.foreign_dropped = counts.foreignDropped;
  message.expired_dropped = counts.expiredDropped;
  message.lease_expiries = counts.leaseExpiries;
  message.brakes = counts.brakes;
  const BrakeLatch latch = robot_->brakeLatch();
  message.brake_bits = latch.bits();
  message.link_lost = latch.holds(BrakeLatch::kLinkLost);
  if (!force && nowNs < status_due_ns_ && sameStatus(message, last_status_)) return;
  last_status_ = message;
  status_due_ns_ = nowNs + kStatusPeriodNs;
  dds_write(status_writer_, &message);
}

void RobotService::_publishLinkStats(int64_t nowNs) {
  if (nowNs < stats_due_ns_) return;
  stats_due_ns_ = nowNs + kStatsPeriodNs;
  const dds_support::LinkStatsMsg message = dds_support::toMessage(robot_->linkStats(), service_id_);
  dds_write(stats_writer_, &message);
}
