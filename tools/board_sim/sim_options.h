// Command line of the board simulator.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "link_options.h"
#include "push_plan.h"

struct SimOptions {
  std::string config;
  std::string bindAddress = "192.168.1.5";
  uint16_t bindPort = 8880;
  bool bindGiven = false;  // --bind wins over the configuration's link section
  bool serial = false;
  bool quiet = false;
  std::string recordPath;
  uint32_t seed = 1;

  double dropFraction = 0.0;
  std::optional<uint64_t> silentAfter;            // replies answered before going silent
  std::optional<std::pair<uint64_t, uint64_t>> silentBetween;  // command frames [A, B)
  std::optional<std::pair<uint64_t, uint64_t>> silentWindowMs;  // start, length after the first frame
  uint64_t delayUs = 0;
  double shortFraction = 0.0;
  std::optional<size_t> shortBytes;
  double longFraction = 0.0;
  std::optional<size_t> longBytes;
  double duplicateFraction = 0.0;
  double staleFraction = 0.0;
  bool anyFrameLength = false;  // answer frames of any length with this board's own reply
  bool otherPort = false;
  std::string otherAddress;  // answer from this local address instead (a foreign sender)
  std::map<size_t, uint8_t> motorErrors;    // record index -> status
  std::map<size_t, uint8_t> imuErrors;
  std::map<size_t, uint8_t> batteryErrors;
  double tiltRoll = 0.0;
  double tiltPitch = 0.0;

  // Whole-body physics (all need modelPath).
  std::string modelPath;              // MJCF model; empty: the plain joint model
  std::string startPose;              // keyframe name; empty: crouch, lying or the first
  bool fixedBase = false;
  std::string truthPath;              // CSV of the true pose and joint angles at 100 Hz
  double imuNoise = 0.0;              // accelerometer sigma, m/s^2 (gyro: a tenth, rad/s)
  double physicsRate = 0.0;           // steps per second; 0: the model's own timestep
  double benchSeconds = 0.0;          // >0: step this much simulated time flat out, print, exit
  bool releaseAtStart = false;        // step from the start, not from the first command
  std::optional<int> physicsCpu;      // run the physics thread on this CPU only
  int realtimePriority = 0;           // SCHED_FIFO of the link thread (physics: one below); 0: off

  // Replay of a flight recording instead of the joint model's replies.
  std::string replayPath;             // empty: no replay
  uint64_t replayLead = 5000;         // frames that may come before the recording's first one

  bool lockstep = false;              // each command frame steps the physics one link period
  // Disturbances of the physics and the board's own command expiry.
  std::vector<Push> pushes;                   // --push, in the order given
  std::optional<RandomPushes> randomPushes;   // --random-pushes
  std::optional<uint64_t> boardTimeoutMs;     // damp every motor after this long without a frame

  // Real motors and IMU, and a randomised body.
  std::string actuatorsPath;               // --actuators; empty: the one beside the model
  bool idealActuators = false;             // --ideal-actuators: no actuator file at all
  std::optional<uint32_t> randomizeSeed;   // --randomize
};

/// What the command line asks for: run, print the help, or stop with a usage error.
struct ParsedCommandLine {
  enum class Action { Run, Help, Error } action = Action::Run;
  SimOptions options;
  std::string error;
};

ParsedCommandLine parseCommandLine(int argc, char** argv);
/// Listens where the configuration's `link:` section puts the board (its board_address and
/// board_port; kind usb serves a pseudo-terminal), except for what --bind or --serial chose.
void applyLinkSection(SimOptions& options, const LinkOptions& link);
/// The actuator file the physics runs with: --actuators FILE, else actuators.yaml in the
/// model's directory (models/ of a checkout, PREFIX/share/drivelink/models installed) when it
/// is there; empty for --ideal-actuators or a model without one beside it.
std::string actuatorFileFor(const SimOptions& options);
const char* helpText();
