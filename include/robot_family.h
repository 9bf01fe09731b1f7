/// \file
/// One table per robot family: the joints' names, what a positive angle does at each, and a
/// standing pose with the gains that hold it, tried on the physics model of each family. The
/// examples, the demos and the README take their poses from here, so a first controller
/// stands the robot up as they do.
#pragma once

#include <string>
#include <vector>

#include "eigen_types.h"
#include "robot_config.h"

/// One joint of a family, in the controller's (virtual) joint space, joint side of the gear.
struct FamilyJoint {
  std::string name;      ///< "left knee", "leg 3 hip", ...
  std::string positive;  ///< What a positive angle does there (x forward, y left, z up).
  double stand;          ///< The standing pose's angle. Unit: [rad].
  double kp;             ///< Position gain that holds the stance. Unit: [N·m/rad].
  double kd;             ///< Velocity gain that holds the stance. Unit: [N·m·s/rad].
};

/// One robot family: the robot types that share its legs and its table. A family value is
/// built once and never changes; every function here may be called from any thread.
struct RobotFamily {
  std::string name;                 ///< "veltra1" (the biped) or "zenthi" (six legs).
  std::vector<RobotType> types;     ///< The robot types of the family, in code order.
  std::vector<FamilyJoint> joints;  ///< The legs' joints in joint order, joint i at index i.
  /// Gains of the joints past the table (the biped's joints 10-13), which hold their start
  /// position when standing. Unit: [N·m/rad].
  double otherKp;
  double otherKd;  ///< As otherKp. Unit: [N·m·s/rad].

  /// The standing pose of a robot whose joints are at `start` (rad): the table's angles for
  /// the joints it names, `start` for the others, as many entries as `start` has.
  Eigen::VectorXd standingPose(const Eigen::VectorXd& start) const;
  /// The position gains of `joints` joints: the table's, then otherKp. Unit: [N·m/rad].
  Eigen::VectorXd kp(Eigen::Index joints) const;
  /// The velocity gains of `joints` joints: the table's, then otherKd. Unit: [N·m·s/rad].
  Eigen::VectorXd kd(Eigen::Index joints) const;
  /// The name of joint `joint`: the table's, "joint N" past it.
  std::string jointName(size_t joint) const;
};

/// The family of `type`. Any thread; std::invalid_argument for a value outside RobotType.
const RobotFamily& robotFamily(RobotType type);

/// The family of the robot type spelt `name` ("veltra1", "veltra1L", "zenthi" or "zenthi_v2").
/// Any thread; std::invalid_argument naming the value and the valid names for any other.
const RobotFamily& robotFamily(const std::string& name);

/// Every family, the biped's first. Any thread.
const std::vector<RobotFamily>& robotFamilies();
