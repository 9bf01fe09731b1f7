// The rotation maths of the library: the orientation conversions of the motor bus (IMU
// quaternions to rotation matrices and to roll, pitch and yaw for the IMU report) and the
// elementary rotations the leg kinematics are built from.
#include <cmath>
#include <sstream>

#include "kinematics.h"
#include "log_line.h"
#include "motor_sdk.h"
#include "rotation_detail.h"

namespace {
// How far RᵀR may stray from the identity before a matrix no longer counts as a rotation.
constexpr double kOrthonormalTolerance = 0.001;
// Below this, cos(pitch) counts as zero and yaw folds into roll. sy is rounded to a float
// first; the comparison itself is in double.
constexpr double kGimbalLockSy = 1e-6;

// The angles carry float accuracy only. The float sits in a volatile on purpose: GCC 12's SLP
// vectoriser otherwise drops a double -> float -> double round trip done in registers.
double roundedToFloat(double value) {
  volatile float single = static_cast<float>(value);
  return single;
}

}  // namespace

Mat3<double> quatToRotMat(const Vec4<double>& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  Mat3<double> R;
  R << 1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),  //
      2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),   //
      2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y);
  return R;
}

bool isRotationMatrix(const Mat3<double>& R) {
  const double n = (Mat3<double>::Identity() - R.transpose() * R).norm();
  if (n < kOrthonormalTolerance) return true;
  std::ostringstream text;
  text << "norm(R) = " << n << "\n" << R << "\n";
  logText(text.str());
  return false;
}

Vec3<double> rotMatToRPY(const Mat3<double>& R) {
  // A matrix that fails the check has already been reported; its angles are still computed so
  // the report line has something to show.
  isRotationMatrix(R);
  const double sy = roundedToFloat(std::sqrt(R(0, 0) * R(0, 0) + R(1, 0) * R(1, 0)));
  double roll, pitch, yaw;
  if (sy < kGimbalLockSy) {
    roll = std::atan2(-R(1, 2), R(1, 1));
    pitch = std::atan2(-R(2, 0), sy);
    yaw = 0;
  } else {
    roll = std::atan2(R(2, 1), R(2, 2));
    pitch = std::atan2(-R(2, 0), sy);
    yaw = std::atan2(R(1, 0), R(0, 0));
  }
  return Vec3<double>(roundedToFloat(roll), roundedToFloat(pitch), roundedToFloat(yaw));
}

Vec3<double> quatToRPY(const Vec4<double>& q) { return rotMatToRPY(quatToRotMat(q)); }

// (w, x, y, z) of a rotation matrix; the largest-diagonal branch keeps the division well away
// from zero when the trace is not positive.
Vec4<double> rotMatToQuat(const Mat3<double>& M) {
  Vec4<double> q;
  const double t = M(0, 0) + M(1, 1) + M(2, 2);
  if (t > 0) {
    const double s = std::sqrt(t + 1.0);
    const double r = 0.5 / s;
    q << s / 2, (M(2, 1) - M(1, 2)) * r, (M(0, 2) - M(2, 0)) * r, (M(1, 0) - M(0, 1)) * r;
    return q;
  }
  int i = 0;
  if (M(1, 1) > M(0, 0)) i = 1;
  if (M(2, 2) > M(i, i)) i = 2;
  const int j = (i + 1) % 3;
  const int k = (j + 1) % 3;
  const double s = std::sqrt(M(i, i) - M(j, j) - M(k, k) + 1.0);
  const double r = 0.5 / s;
  q[0] = (M(k, j) - M(j, k)) * r;
  q[1 + i] = s / 2;
  q[1 + j] = (M(j, i) + M(i, j)) * r;
  q[1 + k] = (M(k, i) + M(i, k)) * r;
  return q;
}

namespace gravon_kinematics {

Mat3<double> rotx(const double& a) {
  const double c = std::cos(a), s = std::sin(a);
  Mat3<double> r;
  r << 1, 0, 0, 0, c, -s, 0, s, c;
  return r;
}

Mat3<double> roty(const double& a) {
  const double c = std::cos(a), s = std::sin(a);
  Mat3<double> r;
  r << c, 0, s, 0, 1, 0, -s, 0, c;
  return r;
}

Mat3<double> rotz(const double& a) {
  const double c = std::cos(a), s = std::sin(a);
  Mat3<double> r;
  r << c, -s, 0, s, c, 0, 0, 0, 1;
  return r;
}

}  // namespace gravon_kinematics
