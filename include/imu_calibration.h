/// \file
/// The IMU calibration every MotorSDK in the process shares: the configured biases and
/// mounting rotation, and the step that applies them to the IMU records of a reply.
#pragma once

#include <vector>

#include "device_records.h"
#include "eigen_types.h"

// IMU calibration, set by the most recent successful MotorSDK::init. Neutral until then: zero
// biases, identity mounting rotation, zero translation. Not locked: init writes them while
// every decoding reads them, so no bus may be initialised while another one decodes.

/// Accelerometer bias, x y z, subtracted from every reading. Unit: [m/s²].
extern Vec3<double> acc_bias;
/// Gyroscope bias, x y z, subtracted from every reading. Unit: [rad/s].
extern Vec3<double> gyro_bias;
/// The IMU's mounting rotation in the body (from the configured quaternion, not normalised).
extern Mat3<double> R_b_i;
/// The IMU's position in the body, kept for callers; the calibration does not use it. Unit: [m].
extern Vec3<double> t_b_i;

/// Removes the configured biases from every record and re-expresses its orientation through
/// the mounting rotation, in place. Looks at neither status nor id. Any thread (reads the
/// process-wide calibration); never throws.
void calibration_imu(std::vector<ImuState>& imus);
