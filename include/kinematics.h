/// \file
/// Leg kinematics and joint limits of the supported robot families.
///
/// gravon_kinematics: the biped's five-joint leg (hip yaw, hip roll, hip pitch, knee, ankle).
/// Knee and ankle are driven through rod linkages from cranks at the hip, so a leg has two
/// joint spaces: real joints (the motor angles, letter 'p') and virtual joints (the equivalent
/// serial chain hip -> knee -> ankle, letter 's'). Leg side letters are 'l' and 'r'.
/// Task vector: (yaw, sole pitch, foot x, foot y, foot z) in the leg-root frame
/// (x forward, y left, z up), angles in radians, lengths in metres.
///
/// zenthi_kinematics: joint limits of the directly driven 18-joint family.
///
/// Everything here is fixed-size, closed-form and allocation free; no state is shared, so every
/// function may run on any thread.
#pragma once

#include <cstddef>

#include "eigen_types.h"

namespace gravon_kinematics {

/// Active rotation by +a [rad] about x (right-hand rule).
Mat3<double> rotx(const double& a);
/// Active rotation by +a [rad] about y (right-hand rule).
Mat3<double> roty(const double& a);
/// Active rotation by +a [rad] about z (right-hand rule).
Mat3<double> rotz(const double& a);

/// Geometry of one leg and every intermediate point of a kinematics call. The first thirteen
/// fields hold the leg's geometry; the rest are results and scratch, written by the routines
/// before they are read. Sagittal points lie in the x-z plane with the hip pitch axis at the
/// origin; at hip angle 0 the thigh points straight down.
struct kinData {
  double thighLength = 0.2;           ///< Hip -> knee. Unit: [m] (every length here).
  double shankLength = 0.25;          ///< Knee -> ankle.
  double kneeRodLength = 0.2;         ///< kneeCrankEnd -> kneeRodPivot.
  double kneeCrankLength = 0.0195;    ///< Hip -> kneeCrankEnd.
  double kneeRodOffset = 0.025;       ///< Knee -> kneeRodPivot, along the shank.
  double ankleCrankLength = 0.03;     ///< Ankle crank at the hip = bell crank upper arm.
  double ankleArmLength = 0.035;      ///< Bell crank lower arm = foot rod pivot offset on the foot.
  double bellCrankAngle = 1.1344640137963142;  ///< 65 degrees between the bell crank arms.
  Vec3<double> footPoint = Vec3<double>(0.02, 0.0, -0.0565);  ///< In the foot frame, origin at ankle.
  Vec3<double> heelPoint = Vec3<double>(-0.02, 0.0, -0.075);  ///< Heel in the foot frame.
  Vec3<double> toePoint = Vec3<double>(0.06, 0.0, -0.038);    ///< Toe in the foot frame.
  Vec3<double> hipOffsetRight = Vec3<double>(-0.04, 0.0715, 0.0);  ///< Sagittal chain, side 'r'.
  Vec3<double> hipOffsetLeft = Vec3<double>(-0.04, -0.0715, 0.0);  ///< Sagittal chain, side 'l'.

  Vec3<double> legHip;    ///< Hip in the leg-root frame (Jacobian step). Unit: [m].
  Vec3<double> legKnee;   ///< Knee in the leg-root frame.
  Vec3<double> legAnkle;  ///< Ankle in the leg-root frame.
  Vec3<double> legFoot;   ///< Foot point in the leg-root frame.
  Vec3<double> hip;                ///< Sagittal points (x-z plane, hip pitch axis at the origin). Unit: [m].
  Vec3<double> kneeCrankEnd;       ///< End of the knee motor's crank.
  Vec3<double> ankleCrankEnd;      ///< End of the ankle motor's crank.
  Vec3<double> knee;               ///< Knee axis.
  Vec3<double> kneeRodPivot;       ///< Where the knee rod meets the shank.
  Vec3<double> bellCrankUpperEnd;  ///< Upper end of the ankle's bell crank.
  Vec3<double> bellCrankLowerEnd;  ///< Lower end of the ankle's bell crank.
  Vec3<double> ankle;              ///< Ankle axis.
  Vec3<double> footRodPivot;       ///< Where the foot rod meets the foot.
  Vec3<double> foot;               ///< Foot point.
  Vec3<double> heel;               ///< Heel point.
  Vec3<double> toe;                ///< Toe point.
  Vec5<double> task5;          ///< Five-joint task (yaw, sole pitch, foot x, y, z). Units: [rad], [m].
  Vec5<double> realJoint5;     ///< Real joints of the leg (motor angles). Unit: [rad].
  Vec5<double> virtualJoint5;  ///< Virtual joints of the leg (serial chain). Unit: [rad].
  Vec3<double> task3;          ///< Sagittal task (x, z, pitch).
  Vec3<double> realJoint3;     ///< Hip, knee motor, ankle motor.
  Vec3<double> virtualJoint3;  ///< Hip, knee, ankle of the serial chain.
  Mat5<double> jacobianReal;           ///< D task / d real joints.
  Mat5<double> jacobianVirtual;        ///< D task / d virtual joints.
  Mat5<double> jacobianRealToVirtual;  ///< D virtual joints / d real joints.
};

// ---- Sagittal three-joint chain (internal steps; they always write into kd) ----

/// The x-z point at distance l1 from p1 and l2 from p2; flip picks the side of p1 -> p2
/// (true: its left-hand normal). False, with NaN in out, when no such triangle exists.
bool imp_triangle3rdPoint(const Vec3<double>& p1, const Vec3<double>& p2, const double& l1,
                          const double& l2, bool flip, Vec3<double>& out);
/// The angle at b of the triangle a, b, c.
double imp_triangleAngle(const Vec3<double>& a, const Vec3<double>& b, const Vec3<double>& c);
/// Foot target (x, z, pitch) to real and virtual joints. No angle wrapping.
bool imp_legDOF3CalcIK(const Vec3<double>& target, kinData& kd);
/// Real (hip, knee motor, ankle motor) to task and virtual joints.
bool imp_legDOF3CalcFK(const Vec3<double>& real, kinData& kd);
/// Virtual (hip, knee, ankle) to task and real joints.
bool imp_legDOF3CalcFKSerial(const Vec3<double>& virt, kinData& kd);
/// Virtual (hip, knee, ankle) to real joints only: the part of imp_legDOF3CalcFKSerial that
/// leaves the foot points and the task unset (a command's conversion needs nothing more).
bool imp_legDOF3SerialToReal(const Vec3<double>& virt, kinData& kd);

// ---- Five-joint leg (internal steps; they always write into kd) ----

/// Real joints to task and virtual joints, for side 'l' or 'r'.
bool imp_legDOF5CalcFK(const Vec5<double>& real, kinData& kd, char side);
/// Virtual joints to task and real joints, for side 'l' or 'r'.
bool imp_legDOF5CalcFKSerial(const Vec5<double>& virt, kinData& kd, char side);
/// Task to real and virtual joints, for side 'l' or 'r'. False when out of reach.
bool imp_legDOF5CalcIK(const Vec5<double>& task, kinData& kd, char side);
/// Fills the three Jacobians from the points of the preceding FK/IK call on kd with the same
/// side. At a dead point of the knee linkage the knee entries become infinite or NaN.
void imp_legDOF5CalcJacobian(kinData& kd, char side);

// ---- Public operations ----
// space 'p' = real joints, 's' = virtual joints; side 'l' or 'r'. Each call works on a fresh
// default kinData. On failure (bad letter, linkage cannot close, target out of reach) they
// return false and leave every output untouched.

/// Forward kinematics: joints [rad] of `space` to the task (yaw, sole pitch, foot x, y, z)
/// in [rad] and [m].
bool calcFK(const Vec5<double>& joints, Vec5<double>& task, char space, char side);
/// Forward kinematics and J = d task / d joints of the given space.
bool calcFK(const Vec5<double>& joints, Vec5<double>& task, Mat5<double>& J, char space, char side);
/// Inverse kinematics: task to joints [rad] of `space`.
bool calcIK(const Vec5<double>& task, Vec5<double>& joints, char space, char side);
/// Inverse kinematics and J = d task / d joints of the given space at the solution.
bool calcIK(const Vec5<double>& task, Vec5<double>& joints, Mat5<double>& J, char space, char side);
/// space names the input's space: 'p' converts real to virtual joints, 's' virtual to real.
bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, char space, char side);
/// J maps real joint velocities to virtual ones (virtual = J * real), in both directions.
bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, Mat5<double>& J, char space,
                    char side);

// ---- Joint limits of the biped family, radians ----
// Indices 0-4 left leg, 5-9 right leg (hip yaw, hip roll, hip pitch, knee, ankle), 10-13 the
// further joints. Virtual limits bound serial-chain angles, hardware limits motor angles.
// An index of 14 or more has no limits: max is +infinity, min is -infinity and the bounded
// functions return the position unchanged (NaN included). The table is never read there.

/// Entries in each biped limit table.
constexpr size_t kBipedLimitCount = 14;

/// Upper virtual (serial-chain) limit of joint `index`. Unit: [rad].
double get_jpos_virtual_max(size_t index);
/// Lower virtual (serial-chain) limit of joint `index`. Unit: [rad].
double get_jpos_virtual_min(size_t index);
/// `position` [rad] clamped to the virtual limits of joint `index`.
double get_bounded_jpos_virtual(double position, size_t index);
/// Upper hardware (motor) limit of joint `index`. Unit: [rad].
double get_jpos_hardware_max(size_t index);
/// Lower hardware (motor) limit of joint `index`. Unit: [rad].
double get_jpos_hardware_min(size_t index);
/// `position` [rad] clamped to the hardware limits of joint `index`.
double get_bounded_jpos_hardware(double position, size_t index);

}  // namespace gravon_kinematics

namespace zenthi_kinematics {

// Six groups of three directly driven joints; entry i uses the limits of column i mod 3.
// An index of 18 or more has no limits, exactly as in the biped tables.

/// Entries in the zenthi limit table.
constexpr size_t kLimitCount = 18;

/// Upper limit of joint `index`. Unit: [rad].
double get_jpos_max(size_t index);
/// Lower limit of joint `index`. Unit: [rad].
double get_jpos_min(size_t index);
/// `position` [rad] clamped to the limits of joint `index`.
double get_bounded_jpos(double position, size_t index);

}  // namespace zenthi_kinematics
