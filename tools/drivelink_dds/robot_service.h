// The robot service: one RobotSDK (polling style) served over DDS for one robot name.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_arbiter.h"
#include "dds_support.h"
#include "robot_sdk.h"

struct ServiceOptions {
  std::string config;                  // the robot configuration file
  std::string name;                    // the robot name; empty: the configuration's robot_type
  uint32_t domain = 0;                 // the DDS domain
  std::string interfaceName = "lo";    // the only interface DDS may use
  std::optional<std::string> board;    // ADDR:PORT of the board, over the file's link: section
  double discoverySeconds = 1.5;       // how long to look for another service of the name
  bool printConfig = false;            // only print the DDS configuration of the interface
};

/// Thrown when another service already publishes the robot name: nothing was opened.
class NameTaken : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Joins DDS, refuses a name in use, opens and primes the robot, then serves it on two threads
/// of its own: "dds_state" publishes each new state, "dds_commands" takes the commands,
/// judges them (CommandArbiter), and publishes the status and link statistics. The destructor
/// stops both, brakes every motor and stops the robot.
class RobotService {
 public:
  explicit RobotService(const ServiceOptions& options);
  ~RobotService();
  RobotService(const RobotService&) = delete;
  RobotService& operator=(const RobotService&) = delete;

  const std::string& name() const { return name_; }

 private:
  void _refuseTakenName(double seconds);
  void _openRobot(const ServiceOptions& options);
  void _stateLoop();
  void _commandLoop();
  void _publishNewState();  // under mutex_
  void _takeCommands(int64_t arrivalNs);
  void _handle(const dds_support::LowCmdMsg& message, int64_t arrivalNs);
  void _apply(const dds_support::LowCmdMsg& message);
  void _watchLease(int64_t nowNs);
  void _watchLink(int64_t nowNs);
  void _publishStatus(int64_t nowNs, bool force);
  void _publishLinkStats(int64_t nowNs);

  std::string name_;
  uint32_t domain_;
  uint64_t service_id_;
  dds_support::Entity participant_;
  dds_support::RobotTopics topics_;
  dds_entity_t state_writer_ = 0, stats_writer_ = 0, status_writer_ = 0, cmd_reader_ = 0;
  dds_support::Entity waitset_;

  std::unique_ptr<RobotSDK> robot_;
  int motors_ = 0;
  std::string robot_type_;

  // The robot's polling calls, the arbiter and the state publication go under one lock: the
  // state thread and the command thread both read the state (a command marks its frame read).
  std::mutex mutex_;
  CommandArbiter arbiter_;
  RobotState state_;
  RobotCommand command_;
  uint64_t published_sequence_ = 0;
  std::vector<double> pos_, vel_, tau_;
  double timeout_in_force_ = 0.0;
  bool link_lost_said_ = false;
  int64_t next_resume_ns_ = 0;
  dds_support::StatusMsg last_status_{};
  int64_t status_due_ns_ = 0;
  int64_t stats_due_ns_ = 0;

  std::atomic<bool> quit_{false};
  std::thread state_thread_;
  std::thread command_thread_;
};
