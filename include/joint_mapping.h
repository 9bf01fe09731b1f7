/// \file
/// The joint-space mapping: converts a robot's state from its motor joints to the virtual
/// joints a controller sees, and a controller's command back, through the legs' kinematics.
#pragma once

#include <Eigen/LU>

#include <vector>

#include "eigen_types.h"
#include "robot_records.h"

// ---- Joint-space mapping ----------------------------------------------------------------

/// \name Joint-space mapping
/// Both spaces are on the joint side: positions in rad, velocities in rad/s, torques in N·m;
/// gains pass unchanged. Joint i is the i-th configured motor.
///
/// Robot type codes: 0 veltra1, 1 veltra1L (two five-joint legs on joints 0-4 and 5-9),
/// 2 zenthi, 3 zenthi_v2 (every joint driven directly). Any other code returns false and
/// leaves the output untouched.
///
/// Lengths: for the veltra codes every per-joint vector of the state and of the command must
/// hold 10 to 14 entries; for the zenthi codes the command positions at most 18. Other
/// lengths throw std::invalid_argument naming them, before anything is written.
///
/// A leg the kinematics cannot convert prints one line, makes the result false and keeps the
/// values copied from the input for whatever could not be converted; the other leg is still
/// converted.
///
/// Threads: any thread; they share nothing but the cache a caller passes.
/// @{

/// Real state (motor joints) to the virtual state a controller sees.
bool switchRealToVirtual(const RobotState& real, RobotState& virtualState, int robotType);

/// Virtual command to the real command sent to the motors, positions clamped to the joint
/// limits. `real` supplies the legs' present configuration for the Jacobians.
bool switchVirtualToReal(const RobotState& real, const RobotCommand& virtualCommand,
                         RobotCommand& realCommand, int robotType);
/// @}

/// The biped legs' kinematics at one measured state: virtual positions, the real-to-virtual
/// Jacobian and its factorisations. A caller that maps a state and then a command of the same
/// received frame passes one cache to both calls, so the legs are solved once per frame. An
/// entry serves only the very positions it was computed from, so a stale cache is never wrong.
/// One cache belongs to one thread at a time.
struct LegKinematicsCache {
  /// One leg at one measured configuration.
  struct Leg {
    Vec5<double> measured;   ///< The real positions, bounded to the hardware limits, the entry belongs to. Unit: [rad].
    bool filled = false;     ///< The entry holds a computation.
    bool assembled = false;  ///< False: the linkage cannot be assembled there (the rest is unset).
    Vec5<double> virtualPos;  ///< The leg's virtual positions. Unit: [rad].
    Mat5<double> jacobian;    ///< J: virtual joint velocities = J · real joint velocities.
    Eigen::PartialPivLU<Mat5<double>> lu;            ///< Of J, for a command's velocities.
    Eigen::PartialPivLU<Mat5<double>> luTransposed;  ///< Of Jᵀ, for a state's torques.
  };
  Leg legs[2];  ///< Left leg (joints 0-4), right leg (joints 5-9).
};

/// \name Joint-space mapping with a cache
/// The two mappings with a cache of the legs' kinematics (see LegKinematicsCache); same
/// results, lines and exceptions as without. Any thread that owns the cache at the time.
/// @{

/// switchRealToVirtual, solving the legs through `cache`.
bool switchRealToVirtual(const RobotState& real, RobotState& virtualState, int robotType, LegKinematicsCache& cache);
/// switchVirtualToReal, solving the legs through `cache`.
bool switchVirtualToReal(const RobotState& real, const RobotCommand& virtualCommand, RobotCommand& realCommand,
                         int robotType, LegKinematicsCache& cache);
/// @}

/// Whether the mapping serves a robot of this type with this many joints: 10 to 14 for the
/// bipeds (two legs, and the biped limit tables), at most 18 for zenthi robots. False for an
/// unknown type. Any thread.
bool supportsJointCount(int robotType, long joints);

/// Prints one line when the configuration's jpos_min/jpos_max (radians, joint side, kept for
/// tools) differ from the built-in tables the mapping clamps with: the biped's hardware table,
/// the zenthi table. Prints nothing when they agree. Caller's thread; never fails.
void reportConfiguredLimits(int robotType, const std::vector<double>& configuredMin,
                            const std::vector<double>& configuredMax);
