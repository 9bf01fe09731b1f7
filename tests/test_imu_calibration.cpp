// Bias removal and mounting rotation applied to every decoded IMU record.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imu_calibration.h"
#include "motor_sdk.h"

namespace {

ImuState imuReading(float w, float x, float y, float z) {
  ImuState record{};
  record.status = 9;
  record.id = 4;
  record.quat[0] = w;
  record.quat[1] = x;
  record.quat[2] = y;
  record.quat[3] = z;
  return record;
}

// The file lists the mounting quaternion as x, y, z, w.
void mountAs(double x, double y, double z, double w) { R_b_i = quatToRotMat(Vec4<double>(w, x, y, z)); }

void expectQuat(const ImuState& record, float w, float x, float y, float z, float tol = 0.0f) {
  EXPECT_NEAR(record.quat[0], w, tol);
  EXPECT_NEAR(record.quat[1], x, tol);
  EXPECT_NEAR(record.quat[2], y, tol);
  EXPECT_NEAR(record.quat[3], z, tol);
}

ImuState calibrated(const ImuState& reading) {
  std::vector<ImuState> imus{reading};
  calibration_imu(imus);
  return imus[0];
}

class ImuCalibration : public testing::Test {
 protected:
  void SetUp() override { neutral(); }
  void TearDown() override { neutral(); }
  static void neutral() {
    acc_bias.setZero();
    gyro_bias.setZero();
    R_b_i.setIdentity();
    t_b_i.setZero();
  }
};

TEST_F(ImuCalibration, NeutralCalibrationKeepsReadingsAndStatus) {
  ImuState reading = imuReading(0.9f, 0.1f, -0.3f, 0.2f);
  const double norm = std::sqrt(0.81 + 0.01 + 0.09 + 0.04);
  for (float& c : reading.quat) c = static_cast<float>(c / norm);
  reading.status = 3;  // the calibration does not look at status
  reading.acc[0] = 1.5f;
  reading.acc[2] = -9.81f;
  reading.gyro[1] = 0.25f;
  const ImuState out = calibrated(reading);
  EXPECT_EQ(out.status, 3);
  EXPECT_EQ(out.id, 4);
  EXPECT_EQ(out.acc[0], 1.5f);
  EXPECT_EQ(out.acc[2], -9.81f);
  EXPECT_EQ(out.gyro[1], 0.25f);
  expectQuat(out, reading.quat[0], reading.quat[1], reading.quat[2], reading.quat[3], 1e-6f);
}

TEST_F(ImuCalibration, SignIsChosenByTheConversionBranch) {
  // Positive trace: w comes back positive.
  expectQuat(calibrated(imuReading(-1, 0, 0, 0)), 1, 0, 0, 0);
  // A freshly zeroed record reads as the identity.
  expectQuat(calibrated(imuReading(0, 0, 0, 0)), 1, 0, 0, 0);
  // Negative trace: the largest-diagonal axis comes back positive.
  expectQuat(calibrated(imuReading(0.1f, -0.99498744f, 0, 0)), -0.1f, 0.99498744f, 0, 0, 1e-6f);
}

TEST_F(ImuCalibration, HalfTurnsPickTheLargestDiagonalWithTiesToTheLowerAxis) {
  expectQuat(calibrated(imuReading(0, -1, 0, 0)), 0, 1, 0, 0);
  expectQuat(calibrated(imuReading(0, 0, -1, 0)), 0, 0, 1, 0);
  expectQuat(calibrated(imuReading(0, 0, 0, -1)), 0, 0, 0, 1);
}

TEST_F(ImuCalibration, BiasesAreSubtractedInDoubleAndNotRotated) {
  acc_bias = Vec3<double>(0.1, -0.2, 0.3);
  gyro_bias = Vec3<double>(0.01, 0.02, -0.03);
  mountAs(0, 0, std::sqrt(0.5), std::sqrt(0.5));  // would swap x and y if it were applied
  ImuState reading = imuReading(1, 0, 0, 0);
  reading.acc[0] = 1.0f;
  reading.acc[1] = 2.0f;
  reading.acc[2] = 3.0f;
  reading.gyro[0] = 0.5f;
  const ImuState out = calibrated(reading);
  EXPECT_EQ(out.acc[0], static_cast<float>(1.0 - 0.1));
  EXPECT_EQ(out.acc[1], static_cast<float>(2.0 + 0.2));
  EXPECT_EQ(out.acc[2], static_cast<float>(3.0 - 0.3));
  EXPECT_EQ(out.gyro[0], static_cast<float>(0.5 - 0.01));
  EXPECT_EQ(out.gyro[1], static_cast<float>(-0.02));
  EXPECT_EQ(out.gyro[2], static_cast<float>(0.03));
}

TEST_F(ImuCalibration, QuarterTurnMountingIsTakenOut) {
  mountAs(0, 0, 0.7071067811865476, 0.7071067811865476);
  expectQuat(calibrated(imuReading(1, 0, 0, 0)), 0.70710677f, 0, 0, -0.70710677f, 1e-7f);
  expectQuat(calibrated(imuReading(0.70710677f, 0, 0, 0.70710677f)), 1, 0, 0, 0, 1e-7f);
}

TEST_F(ImuCalibration, HalfTurnMountingGoesThroughTheSecondBranch) {
  mountAs(1, 0, 0, 0);
  expectQuat(calibrated(imuReading(1, 0, 0, 0)), 0, 1, 0, 0);
}

TEST_F(ImuCalibration, EveryRecordIsCalibratedAndEmptyIsFine) {
  acc_bias = Vec3<double>(1, 1, 1);
  std::vector<ImuState> none;
  calibration_imu(none);
  EXPECT_TRUE(none.empty());

  std::vector<ImuState> imus{imuReading(1, 0, 0, 0), imuReading(0, 0, 0, 0), imuReading(0, 0, 0, 0)};
  imus[2].status = 0;
  calibration_imu(imus);
  for (const ImuState& record : imus) EXPECT_EQ(record.acc[1], -1.0f);
}

}  // namespace
