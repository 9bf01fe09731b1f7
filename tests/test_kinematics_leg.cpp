// The biped's five-joint leg: the known configurations, the Jacobians and failing calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "eigen_expect.h"
#include "kinematics.h"

using namespace gravon_kinematics;

namespace {

constexpr double kTol = 1e-9;
const Vec5<double> kRealLeft = vec({0.2, 0.15, 0.3, 0.9, 1.2});
const Vec5<double> kRealRight = vec({0.2, -0.15, 0.3, 0.9, 1.2});
const Vec5<double> kTaskLeft = vec({0.2, 2.2012638454, -0.3731651069, -0.1170795545, -0.2097637452});
const Vec5<double> kTaskRight = vec({0.2, 2.2012638454, -0.3893007503, -0.0374799265, -0.2097637452});
const Vec5<double> kVirtualLeft = vec({0.2, 0.15, 0.3, 1.0696501886, 1.2648138252});
const double kKneeRatio = 0.690859255891;

// Outputs prefilled with a marker so a failed call can be seen to leave them alone.
struct Outputs {
  Vec5<double> v = Vec5<double>::Constant(-7.0);
  Mat5<double> J = Mat5<double>::Constant(-7.0);
  bool untouched() const { return (v.array() == -7.0).all() && (J.array() == -7.0).all(); }
};

}  // namespace

TEST(LegForward, KnownConfigurationsOfBothSides) {
  Vec5<double> task;
  ASSERT_TRUE(calcFK(kRealLeft, task, 'p', 'l'));
  EXPECT_TRUE(allNear(task, kTaskLeft, 1e-10));
  ASSERT_TRUE(calcFK(kRealRight, task, 'p', 'r'));
  EXPECT_TRUE(allNear(task, kTaskRight, 1e-10));
  Vec5<double> virt;
  ASSERT_TRUE(switchLegJoint(kRealLeft, virt, 'p', 'l'));
  EXPECT_TRUE(allNear(virt, kVirtualLeft, 1e-10));
  ASSERT_TRUE(calcFK(virt, task, 's', 'l'));
  EXPECT_TRUE(allNear(task, kTaskLeft, 1e-10));
}

TEST(LegInverse, ReturnsTheJointsOfTheRequestedSpace) {
  Vec5<double> joints;
  ASSERT_TRUE(calcIK(kTaskLeft, joints, 'p', 'l'));
  EXPECT_TRUE(allNear(joints, kRealLeft, 1e-9));
  ASSERT_TRUE(calcIK(kTaskLeft, joints, 's', 'l'));
  EXPECT_TRUE(allNear(joints, kVirtualLeft, 1e-9));
  ASSERT_TRUE(calcIK(kTaskRight, joints, 'p', 'r'));
  EXPECT_TRUE(allNear(joints, kRealRight, 1e-9));

  Mat5<double> J, expected;
  ASSERT_TRUE(calcIK(kTaskLeft, joints, J, 'p', 'l'));
  ASSERT_TRUE(calcFK(kRealLeft, joints, expected, 'p', 'l'));
  EXPECT_TRUE(allNear(J, expected, 1e-8));
}

TEST(LegJacobians, KnownValuesAtTheLeftConfiguration) {
  Vec5<double> virt, task;
  Mat5<double> toVirtual, real, virtualJ;
  ASSERT_TRUE(switchLegJoint(kRealLeft, virt, toVirtual, 'p', 'l'));
  ASSERT_TRUE(calcFK(kRealLeft, task, real, 'p', 'l'));
  ASSERT_TRUE(calcFK(virt, task, virtualJ, 's', 'l'));

  Mat5<double> expectedToVirtual = Mat5<double>::Identity();
  expectedToVirtual(3, 3) = kKneeRatio;
  expectedToVirtual(4, 3) = -kKneeRatio;
  EXPECT_TRUE(allNear(toVirtual, expectedToVirtual, 1e-11));
  EXPECT_TRUE(allNear(real.row(1), vec({0, 0, 1, 0, 1}).transpose(), 1e-12));  // sole pitch ignores the knee motor

  Eigen::Matrix<double, 3, 5> foot;
  foot << 0.11707955, -0.04167362, -0.18696537, -0.00146142, 0.04021852,  //
      -0.37316511, 0.20558244, -0.09111240, -0.04449685, 0.00130292,      //
      0, -0.04060930, 0.34506802, 0.28662765, 0.04441873;
  EXPECT_TRUE(allNear(virtualJ.bottomRows<3>(), foot, 1e-8));
  EXPECT_TRUE(allNear(virtualJ.topRows<2>(), (Eigen::Matrix<double, 2, 5>() << 1, 0, 0, 0, 0, 0, 0, 1, 1, 1).finished(), 0.0));
  EXPECT_TRUE(allNear(real, virtualJ * toVirtual, 1e-12));
}

TEST(LegSwitch, BothDirectionsGiveTheSameJacobian) {
  Vec5<double> virt, back;
  Mat5<double> forward, backward;
  ASSERT_TRUE(switchLegJoint(kRealRight, virt, forward, 'p', 'r'));
  ASSERT_TRUE(switchLegJoint(virt, back, backward, 's', 'r'));
  EXPECT_TRUE(allNear(back, kRealRight, 1e-10));
  EXPECT_TRUE(allNear(forward, backward, 1e-9));
}

TEST(LegFailures, FootTooNearTheRollAxis) {
  Outputs out;
  EXPECT_FALSE(calcIK(vec({0, 0, 0, 0, -0.05}), out.v, 'p', 'r'));
  EXPECT_FALSE(calcIK(vec({0, 0, 0, 0, -0.05}), out.v, out.J, 's', 'l'));
  EXPECT_TRUE(out.untouched());
}

TEST(LegFailures, OutOfReachAndBrokenLinkageLeaveOutputsAlone) {
  Outputs out;
  EXPECT_FALSE(calcIK(vec({0, 0, 0, 0, -0.9}), out.v, out.J, 'p', 'l'));  // beyond thigh + shank
  EXPECT_FALSE(calcFK(Vec5<double>::Zero(), out.v, out.J, 's', 'l'));    // straight virtual knee
  EXPECT_FALSE(switchLegJoint(Vec5<double>::Zero(), out.v, 's', 'r'));
  EXPECT_FALSE(switchLegJoint(Vec5<double>::Zero(), out.v, out.J, 's', 'r'));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(calcIK(vec({0, nan, -0.2, 0.07, -0.35}), out.v, 'p', 'l'));
  EXPECT_TRUE(out.untouched());
}

TEST(LegFailures, BadSideOrSpaceLetters) {
  Outputs out;
  for (char side : {'x', 'L', 'R', '\0'}) {
    EXPECT_FALSE(calcFK(kRealLeft, out.v, 'p', side));
    EXPECT_FALSE(calcFK(kRealLeft, out.v, out.J, 's', side));
    EXPECT_FALSE(calcIK(kTaskLeft, out.v, 'p', side));
    EXPECT_FALSE(calcIK(kTaskLeft, out.v, out.J, 's', side));
    EXPECT_FALSE(switchLegJoint(kRealLeft, out.v, 'p', side));
    EXPECT_FALSE(switchLegJoint(kRealLeft, out.v, out.J, 'p', side));
  }
  for (char space : {'q', 'P', 'S', '\0'}) {
    EXPECT_FALSE(calcFK(kRealLeft, out.v, space, 'l'));
    EXPECT_FALSE(calcFK(kRealLeft, out.v, out.J, space, 'l'));
    EXPECT_FALSE(calcIK(kTaskLeft, out.v, space, 'l'));
    EXPECT_FALSE(calcIK(kTaskLeft, out.v, out.J, space, 'l'));
    EXPECT_FALSE(switchLegJoint(kRealLeft, out.v, space, 'l'));
    EXPECT_FALSE(switchLegJoint(kRealLeft, out.v, out.J, space, 'l'));
  }
  EXPECT_TRUE(out.untouched());
}

// The internal steps still leave the sagittal solution behind for a bad side.
TEST(LegInternals, BadSideStillFillsTheSagittalFields) {
  kinData kd;
  EXPECT_FALSE(imp_legDOF5CalcFK(kRealLeft, kd, 'x'));
  EXPECT_TRUE(allNear(kd.realJoint5, kRealLeft, 0.0));
  EXPECT_TRUE(allNear(kd.virtualJoint3, kVirtualLeft.tail<3>(), 1e-10));
}
