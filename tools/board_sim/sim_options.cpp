#include "sim_options.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "realtime.h"

namespace {

const char kHelp[] =
    "usage: board_sim --config FILE [options]\n"
    "\n"
    "Stands in for the motor board: answers every command frame with one state record per\n"
    "motor, IMU and battery of the robot configuration FILE (the same YAML the SDK reads).\n"
    "Each motor is a joint that follows its command (torque = kp*(pos-q) + kd*(vel-dq) + tau)\n"
    "with a small inertia, viscous friction and hard stops at jpos_min/jpos_max.\n"
    "\n"
    "Link:\n"
    "  --config FILE            robot configuration (required)\n"
    "  --bind ADDR:PORT         UDP address to listen on (default: FILE's link section, else\n"
    "                           192.168.1.5:8880); replies go to the sender of each command\n"
    "                           frame. On loopback an address in use is refused, and port 0\n"
    "                           picks a free one, shown in the first line\n"
    "  --serial                 serve a pseudo-terminal instead of UDP; its slave path is the\n"
    "                           first line of output\n"
    "  --record FILE            append every frame received as one line of hex bytes\n"
    "  --quiet                  no summary line per second\n"
    "  --verbose                a summary line per second (the default; undoes --quiet)\n"
    "  --seed N                 seed of the fault dice and of the physics' sensor noise and\n"
    "                           IMU bias (default 1, so runs repeat)\n"
    "  --any-frame-length       answer command frames of any length with the reply of FILE's\n"
    "                           own counts (a board with other devices than the controller's\n"
    "                           file says); missing motor records command nothing (UDP only)\n"
    "  --realtime-priority N    answer at SCHED_FIFO priority N (1-99; the physics thread runs\n"
    "                           one below), so a busy machine does not hold replies back; needs\n"
    "                           root, CAP_SYS_NICE or an rtprio limit (0: ordinary scheduling)\n"
    "  --help                   this text\n"
    "\n"
    "Faults (frames are counted from 0; a frame of the wrong length is never answered\n"
    "unless --any-frame-length is given):\n"
    "  --drop FRACTION          withhold this fraction of replies at random\n"
    "  --silent-after N         stop answering after N replies\n"
    "  --silent-between A:B     withhold the replies to command frames A..B-1\n"
    "  --silent-window S:L      withhold replies from S ms to S+L ms after the first frame\n"
    "  --delay-us N             send each reply N microseconds late\n"
    "  --short FRACTION         truncate this fraction of replies (to half the reply length\n"
    "                           unless --short-bytes is given)\n"
    "  --short-bytes N          truncate replies to N bytes (every reply unless --short is given)\n"
    "  --long FRACTION          lengthen this fraction of replies (by 8 bytes unless\n"
    "                           --long-bytes is given)\n"
    "  --long-bytes N           append N bytes of 0xEE to replies (every reply unless --long\n"
    "                           is given)\n"
    "  --duplicate FRACTION     send this fraction of replies twice\n"
    "  --stale FRACTION         answer this fraction of frames with the previous frame's reply\n"
    "                           (the first frame is always answered with its own)\n"
    "  --other-port             answer from a second socket on another (ephemeral) port\n"
  "  --other-address ADDR     answer from a second socket on another local address (a host\n"
  "                           that is not the board; the SDK must ignore its replies)\n"
    "  --motor-error IDX:STATUS report STATUS in motor record IDX (repeatable)\n"
    "  --imu-error IDX:STATUS   report STATUS in IMU record IDX (repeatable)\n"
    "  --battery-error IDX:STATUS  report STATUS in battery record IDX (repeatable)\n"
    "  --board-timeout-ms N     when no command frame has come for N ms, every motor damps\n"
    "                           (kp 0, kd 0.8 N m s/rad joint side, no torque) until frames come\n"
    "                           again, as motor firmware does; the summary counts the expiries\n"
    "  --imu-tilt ROLL:PITCH    fixed body tilt in radians, seen in the IMU's quaternion and\n"
    "                           gravity vector (joint model only)\n"
    "\n"
    "Replay of a flight recording (Ambulink.start_recording, RobotSDK::startRecording):\n"
    "  --replay FILE            answer each command frame with the reply the robot received at\n"
    "                           that exchange of FILE (made with the robot of --config): silent\n"
    "                           where it saw none or the record was dropped, short where it saw a\n"
    "                           short reply. The replay begins with the first frame that equals\n"
    "                           the recording's first command frame or commands something: the\n"
    "                           SDK's passive reads before it (its priming, its link before the\n"
    "                           first command) get the first record's reply (the first\n"
    "                           complete one if it saw none) and are not compared. After the\n"
    "                           last record the board goes\n"
    "                           silent and prints the report: frames answered and how many\n"
    "                           command frames differed from the recorded ones, the first named\n"
    "                           by exchange, motor and field (also printed on SIGINT/SIGTERM).\n"
    "                           The fault options do not apply to a replay.\n"
    "  --replay-lead N          passive reads that may come before the replay begins (default\n"
    "                           5000, about 10 s of the SDK's link); then it begins anyway\n"
    "\n"
    "Whole-body physics (MuJoCo): the motors drive the joints motor0.. of a robot model, each\n"
    "running its own PD law on the latest command at the physics rate, in real time on its own\n"
    "thread; the IMU records come from the model's torso sensors. The motors and the IMU are\n"
    "those of an actuator file (models/actuators.yaml): per motor type (the configuration's\n"
    "motor_type, through its gr) a delay from a frame's arrival to its torque, a torque-speed\n"
    "envelope, friction, the rotor's inertia, a quantised encoder, velocity and torque noise and\n"
    "a winding that heats (the records' temp); an IMU with noise, a drifting bias and a delay.\n"
    "The summary line adds the physics' real-time factor and lag.\n"
    "The robot holds still in its settled start pose until the first command frame with a\n"
    "position gain or a torque on any motor (kp or tau not zero): the SDK's passive reads do\n"
    "not release it. Until then the summary line says \"held until the first command\" and the\n"
    "truth file repeats the start pose, its time counting on from the start.\n"
    "  --model FILE.xml         the robot's MJCF model (without it: the joint model above)\n"
    "  --start KEYFRAME         start pose (default crouch, else lying, else the first keyframe)\n"
    "  --fixed-base             hold the torso still at the start pose, raised off the floor\n"
    "  --truth FILE.csv         write the true base pose and joint angles at 100 Hz\n"
    "  --imu-noise SIGMA        accelerometer noise and bias sigma in m/s^2 (the gyro gets a\n"
    "                           tenth of it in rad/s), instead of the actuator file's\n"
    "  --actuators FILE         the motors and IMU of FILE (default: actuators.yaml beside the\n"
    "                           model, the shipped models/actuators.yaml; a model without one\n"
    "                           runs ideal motors)\n"
    "  --ideal-actuators        ideal motors: joint-side torque limits by motor type 3: 30 N m,\n"
    "                           4: 60 N m, 5: 120 N m at any speed, the rotor's inertia times\n"
    "                           gr^2, no delay, exact sensing, no heating; an exact IMU\n"
    "  --randomize SEED         draw the body from SEED: link masses +-10 %, floor friction\n"
    "                           +-30 %, motor strength +-10 %, a command delay of 0-2 ms; the\n"
    "                           drawn values are printed and head the truth file as '#' lines\n"
    "  --physics-rate HZ        physics steps per second (default: the model's timestep)\n"
    "  --release-at-start       step from the start: the motors are limp until the first\n"
    "                           command, so a robot that cannot stand unpowered falls\n"
    "  --physics-cpu N          run the physics thread on CPU N only (keep it off the CPU that\n"
    "                           answers the link)\n"
    "  --push T:FX,FY,FZ[:DURATION]  push the torso at its centre of mass with the force FX,FY,FZ\n"
    "                           in N, world axes, from T s of simulated time for DURATION s\n"
    "                           (default 0.1); due while the robot is held, it starts at the\n"
    "                           release (repeatable; the truth file's push_fx, push_fy, push_fz)\n"
    "  --random-pushes SEED:INTERVAL:MAX_FORCE  every INTERVAL s after the release a push of\n"
    "                           0.1 s in a horizontal direction drawn uniformly, its magnitude\n"
    "                           drawn uniformly up to MAX_FORCE N, from the dice of SEED\n"
    "  --physics-bench SECONDS  no link: step SECONDS of simulated time as fast as possible with\n"
    "                           every motor holding the start pose, print the real-time factor\n"
    "  --lockstep               no physics thread: each command frame advances the physics by\n"
    "                           one link period (2.1 ms, as k = round(2.1 ms / timestep) steps,\n"
    "                           the timestep made 2.1 ms / k) before its reply, so simulated\n"
    "                           time is frames x 2.1 ms whatever the machine's load\n"
    "\n"
    "Signals: SIGUSR1 makes the board go silent, SIGUSR2 makes it answer again; SIGINT and\n"
    "SIGTERM end it with a final summary and exit status 0.\n";

// Number parsers that reject trailing junk, so a typo never turns into a silent zero.
uint64_t toCount(const std::string& text) {
  if (text.empty() || text[0] == '-') throw std::invalid_argument("not a count: " + text);
  size_t used = 0;
  const uint64_t value = std::stoull(text, &used);
  if (used != text.size()) throw std::invalid_argument("not a count: " + text);
  return value;
}

double toNumber(const std::string& text) {
  size_t used = 0;
  const double value = std::stod(text, &used);
  if (used != text.size()) throw std::invalid_argument("not a number: " + text);
  return value;
}

double toFraction(const std::string& text) {
  const double value = toNumber(text);
  if (value < 0.0 || value > 1.0) throw std::invalid_argument("fraction outside 0..1: " + text);
  return value;
}

int toPriority(const std::string& text) {
  const auto value = static_cast<int>(std::min<uint64_t>(toCount(text), INT_MAX));
  requireFifoPriority(value, "--realtime-priority");
  return value;
}

std::pair<std::string, std::string> splitPair(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("expected A:B, got " + text);
  return {text.substr(0, colon), text.substr(colon + 1)};
}

std::pair<uint64_t, uint64_t> toCountPair(const std::string& text) {
  const auto [first, second] = splitPair(text);
  return {toCount(first), toCount(second)};
}

void addErrorStatus(std::map<size_t, uint8_t>& errors, const std::string& text) {
  const auto [index, status] = toCountPair(text);
  if (status > 255) throw std::invalid_argument("status above 255: " + text);
  errors[index] = static_cast<uint8_t>(status);
}

void setBind(SimOptions& options, const std::string& text) {
  const auto [address, port] = splitPair(text);
  const uint64_t number = toCount(port);
  if (address.empty() || number > 65535) throw std::invalid_argument("bad ADDR:PORT: " + text);
  options.bindAddress = address;
  options.bindPort = static_cast<uint16_t>(number);
  options.bindGiven = true;
}

std::vector<std::string> splitAll(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + 1)
    parts.push_back(text.substr(begin, end - begin));
  parts.push_back(text.substr(begin));
  return parts;
}

// Number conversions that name the option and its form on a bad value.
template <typename Parse>
auto parsedFor(const std::string& option, const char* form, const std::string& text, Parse parse) {
  try {
    return parse();
  } catch (const std::exception&) {
    throw std::invalid_argument(option + " wants " + form + ", got " + text);
  }
}

Push toPush(const std::string& text) {
  return parsedFor("--push", "T:FX,FY,FZ[:DURATION]", text, [&text] {
    const std::vector<std::string> parts = splitAll(text, ':');
    const std::vector<std::string> force = splitAll(parts.size() > 1 ? parts[1] : "", ',');
    if (parts.size() < 2 || parts.size() > 3 || force.size() != 3) throw std::invalid_argument(text);
    Push push;
    push.time = toNumber(parts[0]);
    for (int axis = 0; axis < 3; ++axis) push.force[axis] = toNumber(force[axis]);
    if (parts.size() == 3) push.duration = toNumber(parts[2]);
    const bool finite = std::isfinite(push.force[0]) && std::isfinite(push.force[1]) && std::isfinite(push.force[2]);
    if (!(push.time >= 0.0) || !(push.duration > 0.0) || !finite || !std::isfinite(push.time + push.duration))
      throw std::invalid_argument(text);
    return push;
  });
}

RandomPushes toRandomPushes(const std::string& text) {
  return parsedFor("--random-pushes", "SEED:INTERVAL:MAX_FORCE", text, [&text] {
    const std::vector<std::string> parts = splitAll(text, ':');
    if (parts.size() != 3) throw std::invalid_argument(text);
    RandomPushes random;
    random.seed = static_cast<uint32_t>(toCount(parts[0]));
    random.interval = toNumber(parts[1]);
    random.maxForce = toNumber(parts[2]);
    if (!(random.interval > 0.0) || !std::isfinite(random.interval) || !(random.maxForce >= 0.0) ||
        !std::isfinite(random.maxForce))
      throw std::invalid_argument(text);
    return random;
  });
}

void applyValueOption(SimOptions& options, const std::string& name, const std::string& value) {
  if (name == "--config") options.config = value;
  else if (name == "--bind") setBind(options, value);
  else if (name == "--record") options.recordPath = value;
  else if (name == "--seed") options.seed = static_cast<uint32_t>(toCount(value));
  else if (name == "--drop") options.dropFraction = toFraction(value);
  else if (name == "--silent-after") options.silentAfter = toCount(value);
  else if (name == "--silent-between") options.silentBetween = toCountPair(value);
  else if (name == "--silent-window") options.silentWindowMs = toCountPair(value);
  else if (name == "--delay-us") options.delayUs = toCount(value);
  else if (name == "--short") options.shortFraction = toFraction(value);
  else if (name == "--short-bytes") options.shortBytes = toCount(value);
  else if (name == "--long") options.longFraction = toFraction(value);
  else if (name == "--long-bytes") options.longBytes = toCount(value);
  else if (name == "--duplicate") options.duplicateFraction = toFraction(value);
  else if (name == "--stale") options.staleFraction = toFraction(value);
  else if (name == "--other-address") options.otherAddress = value;
  else if (name == "--motor-error") addErrorStatus(options.motorErrors, value);
  else if (name == "--imu-error") addErrorStatus(options.imuErrors, value);
  else if (name == "--battery-error") addErrorStatus(options.batteryErrors, value);
  else if (name == "--model") options.modelPath = value;
  else if (name == "--start") options.startPose = value;
  else if (name == "--truth") options.truthPath = value;
  else if (name == "--imu-noise") options.imuNoise = toNumber(value);
  else if (name == "--physics-rate") options.physicsRate = toNumber(value);
  else if (name == "--physics-bench") options.benchSeconds = toNumber(value);
  else if (name == "--replay") options.replayPath = value;
  else if (name == "--replay-lead") options.replayLead = toCount(value);
  else if (name == "--realtime-priority") options.realtimePriority = toPriority(value);
  else if (name == "--physics-cpu") options.physicsCpu = static_cast<int>(std::min<uint64_t>(toCount(value), INT_MAX));
  else if (name == "--push") options.pushes.push_back(toPush(value));
  else if (name == "--random-pushes") options.randomPushes = toRandomPushes(value);
  else if (name == "--actuators") options.actuatorsPath = value;
  else if (name == "--randomize") options.randomizeSeed = static_cast<uint32_t>(toCount(value));
  else if (name == "--board-timeout-ms")
    options.boardTimeoutMs = parsedFor(name, "a positive count of ms", value, [&value] {
      const uint64_t ms = toCount(value);
      if (ms == 0) throw std::invalid_argument(value);
      return ms;
    });
  else if (name == "--imu-tilt") {
    const auto [roll, pitch] = splitPair(value);
    options.tiltRoll = toNumber(roll);
    options.tiltPitch = toNumber(pitch);
  } else {
    throw std::invalid_argument("unknown option " + name);
  }
}

// Options given only as a count or only as a fraction still mean something useful.
void settleReplyLengthFaults(SimOptions& options) {
  if (options.shortBytes && options.shortFraction == 0.0) options.shortFraction = 1.0;
  if (options.longBytes && options.longFraction == 0.0) options.longFraction = 1.0;
  if (!options.longBytes) options.longBytes = 8;
}

// Physics options without a model would be silently ignored; so would a fixed tilt with one.
void checkPhysicsOptions(const SimOptions& options) {
  const bool physicsAsked = !options.startPose.empty() || options.fixedBase || !options.truthPath.empty() ||
                            options.imuNoise != 0.0 || options.physicsRate != 0.0 || options.benchSeconds != 0.0 ||
                            options.releaseAtStart || options.physicsCpu.has_value() || options.lockstep ||
                            !options.pushes.empty() || options.randomPushes.has_value() ||
                            !options.actuatorsPath.empty() || options.idealActuators ||
                            options.randomizeSeed.has_value();
  if (options.modelPath.empty() && physicsAsked) throw std::invalid_argument("physics options need --model");
  if (!options.modelPath.empty() && (options.tiltRoll != 0.0 || options.tiltPitch != 0.0))
    throw std::invalid_argument("--imu-tilt has no meaning with --model");
  if (options.idealActuators && !options.actuatorsPath.empty())
    throw std::invalid_argument("--actuators and --ideal-actuators exclude each other");
  if (options.lockstep && options.physicsCpu.has_value())
    throw std::invalid_argument("--physics-cpu has no meaning with --lockstep: the link thread steps the physics");
  if (!(options.imuNoise >= 0.0) || !(options.physicsRate >= 0.0) || !(options.benchSeconds >= 0.0))
    throw std::invalid_argument("--imu-noise, --physics-rate and --physics-bench must not be negative");
}

}  // namespace

const char* helpText() { return kHelp; }

void applyLinkSection(SimOptions& options, const LinkOptions& link) {
  if (options.bindGiven || options.serial) return;
  if (link.kind == USB) options.serial = true;
  if (link.boardAddress) options.bindAddress = *link.boardAddress;
  if (link.boardPort) options.bindPort = *link.boardPort;
}

std::string actuatorFileFor(const SimOptions& options) {
  if (options.idealActuators) return {};
  if (!options.actuatorsPath.empty()) return options.actuatorsPath;
  const size_t slash = options.modelPath.rfind('/');
  const std::string beside =
      (slash == std::string::npos ? std::string() : options.modelPath.substr(0, slash + 1)) + "actuators.yaml";
  return std::ifstream(beside).good() ? beside : std::string();
}

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  ParsedCommandLine parsed;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string name = argv[i];
      if (name == "--help" || name == "-h") {
        parsed.action = ParsedCommandLine::Action::Help;
        return parsed;
      }
      if (name == "--serial") parsed.options.serial = true;
      else if (name == "--quiet") parsed.options.quiet = true;
      else if (name == "--verbose") parsed.options.quiet = false;
      else if (name == "--other-port") parsed.options.otherPort = true;
      else if (name == "--any-frame-length") parsed.options.anyFrameLength = true;
      else if (name == "--fixed-base") parsed.options.fixedBase = true;
      else if (name == "--release-at-start") parsed.options.releaseAtStart = true;
      else if (name == "--lockstep") parsed.options.lockstep = true;
      else if (name == "--ideal-actuators") parsed.options.idealActuators = true;
      else {
        if (i + 1 >= argc) throw std::invalid_argument(name + " needs a value");
        applyValueOption(parsed.options, name, argv[++i]);
      }
    }
    if (parsed.options.config.empty()) throw std::invalid_argument("--config FILE is required");
    // A serial stream has no frame boundaries but the configured frame length.
    if (parsed.options.anyFrameLength && parsed.options.serial)
      throw std::invalid_argument("--any-frame-length needs UDP, not --serial");
    settleReplyLengthFaults(parsed.options);
    checkPhysicsOptions(parsed.options);
  } catch (const std::exception& error) {
    parsed.action = ParsedCommandLine::Action::Error;
    parsed.error = error.what();
  }
  return parsed;
}
