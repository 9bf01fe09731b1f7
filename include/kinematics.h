// Leg kinematics and joint limits of the supported robot families.
//
// gravon_kinematics: the biped's five-joint leg (hip yaw, hip roll, hip pitch, knee, ankle).
// Knee and ankle are driven through rod linkages from cranks at the hip, so a leg has two
// joint spaces: real joints (the motor angles, letter 'p') and virtual joints (the equivalent
// serial chain hip -> knee -> ankle, letter 's'). Leg side letters are 'l' and 'r'.
// Task vector: (yaw, sole pitch, foot x, foot y, foot z) in the leg-root frame
// (x forward, y left, z up), angles in radians, lengths in metres.
//
// zenthi_kinematics: joint limits of the directly driven 18-joint family.
//
// Everything here is fixed-size, closed-form and allocation free; no state is shared, so every
// function may run on any thread.
#pragma once

#include <cstddef>

#include "eigen_types.h"

namespace gravon_kinematics {

/// Active rotations by +a about x, y and z (right-hand rule).
Mat3<double> rotx(const double& a);
Mat3<double> roty(const double& a);
Mat3<double> rotz(const double& a);

/// Geometry of one leg and every intermediate point of a kinematics call. The first thirteen
/// fields hold the leg's geometry; the rest are results and scratch, written by the routines
/// before they are read. Sagittal points lie in the x-z plane with the hip pitch axis at the
/// origin; at hip angle 0 the thigh points straight down.
struct kinData {
  double thighLength = 0.2;           // hip -> knee
  double shankLength = 0.25;          // knee -> ankle
  double kneeRodLength = 0.2;         // kneeCrankEnd -> kneeRodPivot
  double kneeCrankLength = 0.0195;    // hip -> kneeCrankEnd
  double kneeRodOffset = 0.025;       // knee -> kneeRodPivot, along the shank
  double ankleCrankLength = 0.03;     // ankle crank at the hip = bell crank upper arm
  double ankleArmLength = 0.035;      // bell crank lower arm = foot rod pivot offset on the foot
  double bellCrankAngle = 1.1344640137963142;  // 65 degrees between the bell crank arms
  Vec3<double> footPoint = Vec3<double>(0.02, 0.0, -0.0565);  // in the foot frame, origin at ankle
  Vec3<double> heelPoint = Vec3<double>(-0.02, 0.0, -0.075);
  Vec3<double> toePoint = Vec3<double>(0.06, 0.0, -0.038);
  Vec3<double> hipOffsetRight = Vec3<double>(-0.04, 0.0715, 0.0);  // sagittal chain, side 'r'
  Vec3<double> hipOffsetLeft = Vec3<double>(-0.04, -0.0715, 0.0);  // sagittal chain, side 'l'

  Vec3<double> legHip;  // sagittal points in the leg-root frame (Jacobian step)
  Vec3<double> legKnee;
  Vec3<double> legAnkle;
  Vec3<double> legFoot;
  Vec3<double> hip;  // sagittal points
  Vec3<double> kneeCrankEnd;
  Vec3<double> ankleCrankEnd;
  Vec3<double> knee;
  Vec3<double> kneeRodPivot;
  Vec3<double> bellCrankUpperEnd;
  Vec3<double> bellCrankLowerEnd;
  Vec3<double> ankle;
  Vec3<double> footRodPivot;
  Vec3<double> foot;
  Vec3<double> heel;
  Vec3<double> toe;
  Vec5<double> task5;
  Vec5<double> realJoint5;
  Vec5<double> virtualJoint5;
  Vec3<double> task3;          // sagittal task (x, z, pitch)
  Vec3<double> realJoint3;     // hip, knee motor, ankle motor
  Vec3<double> virtualJoint3;  // hip, knee, ankle of the serial chain
  Mat5<double> jacobianReal;           // d task / d real joints
  Mat5<double> jacobianVirtual;        // d task / d virtual joints
  Mat5<double> jacobianRealToVirtual;  // d virtual joints / d real joints
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

bool imp_legDOF5CalcFK(const Vec5<double>& real, kinData& kd, char side);
bool imp_legDOF5CalcFKSerial(const Vec5<double>& virt, kinData& kd, char side);
bool imp_legDOF5CalcIK(const Vec5<double>& task, kinData& kd, char side);
/// Fills the three Jacobians from the points of the preceding FK/IK call on kd with the same
/// side. At a dead point of the knee linkage the knee entries become infinite or NaN.
void imp_legDOF5CalcJacobian(kinData& kd, char side);

// ---- Public operations ----
// space 'p' = real joints, 's' = virtual joints; side 'l' or 'r'. Each call works on a fresh
// default kinData. On failure (bad letter, linkage cannot close, target out of reach) they
// return false and leave every output untouched.

bool calcFK(const Vec5<double>& joints, Vec5<double>& task, char space, char side);
/// J = d task / d joints of the given space.
bool calcFK(const Vec5<double>& joints, Vec5<double>& task, Mat5<double>& J, char space, char side);
bool calcIK(const Vec5<double>& task, Vec5<double>& joints, char space, char side);
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

constexpr size_t kBipedLimitCount = 14;

double get_jpos_virtual_max(size_t index);
double get_jpos_virtual_min(size_t index);
double get_bounded_jpos_virtual(double position, size_t index);
double get_jpos_hardware_max(size_t index);
double get_jpos_hardware_min(size_t index);
double get_bounded_jpos_hardware(double position, size_t index);

}  // namespace gravon_kinematics

namespace zenthi_kinematics {

// Six groups of three directly driven joints; entry i uses the limits of column i mod 3.
// An index of 18 or more has no limits, exactly as in the biped tables.

constexpr size_t kLimitCount = 18;

double get_jpos_max(size_t index);
double get_jpos_min(size_t index);
double get_bounded_jpos(double position, size_t index);

}  // namespace zenthi_kinematics
