// The IMU calibration every motor bus in the process shares, and its application to the IMU
// records of a reply.
#include "imu_calibration.h"

#include "imu_calibration_detail.h"
#include "motor_sdk.h"
#include "rotation_detail.h"

Vec3<double> acc_bias = Vec3<double>::Zero();
Vec3<double> gyro_bias = Vec3<double>::Zero();
Mat3<double> R_b_i = Mat3<double>::Identity();
Vec3<double> t_b_i = Vec3<double>::Zero();

namespace {

float minus(float reading, double bias) { return static_cast<float>(static_cast<double>(reading) - bias); }

// Each record reads only its own values, so a per-record snapshot is enough and nothing is
// allocated on the exchange path.
void calibrateRecord(ImuState& record) {
  const ImuState in = record;
  for (int a = 0; a < 3; ++a) {
    record.acc[a] = minus(in.acc[a], acc_bias[a]);
    record.gyro[a] = minus(in.gyro[a], gyro_bias[a]);
  }
  const Vec4<double> reading(in.quat[0], in.quat[1], in.quat[2], in.quat[3]);
  const Vec4<double> body = rotMatToQuat(R_b_i.transpose() * quatToRotMat(reading));
  for (int c = 0; c < 4; ++c) record.quat[c] = static_cast<float>(body[c]);
}

}  // namespace

void setImuCalibration(const ImuCalibration& imu) {
  acc_bias = imu.accBias;
  gyro_bias = imu.gyroBias;
  R_b_i = quatToRotMat(imu.rotation);
  t_b_i = imu.translation;
}

// A record the board did not deliver as valid keeps the caller's previous, already calibrated
// values; calibrating those again would drift them by the bias and the mounting rotation on
// every read while the IMU reports errors.
void calibrateFreshRecords(const std::vector<ImuState>& raw, std::vector<ImuState>& imus) {
  for (size_t j = 0; j < raw.size(); ++j)
    if (raw[j].status == kStatusValid) calibrateRecord(imus[j]);
}

void calibration_imu(std::vector<ImuState>& imus) {
  for (ImuState& record : imus) calibrateRecord(record);
}
