/// \file
/// The robot's YAML configuration file read into one plain record: the counts, the per-motor
/// tables and the IMU calibration. The motor bus, the robot layer and the board simulator all
/// read the file through loadRobotConfig, so every one of them applies the same checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "eigen_types.h"
#include "link_options.h"
#include "wire_frames.h"

/// A robot configuration the bus cannot run with (a table of the wrong size, an unusable gear
/// ratio, a non-finite offset or IMU calibration value). Raised by loadRobotConfig, and so by MotorSDK::init, and by the
/// counts constructor, always before any port is opened.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The IMU calibration of the file's `imu_intrinsics` and `imu_extrinsics` sections.
struct ImuCalibration {
  Vec3<double> accBias = Vec3<double>::Zero();      ///< Subtracted from every reading, x y z. Unit: [m/s²].
  Vec3<double> gyroBias = Vec3<double>::Zero();     ///< Subtracted from every reading, x y z. Unit: [rad/s].
  Vec4<double> rotation{1, 0, 0, 0};                ///< Mounting quaternion (w, x, y, z), not normalised.
  Vec3<double> translation = Vec3<double>::Zero();  ///< IMU position in the body frame, kept for tools. Unit: [m].
};

/// One robot's configuration. Counts are 0 to 255 (the file's values modulo 256); every
/// per-motor table holds one entry per motor, element i for motor i.
struct RobotConfig {
  std::string robotType;        ///< `robot_type`; a null value reads as "null".
  int motorNumInFile = 0;       ///< `motor_num` as written, before the modulo.
  size_t motors = 0;            ///< Motor records in every frame.
  size_t imus = 0;              ///< IMU records in every reply.
  size_t batteries = 0;         ///< Battery records in every reply.
  bool dualEncoder = false;     ///< `dual_encoder`, stored for tools; the SDK does not act on it.
  std::vector<uint8_t> motorType;  ///< Protocol type per motor, 3, 4 or 5.
  std::vector<uint16_t> motorId;   ///< Bus id per motor, 0-255.
  std::vector<double> gr;       ///< Gear ratio, motor side per joint side; negative reverses, never 0.
  std::vector<double> offset;   ///< Motor-side position offset: motor = joint · gr + offset. Unit: [rad].
  std::vector<double> jposMin;  ///< `jpos_min`, kept for tools (the SDK clamps with its built-in tables). Unit: [rad].
  std::vector<double> jposMax;  ///< `jpos_max`, as jposMin. Unit: [rad].
  std::optional<ImuCalibration> imu;  ///< Only when both IMU sections are present.
  LinkOptions link;             ///< The optional `link:` section; nothing set without one.
  std::string path;             ///< The file it was read from, as given; empty for one made in code.

  /// The frame layout of these counts: the one the bus, a recording's header and the board
  /// simulator all size their frames by. Any thread; never throws.
  wire::FrameLayout layout() const { return {motors, imus, batteries}; }
};

/// Which keys a reader needs. The board's view needs only what shapes the frames and joints:
/// dual_encoder, abs_id and the IMU sections are then neither read nor required, nor is
/// robot_type, though one that is present must be one of the four names (ConfigError).
enum class ConfigKeys { All, BoardOnly };

/// Told as the loader passes each stage, in file-reading order, so that a caller can report
/// while it reads: the lines for the stages passed are out even when a later key fails.
struct RobotConfigProgress {
  std::function<void(const RobotConfig&)> countRead;      ///< motorNumInFile and motors are set.
  std::function<void(const RobotConfig&)> tablesRead;     ///< Counts and tables are set.
  std::function<void(const RobotConfig&)> robotTypeRead;  ///< robotType is set too.
  std::function<void(bool present)> imuSectionsFound;     ///< Before the IMU values are read.
  /// When set, `robot_type` is read before every other key, exactly as loadRobotType reads
  /// it (its exceptions included), and told here: the robot layer picks its robot, or
  /// refuses the file, before the bus's lines are printed. It may throw to stop the reading.
  std::function<void(const std::string& robotType)> robotTypeFirst;
};

/// Reads the file at `path`. Throws yaml-cpp's exceptions for an unreadable or malformed
/// file (YAML::BadFile saying "the file does not exist", with the working directory for a
/// relative path, when nothing is there), a missing key or a value that does not convert (a
/// motor_id or motor_type outside 0-255 included); ConfigError, naming the list, motor and
/// key, for a per-motor list whose size is not the motor count (gr may be longer; both sizes
/// follow the quoted condition), a non-finite offset, a gear ratio that is zero, non-finite or
/// outside 1e-15 to 1e15 in size, or a non-finite IMU bias, rotation or translation element.
/// The `link:` section, read by every reader, is refused with a ConfigError naming its key
/// for an unknown key, a `kind` other than udp or usb, an address that is not dotted IPv4, a
/// port outside 0-65535 or a `baud` that is not a whole number above 0. The file is read once;
/// `path` is kept in the result. Any thread; `progress` is told on the calling thread.
RobotConfig loadRobotConfig(const std::string& path, ConfigKeys keys = ConfigKeys::All,
                            const RobotConfigProgress& progress = {});

/// Only the `robot_type` of the file at `path`, read as RobotConfigProgress::robotTypeFirst
/// is told it: for a program that picks its robot before it opens one. Throws yaml-cpp's
/// exceptions.
std::string loadRobotType(const std::string& path);

/// The robot a configuration's `robot_type` names. The value is the robot type code that the
/// joint-space mapping takes and a recording's header stores.
enum class RobotType : int {
  Veltra1 = 0,   ///< "veltra1": the biped, two five-joint legs on joints 0-4 and 5-9.
  Veltra1L = 1,  ///< "veltra1L": the same biped under another name.
  Zenthi = 2,    ///< "zenthi": six legs of three joints, every joint driven directly.
  ZenthiV2 = 3,  ///< "zenthi_v2": the same robot under another name.
};

/// One row of the robot type table: everything the SDK says about a robot type by name.
struct RobotTypeRow {
  RobotType type;        ///< The type; rows are in code order.
  const char* name;      ///< Its `robot_type` spelling.
  const char* openLine;  ///< The line the robot layer prints when it opens such a robot.
};

/// The robot types, in code order: the one place their names and codes are written down.
inline constexpr RobotTypeRow kRobotTypes[] = {
    {RobotType::Veltra1, "veltra1", "[robot sdk] Veltra init "},
    {RobotType::Veltra1L, "veltra1L", "[robot sdk] Veltra L init "},
    {RobotType::Zenthi, "zenthi", "[robot sdk] zenthi init "},
    {RobotType::ZenthiV2, "zenthi_v2", "[robot sdk] zenthi2 init "},
};

/// The table's row of `type`. Any thread; std::invalid_argument for a value outside the enumeration.
const RobotTypeRow& robotTypeRow(RobotType type);

/// The `robot_type` spelling of `type` ("veltra1", ...). Any thread; as robotTypeRow.
inline const char* robotTypeName(RobotType type) { return robotTypeRow(type).name; }

/// The robot type spelt exactly `name`, or none for a name not in the table. Any thread.
std::optional<RobotType> robotTypeFromName(const std::string& name);

/// The robot type code of `type`, as the joint-space mapping takes it. Any thread.
constexpr int robotTypeCode(RobotType type) { return static_cast<int>(type); }

/// The code of the robot type `name` (exact spelling), or -1 for none of the four. Any thread.
int robotTypeCode(const std::string& name);

/// The table's names in code order, comma-separated: "veltra1, veltra1L, zenthi, zenthi_v2". Any thread.
std::string robotTypeNameList();

/// What is wrong with an unknown robot type: "robot_type is "NAME" in PATH; the valid names
/// are veltra1, veltra1L, zenthi, zenthi_v2". Any thread.
std::string unknownRobotTypeText(const std::string& name, const std::string& path);

/// The checks the loader applies to motor `index`'s offset and gear ratio, for tables that do
/// not come from a file. Throws ConfigError naming the motor and the key.
void requireUsableMotorValues(size_t index, double offset, double gr);
