// The biped leg's sagittal chain: hip pitch, knee and ankle, with the knee driven by a four-bar
// from a crank at the hip and the ankle by two parallelograms through a bell crank at the knee.
#include <cmath>

#include "kinematics.h"

namespace gravon_kinematics {

namespace {

const Vec3<double> kUnitX(1.0, 0.0, 0.0);
const Vec3<double> kUnitY(0.0, 1.0, 0.0);

// Foot frame whose x axis is e; its y axis is the pitch axis.
Mat3<double> footFrame(const Vec3<double>& e) {
  Mat3<double> m;
  m.col(0) = e;
  m.col(1) = kUnitY;
  m.col(2) = e.cross(kUnitY);
  return m;
}

// Pitch of the sole line from heel to toe; 0 when level.
double soleAngle(const Vec3<double>& heel, const Vec3<double>& toe) {
  return std::atan2(heel.z() - toe.z(), toe.x() - heel.x());
}

// One step each way is enough for sums of a few angles that are already near the range.
double wrapToPi(double a) {
  if (a > M_PI) a -= 2.0 * M_PI;
  if (a < -M_PI) a += 2.0 * M_PI;
  return a;
}

// Angle of a link from the downward vertical, positive towards -x.
double angleFromDown(const Vec3<double>& link) { return std::atan2(-link.x(), -link.z()); }

// Angle of a crank from +x, positive when it turns about +y (upwards from the front).
double angleFromForward(const Vec3<double>& crank) { return std::atan2(-crank.z(), crank.x()); }

// From the knee rod pivot and the ankle crank down to the foot: the two ankle parallelograms,
// the shank and the foot points. Leaves the sagittal task in kd.task3.
void linkageToFoot(kinData& kd) {
  kd.bellCrankUpperEnd = kd.ankleCrankEnd + kd.knee - kd.hip;
  kd.bellCrankLowerEnd =
      kd.knee + roty(kd.bellCrankAngle) * (kd.bellCrankUpperEnd - kd.knee) / kd.ankleCrankLength * kd.ankleArmLength;
  kd.ankle = kd.knee + (kd.kneeRodPivot - kd.knee) / kd.kneeRodOffset * kd.shankLength;
  kd.footRodPivot = kd.bellCrankLowerEnd + kd.ankle - kd.knee;
  const Mat3<double> m = footFrame((kd.footRodPivot - kd.ankle).normalized());
  kd.foot = kd.ankle + m * kd.footPoint;
  kd.toe = kd.ankle + m * kd.toePoint;
  kd.heel = kd.ankle + m * kd.heelPoint;
  kd.task3 = Vec3<double>(kd.foot.x(), kd.foot.z(), soleAngle(kd.heel, kd.toe));
}

}  // namespace

bool imp_triangle3rdPoint(const Vec3<double>& p1, const Vec3<double>& p2, const double& l1, const double& l2,
                          bool flip, Vec3<double>& out) {
  const double d = (p1 - p2).norm();
  const double d2 = d * d;
  const double l1s = l1 * l1, l2s = l2 * l2;
  const double along = (l1s - l2s) / (2.0 * d2);
  const double mx = (p1.x() + p2.x()) / 2.0 + along * (p2.x() - p1.x());
  const double mz = (p1.z() + p2.z()) / 2.0 + along * (p2.z() - p1.z());
  const double k = 2.0 * (l1s + l2s) / d2 - (l1s - l2s) * (l1s - l2s) / (d2 * d2) - 1.0;
  const double h = 0.5 * std::sqrt(k);  // NaN when the triangle cannot close
  const double dx = p2.x() - p1.x(), dz = p2.z() - p1.z();
  const double sign = flip ? -1.0 : 1.0;
  // Written last and through locals so out may alias p1 or p2.
  out = Vec3<double>(mx + sign * h * dz, p2.y(), mz - sign * h * dx);
  return !out.hasNaN();
}

double imp_triangleAngle(const Vec3<double>& a, const Vec3<double>& b, const Vec3<double>& c) {
  const double ab = (a - b).norm(), cb = (c - b).norm(), ac = (a - c).norm();
  return std::acos((ab * ab + cb * cb - ac * ac) / (2.0 * ab * cb));
}

bool imp_legDOF3CalcFK(const Vec3<double>& real, kinData& kd) {
  const double r0 = real[0], r1 = real[1], r2 = real[2];
  kd.realJoint3 = real;
  kd.hip.setZero();
  kd.knee = kd.hip + roty(r0) * Vec3<double>(0.0, 0.0, -kd.thighLength);
  kd.kneeCrankEnd = kd.hip + roty(r0 + r1) * Vec3<double>(0.0, 0.0, -kd.kneeCrankLength);
  kd.ankleCrankEnd = kd.hip + roty(r0 + r2) * Vec3<double>(kd.ankleCrankLength, 0.0, 0.0);
  const bool ok = imp_triangle3rdPoint(kd.knee, kd.kneeCrankEnd, kd.kneeRodOffset, kd.kneeRodLength, true,
                                       kd.kneeRodPivot);
  linkageToFoot(kd);
  const double s1 = angleFromDown(kd.kneeRodPivot - kd.knee) - r0;
  const double s2 = kd.bellCrankAngle + angleFromForward(kd.ankleCrankEnd) - r0 - s1;
  kd.virtualJoint3 = Vec3<double>(wrapToPi(r0), wrapToPi(s1), wrapToPi(s2));
  return ok;
}

bool imp_legDOF3CalcFKSerial(const Vec3<double>& virt, kinData& kd) {
  const bool ok = imp_legDOF3SerialToReal(virt, kd);
  linkageToFoot(kd);  // the real joints above never read what it writes
  return ok;
}

bool imp_legDOF3SerialToReal(const Vec3<double>& virt, kinData& kd) {
  const double s0 = virt[0], s1 = virt[1], s2 = virt[2];
  kd.virtualJoint3 = virt;
  kd.hip.setZero();
  kd.knee = kd.hip + roty(s0) * Vec3<double>(0.0, 0.0, -kd.thighLength);
  const Mat3<double> shank = roty(s0 + s1);
  kd.kneeRodPivot = kd.knee + shank * Vec3<double>(0.0, 0.0, -kd.kneeRodOffset);
  kd.ankle = kd.knee + shank * Vec3<double>(0.0, 0.0, -kd.shankLength);
  kd.ankleCrankEnd = kd.hip + roty(s0 + s1 + s2 - kd.bellCrankAngle) * Vec3<double>(kd.ankleCrankLength, 0.0, 0.0);
  const bool ok = imp_triangle3rdPoint(kd.kneeRodPivot, kd.hip, kd.kneeRodLength, kd.kneeCrankLength, true,
                                       kd.kneeCrankEnd);
  const double a0 = angleFromDown(kd.knee);
  const double a1 = angleFromDown(kd.kneeCrankEnd) - a0;
  const double a2 = angleFromForward(kd.ankleCrankEnd) - a0;
  kd.realJoint3 = Vec3<double>(wrapToPi(a0), wrapToPi(a1), wrapToPi(a2));
  return ok;
}

bool imp_legDOF3CalcIK(const Vec3<double>& target, kinData& kd) {
  const double pitch = target[2];
  kd.task3 = target;
  kd.hip.setZero();
  kd.foot = Vec3<double>(target[0], 0.0, target[1]);
  // The foot frame's own sole angle: a level sole means a foot frame pitched by -sigma.
  const double sigma = soleAngle(kd.heelPoint, kd.toePoint);
  const Mat3<double> m = footFrame(roty(pitch - sigma) * kUnitX);
  kd.ankle = kd.foot - m * kd.footPoint;
  kd.footRodPivot = kd.ankle + m * Vec3<double>(kd.ankleArmLength, 0.0, 0.0);
  kd.toe = kd.ankle + m * kd.toePoint;
  kd.heel = kd.ankle + m * kd.heelPoint;
  const bool kneeOk = imp_triangle3rdPoint(kd.hip, kd.ankle, kd.thighLength, kd.shankLength, true, kd.knee);
  kd.kneeRodPivot = kd.knee + (kd.ankle - kd.knee) / kd.shankLength * kd.kneeRodOffset;
  kd.bellCrankLowerEnd = kd.knee + (kd.footRodPivot - kd.ankle);
  const bool crankOk = imp_triangle3rdPoint(kd.kneeRodPivot, kd.hip, kd.kneeRodLength, kd.kneeCrankLength, true,
                                            kd.kneeCrankEnd);
  kd.bellCrankUpperEnd =
      kd.knee + roty(-kd.bellCrankAngle) * (kd.bellCrankLowerEnd - kd.knee) / kd.ankleArmLength * kd.ankleCrankLength;
  kd.ankleCrankEnd = kd.hip + (kd.bellCrankUpperEnd - kd.knee);
  const double alpha = angleFromDown(kd.knee);
  const double gamma = angleFromForward(kd.ankleCrankEnd);
  kd.realJoint3 = Vec3<double>(alpha, angleFromDown(kd.kneeCrankEnd) - alpha, gamma - alpha);
  const double beta = angleFromDown(kd.kneeRodPivot - kd.knee) - alpha;
  kd.virtualJoint3 = Vec3<double>(alpha, beta, gamma + kd.bellCrankAngle - alpha - beta);
  return kneeOk && crankOk;
}

}  // namespace gravon_kinematics
