// The byte-exact frames of the motor board and the joint/motor side conversions.
#include <gtest/gtest.h>

#include <cstring>

#include "bytes.h"
#include "capture.h"
#include "device_records.h"
#include "wire_frames.h"

namespace {

// One motor with gear ratio 6 and offset 0.5, id 1, type 5 unless a test changes them.
struct OneMotorBus {
  std::vector<uint8_t> type{5};
  std::vector<uint16_t> id{1};
  std::vector<double> gr{6.0};
  std::vector<double> offset{0.5};
  std::vector<MotorCmd> frame = std::vector<MotorCmd>(1);
  wire::MotorTable table() const { return {type, id, gr, offset}; }
};

MotorCmd command(float pos, float vel, float tau, float kp, float kd, uint8_t mode = 10) {
  MotorCmd cmd{};
  cmd.mode = mode;
  cmd.pos = pos;
  cmd.vel = vel;
  cmd.tau = tau;
  cmd.kp = kp;
  cmd.kd = kd;
  return cmd;
}

TEST(Records, VectorsOfRecordsAreContiguousWireImages) {
  std::vector<MotorState> motors(12);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&motors[11]) - reinterpret_cast<const uint8_t*>(motors.data()), 21 * 11);
  std::vector<ImuState> imus(3);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&imus[2]) - reinterpret_cast<const uint8_t*>(imus.data()), 84);
  MotorState zero{};
  EXPECT_EQ(hexOf(zero), hexBytes(std::string(21, '\0').data(), 21));
}

TEST(FrameLayout, TwelveMotorsOneImuOneBattery) {
  wire::FrameLayout layout{12, 1, 1};
  EXPECT_EQ(layout.commandLength(), 276u);
  EXPECT_EQ(layout.replyLength(), 315u);
  EXPECT_EQ(layout.imuOffset(), 252u);
  EXPECT_EQ(layout.batteryOffset(), 294u);
}

TEST(Encoding, ScalesToTheMotorSideWithConfiguredIdAndType) {
  OneMotorBus bus;
  std::vector<MotorCmd> cmd{command(1.0f, 2.0f, 3.0f, 36.0f, 9.0f)};
  ASSERT_TRUE(wire::encodeCommands(cmd, bus.table(), bus.frame));
  EXPECT_EQ(hexOf(bus.frame[0]), "01 05 0A 00 00 D0 40 00 00 40 41 00 00 00 3F 00 00 80 3F 00 00 80 3E");
}

TEST(Encoding, IgnoresTheCallersIdAndTypeAndKeepsTheLow8BitsOfTheId) {
  OneMotorBus bus;
  bus.id = {258};
  std::vector<MotorCmd> cmd{command(0, 0, 0, 0, 0)};
  cmd[0].id = 77;
  cmd[0].motor_type = 1;
  ASSERT_TRUE(wire::encodeCommands(cmd, bus.table(), bus.frame));
  EXPECT_EQ(bus.frame[0].id, 2);
  EXPECT_EQ(bus.frame[0].motor_type, 5);
}

TEST(Encoding, GainsAreDividedInDoubleFromTheCallersFloat) {
  OneMotorBus bus;
  std::vector<MotorCmd> cmd{command(0, 0, 0, 0, 7.2f)};
  ASSERT_TRUE(wire::encodeCommands(cmd, bus.table(), bus.frame));
  EXPECT_EQ(floatBits(bus.frame[0].kd), 0x3E4CCCCCu);
}

TEST(Encoding, NegativeGearRatioReversesTheMotor) {
  OneMotorBus bus;
  bus.gr = {-2.0};
  bus.offset = {0.0};
  std::vector<MotorCmd> cmd{command(1.0f, 1.0f, 1.0f, 4.0f, 4.0f)};
  ASSERT_TRUE(wire::encodeCommands(cmd, bus.table(), bus.frame));
  EXPECT_FLOAT_EQ(bus.frame[0].pos, -2.0f);
  EXPECT_FLOAT_EQ(bus.frame[0].tau, -0.5f);
  EXPECT_FLOAT_EQ(bus.frame[0].kp, 1.0f);
}

TEST(Encoding, StopsAtAnUnacceptedTypeWithEarlierRecordsRewritten) {
  std::vector<uint8_t> type{5, 4, 7, 3};
  std::vector<uint16_t> id{1, 2, 3, 4};
  std::vector<double> gr(4, 1.0), offset(4, 0.0);
  wire::MotorTable table{type, id, gr, offset};
  std::vector<MotorCmd> frame(4), cmd(4, command(1.5f, 0, 0, 0, 0));
  StdoutCapture out;
  EXPECT_FALSE(wire::encodeCommands(cmd, table, frame));
  EXPECT_EQ(out.finish(), "[MotorSDK::sendRecv] unkown comm type\n");
  EXPECT_FLOAT_EQ(frame[0].pos, 1.5f);
  EXPECT_FLOAT_EQ(frame[1].pos, 1.5f);
  EXPECT_FLOAT_EQ(frame[2].pos, 0.0f);
  EXPECT_FLOAT_EQ(frame[3].pos, 0.0f);
}

TEST(Encoding, ShortCommandVectorThrowsBeforeAnythingIsSent) {
  std::vector<uint8_t> type{5, 5};
  std::vector<uint16_t> id{1, 2};
  std::vector<double> gr(2, 1.0), offset(2, 0.0);
  wire::MotorTable table{type, id, gr, offset};
  std::vector<MotorCmd> frame(2), cmd(1);
  EXPECT_THROW(wire::encodeCommands(cmd, table, frame), std::out_of_range);
}

TEST(FixedFrames, PassiveReadSendsAnyTypeWithFixedDamping) {
  OneMotorBus bus;
  bus.id = {3};
  bus.type = {4};
  wire::buildPassiveRead(bus.table(), bus.frame);
  EXPECT_EQ(hexOf(bus.frame[0]), "03 04 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A D7 A3 3C");
  bus.type = {7};
  StdoutCapture out;
  wire::buildPassiveRead(bus.table(), bus.frame);
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(bus.frame[0].motor_type, 7);
}

TEST(FixedFrames, BackgroundPassiveReadIsAllZeroAndChecksTypes) {
  OneMotorBus bus;
  bus.frame[0] = command(9, 9, 9, 9, 9, 3);
  ASSERT_TRUE(wire::buildBackgroundPassiveRead(bus.table(), bus.frame));
  EXPECT_EQ(hexOf(bus.frame[0]), "01 05 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  bus.type = {2};
  StdoutCapture out;
  EXPECT_FALSE(wire::buildBackgroundPassiveRead(bus.table(), bus.frame));
  EXPECT_EQ(out.finish(), "[MotorSDK::sendRecv] unkown comm type\n");
}

TEST(FixedFrames, ZeroSettingTakesTheCallersMode) {
  OneMotorBus bus;
  std::vector<MotorCmd> cmd{command(5, 5, 5, 5, 5, 0xFE)};
  ASSERT_TRUE(wire::buildZeroSetting(cmd, bus.table(), bus.frame));
  EXPECT_EQ(hexOf(bus.frame[0]), "01 05 FE 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(Decoding, ValidMotorRecordInOffsetAndRawForms) {
  OneMotorBus bus;
  std::vector<MotorState> raw{recordFromHex<MotorState>("09 01 00 00 0A 00 00 D0 40 00 00 40 41 00 00 00 3F 00 00 20 42")};
  raw[0].reserved0 = 0xAA;
  raw[0].reserved1 = 0xBB;
  std::vector<MotorState> out(1);
  wire::decodeMotors(raw, bus.table(), wire::PositionForm::Offset, wire::Operation::SendRecv, out);
  EXPECT_EQ(out[0].status, 9);
  EXPECT_EQ(out[0].id, 1);
  EXPECT_EQ(out[0].mode, 10);
  EXPECT_EQ(out[0].reserved0, 0) << "reserved0 is never written into a caller's record";
  EXPECT_EQ(out[0].reserved1, 0xBB);
  EXPECT_FLOAT_EQ(out[0].pos, 1.0f);
  EXPECT_FLOAT_EQ(out[0].vel, 2.0f);
  EXPECT_FLOAT_EQ(out[0].tau, 3.0f);
  EXPECT_FLOAT_EQ(out[0].temp, 40.0f);
  wire::decodeMotors(raw, bus.table(), wire::PositionForm::Raw, wire::Operation::SendRecv, out);
  EXPECT_EQ(out[0].pos, static_cast<float>(6.5 / 6.0));
}

TEST(Decoding, BadStatusKeepsPreviousValuesAndWarnsOncePerRecord) {
  std::vector<uint8_t> type{5, 5};
  std::vector<uint16_t> id{0x101, 7};
  std::vector<double> gr(2, 1.0), offset(2, 0.0);
  wire::MotorTable table{type, id, gr, offset};
  std::vector<MotorState> out(2);
  out[0].pos = 1.25f;
  out[0].mode = 3;
  out[1].pos = -2.0f;
  std::vector<MotorState> raw(2);
  raw[0].status = 4;
  raw[0].id = 99;
  raw[0].pos = 123.0f;
  // raw[1] never arrived: all zeros.
  StdoutCapture capture;
  wire::decodeMotors(raw, table, wire::PositionForm::Offset, wire::Operation::Recv, out);
  EXPECT_EQ(capture.finish(),
            "[WARNNING] motor 0 id 1 recv status not OK 4\n"
            "[WARNNING] motor 1 id 7 recv status not OK 0\n");
  EXPECT_EQ(out[0].status, 4);
  EXPECT_EQ(out[0].id, 99);
  EXPECT_EQ(out[0].mode, 3);
  EXPECT_FLOAT_EQ(out[0].pos, 1.25f);
  EXPECT_EQ(out[1].status, 0);
  EXPECT_FLOAT_EQ(out[1].pos, -2.0f);
}

TEST(Decoding, ImuAndBatteryRecordsCopyWholeOrKeepPrevious) {
  std::vector<ImuState> imuRaw(2), imuOut(2);
  imuRaw[0].status = 9;
  imuRaw[0].id = 1;
  imuRaw[0].quat[0] = 1.0f;
  imuRaw[1].status = 3;
  imuRaw[1].id = 2;
  imuRaw[1].acc[0] = 50.0f;
  imuOut[1].acc[0] = 9.81f;
  std::vector<BatState> batRaw(1), batOut(1);
  batRaw[0].status = 0;
  batRaw[0].bms_id = 5;
  batOut[0].voltage = 48.0f;
  StdoutCapture capture;
  wire::decodeImus(imuRaw, wire::Operation::SetMotorZero, imuOut);
  wire::decodeBatteries(batRaw, wire::Operation::SendRecv, batOut);
  EXPECT_EQ(capture.finish(),
            "[WARNNING] imu 2 setMotorZero status error 3 \n"
            "[WARNNING] battery 5 sendRecv status error 0 \n");
  EXPECT_EQ(hexOf(imuOut[0]), hexOf(imuRaw[0]));
  EXPECT_FLOAT_EQ(imuOut[1].acc[0], 9.81f);
  EXPECT_EQ(imuOut[1].status, 3);
  EXPECT_FLOAT_EQ(batOut[0].voltage, 48.0f);
  EXPECT_EQ(batOut[0].bms_id, 5);
}

TEST(Decoding, SplitReplyFollowsTheCounts) {
  wire::FrameLayout layout{2, 1, 1};
  std::vector<uint8_t> reply(layout.replyLength());
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
  std::vector<MotorState> motors(2);
  std::vector<ImuState> imus(1);
  std::vector<BatState> bats(1);
  wire::splitReply(reply.data(), motors, imus, bats);
  EXPECT_EQ(motors[1].status, 21);
  EXPECT_EQ(imus[0].status, 42);
  EXPECT_EQ(bats[0].status, 84);
}

TEST(Decoding, AReplyCutInsideARecordLeavesThatRecordMissing) {
  const wire::FrameLayout layout{2, 1, 1};  // motors at 0 and 21, IMU at 42, battery at 84
  auto cutAt = [&](size_t received) {
    std::vector<uint8_t> reply(layout.replyLength(), 9);
    wire::clearCutRecords(reply.data(), received, layout);
    size_t kept = 0;
    while (kept < reply.size() && reply[kept] == 9) ++kept;
    for (size_t i = kept; i < reply.size(); ++i) EXPECT_EQ(reply[i], 0) << "byte " << i << " after a cut at " << received;
    return kept;
  };
  EXPECT_EQ(cutAt(layout.replyLength()), layout.replyLength());
  EXPECT_EQ(cutAt(0), 0u);
  EXPECT_EQ(cutAt(30), 21u);   // inside the second motor record
  EXPECT_EQ(cutAt(42), 42u);   // exactly after the motors
  EXPECT_EQ(cutAt(83), 42u);   // inside the IMU record
  EXPECT_EQ(cutAt(100), 84u);  // inside the battery record
  EXPECT_EQ(cutAt(static_cast<size_t>(-1)), 0u);  // a failed receive
}

TEST(Decoding, ShortOutputVectorThrows) {
  OneMotorBus bus;
  std::vector<MotorState> raw(1), out;
  EXPECT_THROW(wire::decodeMotors(raw, bus.table(), wire::PositionForm::Offset, wire::Operation::SendRecv, out),
               std::out_of_range);
}

TEST(BoardView, CommandAndStateConversionsInvertTheCodec) {
  OneMotorBus bus;
  std::vector<MotorCmd> cmd{command(1.0f, 2.0f, 3.0f, 36.0f, 9.0f)};
  ASSERT_TRUE(wire::encodeCommands(cmd, bus.table(), bus.frame));
  MotorCmd joint = wire::toJointSide(bus.frame[0], 6.0, 0.5);
  EXPECT_FLOAT_EQ(joint.pos, 1.0f);
  EXPECT_FLOAT_EQ(joint.kp, 36.0f);
  EXPECT_FLOAT_EQ(joint.kd, 9.0f);

  MotorState state{};
  state.status = 9;
  state.pos = 1.0f;
  state.vel = 2.0f;
  state.tau = 3.0f;
  std::vector<MotorState> raw{wire::toMotorSide(state, 6.0, 0.5)}, out(1);
  EXPECT_FLOAT_EQ(raw[0].pos, 6.5f);
  wire::decodeMotors(raw, bus.table(), wire::PositionForm::Offset, wire::Operation::SendRecv, out);
  EXPECT_FLOAT_EQ(out[0].pos, 1.0f);
  EXPECT_FLOAT_EQ(out[0].vel, 2.0f);
  EXPECT_FLOAT_EQ(out[0].tau, 3.0f);
}

}  // namespace
