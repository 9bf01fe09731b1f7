#include "robot_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>


namespace {

// Told instead of the loader's bare "bad file: PATH", which reads the same for a missing file
// as for an unreadable one; a relative path is looked up from the working directory.
std::string missingFileText(const std::string& path) {
  std::string text = path + ": the file does not exist";
  std::error_code error;
  if (std::filesystem::path(path).is_relative()) {
    const std::filesystem::path directory = std::filesystem::current_path(error);
    text += " (a relative path, looked up from the working directory " +
            (error ? std::string("that cannot be named") : directory.string()) + ")";
  }
  return text;
}

// YAML::LoadFile, except that a missing path and a directory are refused up front with the
// loader's own bad-file error: the missing file is said to be missing, and the loader would
// fail on a directory too, but lose its read buffer doing so.
YAML::Node loadYaml(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) throw YAML::BadFile(missingFileText(path));
  if (std::filesystem::is_directory(status)) throw YAML::BadFile(path);
  return YAML::LoadFile(path);
}

// Ordinary joint-side commands (gains and positions up to about a thousand) stay finite
// 32-bit floats on the motor side only for gear ratios of these sizes: kp/g² overflows for a
// tiny ratio, pos·g for a huge one.
constexpr double kSmallestGearRatio = 1e-15;
constexpr double kLargestGearRatio = 1e15;

// Every per-motor list except `gr` must hold exactly one element per motor; the condition text
// tells the user which list is wrong, the sizes after it by how much.
void requireTableSize(const YAML::Node& jointConfig, const RobotConfig& config, const char* key) {
  const YAML::Node list = jointConfig[key];
  if (list.size() == config.motors) return;
  std::ostringstream text;
  text << "[MotorSDK] configuration check failed: motor_num_ == config[\"joint_config\"][\"" << key
       << "\"].size(): " << key;
  if (list.IsSequence()) text << " has " << list.size() << (list.size() == 1 ? " entry" : " entries");
  else text << " is not a list";
  text << ", motor_num is " << config.motors;
  if (config.motorNumInFile != static_cast<int>(config.motors))
    text << " (" << config.motorNumInFile << " in the file, taken modulo 256)";
  throw ConfigError(text.str());
}

// abs_id is only the host's: the board's view neither needs nor checks it.
void requireTableSizes(const YAML::Node& jointConfig, const RobotConfig& config, ConfigKeys keys) {
  if (keys == ConfigKeys::All) requireTableSize(jointConfig, config, "abs_id");
  for (const char* key : {"offset", "motor_id", "motor_type", "jpos_max", "jpos_min"})
    requireTableSize(jointConfig, config, key);
}

std::string motorValueText(size_t index, const char* key, double value) {
  std::ostringstream text;
  text << "[MotorSDK] motor " << index << ": joint_config " << key << "[" << index << "] = " << value;
  return text.str();
}

// The gear ratio divides torques and gains on the way to the motor: zero or a non-finite
// ratio would put infinite gains on the link. A negative ratio is a reversed motor.
void requireUsableGearRatio(size_t index, double gr) {
  if (!std::isfinite(gr) || gr == 0.0)
    throw ConfigError(motorValueText(index, "gr", gr) + " is not a usable gear ratio (finite, non-zero)");
  if (std::fabs(gr) < kSmallestGearRatio || std::fabs(gr) > kLargestGearRatio)
    throw ConfigError(motorValueText(index, "gr", gr) +
                      " is not a usable gear ratio (between 1e-15 and 1e15 in size, or ordinary commands "
                      "overflow on the link)");
}

void requireFiniteOffset(size_t index, double offset) {
  if (std::isfinite(offset)) return;
  throw ConfigError(motorValueText(index, "offset", offset) + " is not a finite offset");
}

void readCounts(const YAML::Node& root, ConfigKeys keys, RobotConfig& config) {
  config.imus = static_cast<uint8_t>(root["imu_num"].as<int>());
  config.batteries = static_cast<uint8_t>(root["battery_num"].as<int>());
  if (keys == ConfigKeys::All) config.dualEncoder = root["dual_encoder"].as<bool>();
}

// Motor by motor, each value checked as soon as its motor is read.
void readMotorTables(const YAML::Node& joint, RobotConfig& config) {
  const size_t m = config.motors;
  for (auto* table : {&config.offset, &config.gr, &config.jposMin, &config.jposMax}) table->resize(m);
  config.motorId.resize(m);
  config.motorType.resize(m);
  for (size_t i = 0; i < m; ++i) {
    config.offset[i] = joint["offset"][i].as<double>();
    config.motorId[i] = joint["motor_id"][i].as<unsigned char>();
    config.gr[i] = joint["gr"][i].as<double>();
    config.motorType[i] = joint["motor_type"][i].as<unsigned char>();
    config.jposMin[i] = joint["jpos_min"][i].as<double>();
    config.jposMax[i] = joint["jpos_max"][i].as<double>();
    requireUsableMotorValues(i, config.offset[i], config.gr[i]);
  }
}

// A non-finite calibration value would reach every observation through the bias, the
// mounting rotation or the translation: it is refused here, naming its key.
double readFinite(const YAML::Node& list, size_t index, const char* key) {
  const double value = list[index].as<double>();
  if (std::isfinite(value)) return value;
  std::ostringstream text;
  text << "[MotorSDK] " << key << "[" << index << "] = " << value << " is not a finite number";
  throw ConfigError(text.str());
}

Vec3<double> readVec3(const YAML::Node& list, const char* key) {
  return Vec3<double>(readFinite(list, 0, key), readFinite(list, 1, key), readFinite(list, 2, key));
}

ImuCalibration readImuCalibration(const YAML::Node& intrinsics, const YAML::Node& extrinsics) {
  ImuCalibration imu;
  imu.accBias = readVec3(intrinsics["accelerometer"]["bias"], "imu_intrinsics accelerometer bias");
  imu.gyroBias = readVec3(intrinsics["gyroscope"]["bias"], "imu_intrinsics gyroscope bias");
  // The file lists the mounting quaternion as x, y, z, w.
  const YAML::Node rotation = extrinsics["rotation"];
  const char* rotationKey = "imu_extrinsics rotation";
  imu.rotation = Vec4<double>(readFinite(rotation, 3, rotationKey), readFinite(rotation, 0, rotationKey),
                              readFinite(rotation, 1, rotationKey), readFinite(rotation, 2, rotationKey));
  imu.translation = readVec3(extrinsics["translation"], "imu_extrinsics translation");
  return imu;
}

// ---- The optional link section. ------------------------------------------------------------

constexpr const char* kLinkKeys[] = {"kind", "board_address", "board_port", "local_address", "local_port",
                                     "device", "baud"};

[[noreturn]] void refuseLinkValue(const std::string& key, const YAML::Node& value, const char* wanted) {
  std::string shown = value.IsScalar() ? "\"" + value.Scalar() + "\"" : std::string("a list or mapping");
  throw ConfigError("[MotorSDK] link " + key + ": " + shown + " is not " + wanted);
}

// A whole number within [low, high], or the key is named.
long long readLinkNumber(const YAML::Node& section, const char* key, long long low, long long high,
                         const char* wanted) {
  const YAML::Node value = section[key];
  long long number = 0;
  try {
    number = value.as<long long>();
  } catch (const YAML::Exception&) {
    refuseLinkValue(key, value, wanted);
  }
  if (number < low || number > high) refuseLinkValue(key, value, wanted);
  return number;
}

std::string readLinkText(const YAML::Node& section, const char* key) {
  const YAML::Node value = section[key];
  if (!value.IsScalar() || value.Scalar().empty()) refuseLinkValue(key, value, "a text");
  return value.Scalar();
}

LinkOptions readLinkSection(const YAML::Node& section) {
  LinkOptions link;
  if (section.IsNull()) return link;
  if (!section.IsMap()) throw ConfigError("[MotorSDK] link: the section is not a mapping of keys to values");
  for (const auto& entry : section) {
    const std::string key = entry.first.as<std::string>();
    if (std::find(std::begin(kLinkKeys), std::end(kLinkKeys), key) == std::end(kLinkKeys))
      throw ConfigError("[MotorSDK] link " + key +
                        ": unknown key (known: kind, board_address, board_port, local_address, local_port, "
                        "device, baud)");
  }
  if (section["kind"]) {
    const std::string kind = readLinkText(section, "kind");
    if (kind == "udp") link.kind = UDP;
    else if (kind == "usb") link.kind = USB;
    else refuseLinkValue("kind", section["kind"], "udp or usb");
  }
  for (const auto& [key, field] : {std::pair{"board_address", &link.boardAddress},
                                   std::pair{"local_address", &link.localAddress}}) {
    if (!section[key]) continue;
    *field = readLinkText(section, key);
    requireIpv4Address(**field, std::string("link ") + key);
  }
  for (const auto& [key, field] : {std::pair{"board_port", &link.boardPort}, std::pair{"local_port", &link.localPort}})
    if (section[key]) *field = static_cast<uint16_t>(readLinkNumber(section, key, 0, 65535, "a port of 0-65535"));
  if (section["device"]) link.device = readLinkText(section, "device");
  if (section["baud"])
    link.baud = static_cast<uint32_t>(readLinkNumber(section, "baud", 1, 4294967295LL, "a rate above 0 bit/s"));
  return link;
}

// Looked up on a non-const node, as the robot layer always has: a missing key reports
// yaml-cpp's bad conversion there rather than its invalid node.
std::string readRobotType(YAML::Node root) { return root["robot_type"].as<std::string>(); }

template <typename Hook, typename... Args>
void tell(const Hook& hook, Args&&... args) {
  if (hook) hook(std::forward<Args>(args)...);
}

}  // namespace

const RobotTypeRow& robotTypeRow(RobotType type) {
  for (const RobotTypeRow& row : kRobotTypes)
    if (row.type == type) return row;
  throw std::invalid_argument("robot type code " + std::to_string(robotTypeCode(type)) + " is not in the table");
}

std::optional<RobotType> robotTypeFromName(const std::string& name) {
  for (const RobotTypeRow& row : kRobotTypes)
    if (name == row.name) return row.type;
  return std::nullopt;
}

int robotTypeCode(const std::string& name) {
  const std::optional<RobotType> type = robotTypeFromName(name);
  return type ? robotTypeCode(*type) : -1;
}

std::string robotTypeNameList() {
  std::string names;
  for (const RobotTypeRow& row : kRobotTypes) names += (names.empty() ? "" : ", ") + std::string(row.name);
  return names;
}

std::string unknownRobotTypeText(const std::string& name, const std::string& path) {
  return "robot_type is \"" + name + "\" in " + path + "; the valid names are " + robotTypeNameList();
}

void requireUsableMotorValues(size_t index, double offset, double gr) {
  requireFiniteOffset(index, offset);
  requireUsableGearRatio(index, gr);
}

RobotConfig loadRobotConfig(const std::string& path, ConfigKeys keys, const RobotConfigProgress& progress) {
  const YAML::Node root = loadYaml(path);
  if (progress.robotTypeFirst) progress.robotTypeFirst(readRobotType(root));
  RobotConfig config;
  config.path = path;
  config.motorNumInFile = root["motor_num"].as<int>();
  config.motors = static_cast<uint8_t>(config.motorNumInFile);
  tell(progress.countRead, config);

  const YAML::Node joint = root["joint_config"];
  requireTableSizes(joint, config, keys);
  readCounts(root, keys, config);
  readMotorTables(joint, config);
  tell(progress.tablesRead, config);
  if (keys == ConfigKeys::All) config.robotType = root["robot_type"].as<std::string>();
  tell(progress.robotTypeRead, config);
  // The robot layer judges the name itself (it ends the process on a bad one); the board
  // refuses a file the robot layer would refuse.
  if (keys == ConfigKeys::BoardOnly && root["robot_type"]) {
    config.robotType = root["robot_type"].as<std::string>();
    if (robotTypeCode(config.robotType) < 0) throw ConfigError(unknownRobotTypeText(config.robotType, path));
  }

  if (root["link"]) config.link = readLinkSection(root["link"]);

  if (keys == ConfigKeys::BoardOnly) return config;
  const bool imuPresent = root["imu_intrinsics"] && root["imu_extrinsics"];
  tell(progress.imuSectionsFound, imuPresent);
  if (imuPresent) config.imu = readImuCalibration(root["imu_intrinsics"], root["imu_extrinsics"]);
  return config;
}

std::string loadRobotType(const std::string& path) { return readRobotType(loadYaml(path)); }
