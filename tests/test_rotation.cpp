// Quaternion and matrix conversions behind the IMU report.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "capture.h"
#include "motor_sdk.h"

namespace {

Mat3<double> rotAbout(const Vec3<double>& axis, double angle) {
  return Eigen::AngleAxisd(angle, axis).toRotationMatrix();
}
Mat3<double> rotX(double a) { return rotAbout(Vec3<double>::UnitX(), a); }
Mat3<double> rotY(double a) { return rotAbout(Vec3<double>::UnitY(), a); }
Mat3<double> rotZ(double a) { return rotAbout(Vec3<double>::UnitZ(), a); }

double asFloat(double v) { return static_cast<float>(v); }

TEST(QuatToRotMat, IdentityForUnitZeroAndPureScalarQuaternions) {
  // w only ever meets x, y or z in a product, so any pure scalar gives the identity.
  for (const Vec4<double>& q : {Vec4<double>(1, 0, 0, 0), Vec4<double>(0, 0, 0, 0), Vec4<double>(2, 0, 0, 0)}) {
    EXPECT_TRUE(quatToRotMat(q).isApprox(Mat3<double>::Identity())) << q.transpose();
    StdoutCapture out;
    EXPECT_EQ(quatToRPY(q), Vec3<double>::Zero());
    EXPECT_EQ(out.finish(), "");
  }
}

TEST(QuatToRotMat, MatchesAxisAngleForUnitQuaternions) {
  const Eigen::Quaterniond q(Eigen::AngleAxisd(0.7, Vec3<double>(1, -2, 0.5).normalized()));
  const Mat3<double> R = quatToRotMat(Vec4<double>(q.w(), q.x(), q.y(), q.z()));
  EXPECT_TRUE(R.isApprox(q.toRotationMatrix(), 1e-12));
}

TEST(IsRotationMatrix, NonUnitQuaternionFailsAndReportsNormAndMatrix) {
  const Mat3<double> R = quatToRotMat(Vec4<double>(1, 1, 1, 1));
  StdoutCapture out;
  EXPECT_FALSE(isRotationMatrix(R));
  const std::string text = out.finish();
  EXPECT_EQ(text.rfind("norm(R) = ", 0), 0u) << text;
  // The norm line, then three matrix rows.
  EXPECT_EQ(countOf(text, "\n"), 4u) << text;
}

TEST(IsRotationMatrix, ToleranceIsStrict) {
  // A shear e in R(0, 1) moves RᵀR away from the identity by sqrt(2e² + e⁴); find an e that
  // lands on exactly 0.001.
  auto sheared = [](double e) {
    Mat3<double> R = Mat3<double>::Identity();
    R(0, 1) = e;
    return R;
  };
  auto distance = [&](double e) { return (Mat3<double>::Identity() - sheared(e).transpose() * sheared(e)).norm(); };
  double below = 0.0006, above = 0.0008;
  for (int step = 0; step < 200; ++step) {
    const double mid = (below + above) / 2;
    (distance(mid) < 0.001 ? below : above) = mid;
  }
  double e = below;
  for (int step = 0; step < 64 && distance(e) != 0.001; ++step) e = std::nextafter(e, 1.0);
  if (distance(e) != 0.001) GTEST_SKIP() << "no shear lands on 0.001 exactly";
  StdoutCapture out;
  EXPECT_FALSE(isRotationMatrix(sheared(e)));
  EXPECT_TRUE(isRotationMatrix(sheared(below * 0.999)));
}

TEST(IsRotationMatrix, NanFails) {
  Mat3<double> R = Mat3<double>::Identity();
  R(1, 2) = std::nan("");
  StdoutCapture out;
  EXPECT_FALSE(isRotationMatrix(R));
  EXPECT_NE(out.finish().find("norm(R) = "), std::string::npos);
}

TEST(RotMatToRPY, ResultsCarryFloatAccuracy) {
  const Vec3<double> rpy = rotMatToRPY(rotZ(0.1));
  EXPECT_EQ(rpy[2], 0.10000000149011612);
  EXPECT_EQ(rpy[0], 0.0);
  EXPECT_EQ(rpy[1], 0.0);
}

TEST(RotMatToRPY, PitchAtNinetyDegreesTakesTheSingularBranch) {
  const Vec3<double> rpy = rotMatToRPY(rotY(M_PI / 2));
  EXPECT_EQ(rpy[1], asFloat(M_PI / 2));
  EXPECT_EQ(rpy[2], 0.0);
  EXPECT_NEAR(rpy[0], 0.0, 1e-12);

  // Beyond the lock, yaw folds into roll.
  const Vec3<double> folded = rotMatToRPY(rotZ(0.3) * rotY(M_PI / 2));
  EXPECT_EQ(folded[2], 0.0);
  EXPECT_NEAR(folded[0], -0.3, 1e-6);
}

TEST(RotMatToRPY, RecoversComposedAnglesAwayFromTheLock) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-3.1, 3.1), pitch(-1.5, 1.5);
  StdoutCapture out;
  for (int n = 0; n < 200; ++n) {
    const double r = angle(rng), p = pitch(rng), y = angle(rng);
    const Vec3<double> rpy = rotMatToRPY(rotZ(y) * rotY(p) * rotX(r));
    EXPECT_NEAR(rpy[0], r, 1e-5);
    EXPECT_NEAR(rpy[1], p, 1e-5);
    EXPECT_NEAR(rpy[2], y, 1e-5);
    EXPECT_EQ(rpy[0], asFloat(rpy[0]));
  }
  EXPECT_EQ(out.finish(), "");
}

}  // namespace
