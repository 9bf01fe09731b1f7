// The biped's five-joint leg: hip yaw and hip roll in front of the sagittal chain, its three
// Jacobians, and the public entry points.
#include <cmath>

#include "kinematics.h"

namespace gravon_kinematics {

namespace {

// The sagittal chain hangs from the rolled frame at this offset; nullptr for a bad side letter.
const Vec3<double>* sideOffset(const kinData& kd, char side) {
  if (side == 'l') return &kd.hipOffsetLeft;
  if (side == 'r') return &kd.hipOffsetRight;
  return nullptr;
}

bool isSpace(char space) { return space == 'p' || space == 's'; }

Mat3<double> yawRoll(double yaw, double roll) { return rotz(yaw) * rotx(roll); }

// d(virtual knee)/d(real knee motor): differentiating the four-bar hip - kneeCrankEnd -
// kneeRodPivot - knee with its two rod lengths held fixed.
double kneeRatio(const kinData& kd) {
  const Vec3<double>& k = kd.knee;
  const Vec3<double>& h = kd.hip;
  const Vec3<double>& c = kd.kneeCrankEnd;
  const Vec3<double>& p = kd.kneeRodPivot;
  Eigen::Matrix2d b;
  b << k.z() - c.z(), k.z() - p.z(), k.x() - c.x(), k.x() - p.x();
  const double det = b(0, 0) * b(1, 1) - b(1, 0) * b(0, 1);
  Eigen::Matrix2d inv;
  inv << b(1, 1), -b(0, 1), -b(1, 0), b(0, 0);
  inv /= det;  // infinite at a dead point of the linkage, by design
  const double b0 = inv(0, 0) + inv(1, 0);
  const double b1 = inv(0, 1) + inv(1, 1);
  return 1.0 - b0 * (k.z() - h.z()) - b1 * (k.x() - h.x());
}

// The roll that puts the sagittal plane at the offset's distance from the roll axis, on the
// offset's side, with the foot below the hip. NaN when the foot is too near the roll axis.
double rollFor(const Vec3<double>& v, const Vec3<double>& offset, char side) {
  const double r = std::sqrt(v.y() * v.y() + v.z() * v.z());
  const double rho = std::sqrt(offset.y() * offset.y() + offset.z() * offset.z());
  if (side == 'l') return -(std::atan2(-v.y(), -v.z()) + std::acos(rho / r) - M_PI / 2.0);
  return std::atan2(v.y(), -v.z()) + std::acos(rho / r) - M_PI / 2.0;
}

Vec3<double> sagittalOf(const Vec5<double>& joints) { return Vec3<double>(joints[2], joints[3], joints[4]); }

Vec5<double> legVector(double a, double b, const Vec3<double>& sagittal) {
  Vec5<double> v;
  v << a, b, sagittal;
  return v;
}

}  // namespace

bool imp_legDOF5CalcFK(const Vec5<double>& real, kinData& kd, char side) {
  const bool ok = imp_legDOF3CalcFK(sagittalOf(real), kd);
  kd.realJoint5 = real;
  const Vec3<double>* offset = sideOffset(kd, side);
  if (offset == nullptr) return false;
  kd.legFoot = yawRoll(real[0], real[1]) * (kd.foot + *offset);
  kd.task5 = legVector(real[0], kd.task3[2], kd.legFoot);
  kd.virtualJoint5 = legVector(real[0], real[1], kd.virtualJoint3);
  return ok;
}

bool imp_legDOF5CalcFKSerial(const Vec5<double>& virt, kinData& kd, char side) {
  const bool ok = imp_legDOF3CalcFKSerial(sagittalOf(virt), kd);
  kd.virtualJoint5 = virt;
  const Vec3<double>* offset = sideOffset(kd, side);
  if (offset == nullptr) return false;
  kd.legFoot = yawRoll(virt[0], virt[1]) * (kd.foot + *offset);
  kd.task5 = legVector(virt[0], kd.task3[2], kd.legFoot);
  kd.realJoint5 = legVector(virt[0], virt[1], kd.realJoint3);
  return ok;
}

bool imp_legDOF5CalcIK(const Vec5<double>& task, kinData& kd, char side) {
  const double yaw = task[0], pitch = task[1];
  const Vec3<double> v = rotz(-yaw) * Vec3<double>(task[2], task[3], task[4]);
  kd.task5 = task;
  kd.realJoint5[0] = yaw;
  const Vec3<double>* offset = sideOffset(kd, side);
  if (offset == nullptr) return false;
  const double roll = rollFor(v, *offset, side);
  kd.realJoint5[1] = roll;
  const Vec3<double> p = rotx(-roll) * v - *offset;  // p.y is ~0 in the sagittal plane
  const bool ok = imp_legDOF3CalcIK(Vec3<double>(p.x(), p.z(), pitch), kd);
  kd.realJoint5.tail<3>() = kd.realJoint3;
  kd.virtualJoint5 = legVector(yaw, roll, kd.virtualJoint3);
  return ok;
}

void imp_legDOF5CalcJacobian(kinData& kd, char side) {
  const double ratio = kneeRatio(kd);
  kd.jacobianRealToVirtual.setIdentity();
  kd.jacobianRealToVirtual(3, 3) = ratio;
  kd.jacobianRealToVirtual(4, 3) = -ratio;  // the virtual ankle is measured from the shank

  const Mat3<double> r = yawRoll(kd.realJoint5[0], kd.realJoint5[1]);
  const Vec3<double>* found = sideOffset(kd, side);
  const Vec3<double> offset = found ? *found : Vec3<double>::Zero();  // public callers pass a valid side
  kd.legFoot = r * (kd.foot + offset);
  kd.legHip = r * (kd.hip + offset);
  kd.legKnee = r * (kd.knee + offset);
  kd.legAnkle = r * (kd.ankle + offset);

  const Vec3<double> yawAxis(0.0, 0.0, 1.0);
  const Vec3<double> rollAxis = rotz(kd.realJoint5[0]) * Vec3<double>(1.0, 0.0, 0.0);
  const Vec3<double> pitchAxis = r * Vec3<double>(0.0, 1.0, 0.0);
  Mat5<double>& jv = kd.jacobianVirtual;
  jv.row(0) << 1, 0, 0, 0, 0;
  jv.row(1) << 0, 0, 1, 1, 1;  // sole pitch is the sum of the three sagittal angles
  jv.block<3, 1>(2, 0) = yawAxis.cross(kd.legFoot);
  jv.block<3, 1>(2, 1) = rollAxis.cross(kd.legFoot);
  jv.block<3, 1>(2, 2) = pitchAxis.cross(kd.legFoot - kd.legHip);
  jv.block<3, 1>(2, 3) = pitchAxis.cross(kd.legFoot - kd.legKnee);
  jv.block<3, 1>(2, 4) = pitchAxis.cross(kd.legFoot - kd.legAnkle);
  kd.jacobianReal.noalias() = jv * kd.jacobianRealToVirtual;
}

// ---- Public operations: a fresh kinData per call, outputs written only on success ----

namespace {

bool forward(const Vec5<double>& joints, kinData& kd, char space, char side) {
  if (!isSpace(space)) return false;
  return space == 's' ? imp_legDOF5CalcFKSerial(joints, kd, side) : imp_legDOF5CalcFK(joints, kd, side);
}

const Mat5<double>& jacobianOf(const kinData& kd, char space) {
  return space == 's' ? kd.jacobianVirtual : kd.jacobianReal;
}

const Vec5<double>& jointsOf(const kinData& kd, char space) {
  return space == 's' ? kd.virtualJoint5 : kd.realJoint5;
}

// The joints of the space opposite to the input's.
const Vec5<double>& otherJointsOf(const kinData& kd, char inputSpace) {
  return inputSpace == 'p' ? kd.virtualJoint5 : kd.realJoint5;
}

}  // namespace

bool calcFK(const Vec5<double>& joints, Vec5<double>& task, char space, char side) {
  kinData kd;
  if (!forward(joints, kd, space, side)) return false;
  task = kd.task5;
  return true;
}

bool calcFK(const Vec5<double>& joints, Vec5<double>& task, Mat5<double>& J, char space, char side) {
  kinData kd;
  if (!forward(joints, kd, space, side)) return false;
  imp_legDOF5CalcJacobian(kd, side);
  task = kd.task5;
  J = jacobianOf(kd, space);
  return true;
}

bool calcIK(const Vec5<double>& task, Vec5<double>& joints, char space, char side) {
  kinData kd;
  if (!isSpace(space) || !imp_legDOF5CalcIK(task, kd, side)) return false;
  joints = jointsOf(kd, space);
  return true;
}

bool calcIK(const Vec5<double>& task, Vec5<double>& joints, Mat5<double>& J, char space, char side) {
  kinData kd;
  if (!isSpace(space) || !imp_legDOF5CalcIK(task, kd, side)) return false;
  imp_legDOF5CalcJacobian(kd, side);
  joints = jointsOf(kd, space);
  J = jacobianOf(kd, space);
  return true;
}

bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, char space, char side) {
  kinData kd;
  if (space == 's') {
    // Virtual to real needs the sagittal linkage only: no foot points, no hip rotation.
    if (sideOffset(kd, side) == nullptr || !imp_legDOF3SerialToReal(sagittalOf(joints), kd)) return false;
    other = legVector(joints[0], joints[1], kd.realJoint3);
    return true;
  }
  if (!forward(joints, kd, space, side)) return false;
  other = otherJointsOf(kd, space);
  return true;
}

bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, Mat5<double>& J, char space, char side) {
  kinData kd;
  if (!forward(joints, kd, space, side)) return false;
  imp_legDOF5CalcJacobian(kd, side);
  other = otherJointsOf(kd, space);
  J = kd.jacobianRealToVirtual;
  return true;
}

}  // namespace gravon_kinematics
