// Properties of the five-joint leg over the joint space inside the hardware limits:
// round trips, Jacobians against finite differences, and no heap allocation.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "alloc_counter.h"
#include "eigen_expect.h"
#include "kinematics.h"

using namespace gravon_kinematics;

namespace {

using Leg = std::function<bool(const Vec5<double>&, Vec5<double>&)>;

size_t firstIndex(char side) { return side == 'l' ? 0 : 5; }

// Real joints at the given fractions of each joint's hardware range.
Vec5<double> hardwarePoint(char side, const double (&fraction)[5]) {
  Vec5<double> q;
  for (size_t i = 0; i < 5; ++i) {
    const double lo = get_jpos_hardware_min(firstIndex(side) + i), hi = get_jpos_hardware_max(firstIndex(side) + i);
    q[i] = lo + (hi - lo) * fraction[i];
  }
  return q;
}

// The inverse kinematics solves for a foot below the hip; a leg folded up above it is out of scope.
bool footBelowHip(const Vec5<double>& real) {
  kinData kd;
  return imp_legDOF3CalcFK(real.tail<3>(), kd) && kd.foot.z() < 0.0;
}

// Every hardware-range grid point with the foot below the hip, `steps` values per joint.
std::vector<Vec5<double>> hardwareGrid(char side, int steps) {
  std::vector<Vec5<double>> grid;
  std::vector<double> f;
  for (int i = 0; i < steps; ++i) f.push_back(0.02 + 0.96 * i / (steps - 1));
  for (double a : f)
    for (double b : f)
      for (double c : f)
        for (double d : f)
          for (double e : f) {
            const Vec5<double> q = hardwarePoint(side, {a, b, c, d, e});
            if (footBelowHip(q)) grid.push_back(q);
          }
  return grid;
}

Vec5<double> wrapped(const Vec5<double>& a) { return a.unaryExpr([](double x) { return std::remainder(x, 2 * M_PI); }); }

// Central differences, column by column.
Mat5<double> numericJacobian(const Leg& f, const Vec5<double>& at) {
  const double h = 1e-6;
  Mat5<double> J;
  for (int c = 0; c < 5; ++c) {
    Vec5<double> plus = at, minus = at, fPlus, fMinus;
    plus[c] += h;
    minus[c] -= h;
    EXPECT_TRUE(f(plus, fPlus) && f(minus, fMinus));
    J.col(c) = (fPlus - fMinus) / (2 * h);
  }
  return J;
}

class EachSide : public ::testing::TestWithParam<char> {};

}  // namespace

TEST_P(EachSide, ForwardInverseForwardRoundTrips) {
  const char side = GetParam();
  const auto grid = hardwareGrid(side, 5);
  ASSERT_GT(grid.size(), 2000u);  // most of the 3125 points
  for (const Vec5<double>& real : grid) {
    Vec5<double> task, back, again, virt, virtBack;
    ASSERT_TRUE(calcFK(real, task, 'p', side)) << real.transpose();
    ASSERT_TRUE(calcIK(task, back, 'p', side)) << real.transpose();
    EXPECT_TRUE(allNear(wrapped(back - real), Vec5<double>::Zero(), 1e-9)) << real.transpose();
    ASSERT_TRUE(calcFK(back, again, 'p', side));
    EXPECT_TRUE(allNear(again, task, 1e-9));

    // The same foot reached through the virtual joints.
    ASSERT_TRUE(switchLegJoint(real, virt, 'p', side));
    ASSERT_TRUE(calcIK(task, virtBack, 's', side));
    EXPECT_TRUE(allNear(wrapped(virtBack - virt), Vec5<double>::Zero(), 1e-9)) << real.transpose();
  }
}

TEST_P(EachSide, SwitchToVirtualAndBackReturnsTheStart) {
  const char side = GetParam();
  for (const Vec5<double>& real : hardwareGrid(side, 4)) {
    Vec5<double> virt, back;
    Mat5<double> Jp, Js;
    ASSERT_TRUE(switchLegJoint(real, virt, Jp, 'p', side));
    ASSERT_TRUE(switchLegJoint(virt, back, Js, 's', side));
    EXPECT_TRUE(allNear(wrapped(back - real), Vec5<double>::Zero(), 1e-9)) << real.transpose();
    EXPECT_TRUE(allNear(Js, Jp, 1e-9));
  }
}

TEST_P(EachSide, JacobiansMatchFiniteDifferences) {
  const char side = GetParam();
  const Leg fkVirtual = [side](const Vec5<double>& q, Vec5<double>& t) { return calcFK(q, t, 's', side); };
  const Leg fkReal = [side](const Vec5<double>& q, Vec5<double>& t) { return calcFK(q, t, 'p', side); };
  const Leg toVirtual = [side](const Vec5<double>& q, Vec5<double>& v) { return switchLegJoint(q, v, 'p', side); };
  for (const Vec5<double>& real : hardwareGrid(side, 3)) {
    Vec5<double> virt, task;
    Mat5<double> Jrv, Jr, Jv;
    ASSERT_TRUE(switchLegJoint(real, virt, Jrv, 'p', side));
    ASSERT_TRUE(calcFK(real, task, Jr, 'p', side));
    ASSERT_TRUE(calcFK(virt, task, Jv, 's', side));
    EXPECT_TRUE(allNear(Jrv, numericJacobian(toVirtual, real), 1e-6)) << real.transpose();
    EXPECT_TRUE(allNear(Jr, numericJacobian(fkReal, real), 1e-6)) << real.transpose();
    EXPECT_TRUE(allNear(Jv, numericJacobian(fkVirtual, virt), 1e-6)) << real.transpose();
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, EachSide, ::testing::Values('l', 'r'),
                         [](const auto& info) { return std::string(info.param == 'l' ? "Left" : "Right"); });

TEST(KinematicsAllocation, NoCallTouchesTheHeap) {
  const Vec5<double> real = hardwarePoint('l', {0.5, 0.5, 0.5, 0.5, 0.5});
  Vec5<double> a, b;
  Mat5<double> J;
  kinData kd;
  alloc_counter::Scope scope;
  calcFK(real, a, 'p', 'l');
  calcFK(real, a, J, 'p', 'l');
  calcIK(a, b, 's', 'l');
  calcIK(a, b, J, 'p', 'l');
  switchLegJoint(real, b, 'p', 'l');
  switchLegJoint(b, a, J, 's', 'l');
  calcIK(Vec5<double>::Zero(), b, J, 'p', 'r');  // a failing call too
  imp_legDOF5CalcFK(real, kd, 'r');
  imp_legDOF5CalcJacobian(kd, 'r');
  get_bounded_jpos_virtual(0.0, 3);
  zenthi_kinematics::get_bounded_jpos(0.0, 3);
  Mat5<double> inverse = J.partialPivLu().inverse();  // what the joint-space mapping does with J
  EXPECT_EQ(scope.count(), 0u);
  EXPECT_TRUE(inverse.allFinite());
}
