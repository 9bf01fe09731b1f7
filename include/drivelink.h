/// \file
/// Everything the SDK offers, in one include.
#pragma once

#include "eigen_types.h"
#include "device_records.h"
#include "wire_frames.h"
#include "io_port.h"
#include "serial_port.h"
#include "UDPPort.h"
#include "robot_records.h"
#include "kinematics.h"
#include "robot_config.h"
#include "robot_family.h"
#include "link_stats.h"
#include "flight_recorder.h"
#include "imu_calibration.h"
#include "motor_sdk.h"
#include "absolute_timer.h"
#include "periodic_function.h"
#include "joint_mapping.h"
#include "robot_sdk.h"
#include "log_sink.h"
