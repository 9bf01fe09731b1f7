#include "robot_family.h"

#include <stdexcept>

namespace {

// One leg's joints before the leg's name is put in front: name, positive direction, standing
// angle (rad), kp (N·m/rad), kd (N·m·s/rad).
struct LegJoint {
  const char* name;
  const char* positive;
  double stand, kp, kd;
};

// The biped's leg in the virtual joint space (knee and ankle are the serial chain's, not the
// motors'). Standing, hip pitch + knee + ankle = 0.4332 keeps the sole level (its own slope in
// the chain) with the ankle under the hip: the model's stand keyframe. The pitch joints carry
// the 20 kg robot; yaw and roll only keep the legs aligned.
constexpr LegJoint kVeltraLeg[] = {
    {"hip yaw", "turns the toes to the left", 0.0, 80.0, 2.0},
    {"hip roll", "swings the foot to the left (out on the left leg, in on the right)", 0.0, 150.0, 3.0},
    {"hip pitch", "swings the foot backwards (negative lifts the thigh forwards)", -0.5, 250.0, 5.0},
    {"knee", "bends the knee, the shank swinging backwards (always positive)", 0.9, 250.0, 5.0},
    {"ankle", "tips the toes down", 0.0332, 200.0, 4.0},
};
constexpr const char* kVeltraLegs[] = {"left", "right"};

// A zenthi leg, all three joints driven directly: the hip raises the femur, the knee folds the
// tibia down under it (always negative). Standing, the tibias stand about upright under the
// knees: the model's stand keyframe.
constexpr LegJoint kZenthiLeg[] = {
    {"abduction", "turns the leg counter-clockwise seen from above", 0.0, 60.0, 2.0},
    {"hip", "raises the femur", 0.35, 80.0, 2.0},
    {"knee", "raises the tibia (negative folds it down under the femur)", -1.95, 80.0, 2.0},
};
// Leg 1 to 3 on the left, front to rear, then 4 to 6 on the right.
constexpr const char* kZenthiLegs[] = {"leg 1", "leg 2", "leg 3", "leg 4", "leg 5", "leg 6"};

template <size_t Legs, size_t Joints>
std::vector<FamilyJoint> legTable(const char* const (&legs)[Legs], const LegJoint (&leg)[Joints]) {
  std::vector<FamilyJoint> joints;
  for (const char* legName : legs)
    for (const LegJoint& joint : leg)
      joints.push_back({std::string(legName) + " " + joint.name, joint.positive, joint.stand, joint.kp, joint.kd});
  return joints;
}

Eigen::VectorXd column(const RobotFamily& family, Eigen::Index joints, double FamilyJoint::*field, double other) {
  Eigen::VectorXd values = Eigen::VectorXd::Constant(joints, other);
  for (Eigen::Index j = 0; j < joints && j < static_cast<Eigen::Index>(family.joints.size()); ++j)
    values[j] = family.joints[static_cast<size_t>(j)].*field;
  return values;
}

}  // namespace

Eigen::VectorXd RobotFamily::standingPose(const Eigen::VectorXd& start) const {
  Eigen::VectorXd pose = start;
  for (Eigen::Index j = 0; j < pose.size() && j < static_cast<Eigen::Index>(joints.size()); ++j)
    pose[j] = joints[static_cast<size_t>(j)].stand;
  return pose;
}

Eigen::VectorXd RobotFamily::kp(Eigen::Index count) const { return column(*this, count, &FamilyJoint::kp, otherKp); }

Eigen::VectorXd RobotFamily::kd(Eigen::Index count) const { return column(*this, count, &FamilyJoint::kd, otherKd); }

std::string RobotFamily::jointName(size_t joint) const {
  return joint < joints.size() ? joints[joint].name : "joint " + std::to_string(joint);
}

const std::vector<RobotFamily>& robotFamilies() {
  // The biped's joints 10-13, past the legs, only hold their start position.
  static const std::vector<RobotFamily> kFamilies = {
      {"veltra1", {RobotType::Veltra1, RobotType::Veltra1L}, legTable(kVeltraLegs, kVeltraLeg), 20.0, 1.0},
      {"zenthi", {RobotType::Zenthi, RobotType::ZenthiV2}, legTable(kZenthiLegs, kZenthiLeg), 20.0, 1.0},
  };
  return kFamilies;
}

const RobotFamily& robotFamily(RobotType type) {
  for (const RobotFamily& family : robotFamilies())
    for (RobotType member : family.types)
      if (member == type) return family;
  throw std::invalid_argument("robot type code " + std::to_string(robotTypeCode(type)) + " belongs to no family");
}

const RobotFamily& robotFamily(const std::string& name) {
  const std::optional<RobotType> type = robotTypeFromName(name);
  if (!type)
    throw std::invalid_argument("no robot type is called \"" + name + "\"; the valid names are " +
                                robotTypeNameList());
  return robotFamily(*type);
}
