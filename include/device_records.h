// The records the motor board speaks in. Each record's memory image is its wire image:
// fields are byte-aligned, little-endian, floats are IEEE-754 binary32.
#pragma once

#include <cstdint>

#pragma pack(push, 1)

/// One motor's command, 23 bytes. The bus fills `id` and `motor_type` from the configuration.
struct MotorCmd {
  uint8_t id;
  uint8_t motor_type;
  uint8_t mode;
  float pos;
  float vel;
  float tau;
  float kp;
  float kd;
};

/// One motor's feedback, 21 bytes. Valid when `status` is 9.
struct MotorState {
  uint8_t status;
  uint8_t id;
  uint8_t reserved0;
  uint8_t reserved1;
  uint8_t mode;
  float pos;
  float vel;
  float tau;
  float temp;
};

/// One IMU's feedback, 42 bytes. `quat` is ordered (w, x, y, z).
struct ImuState {
  uint8_t status;
  uint8_t id;
  float acc[3];
  float gyro[3];
  float quat[4];
};

/// One battery management system's feedback, 21 bytes.
struct BatState {
  uint8_t status;
  uint8_t bms_id;
  int32_t failure;
  float voltage;
  float current;
  float soc;
  uint8_t reserved[3];
};

#pragma pack(pop)

static_assert(sizeof(MotorCmd) == 23, "MotorCmd must be 23 bytes on the wire");
static_assert(sizeof(MotorState) == 21, "MotorState must be 21 bytes on the wire");
static_assert(sizeof(ImuState) == 42, "ImuState must be 42 bytes on the wire");
static_assert(sizeof(BatState) == 21, "BatState must be 21 bytes on the wire");

/// The link to the motor board.
enum CommType : int32_t {
  USB = 0,  // USB serial device
  UDP = 1,  // UDP over Ethernet
};

/// Status byte of a feedback record that the device answered.
constexpr uint8_t kStatusValid = 9;
/// The control mode of every command the SDK builds itself.
constexpr uint8_t kModeNormal = 10;
