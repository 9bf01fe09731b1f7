// Conversion between the motors' real joint space and the controller's virtual joint space.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>

#include <Eigen/LU>

#include "eigen_types.h"
#include "kinematics.h"
#include "log_line.h"
#include "robot_sdk.h"

namespace {

constexpr Eigen::Index kLegJoints = 5;
constexpr Eigen::Index kVeltraMinJoints = 10;  // two legs
constexpr Eigen::Index kVeltraMaxJoints = 14;  // the biped limit tables
constexpr Eigen::Index kZenthiMaxJoints = 18;  // the zenthi limit table

struct Leg {
  Eigen::Index first;
  char side;
  const char* invalidConfiguration;
  const char* invalidCommand;
};

constexpr Leg kLegs[] = {
    {0, 'l', "[motor sdk] invalid left configuration ",
     "[motor sdk] invalid left command, add limit constraint "},
    {5, 'r', "[motor sdk] invalid right configuration ",
     "[motor sdk] invalid right command, add limit constraint "},
};

bool isVeltra(int robotType) { return robotType == 0 || robotType == 1; }
bool isZenthi(int robotType) { return robotType == 2 || robotType == 3; }

void printLine(const char* line) { logLine(line); }

bool inVeltraRange(Eigen::Index length) {
  return length >= kVeltraMinJoints && length <= kVeltraMaxJoints;
}

std::string lengthList(std::initializer_list<std::pair<const char*, Eigen::Index>> lengths) {
  std::string text;
  for (const auto& [name, length] : lengths) {
    if (!text.empty()) text += ", ";
    text += std::string(name) + " " + std::to_string(length);
  }
  return text;
}

void requireVeltraLengths(const RobotState& state, const char* caller) {
  const Eigen::Index lengths[] = {state.pos.size(),  state.vel.size(),  state.tau.size(),
                                  state.aux0.size(), state.aux1.size(), state.aux2.size()};
  for (Eigen::Index length : lengths) {
    if (inVeltraRange(length)) continue;
    throw std::invalid_argument(
        std::string(caller) + ": a biped state needs 10 to 14 entries per joint vector, got " +
        lengthList({{"pos", state.pos.size()}, {"vel", state.vel.size()}, {"tau", state.tau.size()},
                    {"aux0", state.aux0.size()}, {"aux1", state.aux1.size()}, {"aux2", state.aux2.size()}}));
  }
}

void requireVeltraLengths(const RobotCommand& command) {
  const Eigen::Index lengths[] = {command.tau.size(), command.pos.size(), command.vel.size(),
                                  command.kp.size(), command.kd.size()};
  for (Eigen::Index length : lengths) {
    if (inVeltraRange(length)) continue;
    throw std::invalid_argument(
        "switchVirtualToReal: a biped command needs 10 to 14 entries per joint vector, got " +
        lengthList({{"tau", command.tau.size()}, {"pos", command.pos.size()}, {"vel", command.vel.size()},
                    {"kp", command.kp.size()}, {"kd", command.kd.size()}}));
  }
}

void requireZenthiLengths(const RobotCommand& command) {
  if (command.pos.size() <= kZenthiMaxJoints) return;
  throw std::invalid_argument("switchVirtualToReal: a zenthi command has at most 18 positions, got pos " +
                              std::to_string(command.pos.size()));
}

/// A leg's five positions, each clamped to its joint's range: the hardware ranges for measured
/// positions (so a reading just past a stop still assembles), the virtual ranges for commands.
Vec5<double> boundedLeg(const Eigen::VectorXd& pos, const Leg& leg, double (*clamp)(double, size_t)) {
  Vec5<double> bounded;
  for (Eigen::Index k = 0; k < kLegJoints; ++k)
    bounded[k] = clamp(pos[leg.first + k], static_cast<size_t>(leg.first + k));
  return bounded;
}

/// Virtual leg positions and the real-to-virtual Jacobian at the measured configuration.
/// Prints the leg's line and returns false when the linkage cannot be assembled there; the
/// outputs are then unset and must not be used.
bool realLegConfiguration(const RobotState& real, const Leg& leg, Vec5<double>& virtualPos, Mat5<double>& jacobian) {
  const Vec5<double> measured = boundedLeg(real.pos, leg, gravon_kinematics::get_bounded_jpos_hardware);
  if (gravon_kinematics::switchLegJoint(measured, virtualPos, jacobian, 'p', leg.side)) return true;
  printLine(leg.invalidConfiguration);
  return false;
}

/// Joints past the legs are driven one to one; their commanded positions are still clamped.
void clampFurtherJoints(const RobotCommand& virtualCommand, RobotCommand& realCommand) {
  for (Eigen::Index i = kVeltraMinJoints; i < virtualCommand.pos.size(); ++i)
    realCommand.pos[i] = gravon_kinematics::get_bounded_jpos_virtual(virtualCommand.pos[i], static_cast<size_t>(i));
}

bool legRealToVirtual(const RobotState& real, RobotState& virtualState, const Leg& leg) {
  Vec5<double> virtualPos;
  Mat5<double> jacobian;
  if (!realLegConfiguration(real, leg, virtualPos, jacobian)) return false;  // keeps the copy
  const Vec5<double> realVel = real.vel.segment<kLegJoints>(leg.first);
  const Vec5<double> realTau = real.tau.segment<kLegJoints>(leg.first);
  virtualState.pos.segment<kLegJoints>(leg.first) = virtualPos;
  virtualState.vel.segment<kLegJoints>(leg.first) = jacobian * realVel;
  // (J⁻¹)ᵀτ solved as Jᵀx = τ: one LU factorisation, no explicit inverse.
  virtualState.tau.segment<kLegJoints>(leg.first) = Eigen::PartialPivLU<Mat5<double>>(jacobian.transpose()).solve(realTau);
  return true;
}

/// The Jacobian of one leg at its present configuration; `valid` is false when the linkage
/// could not be assembled there, and the matrix is then never used.
struct LegJacobian {
  Mat5<double> matrix;
  bool valid = false;
};

LegJacobian presentJacobian(const RobotState& real, const Leg& leg) {
  LegJacobian jacobian;
  Vec5<double> unusedVirtualPos;
  jacobian.valid = realLegConfiguration(real, leg, unusedVirtualPos, jacobian.matrix);
  return jacobian;
}

/// A leg's real command positions clamped to the motors' hardware ranges: a virtual target
/// inside the virtual ranges can still convert to a motor angle far past a hardware stop (a
/// virtual knee 2.4 with ankle 1.5 asks the ankle motor for about 158 degrees, against 55).
void clampLegToHardware(RobotCommand& realCommand, const Leg& leg) {
  realCommand.pos.segment<kLegJoints>(leg.first) =
      boundedLeg(realCommand.pos, leg, gravon_kinematics::get_bounded_jpos_hardware);
}

/// One leg of the command. Position and rates are converted independently: an unreachable
/// target keeps the copied positions, an unassembled present configuration keeps the copied
/// velocities and torques. Either way the leg's real positions end inside the hardware ranges.
bool legVirtualToReal(const LegJacobian& jacobian, const RobotCommand& virtualCommand, RobotCommand& realCommand,
                      const Leg& leg) {
  // Read everything before writing, in case both commands are the same record.
  const Vec5<double> target = boundedLeg(virtualCommand.pos, leg, gravon_kinematics::get_bounded_jpos_virtual);
  const Vec5<double> virtualVel = virtualCommand.vel.segment<kLegJoints>(leg.first);
  const Vec5<double> virtualTau = virtualCommand.tau.segment<kLegJoints>(leg.first);

  Vec5<double> realPos;
  const bool reachable = gravon_kinematics::switchLegJoint(target, realPos, 's', leg.side);
  if (reachable) {
    realCommand.pos.segment<kLegJoints>(leg.first) = realPos;
  } else {
    printLine(leg.invalidCommand);
  }
  clampLegToHardware(realCommand, leg);
  if (jacobian.valid) {
    realCommand.vel.segment<kLegJoints>(leg.first) = Eigen::PartialPivLU<Mat5<double>>(jacobian.matrix).solve(virtualVel);
    realCommand.tau.segment<kLegJoints>(leg.first) = jacobian.matrix.transpose() * virtualTau;
  }
  return jacobian.valid && reachable;
}

}  // namespace

bool supportsJointCount(int robotType, long joints) {
  if (isVeltra(robotType)) return inVeltraRange(joints);
  if (isZenthi(robotType)) return joints >= 0 && joints <= kZenthiMaxJoints;
  return false;
}

// The configuration's limits are kept for tools; saying once where they disagree with the
// tables keeps a user from believing the configured ones protect the robot.
void reportConfiguredLimits(int robotType, const std::vector<double>& configuredMin,
                            const std::vector<double>& configuredMax) {
  constexpr double kSameWithin = 1e-6;  // radians: a rounded copy of a table value is the same limit
  const size_t joints = std::min(configuredMin.size(), configuredMax.size());
  size_t differing = 0, first = 0;
  double firstMin = 0.0, firstMax = 0.0;
  for (size_t i = 0; i < joints; ++i) {
    const double min = isVeltra(robotType) ? gravon_kinematics::get_jpos_hardware_min(i) : zenthi_kinematics::get_jpos_min(i);
    const double max = isVeltra(robotType) ? gravon_kinematics::get_jpos_hardware_max(i) : zenthi_kinematics::get_jpos_max(i);
    if (std::fabs(configuredMin[i] - min) <= kSameWithin && std::fabs(configuredMax[i] - max) <= kSameWithin) continue;
    if (differing++ == 0) {
      first = i;
      firstMin = min;
      firstMax = max;
    }
  }
  if (differing == 0) return;
  logLine("[robot sdk] the configured jpos_min/jpos_max differ from the built-in joint limits at ", differing,
          " of ", joints, " joints (first joint ", first, ": configured ", configuredMin[first], "..",
          configuredMax[first], ", built-in ", firstMin, "..", firstMax,
          "); positions are clamped to the built-in limits");
}

bool switchRealToVirtual(const RobotState& real, RobotState& virtualState, int robotType) {
  if (isZenthi(robotType)) {
    virtualState = real;
    return true;
  }
  if (!isVeltra(robotType)) return false;

  requireVeltraLengths(real, "switchRealToVirtual");
  virtualState = real;  // joints past the legs, aux vectors, IMU and flag pass as they are
  bool ok = true;
  for (const Leg& leg : kLegs) ok = legRealToVirtual(real, virtualState, leg) && ok;
  return ok;
}

bool switchVirtualToReal(const RobotState& real, const RobotCommand& virtualCommand, RobotCommand& realCommand,
                         int robotType) {
  if (isZenthi(robotType)) {
    requireZenthiLengths(virtualCommand);
    realCommand = virtualCommand;
    for (Eigen::Index i = 0; i < realCommand.pos.size(); ++i)
      realCommand.pos[i] = zenthi_kinematics::get_bounded_jpos(virtualCommand.pos[i], static_cast<size_t>(i));
    return true;
  }
  if (!isVeltra(robotType)) return false;

  requireVeltraLengths(real, "switchVirtualToReal");
  requireVeltraLengths(virtualCommand);
  const LegJacobian left = presentJacobian(real, kLegs[0]);
  const LegJacobian right = presentJacobian(real, kLegs[1]);
  realCommand = virtualCommand;  // gains and flags pass as they are
  clampFurtherJoints(virtualCommand, realCommand);
  const bool leftOk = legVirtualToReal(left, virtualCommand, realCommand, kLegs[0]);
  const bool rightOk = legVirtualToReal(right, virtualCommand, realCommand, kLegs[1]);
  return leftOk && rightOk;
}
