/// \file
/// The records the motor board speaks in. Each record's memory image is its wire image:
/// fields are byte-aligned, little-endian, floats are IEEE-754 binary32.
#pragma once

#include <cstdint>

#pragma pack(push, 1)

/// One motor's command, 23 bytes. A caller of MotorSDK fills it on the joint side (rad,
/// rad/s, N·m, joint-side gains); the bus scales it to the motor side with the motor's gear
/// ratio and offset on the way to the wire, and fills `id` and `motor_type` itself.
struct MotorCmd {
  uint8_t id;          ///< Bus id; the bus writes the configured id's low byte, the caller's value is not read.
  uint8_t motor_type;  ///< Protocol type 3, 4 or 5; written by the bus from the configuration.
  uint8_t mode;        ///< Control mode, passed through; the SDK's own commands use kModeNormal.
  float pos;           ///< Position set-point. Unit: [rad], joint side for callers.
  float vel;           ///< Velocity set-point. Unit: [rad/s], joint side for callers.
  float tau;           ///< Feed-forward torque. Unit: [N·m], joint side for callers.
  float kp;            ///< Position gain. Unit: [N·m/rad], joint side for callers.
  float kd;            ///< Velocity gain. Unit: [N·m·s/rad], joint side for callers.
};

/// One motor's feedback, 21 bytes. Valid when `status` is kStatusValid (9); otherwise only
/// `status` and `id` mean anything. Decoded records are on the joint side.
struct MotorState {
  uint8_t status;     ///< 9 = valid; any other value is the board's error code (0: no reply).
  uint8_t id;         ///< Id byte of the reply record.
  uint8_t reserved0;  ///< Not interpreted; never written into a caller's record.
  uint8_t reserved1;  ///< Not interpreted; copied through with a valid record.
  uint8_t mode;       ///< The motor's mode as it reports it.
  float pos;          ///< Position. Unit: [rad], joint side once decoded.
  float vel;          ///< Velocity. Unit: [rad/s], joint side once decoded.
  float tau;          ///< Torque. Unit: [N·m], joint side once decoded.
  float temp;         ///< Temperature as the motor reports it, never scaled. Unit: [°C].
};

/// One IMU's feedback, 42 bytes. Valid when `status` is 9. The values are the board's,
/// calibrated by MotorSDK (biases removed, mounting rotation applied) when read.
struct ImuState {
  uint8_t status;  ///< 9 = valid; any other value is the board's error code (0: no reply).
  uint8_t id;      ///< IMU id.
  float acc[3];    ///< Specific force x, y, z (gravity included). Unit: [m/s²].
  float gyro[3];   ///< Angular rate x, y, z. Unit: [rad/s].
  float quat[4];   ///< Orientation quaternion, ordered (w, x, y, z); not normalised by the SDK.
};

/// One battery management system's feedback, 21 bytes, passed through as the board sends it.
struct BatState {
  uint8_t status;       ///< 9 = valid; any other value is the board's error code (0: no reply).
  uint8_t bms_id;       ///< Id of the battery management system.
  int32_t failure;      ///< Failure code of the pack; its bits belong to the firmware.
  float voltage;        ///< Pack voltage. Unit: [V].
  float current;        ///< Pack current. Unit: [A].
  float soc;            ///< State of charge, as the pack reports it.
  uint8_t reserved[3];  ///< Not interpreted; copied through with a valid record.
};

#pragma pack(pop)

static_assert(sizeof(MotorCmd) == 23, "MotorCmd must be 23 bytes on the wire");
static_assert(sizeof(MotorState) == 21, "MotorState must be 21 bytes on the wire");
static_assert(sizeof(ImuState) == 42, "ImuState must be 42 bytes on the wire");
static_assert(sizeof(BatState) == 21, "BatState must be 21 bytes on the wire");

/// The link to the motor board. Any other value is refused when the bus is opened.
enum CommType : int32_t {
  USB = 0,  ///< USB serial device (/dev/ttyACM0, 2 Mbaud, 8N1).
  UDP = 1,  ///< UDP over Ethernet (192.168.1.10:8881 to 192.168.1.5:8880).
};

/// Status byte of a feedback record that the device answered.
constexpr uint8_t kStatusValid = 9;
/// The control mode of every command the SDK builds itself.
constexpr uint8_t kModeNormal = 10;
