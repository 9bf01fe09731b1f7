/// \file
/// The robot seen from another process or another machine: the polling interface of RobotSDK
/// over Cyclone DDS, served by the robot service (bin/drivelink_dds) that runs the robot layer
/// on the robot's computer. Topics, for robot name ROBOT: rt/drivelink/ROBOT/low_state (state,
/// best effort), rt/drivelink/ROBOT/low_cmd (commands, best effort), rt/drivelink/ROBOT/link_stats
/// (10 Hz, reliable), rt/drivelink/ROBOT/status (who is in charge; reliable, transient-local).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "link_stats.h"
#include "robot_config.h"
#include "robot_records.h"
#include "robot_sdk.h"

/// The environment variable that names the network interface (a name such as "eth1", or one
/// of its IPv4 addresses) Cyclone DDS may use for RemoteRobot; unset or empty means "lo".
constexpr const char* kDdsInterfaceVariable = "DRIVELINK_DDS_INTERFACE";

/// The Cyclone DDS configuration (XML) that confines every DDS packet, discovery included, to
/// the one network interface `interfaceName` (a name, or an IPv4 address of it). On loopback,
/// which carries no multicast, discovery goes by unicast to 127.0.0.1. Pure; any thread.
/// Throws std::invalid_argument for an empty name or one with characters XML would misread.
std::string ddsConfigForInterface(const std::string& interfaceName);

/// The interface RemoteRobot uses: the value of DRIVELINK_DDS_INTERFACE, or "lo" when it is
/// unset or empty. Any thread (reads the environment).
std::string ddsInterfaceFromEnvironment();

/// The DDS topic name of `topic` ("low_state", "low_cmd", "link_stats", "status") for robot
/// `robotName`: `rt/drivelink/ROBOT/TOPIC`, the names ROS 2 shows as `/drivelink/ROBOT/TOPIC`. Throws std::invalid_argument for a robot name that is empty
/// or holds anything but letters, digits and '_' (ROS 2 would refuse the topic). Any thread.
std::string ddsTopicName(const std::string& robotName, const std::string& topic);

/// The robot cannot be reached as asked: no service publishes the name within the discovery
/// time, or two services publish it (the message names the robot and the domain).
class RemoteRobotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Another session is in charge of the robot: thrown by RemoteRobot::setCommand once the
/// service's status names that session. Nothing was sent.
class SessionRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// What the service last said on its status topic. A plain value.
struct RemoteStatus {
  uint64_t serviceId = 0;         ///< The service's random id; 0 before its first status.
  std::string robotType;          ///< The configuration's robot_type.
  int motorCount = 0;             ///< Joints the service's robot has.
  uint64_t sessionInCharge = 0;   ///< The session the service obeys; 0 while the robot is free.
  double lease = 0.0;             ///< That session's lease, as capped by the service. Unit: [s].
  uint64_t foreignDropped = 0;    ///< Commands of other sessions dropped while one was in charge.
  uint64_t expiredDropped = 0;    ///< Commands older than their lease, not applied.
  uint64_t leaseExpiries = 0;     ///< Times the session in charge fell silent and the robot braked.
  uint64_t brakes = 0;            ///< Brake commands applied.
  uint32_t brakeBits = 0;         ///< The robot layer's automatic brakes in force (BrakeLatch bits).
  bool linkLost = false;          ///< The link to the motor board is lost.
};

/// One session with the robot service of robot `name` on a DDS domain: reads the state the
/// service publishes and sends commands, as RobotSDK's polling style does on the robot itself.
///
/// Sessions and the lease: each RemoteRobot draws a random 64-bit session id of its own (two
/// in one process are two sessions). The service obeys one session at a time, the first to
/// command while the robot is free. Each command carries the state sequence it answers and
/// the session's lease; the service judges its age on its own clock, by arrival and by how far
/// that sequence lags behind the newest state, and applies it only while it is younger than
/// the lease. When the session in charge sends nothing for longer than its lease, the service
/// puts every motor in the damping frame of RobotSDK::brake() and the robot is free again.
/// A brake() from any session is applied.
///
/// Threads: Cyclone DDS runs threads of its own (receive, discovery, lease); this object adds
/// none. Each operation states what may call it. Not copyable and not movable.
///
/// Units as RobotSDK: joint side, virtual joint space, rad, rad/s, N·m; times in s.
class RemoteRobot {
 public:
  static constexpr double kDefaultLease = 0.05;        ///< A command's default lease. Unit: [s].
  static constexpr double kMaxLease = 0.5;             ///< The longest lease the service grants. Unit: [s].
  static constexpr double kDefaultDiscoveryTime = 5.0; ///< How long the constructor looks for the service. Unit: [s].

  /// Joins DDS domain `domain` on the interface ddsInterfaceFromEnvironment() names (the
  /// configuration of ddsConfigForInterface; the first RemoteRobot of a process sets up the
  /// domain, later ones on the same domain share it), then waits up to `discoverySeconds` for
  /// the service's status (its motor count and robot type). Throws std::invalid_argument for a
  /// bad name (see ddsTopicName), a lease that is NaN, not positive or above kMaxLease, or a
  /// negative discovery time; RemoteRobotError when no service answers in time or when two
  /// services publish the name; std::runtime_error when DDS cannot be set up (the message
  /// gives Cyclone's reason). The caller's thread.
  explicit RemoteRobot(std::string name, uint32_t domain = 0, double lease = kDefaultLease,
                       double discoverySeconds = kDefaultDiscoveryTime);
  /// Leaves the domain; the service sees this session's commands stop and brakes after the
  /// lease if it was in charge. Never throws.
  ~RemoteRobot();

  RemoteRobot(const RemoteRobot&) = delete;
  RemoteRobot& operator=(const RemoteRobot&) = delete;
  RemoteRobot(RemoteRobot&&) = delete;
  RemoteRobot& operator=(RemoteRobot&&) = delete;

  /// The newest state the service published (joints, first IMU, replySequence and replyTime
  /// as the service's clock stamped them), without waiting. Throws LinkFailure while the
  /// service reports the link to the board lost, RemoteRobotError when no state came yet or a
  /// second service publishes the name. One thread at a time (the polling thread).
  void getState(RobotState& state);
  /// The same without a copy: this object's own record, valid until the next readState or
  /// getState. Same rules as getState.
  const RobotState& readState();
  /// Blocks until a state newer than any read or waited for has arrived: true then, false
  /// after `timeoutSeconds` (0 polls). Throws LinkFailure when the newest state says the link
  /// is lost, std::invalid_argument for a NaN or negative timeout. The polling thread.
  bool waitForNewState(double timeoutSeconds);
  /// Sends the command, answering the newest state read or waited for. Each of the five
  /// vectors needs at least motorCount() finite entries within the link's 32-bit floats
  /// (std::invalid_argument naming the field and joint otherwise; nothing sent). Throws
  /// SessionRefused once the status names another session in charge, LinkFailure while the
  /// link is lost (nothing sent either way). The polling thread.
  void setCommand(const RobotCommand& command);
  /// Asks the service for the damping frame of RobotSDK::brake(); applied whoever is in
  /// charge. Never refused; throws std::runtime_error only when DDS cannot send. Any thread.
  void brake();
  /// The latest link statistics the service published (10 Hz); zeros before the first. Any
  /// thread.
  LinkStats linkStats() const;
  /// The latest status the service published. Any thread.
  RemoteStatus status() const;
  /// The robot layer's automatic brakes in force, as the service's latest status reports them
  /// (it publishes every change). Any thread.
  BrakeLatch brakeLatch() const;
  /// Joints of the robot, from the service's status; fixed after construction. Any thread.
  int motorCount() const;
  /// The robot type the service's configuration names; fixed after construction. Any thread.
  RobotType robotType() const;
  /// This session's random id (never 0). Any thread.
  uint64_t sessionId() const;
  /// The lease each command asks for. Unit: [s]. Any thread.
  double lease() const;
  /// The robot name this session talks to. Any thread.
  const std::string& name() const;
  /// "1.0.0", as RobotSDK. Any thread.
  std::string get_version() const { return "1.0.0"; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
