#include "remote_robot.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

#include "absolute_timer.h"
#include "dds_support.h"

using namespace dds_support;

struct RemoteRobot::Impl {
  std::string name;
  uint32_t domain = 0;
  double lease = kDefaultLease;
  uint64_t session = randomId();
  Entity participant;
  RobotTopics topics;
  dds_entity_t stateReader = 0, statsReader = 0, statusReader = 0, cmdWriter = 0;
  Entity waitset;
  int motors = 0;
  RobotType type = RobotType::Veltra1;

  // The polling thread's own: the newest state taken, and the newest read or waited for.
  RobotState newest;
  bool haveState = false;
  uint64_t seenSequence = 0;
  RobotState readCopy;
  std::atomic<uint32_t> brakeBits{0};
  std::atomic<uint64_t> counter{0};
  std::vector<double> joints[5];

  // The statistics and status are read by any thread; Cyclone keeps the latest sample.
  mutable std::mutex latestMutex;
  mutable LinkStats stats;
  mutable RemoteStatus status;

  void requireOnePublisher() const {
    if (matchedPublishers(stateReader) > 1)
      throw RemoteRobotError("two robot services publish \"" + name + "\" on DDS domain " + std::to_string(domain) +
                             ": refusing to read or command either");
  }

  // Takes what arrived; true when the newest state is newer than before.
  bool takeStates() {
    void* samples[1] = {};
    dds_sample_info_t info;
    bool fresh = false;
    while (true) {
      const dds_return_t taken = dds_take(stateReader, samples, &info, 1, 1);
      if (taken <= 0) break;
      if (info.valid_data) {
        const auto& message = *static_cast<const LowStateMsg*>(samples[0]);
        if (!haveState || message.reply_sequence > newest.replySequence) {
          toRobotState(message, newest);
          brakeBits.store(message.brake_bits);
          haveState = true;
          fresh = true;
        }
      }
      dds_return_loan(stateReader, samples, taken);
    }
    return fresh;
  }

  RemoteStatus latestStatus() const {
    std::lock_guard<std::mutex> lock(latestMutex);
    void* samples[1] = {};
    dds_sample_info_t info;
    const dds_return_t read = dds_read(statusReader, samples, &info, 1, 1);
    if (read > 0) {
      if (info.valid_data) status = toRemoteStatus(*static_cast<const StatusMsg*>(samples[0]));
      dds_return_loan(statusReader, samples, read);
    }
    return status;
  }

  void requireLinkUp(const RemoteStatus& now) const {
    if (now.linkLost || (brakeBits.load() & BrakeLatch::kLinkLost))
      throw LinkFailure("[RemoteRobot] the robot service reports the link to the motor board of \"" + name + "\" lost");
  }

  void requireState() const {
    if (!haveState) throw RemoteRobotError("[RemoteRobot] no state of \"" + name + "\" arrived yet");
  }

  void write(LowCmdMsg& message) {
    message.session_id = session;
    message.counter = counter.fetch_add(1) + 1;
    message.lease = lease;
    check(dds_write(cmdWriter, &message), "[RemoteRobot] cannot send the command");
  }
};

RemoteRobot::RemoteRobot(std::string name, uint32_t domain, double lease, double discoverySeconds)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  ddsTopicName(name, "low_state");
  if (!(lease > 0.0 && lease <= kMaxLease))
    throw std::invalid_argument("[RemoteRobot] the lease must be above 0 s and at most " + std::to_string(kMaxLease) +
                                " s");
  if (!(discoverySeconds >= 0.0)) throw std::invalid_argument("[RemoteRobot] the discovery time must be 0 s or more");
  d.name = std::move(name);
  d.domain = domain;
  d.lease = lease;
  d.participant = createParticipant(domain, ddsInterfaceFromEnvironment());
  d.topics = createTopics(d.participant.get(), d.name);
  d.stateReader = createReader(d.participant.get(), d.topics.lowState, Flow::State);
  d.statsReader = createReader(d.participant.get(), d.topics.linkStats, Flow::Statistics);
  d.statusReader = createReader(d.participant.get(), d.topics.status, Flow::Status);
  d.cmdWriter = createWriter(d.participant.get(), d.topics.lowCmd, Flow::Command);
  d.waitset = Entity(check(dds_create_waitset(d.participant.get()), "[RemoteRobot] cannot create a waitset"));
  const dds_entity_t arrived =
      check(dds_create_readcondition(d.stateReader, DDS_ANY_STATE), "[RemoteRobot] cannot create a read condition");
  check(dds_waitset_attach(d.waitset.get(), arrived, 0), "[RemoteRobot] cannot attach the read condition");

  // The status is transient-local: a running service hands it over as soon as it matches.
  const int64_t deadline = monotonicNanos() + static_cast<int64_t>(discoverySeconds * 1e9);
  RemoteStatus found = d.latestStatus();
  while (found.serviceId == 0 && monotonicNanos() < deadline) {
    dds_sleepfor(DDS_MSECS(10));
    found = d.latestStatus();
  }
  if (found.serviceId == 0)
    throw RemoteRobotError("[RemoteRobot] no robot service publishes \"" + d.name + "\" on DDS domain " +
                           std::to_string(domain) + " (looked for " + std::to_string(discoverySeconds) + " s)");
  const std::optional<RobotType> type = robotTypeFromName(found.robotType);
  if (!type) throw RemoteRobotError("[RemoteRobot] the service names an unknown robot type \"" + found.robotType + "\"");
  d.type = *type;
  d.motors = found.motorCount;
  for (auto& vector : d.joints) vector.assign(d.motors, 0.0);
  // The first state, so that the first command answers one (not while the link is lost).
  while (!found.linkLost && !d.takeStates() && monotonicNanos() < deadline) {
    dds_waitset_wait(d.waitset.get(), nullptr, 0, DDS_MSECS(10));
    found = d.latestStatus();
  }
  d.requireOnePublisher();
}

RemoteRobot::~RemoteRobot() = default;

void RemoteRobot::getState(RobotState& state) { state = readState(); }

const RobotState& RemoteRobot::readState() {
  Impl& d = *impl_;
  d.requireOnePublisher();
  d.takeStates();
  d.requireLinkUp(d.latestStatus());
  d.requireState();
  d.seenSequence = d.newest.replySequence;
  d.readCopy = d.newest;
  return d.readCopy;
}

bool RemoteRobot::waitForNewState(double timeoutSeconds) {
  Impl& d = *impl_;
  if (!(timeoutSeconds >= 0.0))
    throw std::invalid_argument("[RemoteRobot] waitForNewState: the timeout must be 0 s or more");
  d.requireOnePublisher();
  const double capped = std::min(timeoutSeconds, 1e7);
  const int64_t deadline = monotonicNanos() + static_cast<int64_t>(capped * 1e9);
  while (true) {
    d.takeStates();
    d.requireLinkUp(d.latestStatus());
    if (d.haveState && d.newest.replySequence > d.seenSequence) {
      d.seenSequence = d.newest.replySequence;
      return true;
    }
    const int64_t left = deadline - monotonicNanos();
    if (left <= 0) return false;
    // The status is looked at again at least every 50 ms, for a link lost meanwhile.
    dds_waitset_wait(d.waitset.get(), nullptr, 0, std::min<int64_t>(left, DDS_MSECS(50)));
  }
}

void RemoteRobot::setCommand(const RobotCommand& command) {
  Impl& d = *impl_;
  requireUsableCommand(command, d.motors, "[RemoteRobot] setCommand");
  d.requireOnePublisher();
  const RemoteStatus now = d.latestStatus();
  if (now.sessionInCharge != 0 && now.sessionInCharge != d.session) {
    char text[20];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(now.sessionInCharge));
    throw SessionRefused("[RemoteRobot] session " + std::string(text) + " is in charge of \"" + d.name +
                         "\": this session's commands would be dropped");
  }
  d.takeStates();
  d.requireLinkUp(now);
  d.requireState();
  const Eigen::VectorXd* fields[5] = {&command.tau, &command.pos, &command.vel, &command.kp, &command.kd};
  for (int f = 0; f < 5; ++f)
    for (int i = 0; i < d.motors; ++i) d.joints[f][i] = (*fields[f])[i];
  LowCmdMsg message{};
  message.state_sequence = d.newest.replySequence;
  message.tau = viewOf(d.joints[0].data(), d.motors);
  message.pos = viewOf(d.joints[1].data(), d.motors);
  message.vel = viewOf(d.joints[2].data(), d.motors);
  message.kp = viewOf(d.joints[3].data(), d.motors);
  message.kd = viewOf(d.joints[4].data(), d.motors);
  d.write(message);
}

void RemoteRobot::brake() {
  LowCmdMsg message{};
  message.brake = true;
  impl_->write(message);
}

LinkStats RemoteRobot::linkStats() const {
  const Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.latestMutex);
  void* samples[1] = {};
  dds_sample_info_t info;
  const dds_return_t read = dds_read(d.statsReader, samples, &info, 1, 1);
  if (read > 0) {
    if (info.valid_data) d.stats = toLinkStats(*static_cast<const LinkStatsMsg*>(samples[0]));
    dds_return_loan(d.statsReader, samples, read);
  }
  return d.stats;
}

RemoteStatus RemoteRobot::status() const { return impl_->latestStatus(); }
BrakeLatch RemoteRobot::brakeLatch() const { return BrakeLatch(impl_->latestStatus().brakeBits); }
int RemoteRobot::motorCount() const { return impl_->motors; }
RobotType RemoteRobot::robotType() const { return impl_->type; }
uint64_t RemoteRobot::sessionId() const { return impl_->session; }
double RemoteRobot::lease() const { return impl_->lease; }
const std::string& RemoteRobot::name() const { return impl_->name; }
