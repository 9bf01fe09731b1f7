/// \file
/// Command and reply frames of the motor board, and the conversions between the joint
/// side (what callers see) and the motor side (what travels on the link).
///
/// A command frame is one MotorCmd per motor; a reply frame is one MotorState per motor,
/// then one ImuState per IMU, then one BatState per battery. There is no header, length or
/// checksum: both sides derive the frame lengths from the configured counts.
///
/// The codecs need only the counts and the per-motor tables, so the motor bus, the board
/// simulator and the tests all use this one piece of code. They keep no state, so any thread
/// may call them on records that no other thread touches meanwhile. A frame to build holds m
/// records already (m = the table's motor count); a reply holds a whole reply frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device_records.h"

namespace wire {

/// Frame sizes for m motors, n IMUs and b batteries. All lengths and offsets in bytes.
struct FrameLayout {
  size_t motors = 0;     ///< Motor records in both frames.
  size_t imus = 0;       ///< IMU records in a reply.
  size_t batteries = 0;  ///< Battery records in a reply.

  /// Bytes of a command frame: one MotorCmd per motor.
  size_t commandLength() const { return sizeof(MotorCmd) * motors; }
  /// Bytes of the motor records at the start of a reply.
  size_t motorReplyLength() const { return sizeof(MotorState) * motors; }
  /// Bytes of the IMU records.
  size_t imuReplyLength() const { return sizeof(ImuState) * imus; }
  /// Bytes of the battery records at the end of a reply.
  size_t batteryReplyLength() const { return sizeof(BatState) * batteries; }
  /// Bytes of a whole reply.
  size_t replyLength() const { return motorReplyLength() + imuReplyLength() + batteryReplyLength(); }
  /// Where the IMU records start in a reply.
  size_t imuOffset() const { return motorReplyLength(); }
  /// Where the battery records start in a reply.
  size_t batteryOffset() const { return motorReplyLength() + imuReplyLength(); }
};

/// The per-motor configuration that shapes every frame. Element i belongs to motor i;
/// the table's motor count is the size of `type`.
struct MotorTable {
  const std::vector<uint8_t>& type;   ///< Protocol type, 3, 4 or 5.
  const std::vector<uint16_t>& id;    ///< Bus id; its low 8 bits go on the link.
  const std::vector<double>& gr;      ///< Gear ratio g, motor side per joint side (never 0; negative reverses).
  const std::vector<double>& offset;  ///< Motor-side position offset o. Unit: [rad], motor side.

  /// The table's motor count.
  size_t motors() const { return type.size(); }
};

/// Motor types the board understands.
bool isAcceptedMotorType(uint8_t type);

/// Passive read frames carry this damping gain, written as is (bytes 0A D7 A3 3C).
constexpr float kPassiveReadKd = 0.02f;

// ---- Building command frames. Each rewrites `frame` (m records) in place. -------------
// Those that check motor types print "[MotorSDK::sendRecv] unkown comm type" and return
// false at the first unaccepted type; the records before it are already rewritten.

/// Scaled encoding of the caller's joint-side commands: pos*g+o, vel*g, tau/g, kp/g², kd/g².
/// Throws std::out_of_range when `cmd` holds fewer than m records.
bool encodeCommands(const std::vector<MotorCmd>& cmd, const MotorTable& table,
                    std::vector<MotorCmd>& frame);

/// Throws std::invalid_argument, naming the motor and the value, when any of the first m
/// commands would not reach the link as a finite 32-bit float once scaled to the motor side
/// (a NaN or infinity, or a finite value that overflows, e.g. kp 1e38 with a gear ratio of
/// 0.1). Throws std::out_of_range when `cmd` holds fewer than m records. Allocates nothing
/// unless it throws.
void requireFiniteOnLink(const std::vector<MotorCmd>& cmd, const MotorTable& table);

/// Passive read: mode 10, zero set-points and gains, kd 0.02. Any motor type is sent.
void buildPassiveRead(const MotorTable& table, std::vector<MotorCmd>& frame);

/// Background passive read: mode 10, everything zero; motor types checked.
bool buildBackgroundPassiveRead(const MotorTable& table, std::vector<MotorCmd>& frame);

/// Zero setting: the caller's mode per motor, everything else zero; motor types checked.
/// Throws std::out_of_range when `cmd` holds fewer than m records.
bool buildZeroSetting(const std::vector<MotorCmd>& cmd, const MotorTable& table,
                      std::vector<MotorCmd>& frame);

/// Writes each configured type into its record again and checks it (the link thread does
/// this before sending a stored frame).
bool refreshMotorTypes(const MotorTable& table, std::vector<MotorCmd>& frame);

// ---- Reading reply frames. ------------------------------------------------------------

/// How a motor position is brought back to the joint side.
enum class PositionForm {
  Offset,  ///< (raw - o) / g: the joint's angle.
  Raw,     ///< raw / g: the motor's angle without its offset (reading zero positions).
};

/// The operation a decoding serves; it names the warnings of records with a bad status.
enum class Operation {
  SendRecv,     ///< An exchange of commands (sendRecv, getRecvMT).
  Recv,         ///< A passive read (recv, recvRaw).
  SetMotorZero  ///< A zero-setting exchange.
};

/// Splits a reply of FrameLayout::replyLength() bytes into the three raw stores, whose
/// sizes give the counts.
void splitReply(const uint8_t* reply, std::vector<MotorState>& motors, std::vector<ImuState>& imus,
                std::vector<BatState>& batteries);

/// After a short reply of `received` bytes, zeroes the record the reply was cut inside and
/// everything after it, so a cut record reads as missing (status 0) rather than as a valid
/// record with the next record's bytes missing. A count beyond the reply (a failed call's -1)
/// counts as nothing received.
void clearCutRecords(uint8_t* reply, size_t received, const FrameLayout& layout);

/// Decodes the raw motor records into the caller's records, by index. A valid record
/// (status 9) is converted to the joint side; any other status copies only status and id,
/// keeps the caller's previous values and prints one warning naming the configured id.
/// Throws std::out_of_range when `out` is shorter than `raw`.
void decodeMotors(const std::vector<MotorState>& raw, const MotorTable& table, PositionForm form,
                  Operation op, std::vector<MotorState>& out);

/// Valid IMU records are copied whole; others copy status and id and print a warning.
/// Throws std::out_of_range when `out` is shorter than `raw`.
void decodeImus(const std::vector<ImuState>& raw, Operation op, std::vector<ImuState>& out);

/// Valid battery records are copied whole; others copy status and bms_id and print a warning.
/// Throws std::out_of_range when `out` is shorter than `raw`.
void decodeBatteries(const std::vector<BatState>& raw, Operation op, std::vector<BatState>& out);

// ---- The board's view, for stand-ins and tests. ---------------------------------------

/// A motor-side command record brought to the joint side (the inverse of the encoding);
/// `gr` is the gear ratio, `offset` the motor-side offset in rad.
MotorCmd toJointSide(const MotorCmd& wire, double gr, double offset);

/// A joint-side motor state converted to what the board reports for it on the link
/// (pos·g + o, vel·g, tau/g); `gr` and `offset` as in toJointSide.
MotorState toMotorSide(const MotorState& joint, double gr, double offset);

}  // namespace wire
