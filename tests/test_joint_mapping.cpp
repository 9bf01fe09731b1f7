// Conversion between the motors' joint space and the controller's serial-chain joint space,
// on the real leg kinematics.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "alloc_counter.h"
#include "capture.h"
#include "kinematics.h"
#include "joint_mapping.h"

namespace {

constexpr int kVeltra = 0;
constexpr int kVeltraL = 1;
constexpr int kZenthi = 2;
constexpr int kZenthiV2 = 3;
// d(virtual knee)/d(knee motor) at a knee motor angle of 0.9 rad.
constexpr double kKneeRatioAt09 = 0.690859255891;

// A biped standing in a comfortable pose: both legs inside every limit.
RobotState bipedState(int joints) {
  RobotState state;
  state.zero(joints);
  state.pos.head<10>() << 0.1, 0.1, 0.3, 0.9, 0.5, -0.1, -0.1, 0.3, 0.9, 0.5;
  for (int i = 0; i < joints; ++i) {
    state.vel[i] = 0.1 * (i + 1);
    state.tau[i] = 1.0 - 0.05 * i;
    state.aux0[i] = 10 + i;
    state.aux1[i] = 20 + i;
    state.aux2[i] = 30 + i;
  }
  state.acc << 0.1, 0.2, 9.8;
  state.gyro << 0.01, 0.02, 0.03;
  state.quat << 1.0, 0.0, 0.0, 0.0;
  state.flag = true;
  return state;
}

RobotCommand commandOf(int joints, double value) {
  RobotCommand command;
  for (Eigen::VectorXd* vector : {&command.tau, &command.pos, &command.vel, &command.kp, &command.kd})
    vector->setConstant(joints, value);
  return command;
}

// A command that asks for the virtual pose of `state`, with distinct rates and gains.
RobotCommand bipedCommand(const RobotState& virtualState) {
  const auto joints = static_cast<int>(virtualState.pos.size());
  RobotCommand command = commandOf(joints, 0.0);
  command.pos = virtualState.pos;
  for (int i = 0; i < joints; ++i) {
    command.vel[i] = 0.2 * (i + 1);
    command.tau[i] = 2.0 - 0.1 * i;
    command.kp[i] = 50.0 + i;
    command.kd[i] = 1.0 + 0.1 * i;
  }
  command.flag0 = true;
  command.flag2 = true;
  return command;
}

void expectSameState(const RobotState& a, const RobotState& b) {
  EXPECT_EQ(a.acc, b.acc);
  EXPECT_EQ(a.gyro, b.gyro);
  EXPECT_EQ(a.quat, b.quat);
  EXPECT_EQ(a.pos, b.pos);
  EXPECT_EQ(a.vel, b.vel);
  EXPECT_EQ(a.tau, b.tau);
  EXPECT_EQ(a.aux0, b.aux0);
  EXPECT_EQ(a.aux1, b.aux1);
  EXPECT_EQ(a.aux2, b.aux2);
  EXPECT_EQ(a.flag, b.flag);
}

void expectSameCommand(const RobotCommand& a, const RobotCommand& b) {
  EXPECT_EQ(a.tau, b.tau);
  EXPECT_EQ(a.pos, b.pos);
  EXPECT_EQ(a.vel, b.vel);
  EXPECT_EQ(a.kp, b.kp);
  EXPECT_EQ(a.kd, b.kd);
  EXPECT_EQ(a.flag0, b.flag0);
  EXPECT_EQ(a.flag1, b.flag1);
  EXPECT_EQ(a.flag2, b.flag2);
}

}  // namespace

// ---- Directly driven robots ----------------------------------------------------------------

TEST(ZenthiMapping, StateIsAnExactCopyAndCommandPositionsAreClamped) {
  for (int code : {kZenthi, kZenthiV2}) {
    RobotState real = bipedState(18);
    RobotState virtualState;
    EXPECT_TRUE(switchRealToVirtual(real, virtualState, code));
    expectSameState(virtualState, real);

    RobotCommand command = commandOf(18, -0.1);
    command.pos[4] = 5.0;   // above the 239 degree limit
    command.pos[17] = 0.0;  // above the -30 degree limit
    command.flag1 = true;
    RobotCommand realCommand;
    EXPECT_TRUE(switchVirtualToReal(real, command, realCommand, code));
    EXPECT_EQ(realCommand.pos[4], 4.171336912266447);
    EXPECT_EQ(realCommand.pos[17], -0.5235987755982988);
    EXPECT_EQ(realCommand.pos[0], -0.1);
    EXPECT_EQ(realCommand.vel, command.vel);
    EXPECT_EQ(realCommand.tau, command.tau);
    EXPECT_EQ(realCommand.kp, command.kp);
    EXPECT_EQ(realCommand.kd, command.kd);
    EXPECT_TRUE(realCommand.flag1);
    EXPECT_FALSE(realCommand.flag0);
  }
}

TEST(ZenthiMapping, MoreThanEighteenCommandPositionsAreRejected) {
  const RobotState real = bipedState(18);
  RobotCommand realCommand = commandOf(3, 7.0);
  const RobotCommand before = realCommand;
  try {
    switchVirtualToReal(real, commandOf(19, 0.0), realCommand, kZenthi);
    FAIL() << "19 positions were accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("19"), std::string::npos) << error.what();
  }
  expectSameCommand(realCommand, before);
  EXPECT_TRUE(switchVirtualToReal(real, commandOf(18, 0.0), realCommand, kZenthi));
}

TEST(UnknownRobotType, BothDirectionsReturnFalseAndLeaveTheOutputAlone) {
  const RobotState real = bipedState(10);
  for (int code : {4, -1, 100}) {
    RobotState virtualState = bipedState(12);
    virtualState.pos.setConstant(3.0);
    const RobotState stateBefore = virtualState;
    EXPECT_FALSE(switchRealToVirtual(real, virtualState, code));
    expectSameState(virtualState, stateBefore);

    RobotCommand realCommand = commandOf(12, 4.0);
    const RobotCommand commandBefore = realCommand;
    EXPECT_FALSE(switchVirtualToReal(real, commandOf(10, 0.0), realCommand, code));
    expectSameCommand(realCommand, commandBefore);
  }
}

// ---- Biped: measured state -----------------------------------------------------------------

TEST(BipedStateMapping, LegsPassThroughTheLinkageAndFurtherJointsAreCopiedUnclamped) {
  for (int code : {kVeltra, kVeltraL}) {
    RobotState real = bipedState(14);
    real.pos.tail<4>() << 5.0, 0.0, 0.0, -3.0;  // all four outside their ranges
    RobotState virtualState;
    StdoutCapture capture;
    EXPECT_TRUE(switchRealToVirtual(real, virtualState, code));
    EXPECT_EQ(capture.finish(), "");

    EXPECT_EQ(virtualState.pos.tail<4>(), real.pos.tail<4>());
    EXPECT_EQ(virtualState.vel.tail<4>(), real.vel.tail<4>());
    EXPECT_EQ(virtualState.tau.tail<4>(), real.tau.tail<4>());
    EXPECT_EQ(virtualState.aux0, real.aux0);
    EXPECT_EQ(virtualState.aux1, real.aux1);
    EXPECT_EQ(virtualState.aux2, real.aux2);
    EXPECT_EQ(virtualState.acc, real.acc);
    EXPECT_EQ(virtualState.gyro, real.gyro);
    EXPECT_EQ(virtualState.quat, real.quat);
    EXPECT_TRUE(virtualState.flag);

    for (int leg : {0, 5}) {
      // Hip joints are the same in both spaces; the knee goes through the four-bar.
      EXPECT_DOUBLE_EQ(virtualState.pos[leg + 0], real.pos[leg + 0]);
      EXPECT_DOUBLE_EQ(virtualState.pos[leg + 1], real.pos[leg + 1]);
      EXPECT_DOUBLE_EQ(virtualState.pos[leg + 2], real.pos[leg + 2]);
      EXPECT_NEAR(virtualState.pos[leg + 3], 1.0696501886, 1e-9);

      // J is the identity but for the knee rows (k, 0) and (-k, 1); J^-T has (1/k, 1), (0, 1).
      const double k = kKneeRatioAt09;
      EXPECT_NEAR(virtualState.vel[leg + 2], real.vel[leg + 2], 1e-12);
      EXPECT_NEAR(virtualState.vel[leg + 3], k * real.vel[leg + 3], 1e-9);
      EXPECT_NEAR(virtualState.vel[leg + 4], -k * real.vel[leg + 3] + real.vel[leg + 4], 1e-9);
      EXPECT_NEAR(virtualState.tau[leg + 1], real.tau[leg + 1], 1e-12);
      EXPECT_NEAR(virtualState.tau[leg + 3], real.tau[leg + 3] / k + real.tau[leg + 4], 1e-9);
      EXPECT_NEAR(virtualState.tau[leg + 4], real.tau[leg + 4], 1e-9);
    }
  }
}

TEST(BipedStateMapping, MeasuredPositionsAreClampedToTheHardwareRangeBeforeTheKinematics) {
  RobotState real = bipedState(10);
  RobotState atLimit = real;
  real.pos[4] = 1.1;  // left ankle motor beyond its 55 degree stop
  real.pos[8] = 0.1;  // right knee motor below its 15 degree stop
  atLimit.pos[4] = 0.9599310885968813;
  atLimit.pos[8] = 0.2617993877991494;

  RobotState fromOutside, fromLimit;
  EXPECT_TRUE(switchRealToVirtual(real, fromOutside, kVeltra));
  EXPECT_TRUE(switchRealToVirtual(atLimit, fromLimit, kVeltra));
  EXPECT_EQ(fromOutside.pos, fromLimit.pos);
  EXPECT_EQ(fromOutside.vel, fromLimit.vel);
  EXPECT_EQ(fromOutside.tau, fromLimit.tau);
}

// ---- Biped: commands ---------------------------------------------------------------------

TEST(BipedCommandMapping, VirtualPoseMapsBackToTheMeasuredMotorPose) {
  for (int code : {kVeltra, kVeltraL}) {
    const RobotState real = bipedState(10);
    RobotState virtualState;
    ASSERT_TRUE(switchRealToVirtual(real, virtualState, code));
    const RobotCommand command = bipedCommand(virtualState);
    RobotCommand realCommand;
    EXPECT_TRUE(switchVirtualToReal(real, command, realCommand, code));
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(realCommand.pos[i], real.pos[i], 1e-9) << "joint " << i;
  }
}

TEST(BipedCommandMapping, RatesGoThroughTheJacobianAndGainsAndFlagsPass) {
  const RobotState real = bipedState(10);
  RobotState virtualState;
  ASSERT_TRUE(switchRealToVirtual(real, virtualState, kVeltra));
  const RobotCommand command = bipedCommand(virtualState);
  RobotCommand realCommand;
  ASSERT_TRUE(switchVirtualToReal(real, command, realCommand, kVeltra));

  EXPECT_EQ(realCommand.kp, command.kp);
  EXPECT_EQ(realCommand.kd, command.kd);
  EXPECT_TRUE(realCommand.flag0);
  EXPECT_FALSE(realCommand.flag1);
  EXPECT_TRUE(realCommand.flag2);
  const double k = kKneeRatioAt09;
  for (int leg : {0, 5}) {
    // J^-1 has rows (1/k, 0) and (1, 1) at the knee; J^T has (k, -k) and (0, 1).
    EXPECT_NEAR(realCommand.vel[leg + 1], command.vel[leg + 1], 1e-12);
    EXPECT_NEAR(realCommand.vel[leg + 3], command.vel[leg + 3] / k, 1e-9);
    EXPECT_NEAR(realCommand.vel[leg + 4], command.vel[leg + 3] + command.vel[leg + 4], 1e-9);
    EXPECT_NEAR(realCommand.tau[leg + 0], command.tau[leg + 0], 1e-12);
    EXPECT_NEAR(realCommand.tau[leg + 3], k * (command.tau[leg + 3] - command.tau[leg + 4]), 1e-9);
    EXPECT_NEAR(realCommand.tau[leg + 4], command.tau[leg + 4], 1e-12);
  }
}

TEST(BipedCommandMapping, FurtherJointsHaveClampedPositionsAndPassingRates) {
  const RobotState real = bipedState(14);
  RobotState virtualState;
  ASSERT_TRUE(switchRealToVirtual(real, virtualState, kVeltra));
  RobotCommand command = bipedCommand(virtualState);
  command.pos.tail<4>() << 5.0, 0.0, 0.0, 0.1;
  RobotCommand realCommand;
  EXPECT_TRUE(switchVirtualToReal(real, command, realCommand, kVeltra));
  EXPECT_EQ(realCommand.pos[10], 1.9198621771937625);
  EXPECT_EQ(realCommand.pos[11], 0.6981317007977318);
  EXPECT_EQ(realCommand.pos[12], -0.4363323129985824);
  EXPECT_EQ(realCommand.pos[13], 0.1);
  EXPECT_EQ(realCommand.vel.tail<4>(), command.vel.tail<4>());
  EXPECT_EQ(realCommand.tau.tail<4>(), command.tau.tail<4>());
  EXPECT_EQ(realCommand.kp, command.kp);
  EXPECT_EQ(realCommand.kd, command.kd);
}

TEST(BipedCommandMapping, CommandedLegPositionsAreClampedToTheVirtualRange) {
  const RobotState real = bipedState(10);
  RobotCommand command = commandOf(10, 0.0);  // a straight virtual knee is out of range
  RobotCommand realCommand, atLimit;
  EXPECT_TRUE(switchVirtualToReal(real, command, realCommand, kVeltra));
  command.pos[3] = command.pos[8] = 0.7382742735936013;
  EXPECT_TRUE(switchVirtualToReal(real, command, atLimit, kVeltra));
  EXPECT_EQ(realCommand.pos, atLimit.pos);
}

// A virtual leg inside every virtual limit can still need a motor angle past a hardware stop:
// a bent virtual knee with a raised virtual ankle asks the ankle motor for about 158 degrees.
TEST(BipedCommandMapping, RealLegPositionsAreClampedToTheHardwareRange) {
  const RobotState real = bipedState(10);
  RobotCommand command = commandOf(10, 0.0);
  command.pos.head<5>() << 0.0, 0.0, 0.0, 2.4, 1.5;
  command.pos.segment<5>(5) << 0.0, 0.0, 0.0, 2.4, 1.5;
  RobotCommand realCommand;
  switchVirtualToReal(real, command, realCommand, kVeltra);
  for (int i = 0; i < 10; ++i) {
    EXPECT_GE(realCommand.pos[i], gravon_kinematics::get_jpos_hardware_min(i)) << "joint " << i;
    EXPECT_LE(realCommand.pos[i], gravon_kinematics::get_jpos_hardware_max(i)) << "joint " << i;
  }
  EXPECT_EQ(realCommand.pos[4], 0.9599310885968813) << "the ankle motor stops at its 55 degree maximum";
}

TEST(BipedCommandMapping, SameRecordAsInputAndOutputGivesTheSameResult) {
  const RobotState real = bipedState(12);
  RobotState virtualState;
  ASSERT_TRUE(switchRealToVirtual(real, virtualState, kVeltra));
  RobotCommand command = bipedCommand(virtualState);
  RobotCommand separate;
  ASSERT_TRUE(switchVirtualToReal(real, command, separate, kVeltra));
  ASSERT_TRUE(switchVirtualToReal(real, command, command, kVeltra));
  expectSameCommand(command, separate);
}

// ---- Both directions together -------------------------------------------------------------

TEST(BipedMappingConsistency, VelocityRoundTripAndLegPowerAreKept) {
  const RobotState real = bipedState(10);
  RobotState virtualState;
  ASSERT_TRUE(switchRealToVirtual(real, virtualState, kVeltra));
  RobotCommand command = bipedCommand(virtualState);
  command.vel << 0.3, -0.2, 1.1, -0.7, 0.4, -0.3, 0.2, -1.1, 0.7, -0.4;
  RobotCommand realCommand;
  ASSERT_TRUE(switchVirtualToReal(real, command, realCommand, kVeltra));

  // Feeding the real velocities back as a measurement gives the commanded virtual ones.
  RobotState moving = real;
  moving.vel = realCommand.vel;
  RobotState seen;
  ASSERT_TRUE(switchRealToVirtual(moving, seen, kVeltra));
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(seen.vel[i], command.vel[i], 1e-9) << "joint " << i;

  // Torque times velocity of each leg is the same in both spaces.
  for (int leg : {0, 5}) {
    const double realPower = real.tau.segment<5>(leg).dot(real.vel.segment<5>(leg));
    const double virtualPower = virtualState.tau.segment<5>(leg).dot(virtualState.vel.segment<5>(leg));
    EXPECT_NEAR(virtualPower, realPower, 1e-9);
    const double commandedPower = command.tau.segment<5>(leg).dot(command.vel.segment<5>(leg));
    const double motorPower = realCommand.tau.segment<5>(leg).dot(realCommand.vel.segment<5>(leg));
    EXPECT_NEAR(motorPower, commandedPower, 1e-9);
  }
}

TEST(BipedMappingConsistency, PresizedRecordsAreConvertedWithoutAllocating) {
  const RobotState real = bipedState(14);
  RobotState virtualState = bipedState(14);
  RobotCommand command = bipedCommand(virtualState);
  RobotCommand realCommand = command;
  alloc_counter::Scope scope;
  for (int cycle = 0; cycle < 100; ++cycle) {
    switchRealToVirtual(real, virtualState, kVeltra);
    switchVirtualToReal(real, command, realCommand, kVeltra);
  }
  EXPECT_EQ(scope.count(), 0u);
}

// ---- Lengths -----------------------------------------------------------------------------

TEST(BipedMappingLengths, VectorsOutsideTenToFourteenEntriesAreRejectedByName) {
  RobotState out = bipedState(10);
  const RobotState outBefore = out;
  for (int joints : {0, 9, 15}) {
    RobotState real = bipedState(joints < 10 ? 10 : joints);
    real.pos.conservativeResize(joints);
    try {
      switchRealToVirtual(real, out, kVeltra);
      FAIL() << joints << " positions were accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find("pos " + std::to_string(joints)), std::string::npos) << error.what();
    }
    expectSameState(out, outBefore);
  }

  RobotState shortAux = bipedState(10);
  shortAux.aux1.resize(3);
  EXPECT_THROW(switchRealToVirtual(shortAux, out, kVeltra), std::invalid_argument);
}

TEST(BipedMappingLengths, ShortCommandVectorsAndStatesAreRejectedBeforeWriting) {
  const RobotState real = bipedState(10);
  RobotCommand realCommand = commandOf(10, 9.0);
  const RobotCommand before = realCommand;

  RobotCommand shortKd = commandOf(10, 0.0);
  shortKd.kd.resize(4);
  try {
    switchVirtualToReal(real, shortKd, realCommand, kVeltra);
    FAIL() << "a 4-entry kd was accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("kd 4"), std::string::npos) << error.what();
  }
  EXPECT_THROW(switchVirtualToReal(real, commandOf(15, 0.0), realCommand, kVeltra), std::invalid_argument);

  RobotState shortState = bipedState(10);
  shortState.vel.resize(5);
  EXPECT_THROW(switchVirtualToReal(shortState, commandOf(10, 0.0), realCommand, kVeltra), std::invalid_argument);
  expectSameCommand(realCommand, before);
}
