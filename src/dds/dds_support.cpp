#include "dds_support.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

#include "link_options.h"

// ---- Configuration and names (public, remote_robot.h) ----------------------------------------

namespace {

bool isXmlSafe(const std::string& text) {
  for (char c : text)
    if (c == '<' || c == '>' || c == '&' || c == '"' || c == '\'' || static_cast<unsigned char>(c) < 0x20)
      return false;
  return true;
}

bool looksLikeIpv4(const std::string& text) {
  try {
    requireIpv4Address(text, "interface");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool isLoopback(const std::string& interfaceName) {
  return interfaceName == "lo" || (looksLikeIpv4(interfaceName) && isLoopbackAddress(interfaceName));
}

}  // namespace

std::string ddsConfigForInterface(const std::string& interfaceName) {
  if (interfaceName.empty() || !isXmlSafe(interfaceName))
    throw std::invalid_argument("the DDS interface must be a network interface's name or IPv4 address, not \"" +
                                interfaceName + "\"");
  // A peer forgotten 3 s after it stops (a service killed mid-run does not block its name
  // for long).
  std::string discovery = "<LeaseDuration>3s</LeaseDuration>";
  std::string xml = "<CycloneDDS><Domain Id=\"any\"><General><Interfaces>";
  if (isLoopback(interfaceName)) {
    // Loopback carries no multicast: discovery goes by unicast to the fixed port range of
    // every participant index on 127.0.0.1.
    xml += "<NetworkInterface address=\"127.0.0.1\"/></Interfaces><AllowMulticast>false</AllowMulticast>";
    discovery += "<ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>40</MaxAutoParticipantIndex>"
                 "<Peers><Peer address=\"127.0.0.1\"/></Peers>";
  } else if (looksLikeIpv4(interfaceName)) {
    xml += "<NetworkInterface address=\"" + interfaceName + "\"/></Interfaces>";
  } else {
    xml += "<NetworkInterface name=\"" + interfaceName + "\"/></Interfaces>";
  }
  xml += "</General><Discovery>" + discovery + "</Discovery></Domain></CycloneDDS>";
  return xml;
}

std::string ddsInterfaceFromEnvironment() {
  const char* value = std::getenv(kDdsInterfaceVariable);
  return value && *value ? value : "lo";
}

std::string ddsTopicName(const std::string& robotName, const std::string& topic) {
  bool usable = !robotName.empty();
  for (char c : robotName)
    usable = usable && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
  if (!usable)
    throw std::invalid_argument("a robot name holds letters, digits and '_' only (it is part of a ROS 2 topic), not \"" +
                                robotName + "\"");
  return "rt/drivelink/" + robotName + "/" + topic;
}

namespace dds_support {

dds_return_t check(dds_return_t result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string(what) + ": " + dds_strretcode(result));
  return result;
}

namespace {

// One set-up per domain and process: Cyclone allows one configuration per domain, and the
// domain entity must outlive every participant in it, so it stays to the end of the process.
void ensureDomain(uint32_t domain, const std::string& interfaceName) {
  static std::mutex mutex;
  static std::map<uint32_t, dds_entity_t> domains;
  std::lock_guard<std::mutex> lock(mutex);
  if (domains.count(domain)) return;
  const dds_entity_t created = dds_create_domain(domain, ddsConfigForInterface(interfaceName).c_str());
  if (created == DDS_RETCODE_PRECONDITION_NOT_MET) return;  // set up outside this code
  domains[domain] = check(created, "cannot set up the DDS domain");
}

}  // namespace

Entity createParticipant(uint32_t domain, const std::string& interfaceName) {
  ensureDomain(domain, interfaceName);
  return Entity(check(dds_create_participant(domain, nullptr, nullptr), "cannot join the DDS domain"));
}

RobotTopics createTopics(dds_entity_t participant, const std::string& robotName) {
  const auto topic = [&](const dds_topic_descriptor_t* type, const char* name) {
    return check(dds_create_topic(participant, type, ddsTopicName(robotName, name).c_str(), nullptr, nullptr),
                 "cannot create a DDS topic");
  };
  RobotTopics topics;
  topics.lowState = topic(&drivelink_msgs_msg_dds__LowState__desc, "low_state");
  topics.lowCmd = topic(&drivelink_msgs_msg_dds__LowCmd__desc, "low_cmd");
  topics.linkStats = topic(&drivelink_msgs_msg_dds__LinkStats__desc, "link_stats");
  topics.status = topic(&drivelink_msgs_msg_dds__Status__desc, "status");
  return topics;
}

namespace {

// Owns a QoS object for the span of one entity creation.
class Qos {
 public:
  explicit Qos(Flow flow) : qos_(dds_create_qos()) {
    dds_qset_history(qos_, DDS_HISTORY_KEEP_LAST, 1);
    const bool reliable = flow == Flow::Statistics || flow == Flow::Status;
    dds_qset_reliability(qos_, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, DDS_MSECS(100));
    if (flow == Flow::Status) dds_qset_durability(qos_, DDS_DURABILITY_TRANSIENT_LOCAL);
  }
  ~Qos() { dds_delete_qos(qos_); }
  Qos(const Qos&) = delete;
  Qos& operator=(const Qos&) = delete;
  const dds_qos_t* get() const { return qos_; }

 private:
  dds_qos_t* qos_;
};

}  // namespace

dds_entity_t createReader(dds_entity_t participant, dds_entity_t topic, Flow flow) {
  const Qos qos(flow);
  return check(dds_create_reader(participant, topic, qos.get(), nullptr), "cannot create a DDS reader");
}

dds_entity_t createWriter(dds_entity_t participant, dds_entity_t topic, Flow flow) {
  const Qos qos(flow);
  return check(dds_create_writer(participant, topic, qos.get(), nullptr), "cannot create a DDS writer");
}

uint32_t matchedPublishers(dds_entity_t reader) {
  dds_subscription_matched_status_t status{};
  check(dds_get_subscription_matched_status(reader, &status), "cannot read the DDS match status");
  return status.current_count;
}

dds_sequence_double viewOf(double* storage, uint32_t length) {
  dds_sequence_double sequence{};
  sequence._maximum = length;
  sequence._length = length;
  sequence._buffer = storage;
  sequence._release = false;
  return sequence;
}

namespace {

void copyJoints(const dds_sequence_double& from, Eigen::VectorXd& to) {
  to.resize(from._length);
  for (uint32_t i = 0; i < from._length; ++i) to[i] = from._buffer[i];
}

}  // namespace

void toRobotState(const LowStateMsg& message, RobotState& state) {
  copyJoints(message.pos, state.pos);
  copyJoints(message.vel, state.vel);
  copyJoints(message.tau, state.tau);
  const Eigen::Index n = state.pos.size();
  for (Eigen::VectorXd* aux : {&state.aux0, &state.aux1, &state.aux2}) aux->setZero(n);
  for (int i = 0; i < 4; ++i) state.quat[i] = message.quat[i];
  for (int i = 0; i < 3; ++i) {
    state.acc[i] = message.acc[i];
    state.gyro[i] = message.gyro[i];
  }
  state.replySequence = message.reply_sequence;
  state.replyTime = message.receive_time;
}

LinkStats toLinkStats(const LinkStatsMsg& m) {
  LinkStats s;
  s.exchanges = m.exchanges;
  s.replies = m.replies;
  s.timeouts = m.timeouts;
  s.short_replies = m.short_replies;
  s.long_replies = m.long_replies;
  s.stale_skipped = m.stale_skipped;
  s.foreign_dropped = m.foreign_dropped;
  s.invalid_motor_records = m.invalid_motor_records;
  s.invalid_imu_records = m.invalid_imu_records;
  s.invalid_battery_records = m.invalid_battery_records;
  s.longest_failure_run = m.longest_failure_run;
  s.rtt_median_us = m.rtt_median_us;
  s.rtt_p99_us = m.rtt_p99_us;
  s.rtt_max_us = m.rtt_max_us;
  s.reply_age_us = m.reply_age_us;
  s.command_expiries = m.command_expiries;
  return s;
}

LinkStatsMsg toMessage(const LinkStats& s, uint64_t serviceId) {
  LinkStatsMsg m{};
  m.service_id = serviceId;
  m.exchanges = s.exchanges;
  m.replies = s.replies;
  m.timeouts = s.timeouts;
  m.short_replies = s.short_replies;
  m.long_replies = s.long_replies;
  m.stale_skipped = s.stale_skipped;
  m.foreign_dropped = s.foreign_dropped;
  m.invalid_motor_records = s.invalid_motor_records;
  m.invalid_imu_records = s.invalid_imu_records;
  m.invalid_battery_records = s.invalid_battery_records;
  m.longest_failure_run = s.longest_failure_run;
  m.rtt_median_us = s.rtt_median_us;
  m.rtt_p99_us = s.rtt_p99_us;
  m.rtt_max_us = s.rtt_max_us;
  m.reply_age_us = s.reply_age_us;
  m.command_expiries = s.command_expiries;
  return m;
}

RemoteStatus toRemoteStatus(const StatusMsg& m) {
  RemoteStatus s;
  s.serviceId = m.service_id;
  s.robotType = m.robot_type ? m.robot_type : "";
  s.motorCount = static_cast<int>(m.motor_count);
  s.sessionInCharge = m.session_in_charge;
  s.lease = m.lease;
  s.foreignDropped = m.foreign_dropped;
  s.expiredDropped = m.expired_dropped;
  s.leaseExpiries = m.lease_expiries;
  s.brakes = m.brakes;
  s.brakeBits = m.brake_bits;
  s.linkLost = m.link_lost;
  return s;
}

uint64_t randomId() {
  std::random_device device;
  uint64_t id = 0;
  while (id == 0) id = (static_cast<uint64_t>(device()) << 32) ^ device();
  return id;
}

}  // namespace dds_support
