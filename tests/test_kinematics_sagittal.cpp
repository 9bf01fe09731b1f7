// Elementary rotations and the sagittal three-joint chain of the biped leg.
#include <gtest/gtest.h>

#include <cmath>

#include "eigen_expect.h"
#include "kinematics.h"

using namespace gravon_kinematics;

namespace {
constexpr double kTol = 1e-9;
const Vec3<double> kX(1, 0, 0), kY(0, 1, 0), kZ(0, 0, 1);
}  // namespace

TEST(Rotations, AreActiveRightHandedAboutTheirAxis) {
  const double a = M_PI / 2;
  EXPECT_TRUE(allNear(rotx(a) * kY, kZ, 1e-15));
  EXPECT_TRUE(allNear(roty(a) * kZ, kX, 1e-15));
  EXPECT_TRUE(allNear(rotz(a) * kX, kY, 1e-15));
  const double c = std::cos(0.3), s = std::sin(0.3);
  Mat3<double> ry;
  ry << c, 0, s, 0, 1, 0, -s, 0, c;
  EXPECT_EQ(roty(0.3), ry);
  EXPECT_EQ(rotx(0.3)(1, 2), -s);
  EXPECT_EQ(rotz(0.3)(1, 0), s);
  EXPECT_TRUE(allNear(rotx(0.7) * rotx(-0.7), Mat3<double>::Identity(), 1e-15));
}

TEST(Triangle, ThirdPointOnTheChosenSide) {
  const Vec3<double> p1(0, 0, 0), p2(0, 0, -5);
  Vec3<double> out;
  ASSERT_TRUE(imp_triangle3rdPoint(p1, p2, 3.0, 4.0, true, out));
  EXPECT_TRUE(allNear(out, vec({2.4, 0, -1.8}), kTol));  // left-hand normal of straight down is +x
  ASSERT_TRUE(imp_triangle3rdPoint(p1, p2, 3.0, 4.0, false, out));
  EXPECT_TRUE(allNear(out, vec({-2.4, 0, -1.8}), kTol));
  ASSERT_TRUE(imp_triangle3rdPoint(p1, Vec3<double>(0, 0.25, -5), 3.0, 4.0, true, out));
  EXPECT_EQ(out.y(), 0.25);  // y is taken from p2
  EXPECT_NEAR(imp_triangleAngle(kX, Vec3<double>::Zero(), kZ), M_PI / 2, 1e-15);
}

TEST(Triangle, ImpossibleTrianglesFailWithNaN) {
  Vec3<double> out;
  EXPECT_FALSE(imp_triangle3rdPoint(Vec3<double>::Zero(), Vec3<double>(0, 0, -10), 3.0, 4.0, true, out));
  EXPECT_TRUE(std::isnan(out.x()));
  EXPECT_FALSE(imp_triangle3rdPoint(Vec3<double>::Zero(), Vec3<double>(0, 0, -0.5), 3.0, 4.0, true, out));
  EXPECT_FALSE(imp_triangle3rdPoint(kX, kX, 1.0, 1.0, true, out));  // coincident points
}

TEST(SagittalChain, ZeroMotorAngles) {
  kinData kd;
  ASSERT_TRUE(imp_legDOF3CalcFK(Vec3<double>::Zero(), kd));
  EXPECT_TRUE(allNear(kd.knee, vec({0, 0, -0.2}), kTol));
  EXPECT_TRUE(allNear(kd.ankle, vec({-0.16453919952, 0, -0.38822022161}), 1e-10));
  EXPECT_TRUE(allNear(kd.task3, vec({-0.20729322425, -0.43022430914, 0.70126384536}), 1e-10));
  EXPECT_TRUE(allNear(kd.virtualJoint3, vec({0, 0.71836793441, 0.41609607938}), 1e-10));
}

TEST(SagittalChain, ForwardInverseAndSerialAgree) {
  const Vec3<double> real(0.3, 0.9, 1.2);
  const Vec3<double> task(-0.34898676604, -0.20133974706, 2.20126384536);
  const Vec3<double> virt(0.3, 1.06965018860, 1.26481382520);
  kinData fk, ik, serial;
  ASSERT_TRUE(imp_legDOF3CalcFK(real, fk));
  EXPECT_TRUE(allNear(fk.task3, task, 1e-10));
  EXPECT_TRUE(allNear(fk.virtualJoint3, virt, 1e-10));

  ASSERT_TRUE(imp_legDOF3CalcIK(fk.task3, ik));
  EXPECT_TRUE(allNear(ik.realJoint3, real, kTol));
  EXPECT_TRUE(allNear(ik.virtualJoint3, fk.virtualJoint3, kTol));

  ASSERT_TRUE(imp_legDOF3CalcFKSerial(fk.virtualJoint3, serial));
  EXPECT_TRUE(allNear(serial.realJoint3, real, kTol));
  EXPECT_TRUE(allNear(serial.task3, fk.task3, kTol));
  EXPECT_TRUE(allNear(serial.ankle, fk.ankle, kTol));
}

// pitch = r0 + r2 + bellCrankAngle + sigma = s0 + s1 + s2 + sigma; s2 = bellCrankAngle + r2 - s1.
TEST(SagittalChain, AngleRelationsHold) {
  const double bellPlusSigma = 0.7012638453646793, sigma = -0.4332001684316349;
  for (const Vec3<double>& real : {Vec3<double>(0, 0, 0), Vec3<double>(-0.5, 1.4, -0.6), Vec3<double>(0.8, 2.0, 0.4)}) {
    kinData kd;
    ASSERT_TRUE(imp_legDOF3CalcFK(real, kd));
    const Vec3<double>& s = kd.virtualJoint3;
    EXPECT_NEAR(kd.task3[2], real[0] + real[2] + bellPlusSigma, kTol);
    EXPECT_NEAR(kd.task3[2], s.sum() + sigma, kTol);
    EXPECT_NEAR(s[2], kd.bellCrankAngle + real[2] - s[1], kTol);
    EXPECT_EQ(s[0], real[0]);
  }
}

TEST(SagittalChain, ForwardWrapsTheHipButInverseNeverWraps) {
  kinData wrapped, plain;
  ASSERT_TRUE(imp_legDOF3CalcFK(Vec3<double>(4.0, 0.9, 1.2), wrapped));
  ASSERT_TRUE(imp_legDOF3CalcFK(Vec3<double>(0.3, 0.9, 1.2), plain));
  EXPECT_DOUBLE_EQ(wrapped.virtualJoint3[0], -2.2831853071795862);
  EXPECT_NEAR(wrapped.virtualJoint3[1], plain.virtualJoint3[1], kTol);
  EXPECT_NEAR(wrapped.virtualJoint3[2], plain.virtualJoint3[2], kTol);

  // A hip swung far back: the IK hands back the unwrapped sum of atan2 differences.
  kinData ik;
  ASSERT_TRUE(imp_legDOF3CalcIK(wrapped.task3, ik));
  EXPECT_NEAR(ik.realJoint3[0], -2.2831853071795862, kTol);
  EXPECT_NEAR(std::remainder(ik.realJoint3[1] - 0.9, 2 * M_PI), 0.0, kTol);
}

TEST(SagittalChain, UnreachableConfigurationsFail) {
  kinData serial;
  EXPECT_FALSE(imp_legDOF3CalcFKSerial(Vec3<double>::Zero(), serial));  // straight knee
  EXPECT_TRUE(std::isnan(serial.realJoint3[1]));
  kinData ik;
  EXPECT_FALSE(imp_legDOF3CalcIK(Vec3<double>(0, -0.6, 0), ik));  // beyond thigh + shank
}
