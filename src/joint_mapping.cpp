// Conversion between the motors' real joint space and the controller's virtual joint space.
#include "joint_mapping.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>

#include <Eigen/LU>

#include "eigen_types.h"
#include "kinematics.h"
#include "log_line.h"

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

using LegAtConfiguration = LegKinematicsCache::Leg;

/// The leg at the measured configuration, from the cache when it holds these very positions.
/// Prints the leg's line when the linkage cannot be assembled there.
const LegAtConfiguration& legAt(const RobotState& real, const Leg& leg, LegKinematicsCache& cache) {
  LegAtConfiguration& at = cache.legs[&leg - kLegs];
  const Vec5<double> measured = boundedLeg(real.pos, leg, gravon_kinematics::get_bounded_jpos_hardware);
  if (!at.filled || at.measured != measured) {  // a NaN never matches, so it is always recomputed
    at.measured = measured;
    at.filled = true;
    at.assembled = gravon_kinematics::switchLegJoint(measured, at.virtualPos, at.jacobian, 'p', leg.side);
    if (at.assembled) {
      at.lu.compute(at.jacobian);
      at.luTransposed.compute(at.jacobian.transpose());
    }
  }
  if (!at.assembled) printLine(leg.invalidConfiguration);
  return at;
}

/// Joints past the legs are driven one to one; their commanded positions are still clamped.
void clampFurtherJoints(const RobotCommand& virtualCommand, RobotCommand& realCommand) {
  for (Eigen::Index i = kVeltraMinJoints; i < virtualCommand.pos.size(); ++i)
    realCommand.pos[i] = gravon_kinematics::get_bounded_jpos_virtual(virtualCommand.pos[i], static_cast<size_t>(i));
}

bool legRealToVirtual(const RobotState& real, RobotState& virtualState, const Leg& leg, LegKinematicsCache& cache) {
  const LegAtConfiguration& at = legAt(real, leg, cache);
  if (!at.assembled) return false;  // keeps the copy
  const Vec5<double> realVel = real.vel.segment<kLegJoints>(leg.first);
  const Vec5<double> realTau = real.tau.segment<kLegJoints>(leg.first);
  virtualState.pos.segment<kLegJoints>(leg.first) = at.virtualPos;
  virtualState.vel.segment<kLegJoints>(leg.first) = at.jacobian * realVel;
  // (J⁻¹)ᵀτ solved as Jᵀx = τ: one LU factorisation, no explicit inverse.
  virtualState.tau.segment<kLegJoints>(leg.first) = at.luTransposed.solve(realTau);
  return true;
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
bool legVirtualToReal(const LegAtConfiguration& present, const RobotCommand& virtualCommand,
                      RobotCommand& realCommand, const Leg& leg) {
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
  if (present.assembled) {
    realCommand.vel.segment<kLegJoints>(leg.first) = present.lu.solve(virtualVel);
    realCommand.tau.segment<kLegJoints>(leg.first) = present.jacobian.transpose() * virtualTau;
  }
  return present.assembled && reachable;
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
  LegKinematicsCache fresh;
  return switchRealToVirtual(real, virtualState, robotType, fresh);
}

bool switchVirtualToReal(const RobotState& real, const RobotCommand& virtualCommand, RobotCommand& realCommand,
                         int robotType) {
  LegKinematicsCache fresh;
  return switchVirtualToReal(real, virtualCommand, realCommand, robotType, fresh);
}

bool switchRealToVirtual(const RobotState& real, RobotState& virtualState, int robotType, LegKinematicsCache& cache) {
  if (isZenthi(robotType)) {
    virtualState = real;
    return true;
  }
  if (!isVeltra(robotType)) return false;

  requireVeltraLengths(real, "switchRealToVirtual");
  virtualState = real;  // joints past the legs, aux vectors, IMU and flag pass as they are
  bool ok = true;
  for (const Leg& leg : kLegs) ok = legRealToVirtual(real, virtualState, leg, cache) && ok;
  return ok;
}

bool switchVirtualToReal(const RobotState& real, const RobotCommand& virtualCommand, RobotCommand& realCommand,
                         int robotType, LegKinematicsCache& cache) {
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
  const LegAtConfiguration& left = legAt(real, kLegs[0], cache);
  const LegAtConfiguration& right = legAt(real, kLegs[1], cache);
  realCommand = virtualCommand;  // gains and flags pass as they are
  clampFurtherJoints(virtualCommand, realCommand);
  const bool leftOk = legVirtualToReal(left, virtualCommand, realCommand, kLegs[0]);
  const bool rightOk = legVirtualToReal(right, virtualCommand, realCommand, kLegs[1]);
  return leftOk && rightOk;
}
