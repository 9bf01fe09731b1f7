// The IMU calibration's steps that only the motor bus takes: setting the process-wide values
// at init and calibrating the records a reply delivered.
#pragma once

#include <vector>

#include "device_records.h"
#include "robot_config.h"

// Replaces the process-wide calibration; a file without IMU sections gives the neutral one.
void setImuCalibration(const ImuCalibration& imu);

// Calibrates the records of `imus` whose raw counterpart in `raw` arrived valid.
void calibrateFreshRecords(const std::vector<ImuState>& raw, std::vector<ImuState>& imus);
