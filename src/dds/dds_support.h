// What the robot service and RemoteRobot share on DDS: the participant on a domain confined
// to one interface, the four topics of a robot name with their QoS, owned entities, and the
// copies between the SDK's records and the generated message types.
#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <string>

#include "LinkStats.h"
#include "LowCmd.h"
#include "LowState.h"
#include "Status.h"
#include "link_stats.h"
#include "remote_robot.h"
#include "robot_records.h"

namespace dds_support {

using LowStateMsg = drivelink_msgs_msg_dds__LowState_;
using LowCmdMsg = drivelink_msgs_msg_dds__LowCmd_;
using LinkStatsMsg = drivelink_msgs_msg_dds__LinkStats_;
using StatusMsg = drivelink_msgs_msg_dds__Status_;

/// Throws std::runtime_error "<what>: <Cyclone's reason>" for a negative return code.
dds_return_t check(dds_return_t result, const char* what);

/// An entity deleted (with its children) when the owner goes.
class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t entity) : entity_(entity) {}
  ~Entity() { reset(); }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;
  Entity(Entity&& other) noexcept : entity_(other.entity_) { other.entity_ = 0; }
  Entity& operator=(Entity&& other) noexcept {
    if (this != &other) {
      reset();
      entity_ = other.entity_;
      other.entity_ = 0;
    }
    return *this;
  }
  void reset() {
    if (entity_ > 0) dds_delete(entity_);
    entity_ = 0;
  }
  dds_entity_t get() const { return entity_; }

 private:
  dds_entity_t entity_ = 0;
};

/// A participant on `domain`. The first participant of the process on a domain sets the
/// domain up with ddsConfigForInterface(interfaceName); later ones share that set-up.
Entity createParticipant(uint32_t domain, const std::string& interfaceName);

/// The four topics of one robot name on a participant (owned by the participant).
struct RobotTopics {
  dds_entity_t lowState = 0;
  dds_entity_t lowCmd = 0;
  dds_entity_t linkStats = 0;
  dds_entity_t status = 0;
};
RobotTopics createTopics(dds_entity_t participant, const std::string& robotName);

/// Readers and writers with the QoS of their topic: state and commands best effort, keep last
/// 1; statistics reliable, keep last 1; status reliable, transient-local, keep last 1.
enum class Flow { State, Command, Statistics, Status };
dds_entity_t createReader(dds_entity_t participant, dds_entity_t topic, Flow flow);
dds_entity_t createWriter(dds_entity_t participant, dds_entity_t topic, Flow flow);

/// Writers matched by `reader` now (the robot service's count of publishers of a name).
uint32_t matchedPublishers(dds_entity_t reader);

/// A sequence of doubles that views `storage` (no allocation, no ownership).
dds_sequence_double viewOf(double* storage, uint32_t length);

/// Copies between the SDK's records and the messages.
void toRobotState(const LowStateMsg& message, RobotState& state);
LinkStats toLinkStats(const LinkStatsMsg& message);
LinkStatsMsg toMessage(const LinkStats& stats, uint64_t serviceId);
RemoteStatus toRemoteStatus(const StatusMsg& message);

/// A random 64-bit id, never 0.
uint64_t randomId();

}  // namespace dds_support
