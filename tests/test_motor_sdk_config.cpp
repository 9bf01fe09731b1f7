// Opening the bus: reading the robot file, the printed lines, the checks that stop a bad
// configuration before any port opens, the IMU calibration it sets and the port choice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "motor_sdk.h"
#include "temp_file.h"

namespace {

const auto kNoLink = static_cast<CommType>(7);

// A robot file written to a temporary path for the lifetime of the object.
class RobotFile {
 public:
  std::string motorNum = "2";
  std::string imuNum = "1";
  std::string batteryNum = "1";
  std::string robotType = "veltra1";
  std::map<std::string, std::string> joint = {
      {"abs_id", "[0, 1]"},        {"offset", "[0.5, -0.25]"},  {"motor_id", "[1, 7]"},
      {"gr", "[6.0, -9.0]"},       {"motor_type", "[5, 4]"},    {"jpos_min", "[-1.0, -2.0]"},
      {"jpos_max", "[1.0, 2.0]"},
  };
  std::string intrinsics =
      "imu_intrinsics:\n  accelerometer:\n    bias: [0.1, 0.2, 0.3]\n  gyroscope:\n    bias: [0.01, 0.02, 0.03]\n";
  std::string extrinsics = "imu_extrinsics:\n  rotation: [0.0, 0.0, 0.0, 1.0]\n  translation: [0.4, 0.5, 0.6]\n";

  /// Every per-motor list with `count` copies of a usable value.
  void uniformTables(int count) {
    for (auto& [key, list] : joint) {
      const char* value = key == "gr" ? "6.0" : key == "motor_type" ? "5" : "1";
      list = "[";
      for (int i = 0; i < count; ++i) list += std::string(i ? ", " : "") + value;
      list += "]";
    }
  }

  /// Writes the file as it now stands; the path stays valid until the next write.
  const std::string& write() {
    std::ostringstream out;
    out << "robot_type: " << robotType << "\nmotor_num: " << motorNum << "\nimu_num: " << imuNum
        << "\nbattery_num: " << batteryNum << "\ndual_encoder: true\njoint_config:\n";
    for (const auto& [key, list] : joint) out << "  " << key << ": " << list << "\n";
    out << intrinsics << extrinsics;
    file_ = std::make_unique<TempFile>(out.str());
    return file_->path();
  }

 private:
  std::unique_ptr<TempFile> file_;
};

class MotorSDKConfig : public testing::Test {
 protected:
  void TearDown() override {
    acc_bias.setZero();
    gyro_bias.setZero();
    R_b_i.setIdentity();
    t_b_i.setZero();
  }

  std::string initFrom(RobotFile& file, CommType link = kNoLink) {
    StdoutCapture out;
    bus.init(file.write(), link);
    return out.finish();
  }

  template <typename Error>
  std::string initFails(RobotFile& file, CommType link = UDP) {
    StdoutCapture out;
    EXPECT_THROW(bus.init(file.write(), link), Error);
    EXPECT_FALSE(bus.hasPort());
    return out.finish();
  }

  std::string configErrorFrom(RobotFile& file) {
    StdoutCapture out;
    try {
      bus.init(file.write(), UDP);
    } catch (const ConfigError& error) {
      EXPECT_FALSE(bus.hasPort());
      return error.what();
    }
    ADD_FAILURE() << "init accepted the file";
    return {};
  }

  RobotFile file;
  MotorSDK bus;
};

TEST_F(MotorSDKConfig, PrintsEveryLineInOrderAndOpensUdp) {
  const std::string text = initFrom(file, UDP);
  EXPECT_EQ(text,
            "motor num 2 2\n"
            "[MotorSDK] robot type is veltra1, robot init params, total motor num is 2\n"
            "[MotorSDK] imu param exists \n"
            "acc bias: 0.1 0.2 0.3\n"
            "gyro bias: 0.01 0.02 0.03\n"
            "R_b_i: \n1 0 0\n0 1 0\n0 0 1\n"
            "t_b_i: 0.4 0.5 0.6\n"
            "[MotorSDK] successful initialization \n");
  EXPECT_TRUE(bus.hasPort());
}

TEST_F(MotorSDKConfig, StoresTablesCountsAndFrameSizes) {
  file.imuNum = "2";
  file.batteryNum = "3";
  initFrom(file);
  EXPECT_EQ(bus.motor_num_, 2);
  EXPECT_EQ(bus.imu_num_, 2);
  EXPECT_EQ(bus.battery_num_, 3);
  EXPECT_EQ(bus.offsets(), (std::vector<double>{0.5, -0.25}));
  EXPECT_EQ(bus.gearRatios(), (std::vector<double>{6.0, -9.0}));  // a reversed motor is fine
  EXPECT_EQ(bus.motorIds(), (std::vector<uint16_t>{1, 7}));
  EXPECT_EQ(bus.motorTypes(), (std::vector<uint8_t>{5, 4}));
  EXPECT_EQ(bus.jointMin(), (std::vector<double>{-1.0, -2.0}));
  EXPECT_EQ(bus.jointMax(), (std::vector<double>{1.0, 2.0}));
  EXPECT_TRUE(bus.dualEncoder());
  EXPECT_EQ(bus.sendLength(), 46u);
  EXPECT_EQ(bus.replyLength(), 42u + 84u + 63u);
  EXPECT_EQ(bus.commandFrame().size(), 2u);
}

TEST_F(MotorSDKConfig, MotorCountIsKeptModulo256) {
  file.motorNum = "300";
  file.uniformTables(44);
  const std::string text = initFrom(file);
  EXPECT_EQ(text.rfind("motor num 44 300\n", 0), 0u) << text;
  EXPECT_EQ(bus.motor_num_, 44);
  EXPECT_EQ(bus.sendLength(), 44u * 23u);

  // Lists of 300 do not match the 44 that the count became.
  RobotFile tooLong;
  tooLong.motorNum = "300";
  tooLong.uniformTables(300);
  MotorSDK other;
  StdoutCapture out;
  EXPECT_THROW(other.init(tooLong.write(), UDP), ConfigError);
}

TEST_F(MotorSDKConfig, SizeChecksQuoteTheFailedConditionAndStopBeforeAnyTable) {
  for (const char* key : {"abs_id", "offset", "motor_id", "motor_type", "jpos_max", "jpos_min"}) {
    RobotFile shortList;
    shortList.joint[key] = key == std::string("motor_id") || key == std::string("motor_type") ? "[5]" : "[0.0]";
    MotorSDK fresh;
    StdoutCapture out;
    try {
      fresh.init(shortList.write(), UDP);
      ADD_FAILURE() << key << " accepted";
    } catch (const std::runtime_error& error) {  // ConfigError, which Python sees as RuntimeError
      const std::string expected = std::string("motor_num_ == config[\"joint_config\"][\"") + key + "\"].size()";
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
    EXPECT_EQ(out.finish(), "motor num 2 2\n") << key;
    EXPECT_FALSE(fresh.hasPort());
    EXPECT_TRUE(fresh.offsets().empty()) << key;
  }
}

TEST_F(MotorSDKConfig, SizeChecksGiveBothSizesAfterTheCondition) {
  file.joint["offset"] = "[0.5]";
  EXPECT_NE(configErrorFrom(file).find("[\"offset\"].size(): offset has 1 entry, motor_num is 2"), std::string::npos);

  RobotFile wrapped;  // 258 motors in the file are 2 on the bus: the message says why 2
  wrapped.motorNum = "258";
  wrapped.joint["abs_id"] = "[0, 1, 2]";
  MotorSDK other;
  StdoutCapture out;
  try {
    other.init(wrapped.write(), UDP);
    ADD_FAILURE() << "init accepted the file";
  } catch (const ConfigError& error) {
    EXPECT_NE(std::string(error.what()).find("abs_id has 3 entries, motor_num is 2 (258 in the file"),
              std::string::npos)
        << error.what();
  }
}

TEST_F(MotorSDKConfig, AMissingFileIsSaidToBeMissingWithTheWorkingDirectory) {
  const auto messageFor = [](const std::string& path) {
    MotorSDK fresh;
    StdoutCapture out;
    try {
      fresh.init(path, UDP);
    } catch (const YAML::BadFile& error) {
      return std::string(error.what());
    }
    return std::string("no bad-file error");
  };
  const std::string absolute = messageFor("/tmp/drivelink-no-such-robot.yaml");
  EXPECT_EQ(absolute, "bad file: /tmp/drivelink-no-such-robot.yaml: the file does not exist");
  char directory[4096];
  ASSERT_NE(getcwd(directory, sizeof(directory)), nullptr);
  EXPECT_EQ(messageFor("no-such-robot.yaml"),
            std::string("bad file: no-such-robot.yaml: the file does not exist (a relative path, looked up from the "
                        "working directory ") +
                directory + ")");
}

TEST_F(MotorSDKConfig, AFileFailingAtALaterKeyHasPrintedTheLinesOfTheKeysBefore) {
  file.extrinsics = "imu_extrinsics:\n  rotation: [0.0, 0.0, 1.0]\n  translation: [0, 0, 0]\n";
  EXPECT_EQ(initFails<YAML::Exception>(file),
            "motor num 2 2\n"
            "[MotorSDK] robot type is veltra1, robot init params, total motor num is 2\n"
            "[MotorSDK] imu param exists \n");

  RobotFile listType;
  listType.robotType = "[veltra1]";  // the line was begun before the type failed to read
  MotorSDK other;
  StdoutCapture out;
  EXPECT_THROW(other.init(listType.write(), UDP), YAML::BadConversion);
  EXPECT_EQ(out.finish(), "motor num 2 2\n[MotorSDK] robot type is ");
}

TEST_F(MotorSDKConfig, SizeChecksRunInTheirOrder) {
  file.joint["jpos_min"] = "[]";
  file.joint["offset"] = "[]";
  EXPECT_NE(configErrorFrom(file).find("[\"offset\"]"), std::string::npos);
}

TEST_F(MotorSDKConfig, OutOfRangeIdsAndTypesAreConversionErrors) {
  file.joint["motor_id"] = "[1, -1]";
  initFails<YAML::BadConversion>(file);

  RobotFile typeFile;
  typeFile.joint["motor_type"] = "[5, 256]";
  MotorSDK other;
  StdoutCapture out;
  EXPECT_THROW(other.init(typeFile.write(), UDP), YAML::BadConversion);
  EXPECT_FALSE(other.hasPort());
}

TEST_F(MotorSDKConfig, MissingKeysAndShortGearListsRaiseYamlErrors) {
  file.joint["gr"] = "[6.0]";  // gr is not size-checked; the missing element fails on reading
  initFails<YAML::Exception>(file);

  TempFile noImuNum("motor_num: 0\njoint_config: {abs_id: [], offset: [], motor_id: [], "
                    "motor_type: [], jpos_max: [], jpos_min: []}\n");
  MotorSDK other;
  StdoutCapture out;
  EXPECT_THROW(other.init(noImuNum.path(), UDP), YAML::Exception);
  EXPECT_FALSE(other.hasPort());
}

TEST_F(MotorSDKConfig, UnusualMotorTypeIsAcceptedHere) {
  file.joint["motor_type"] = "[7, 4]";
  initFrom(file);
  EXPECT_EQ(bus.motorTypes()[0], 7);
}

TEST_F(MotorSDKConfig, UnusableGearRatiosAndOffsetsAreRejectedNamingMotorAndKey) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"gr", "[6.0, 0.0]"}, {"gr", "[6.0, .nan]"}, {"gr", "[6.0, -.inf]"}, {"gr", "[6.0, 1e-30]"},
      {"gr", "[6.0, -1e300]"}, {"offset", "[0.0, .nan]"},
      {"offset", "[0.0, .inf]"}};
  for (const auto& [key, list] : bad) {
    RobotFile badFile;
    badFile.joint[key] = list;
    MotorSDK fresh;
    StdoutCapture out;
    try {
      fresh.init(badFile.write(), UDP);
      ADD_FAILURE() << key << " " << list << " accepted";
    } catch (const ConfigError& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find("motor 1"), std::string::npos) << what;
      EXPECT_NE(what.find(key + "[1]"), std::string::npos) << what;
    }
    EXPECT_FALSE(fresh.hasPort());
  }
}

TEST_F(MotorSDKConfig, AFailedInitLeavesAnUnconfiguredBusThatRefusesEveryExchange) {
  file.joint["jpos_max"] = "[1.0, high]";  // fails after motor 0's values were read
  initFails<YAML::BadConversion>(file);
  EXPECT_EQ(bus.motor_num_, 0);
  EXPECT_TRUE(bus.offsets().empty());
  EXPECT_TRUE(bus.commandFrame().empty());
  EXPECT_EQ(acc_bias, Vec3<double>::Zero());  // the calibration was not taken either

  // Each of these wrote past the empty command frame before.
  const std::vector<MotorCmd> cmd(2);
  std::vector<MotorState> motors(2);
  std::vector<ImuState> imus(1);
  std::vector<BatState> bats(1);
  StdoutCapture quiet;
  EXPECT_THROW(bus.sendRecv(cmd, motors, imus, bats), std::logic_error);
  EXPECT_THROW(bus.setSendMT(cmd), std::logic_error);
  EXPECT_THROW(bus.setMotorZero(cmd, motors, imus, bats), std::logic_error);
  EXPECT_THROW(bus.recv(motors, imus, bats), std::logic_error);
  EXPECT_THROW(bus.recvRaw(motors, imus, bats), std::logic_error);
  EXPECT_THROW(bus.sendRecvMT(), std::logic_error);
  EXPECT_THROW(bus.recvMT(), std::logic_error);
  EXPECT_THROW(bus.getRecvMT(motors, imus, bats), std::logic_error);
  EXPECT_THROW(bus.stop(), std::logic_error);
  EXPECT_THROW(bus.close(), std::logic_error);
  EXPECT_EQ(quiet.finish(), "");
}

TEST_F(MotorSDKConfig, ImuParametersNeedBothSections) {
  initFrom(file);
  EXPECT_EQ(acc_bias, Vec3<double>(0.1, 0.2, 0.3));
  EXPECT_EQ(gyro_bias, Vec3<double>(0.01, 0.02, 0.03));
  EXPECT_EQ(t_b_i, Vec3<double>(0.4, 0.5, 0.6));

  // Biases in the file but no mounting: the calibration goes back to neutral.
  RobotFile intrinsicsOnly;
  intrinsicsOnly.extrinsics.clear();
  MotorSDK second;
  StdoutCapture out;
  second.init(intrinsicsOnly.write(), kNoLink);
  const std::string text = out.finish();
  EXPECT_NE(text.find("[MotorSDK] imu param does not exist \n"), std::string::npos);
  EXPECT_EQ(text.find("acc bias"), std::string::npos);
  EXPECT_EQ(acc_bias, Vec3<double>::Zero());
  EXPECT_EQ(gyro_bias, Vec3<double>::Zero());
  EXPECT_EQ(t_b_i, Vec3<double>::Zero());
  EXPECT_EQ(R_b_i, Mat3<double>::Identity());
}

TEST_F(MotorSDKConfig, NonFiniteCalibrationValuesAreRefusedNamingTheKey) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"imu_intrinsics accelerometer bias[1] = nan",
       "imu_intrinsics:\n  accelerometer:\n    bias: [0.1, .nan, 0.3]\n  gyroscope:\n    bias: [0, 0, 0]\n"},
      {"imu_intrinsics gyroscope bias[2] = -inf",
       "imu_intrinsics:\n  accelerometer:\n    bias: [0, 0, 0]\n  gyroscope:\n    bias: [0, 0, -.inf]\n"},
      {"imu_extrinsics rotation[3] = nan", "imu_extrinsics:\n  rotation: [0, 0, 0, .nan]\n  translation: [0, 0, 0]\n"},
      {"imu_extrinsics translation[0] = inf", "imu_extrinsics:\n  rotation: [0, 0, 0, 1]\n  translation: [.inf, 0, 0]\n"},
  };
  for (const auto& [expected, section] : bad) {
    RobotFile badFile;
    (section.rfind("imu_intrinsics", 0) == 0 ? badFile.intrinsics : badFile.extrinsics) = section;
    MotorSDK fresh;
    StdoutCapture out;
    try {
      fresh.init(badFile.write(), UDP);
      ADD_FAILURE() << expected << " accepted";
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find(expected + " is not a finite number"), std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(fresh.hasPort());
    EXPECT_EQ(acc_bias, Vec3<double>::Zero()) << expected;  // nothing of the file was taken
  }
}

TEST_F(MotorSDKConfig, MountingRotationIsReadAsXyzw) {
  file.extrinsics = "imu_extrinsics:\n  rotation: [1.0, 0.0, 0.0, 0.0]\n  translation: [0, 0, 0]\n";
  initFrom(file);
  EXPECT_EQ(R_b_i, Vec3<double>(1, -1, -1).asDiagonal().toDenseMatrix());

  file.extrinsics = "imu_extrinsics:\n  rotation: [0.0, 0.0, 0.7071067811865476, 0.7071067811865476]\n"
                    "  translation: [0, 0, 0]\n";
  MotorSDK second;
  StdoutCapture out;
  second.init(file.write(), kNoLink);
  Mat3<double> quarterZ;
  quarterZ << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  EXPECT_TRUE(R_b_i.isApprox(quarterZ, 1e-12));
}

TEST_F(MotorSDKConfig, NullRobotTypeReadsAsNull) {
  file.robotType = "~";
  EXPECT_NE(initFrom(file).find("[MotorSDK] robot type is null, "), std::string::npos);
}

TEST_F(MotorSDKConfig, NoMotorsMeansAnEmptyCommandFrame) {
  file.motorNum = "0";
  file.uniformTables(0);
  file.joint["gr"] = "[]";
  initFrom(file);
  EXPECT_EQ(bus.sendLength(), 0u);
  EXPECT_TRUE(bus.commandFrame().empty());
  EXPECT_EQ(bus.replyLength(), 42u + 21u);
}

TEST_F(MotorSDKConfig, UnknownLinkOpensNothing) {
  const std::string text = initFrom(file, kNoLink);
  EXPECT_NE(text.find("[MotorSDK] CommType error \n"), std::string::npos);
  EXPECT_EQ(text.find("successful"), std::string::npos);
  EXPECT_FALSE(bus.hasPort());
}

TEST_F(MotorSDKConfig, UsbAnnouncesItselfAndReportsAMissingDevice) {
  struct stat info;
  if (::stat("/dev/ttyACM0", &info) == 0) GTEST_SKIP() << "a real serial device is present";
  StdoutCapture out;
  EXPECT_THROW(bus.init(file.write(), USB), IOException);
  const std::string text = out.finish();
  EXPECT_NE(text.find("CommType::USB\n"), std::string::npos);
  EXPECT_EQ(text.find("successful"), std::string::npos);
  EXPECT_FALSE(bus.hasPort());
}

TEST_F(MotorSDKConfig, VersionOfTheBus) { EXPECT_EQ(bus.get_version(), "1.0.1"); }

// ---- The counts constructor. ----------------------------------------------------------------

struct Counts {
  uint8_t motors = 3, imus = 1, batteries = 2;
  std::vector<double> offset{0.0, 0.5, -0.5};
  std::vector<double> gr{6.0, -6.0, 9.0};
  std::vector<uint16_t> ids{1, 258, 3};
};

TEST(MotorSDKCounts, CopiesTablesUsesTypeFiveAndOpensUdp) {
  Counts c;
  StdoutCapture out;
  MotorSDK bus(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, UDP);
  EXPECT_EQ(out.finish(), "motor leg constructing \n[MotorSDK] successful initialization \n");
  EXPECT_TRUE(bus.hasPort());
  EXPECT_EQ(bus.motorTypes(), (std::vector<uint8_t>(3, 5)));
  EXPECT_EQ(bus.motorIds(), c.ids);
  EXPECT_TRUE(bus.jointMin().empty());
  EXPECT_EQ(bus.sendLength(), 69u);
  EXPECT_EQ(bus.replyLength(), 63u + 42u + 42u);
}

TEST(MotorSDKCounts, LeavesTheImuCalibrationAlone) {
  acc_bias = Vec3<double>(1, 2, 3);
  Counts c;
  StdoutCapture out;
  MotorSDK bus(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, kNoLink);
  EXPECT_EQ(acc_bias, Vec3<double>(1, 2, 3));
  acc_bias.setZero();
}

TEST(MotorSDKCounts, UnknownLinkStopsBeforeTheSuccessLine) {
  Counts c;
  StdoutCapture out;
  MotorSDK bus(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, kNoLink);
  EXPECT_EQ(out.finish(), "motor leg constructing \n[MotorSDK] CommType error \n");
  EXPECT_FALSE(bus.hasPort());
}

TEST(MotorSDKCounts, RejectsUnusableGearRatiosAndOffsets) {
  for (double bad : {0.0, std::nan(""), double(INFINITY)}) {
    Counts c;
    c.gr[2] = bad;
    StdoutCapture out;
    try {
      MotorSDK bus(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, UDP);
      ADD_FAILURE() << "gr " << bad << " accepted";
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find("gr[2]"), std::string::npos) << error.what();
    }
    EXPECT_EQ(out.finish(), "");
  }
  Counts c;
  c.offset[0] = -INFINITY;
  StdoutCapture out;
  EXPECT_THROW(MotorSDK(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, UDP), ConfigError);
}

TEST(MotorSDKCounts, RejectsTablesShorterThanTheMotorCount) {
  // Longer tables are fine (only the first motor_num entries are used); shorter ones would be
  // read past their end by every encoding.
  for (int table = 0; table < 3; ++table) {
    Counts c;
    if (table == 0) c.offset.pop_back();
    if (table == 1) c.gr.pop_back();
    if (table == 2) c.ids.pop_back();
    StdoutCapture out;
    try {
      MotorSDK bus(c.motors, c.imus, c.batteries, c.offset, c.gr, c.ids, kNoLink);
      ADD_FAILURE() << "table " << table << " accepted";
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find("has 2 entries for 3 motors"), std::string::npos) << error.what();
    }
  }
  Counts longer;
  longer.gr.push_back(1.0);
  StdoutCapture out;
  MotorSDK bus(longer.motors, longer.imus, longer.batteries, longer.offset, longer.gr, longer.ids, kNoLink);
  EXPECT_EQ(bus.gearRatios().size(), 4u);
}

}  // namespace
