// How the joint-space mapping reacts when the leg kinematics cannot convert a leg.
//
// With the real geometry every configuration inside the clamped ranges converts, so this
// program puts its own gravon_kinematics::switchLegJoint in front of the library's (the
// library calls it through its symbol table). It forwards to the library unless the test
// asks one leg and direction to fail; a failing call also fills its outputs with NaN, so a
// mapping that read the outputs of a failed call would show it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "capture.h"
#include "kinematics.h"
#include "robot_on_board.h"

namespace {

struct InjectedFailure {
  char space = 0;  // 'p' or 's'; 0 for none
  char side = 0;
};
InjectedFailure injected;
int interposedCalls = 0;

bool failsNow(char space, char side) { return injected.space == space && injected.side == side; }

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <typename Function>
Function libraryFunction(const char* symbol) {
  void* found = dlsym(RTLD_NEXT, symbol);
  if (!found) throw std::runtime_error(std::string("library symbol not found: ") + symbol);
  return reinterpret_cast<Function>(found);
}

/// Makes one leg and direction fail for the lifetime of the object.
class FailingLeg {
 public:
  FailingLeg(char space, char side) { injected = {space, side}; }
  ~FailingLeg() { injected = {}; }
};

}  // namespace

namespace gravon_kinematics {

bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, char space, char side) {
  using Real = bool (*)(const Vec5<double>&, Vec5<double>&, char, char);
  static const Real real =
      libraryFunction<Real>("_ZN17gravon_kinematics14switchLegJointERKN5Eigen6MatrixIdLi5ELi1ELi0ELi5ELi1EEERS2_cc");
  ++interposedCalls;
  if (!failsNow(space, side)) return real(joints, other, space, side);
  other.setConstant(kNaN);
  return false;
}

bool switchLegJoint(const Vec5<double>& joints, Vec5<double>& other, Mat5<double>& J, char space, char side) {
  using Real = bool (*)(const Vec5<double>&, Vec5<double>&, Mat5<double>&, char, char);
  static const Real real = libraryFunction<Real>(
      "_ZN17gravon_kinematics14switchLegJointERKN5Eigen6MatrixIdLi5ELi1ELi0ELi5ELi1EEERS2_RNS1_IdLi5ELi5ELi0ELi5ELi5EEEcc");
  ++interposedCalls;
  if (!failsNow(space, side)) return real(joints, other, J, space, side);
  other.setConstant(kNaN);
  J.setConstant(kNaN);
  return false;
}

}  // namespace gravon_kinematics

namespace {

RobotState bipedState() {
  RobotState state;
  state.zero(12);
  state.pos.head<10>() << 0.1, 0.1, 0.3, 0.9, 0.5, -0.1, -0.1, 0.3, 0.9, 0.5;
  for (int i = 0; i < 12; ++i) {
    state.vel[i] = 0.1 * (i + 1);
    state.tau[i] = 1.0 - 0.05 * i;
  }
  return state;
}

RobotCommand bipedCommand() {
  RobotState virtualState;
  switchRealToVirtual(bipedState(), virtualState, 0);
  RobotCommand command;
  command.pos = virtualState.pos;
  command.vel = Eigen::VectorXd::LinSpaced(12, 0.2, 2.4);
  command.tau = Eigen::VectorXd::LinSpaced(12, 2.0, 0.9);
  command.kp = Eigen::VectorXd::Constant(12, 40.0);
  command.kd = Eigen::VectorXd::Constant(12, 1.5);
  return command;
}

struct Side {
  char letter;
  int first;
  int other;
  const char* name;
};
const Side kSides[] = {{'l', 0, 5, "left"}, {'r', 5, 0, "right"}};

}  // namespace

TEST(JointMappingFaults, TheLibraryCallsTheKinematicsThroughItsSymbolTable) {
  interposedCalls = 0;
  RobotState out;
  switchRealToVirtual(bipedState(), out, 0);
  EXPECT_EQ(interposedCalls, 2) << "without interposition these fault tests prove nothing";
}

TEST(JointMappingFaults, UnassembledMeasuredLegKeepsItsCopiedValues) {
  const RobotState real = bipedState();
  RobotState normal;
  ASSERT_TRUE(switchRealToVirtual(real, normal, 0));
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.name);
    FailingLeg failing('p', side.letter);
    RobotState out;
    StdoutCapture capture;
    EXPECT_FALSE(switchRealToVirtual(real, out, 0));
    EXPECT_EQ(capture.finish(), std::string("[motor sdk] invalid ") + side.name + " configuration \n");
    EXPECT_EQ(out.pos.segment<5>(side.first), real.pos.segment<5>(side.first));
    EXPECT_EQ(out.vel.segment<5>(side.first), real.vel.segment<5>(side.first));
    EXPECT_EQ(out.tau.segment<5>(side.first), real.tau.segment<5>(side.first));
    EXPECT_EQ(out.pos.segment<5>(side.other), normal.pos.segment<5>(side.other));
    EXPECT_EQ(out.vel.segment<5>(side.other), normal.vel.segment<5>(side.other));
    EXPECT_EQ(out.tau.segment<5>(side.other), normal.tau.segment<5>(side.other));
  }
}

TEST(JointMappingFaults, UnreachableCommandKeepsCopiedPositionsAndStillMapsRates) {
  const RobotState real = bipedState();
  const RobotCommand command = bipedCommand();
  RobotCommand normal;
  ASSERT_TRUE(switchVirtualToReal(real, command, normal, 0));
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.name);
    FailingLeg failing('s', side.letter);
    RobotCommand out;
    StdoutCapture capture;
    EXPECT_FALSE(switchVirtualToReal(real, command, out, 0));
    EXPECT_EQ(capture.finish(), std::string("[motor sdk] invalid ") + side.name + " command, add limit constraint \n");
    EXPECT_EQ(out.pos.segment<5>(side.first), command.pos.segment<5>(side.first));
    EXPECT_EQ(out.vel, normal.vel);
    EXPECT_EQ(out.tau, normal.tau);
    EXPECT_EQ(out.pos.segment<5>(side.other), normal.pos.segment<5>(side.other));
    EXPECT_EQ(out.kp, command.kp);
  }
}

TEST(JointMappingFaults, CommandOnAnUnassembledLegKeepsCopiedRatesAndNeverUsesItsJacobian) {
  const RobotState real = bipedState();
  const RobotCommand command = bipedCommand();
  RobotCommand normal;
  ASSERT_TRUE(switchVirtualToReal(real, command, normal, 0));
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.name);
    FailingLeg failing('p', side.letter);
    RobotCommand out;
    StdoutCapture capture;
    EXPECT_FALSE(switchVirtualToReal(real, command, out, 0));
    EXPECT_EQ(capture.finish(), std::string("[motor sdk] invalid ") + side.name + " configuration \n");
    EXPECT_TRUE(out.vel.allFinite() && out.tau.allFinite() && out.pos.allFinite());
    EXPECT_EQ(out.vel.segment<5>(side.first), command.vel.segment<5>(side.first));
    EXPECT_EQ(out.tau.segment<5>(side.first), command.tau.segment<5>(side.first));
    EXPECT_EQ(out.pos, normal.pos) << "positions need no Jacobian";
    EXPECT_EQ(out.vel.segment<5>(side.other), normal.vel.segment<5>(side.other));
    EXPECT_EQ(out.tau.segment<5>(side.other), normal.tau.segment<5>(side.other));
  }
}

// The robot sends the command even when the mapping reported a leg it could not convert.
TEST(JointMappingFaults, RobotSendsTheCommandDespiteAnUnreachableLeg) {
  RobotOnBoard rig("veltra1.yaml");
  RobotSDK& robot = rig.robot();
  robot.init();
  RobotState state;
  robot.getState(state);
  RobotCommand command = bipedCommand();
  for (Eigen::VectorXd* vector : {&command.tau, &command.pos, &command.vel, &command.kp, &command.kd})
    vector->conservativeResize(10);
  command.kp.setConstant(25.0);

  FailingLeg failing('s', 'l');
  StdoutCapture capture;
  robot.setCommand(command);
  robot.start();
  ASSERT_TRUE(rig.sim().waitForFrames(12, 2000));
  robot.stop();
  EXPECT_EQ(countOf(capture.finish(), "[motor sdk] invalid left command, add limit constraint "), 1u);

  const std::vector<MotorCmd> sent = rig.lastFrameOnJointSide();
  for (size_t i = 0; i < 10; ++i) {
    const MotorCmd& joint = sent[i];
    EXPECT_NEAR(joint.kp, 25.0, 1e-4) << "motor " << i;
    EXPECT_TRUE(std::isfinite(joint.pos) && std::isfinite(joint.vel) && std::isfinite(joint.tau)) << "motor " << i;
  }
}

// A state and then a command mapped on the same frame share one cache: the legs' linkage is
// solved once (two calls, one per leg, plus the command's two inverse solutions), and the
// results are those of the mapping without a cache.
TEST(JointMappingFaults, ACacheSolvesEachMeasuredLegOnceForStateAndCommand) {
  const RobotState real = bipedState();
  const RobotCommand command = bipedCommand();
  RobotState plainState, cachedState;
  RobotCommand plainCommand, cachedCommand;
  ASSERT_TRUE(switchRealToVirtual(real, plainState, 0));
  ASSERT_TRUE(switchVirtualToReal(real, command, plainCommand, 0));

  LegKinematicsCache cache;
  interposedCalls = 0;
  ASSERT_TRUE(switchRealToVirtual(real, cachedState, 0, cache));
  ASSERT_TRUE(switchVirtualToReal(real, command, cachedCommand, 0, cache));
  EXPECT_EQ(interposedCalls, 4);
  EXPECT_EQ(cachedState.pos, plainState.pos);
  EXPECT_EQ(cachedState.vel, plainState.vel);
  EXPECT_EQ(cachedState.tau, plainState.tau);
  EXPECT_EQ(cachedCommand.pos, plainCommand.pos);
  EXPECT_EQ(cachedCommand.vel, plainCommand.vel);
  EXPECT_EQ(cachedCommand.tau, plainCommand.tau);

  RobotState moved = real;
  moved.pos[3] += 0.01;  // another frame: the cache holds the old positions and is not used
  RobotState fresh;
  ASSERT_TRUE(switchRealToVirtual(moved, plainState, 0));
  ASSERT_TRUE(switchRealToVirtual(moved, fresh, 0, cache));
  EXPECT_EQ(fresh.pos, plainState.pos);
}
