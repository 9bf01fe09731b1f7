#include "physics_plant.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "body_draw.h"
#include "realtime.h"
#include "truth_file.h"

namespace {

using Seconds = std::chrono::duration<double>;

constexpr double kTruthPeriod = 0.01;         // s: truth rows at 100 Hz
constexpr uint64_t kTruthFlushRows = 100;     // flush the truth file every second
constexpr double kMaxLag = 0.1;               // s of wall time the physics may fall behind
constexpr int kSettleSteps = 200;             // steps that let closed chains and contacts settle
constexpr int kLoadSteps = 50;                // steps that put the robot's weight on the floor
constexpr double kFixedBaseClearance = 0.5;   // m between the lowest geom and the floor
constexpr double kBaseHoldFrequency = 20.0;   // Hz of the spring that holds a fixed base
constexpr double kBaseGyrationRadius = 0.15;  // m: the body's rotational inertia ~ m r^2
constexpr double kGyroNoiseShare = 0.1;       // gyro sigma (rad/s) per accelerometer sigma (m/s^2)
constexpr double kTimeSlack = 1e-9;           // s: a command due "now" despite rounding of the clock
constexpr int kBipedVirtualJoints = 10;
constexpr double kLinkPeriod = 0.0021;        // s: the SDK's exchange period, one frame in lockstep
// MuJoCo's default joint limit is a soft spring scaled by the joint's inertia: a motor of a few
// tens of N m pushes a light joint far past it. A motor's stop is hard, so limits left at the
// default get the stiffest reference time MuJoCo advises (two steps) and a firm impedance.
constexpr double kDefaultLimitTimeConstant = 0.02;  // s, MuJoCo's default
constexpr double kStopImpedance[mjNIMP] = {0.95, 0.99, 0.001, 0.5, 2.0};

std::string indexedName(const char* stem, size_t index) { return stem + std::to_string(index); }

// A controller takes hold with a position gain or a torque; the SDK's passive reads carry
// neither (a small damping gain at most). NaN counts as taking hold: it is not zero.
bool takesHold(const std::vector<MotorCmd>& commands) {
  return std::any_of(commands.begin(), commands.end(),
                     [](const MotorCmd& c) { return c.kp != 0.0f || c.tau != 0.0f; });
}

// The file's IMU, or none; --imu-noise keeps its meaning over either: white noise and a
// turn-on bias of that sigma (the gyro a tenth).
ImuModel imuModel(const ActuatorFile* file, double imuNoise) {
  ImuModel imu = file ? file->imu : ImuModel{};
  if (imuNoise > 0.0) {
    imu.accNoise = imu.accBias = imuNoise;
    imu.gyroNoise = imu.gyroBias = kGyroNoiseShare * imuNoise;
  }
  return imu;
}

}  // namespace

PhysicsPlant::PhysicsPlant(const BoardConfig& config, const PhysicsOptions& options)
    : fixedBase_(options.fixedBase),
      strength_(config.motors, 1.0),
      dice_(options.seed),
      pushes_(options.pushes, options.randomPushes),
      commands_(config.motors, MotorCmd{}),
      applied_(config.motors, 0.0),
      pendingCommands_(config.motors, MotorCmd{}),
      released_(options.releaseAtStart),
      physicsCpu_(options.physicsCpu),
      realtimePriority_(options.realtimePriority) {
  mujoco_support::installMessageHooks("board_sim");
  _loadModel(options.modelPath, options.rate);
  if (options.lockstep) _fitTimestepToLinkPeriod();
  if (options.actuatorsPath.empty()) {
    actuators_ = idealActuators(config);
    imu_ = imuModel(nullptr, options.imuNoise);
  } else {
    actuatorsPath_ = options.actuatorsPath;
    const ActuatorFile file = loadActuatorFile(options.actuatorsPath);
    actuators_ = jointActuators(file, config);
    imu_ = imuModel(&file, options.imuNoise);
  }
  if (options.randomizeSeed) _randomize(*options.randomizeSeed);
  for (const JointActuator& actuator : actuators_) maxDelay_ = std::max(maxDelay_, actuator.delay);
  _findMotors(config);
  _findSensors();
  _setStartPose(options.startPose, options.fixedBase);
  _settle();
  for (int a = 0; a < 3; ++a) {
    accBias_[a] = imu_.accBias * gauss_(dice_);
    gyroBias_[a] = imu_.gyroBias * gauss_(dice_);
  }
  latest_.joints.resize(config.motors);
  sensed_.resize(config.motors);
  for (size_t i = 0; i < config.motors; ++i) sensed_[i].temp = actuators_[i].ambient;
  _publish();
  if (!options.truthPath.empty()) _openTruth(options.truthPath);
}

PhysicsPlant::~PhysicsPlant() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PhysicsPlant::_loadModel(const std::string& path, double rate) {
  model_ = mujoco_support::loadModel(path);
  if (rate > 0.0) model()->opt.timestep = 1.0 / rate;
  mujoco_support::requireUsableTimestep(model());
  data_ = mujoco_support::makeData(model());
}

// k equal steps make one link period exactly: k = round(2.1 ms / timestep), at least 1, and
// the timestep becomes 2.1 ms / k (the shipped models' 1 ms becomes 1.05 ms, k = 2). Done
// before the joints' stops are fitted to the timestep.
void PhysicsPlant::_fitTimestepToLinkPeriod() {
  lockstepSubsteps_ = static_cast<int>(std::max<long long>(1, std::llround(kLinkPeriod / timestep())));
  model()->opt.timestep = kLinkPeriod / lockstepSubsteps_;
}

int PhysicsPlant::_jointQposAdr(const std::string& name, bool required) const {
  const int joint = mj_name2id(model(), mjOBJ_JOINT, name.c_str());
  if (joint < 0) {
    if (required) throw std::runtime_error("the model has no joint " + name);
    return -1;
  }
  return model()->jnt_qposadr[joint];
}

// Links heavier or lighter (their inertia with them), every contact's friction scaled, and
// each motor's strength and the command delay drawn; the draw is printed for a repeat.
void PhysicsPlant::_randomize(uint32_t seed) {
  mjModel* m = model();
  const BodyDraw body = BodyDraw::draw(seed, static_cast<size_t>(m->nbody), actuators_.size());
  std::vector<std::string> names;
  for (int b = 0; b < m->nbody; ++b) names.emplace_back(mj_id2name(m, mjOBJ_BODY, b) ? mj_id2name(m, mjOBJ_BODY, b) : "");
  for (int b = 1; b < m->nbody; ++b) {
    m->body_mass[b] *= body.linkMass[b];
    for (int axis = 0; axis < 3; ++axis) m->body_inertia[3 * b + axis] *= body.linkMass[b];
  }
  // A contact takes the larger friction of its two geoms: one factor on all scales every contact.
  for (int g = 0; g < m->ngeom; ++g) m->geom_friction[3 * g] *= body.floorFriction;
  for (size_t i = 0; i < actuators_.size(); ++i) {
    strength_[i] = body.motorStrength[i];
    actuators_[i].delay += body.commandDelay;
  }
  mj_setConst(m, data());
  drawnBody_ = body.describe(names);
}

std::vector<std::string> PhysicsPlant::startLines() const {
  std::vector<std::string> lines = {actuatorsPath_.empty() ? "ideal actuators" : "actuators " + actuatorsPath_};
  lines.insert(lines.end(), drawnBody_.begin(), drawnBody_.end());
  return lines;
}

void PhysicsPlant::_findMotors(const BoardConfig& config) {
  mjModel* m = model();
  for (size_t i = 0; i < config.motors; ++i) {
    const std::string name = indexedName("motor", i);
    const int joint = mj_name2id(m, mjOBJ_JOINT, name.c_str());
    if (joint < 0 || m->jnt_type[joint] != mjJNT_HINGE)
      throw std::runtime_error("the model has no hinge joint " + name + " for motor " + std::to_string(i));
    const int dof = m->jnt_dofadr[joint];
    const JointActuator& actuator = actuators_[i];
    m->dof_armature[dof] = actuator.armature;
    // MuJoCo takes both implicitly (friction loss as a constraint), so they stay stable.
    if (m->dof_frictionloss[dof] == 0.0 && m->dof_damping[dof] == 0.0) {
      m->dof_frictionloss[dof] = actuator.coulombFriction;
      m->dof_damping[dof] = actuator.viscousFriction;
    }
    if (m->jnt_solref[mjNREF * joint] == kDefaultLimitTimeConstant) {
      m->jnt_solref[mjNREF * joint] = 2.0 * m->opt.timestep;
      std::copy(kStopImpedance, kStopImpedance + mjNIMP, m->jnt_solimp + mjNIMP * joint);
    }
    motors_.push_back({m->jnt_qposadr[joint], dof});
  }
}

void PhysicsPlant::_findSensors() {
  torsoBody_ = mj_name2id(model(), mjOBJ_BODY, "torso");
  if (torsoBody_ < 0) throw std::runtime_error("the model has no body torso");
  // Each reading takes `dim` values from the sensor's address on: a sensor of fewer would
  // have it read its neighbours' values, or past the end of the sensor data.
  const auto sensorAdr = [this](const char* name, int dim) {
    const int sensor = mj_name2id(model(), mjOBJ_SENSOR, name);
    if (sensor < 0) throw std::runtime_error(std::string("the model has no sensor ") + name);
    if (model()->sensor_dim[sensor] != dim)
      throw std::runtime_error(std::string("the model's sensor ") + name + " has dimension " +
                               std::to_string(model()->sensor_dim[sensor]) + ", not " + std::to_string(dim));
    return model()->sensor_adr[sensor];
  };
  accAdr_ = sensorAdr("imu_acc", 3);
  gyroAdr_ = sensorAdr("imu_gyro", 3);
  quatAdr_ = sensorAdr("imu_quat", 4);
  const int root = mj_name2id(model(), mjOBJ_JOINT, "root");
  if (root >= 0 && model()->jnt_type[root] == mjJNT_FREE) {
    rootQposAdr_ = model()->jnt_qposadr[root];
    rootDofAdr_ = model()->jnt_dofadr[root];
  }
}

void PhysicsPlant::_setStartPose(const std::string& name, bool fixedBase) {
  mjModel* m = model();
  int key = -1;
  if (!name.empty()) {
    key = mj_name2id(m, mjOBJ_KEY, name.c_str());
    if (key < 0) throw std::runtime_error("the model has no keyframe " + name);
  } else {
    for (const char* candidate : {"crouch", "lying"})
      if (key < 0) key = mj_name2id(m, mjOBJ_KEY, candidate);
    if (key < 0 && m->nkey > 0) key = 0;
  }
  if (key >= 0) mj_resetDataKeyframe(m, data(), key);
  else mj_resetData(m, data());
  mj_forward(m, data());
  if (!fixedBase) return;

  if (rootQposAdr_ < 0) throw std::runtime_error("--fixed-base needs a free joint named root");
  double lowest = INFINITY;
  for (int g = 0; g < m->ngeom; ++g)
    if (m->geom_bodyid[g] != 0) lowest = std::min(lowest, data()->geom_xpos[3 * g + 2] - m->geom_rbound[g]);
  data()->qpos[rootQposAdr_ + 2] += std::max(0.0, kFixedBaseClearance - lowest);
  std::copy(data()->qpos + rootQposAdr_, data()->qpos + rootQposAdr_ + 7, heldBase_);
  mj_forward(m, data());

  // A stiff spring holds the base; its damping goes into the model, where the integrator
  // takes it implicitly, so it stays stable whatever the robot's own inertia.
  const double omega = 2.0 * M_PI * kBaseHoldFrequency;
  const double mass = mj_getTotalmass(m);
  const double inertia = mass * kBaseGyrationRadius * kBaseGyrationRadius;
  baseStiffness_[0] = mass * omega * omega;
  baseStiffness_[1] = inertia * omega * omega;
  for (int axis = 0; axis < 3; ++axis) {
    m->dof_damping[rootDofAdr_ + axis] = 2.0 * mass * omega;
    m->dof_damping[rootDofAdr_ + 3 + axis] = 2.0 * inertia * omega;
  }
}

// One step after which nothing moves on: only constraint and contact corrections remain.
void PhysicsPlant::_stepAtRest() {
  if (fixedBase_) _holdBase();
  mj_step(model(), data());
  mju_zero(data()->qvel, model()->nv);
}

// Keyframes of closed chains are only close to consistent: without gravity and with the
// velocities cleared after each step, the constraints pull the chains (and contacts push
// the feet) into place without the robot moving off.
void PhysicsPlant::_settle() {
  mjModel* m = model();
  const int flags = m->opt.disableflags;
  m->opt.disableflags |= mjDSBL_GRAVITY;
  for (int i = 0; i < kSettleSteps; ++i) _stepAtRest();
  // Then the weight comes on the same way, so the floor already carries the robot (and the
  // accelerometer reads gravity) when the link answers, instead of the body dropping into
  // the soft contacts and bouncing.
  m->opt.disableflags = flags;
  for (int i = 0; i < kLoadSteps; ++i) _stepAtRest();
  data()->time = 0.0;
  mju_zero(data()->qfrc_applied, m->nv);
  mj_forward(m, data());
  // A held robot is at rest, so its IMU reads gravity's reaction, also where the spring of a
  // fixed base has not taken the weight yet (before the first step its acceleration is a fall).
  mju_zero(data()->qacc, m->nv);
  mj_rnePostConstraint(m, data());
  mj_sensorAcc(m, data());
}

void PhysicsPlant::_openTruth(const std::string& path) {
  truth_.reset(std::fopen(path.c_str(), "w"));
  if (!truth_) throw std::runtime_error("cannot open the truth file " + path);
  for (const Motor& motor : motors_) truthQposAdr_.push_back(motor.qposAdr);

  // A biped's model names the serial-chain joints that differ from its motors' joints.
  bool biped = false;
  for (int k = 0; k < kBipedVirtualJoints; ++k) biped |= _jointQposAdr(indexedName("virtual", k), false) >= 0;
  for (int k = 0; biped && k < kBipedVirtualJoints; ++k) {
    const int adr = _jointQposAdr(indexedName("virtual", k), false);
    truthQposAdr_.push_back(adr >= 0 ? adr : _jointQposAdr(indexedName("motor", k), true));
  }
  const size_t virtuals = biped ? kBipedVirtualJoints : 0;
  for (const std::string& line : drawnBody_) std::fprintf(truth_.get(), "%s%s\n", truth_file::kCommentPrefix, line.c_str());
  std::fprintf(truth_.get(), "%s\n", truth_file::headerLine(motors_.size(), virtuals).c_str());
  std::fflush(truth_.get());
  _writeTruthRow();
}

void PhysicsPlant::start() {
  // The thread takes no signals: the simulator's event loop reads them from its signalfd, and
  // a signal delivered here would end the process without its summary or the truth's tail.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  summaryWall_ = Clock::now();
  summarySimTime_ = simTime_ = data()->time;
  if (lockstepSubsteps_ > 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return;
  }
  thread_ = std::thread([this] { _run(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (physicsCpu_ >= 0) _pinThread();
}

// Keeps the physics off the link's CPU, so a reply never waits behind a step.
void PhysicsPlant::_pinThread() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (physicsCpu_ < CPU_SETSIZE) CPU_SET(physicsCpu_, &set);
  if (physicsCpu_ >= CPU_SETSIZE || pthread_setaffinity_np(thread_.native_handle(), sizeof(set), &set) != 0) {
    stop_ = true;
    thread_.join();
    throw std::runtime_error("cannot run the physics on CPU " + std::to_string(physicsCpu_));
  }
}

void PhysicsPlant::apply(const std::vector<MotorCmd>& jointCommands, double /*dt: the physics keeps its own time*/) {
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    std::copy(jointCommands.begin(), jointCommands.begin() + pendingCommands_.size(), pendingCommands_.begin());
    commandsChanged_ = true;
    if (!released_ && takesHold(pendingCommands_)) released_ = true;
  }
  if (lockstepSubsteps_ > 0) _stepLinkPeriod();
}

void PhysicsPlant::_stepLinkPeriod() {
  for (int i = 0; i < lockstepSubsteps_; ++i) _step();
  simTime_ = data()->time;
}

void PhysicsPlant::read(PlantReading& out) const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  out = latest_;
}

std::string PhysicsPlant::summary() {
  const Clock::time_point now = Clock::now();
  const double simTime = simTime_;
  const double wall = Seconds(now - summaryWall_).count();
  const double factor = wall > 0.0 ? (simTime - summarySimTime_) / wall : 0.0;
  summaryWall_ = now;
  summarySimTime_ = simTime;
  char text[128];
  if (lockstepSubsteps_ > 0)
    std::snprintf(text, sizeof(text), ", physics in lockstep (%d x %.3f ms per frame), real-time factor %.2f%s",
                  lockstepSubsteps_, 1000.0 * timestep(), factor, released_ ? "" : ", held until the first command");
  else
    std::snprintf(text, sizeof(text), ", physics real-time factor %.2f, lag %.1f ms%s", factor, 1000.0 * lagSeconds_,
                  released_ ? "" : ", held until the first command");
  return text;
}

void PhysicsPlant::_holdBase() {
  const double* q = data()->qpos + rootQposAdr_;
  double* force = data()->qfrc_applied + rootDofAdr_;
  for (int axis = 0; axis < 3; ++axis) force[axis] = baseStiffness_[0] * (heldBase_[axis] - q[axis]);
  double rotation[3];  // from the current to the held orientation, in the body frame
  mju_subQuat(rotation, heldBase_ + 3, q + 3);
  for (int axis = 0; axis < 3; ++axis) force[3 + axis] = baseStiffness_[1] * rotation[axis];
}

// Each motor takes the newest frame that arrived at least its delay ago; a frame every motor
// has taken leaves the queue.
void PhysicsPlant::_takeDueCommands() {
  const double now = data()->time + kTimeSlack;
  for (const TimedCommands& frame : queue_)
    for (size_t i = 0; i < commands_.size(); ++i)
      if (frame.arrival + actuators_[i].delay <= now) commands_[i] = frame.commands[i];
  while (!queue_.empty() && queue_.front().arrival + maxDelay_ <= now) queue_.pop_front();
}

// The motor's own PD law on the command in force, on the joint side (the same law as on the
// motor side once brought through the gear), from what the motor senses, capped by its
// torque-speed envelope at the true speed; the winding heats with the torque squared.
void PhysicsPlant::_applyMotorTorques() {
  for (size_t i = 0; i < motors_.size(); ++i) {
    const Motor& motor = motors_[i];
    const JointActuator& actuator = actuators_[i];
    const MotorCmd& c = commands_[i];
    const double q = sensed_[i].q, dq = sensed_[i].dq;
    double tau = static_cast<double>(c.kp) * (c.pos - q) + static_cast<double>(c.kd) * (c.vel - dq) + c.tau;
    if (!std::isfinite(tau)) tau = 0.0;  // a corrupt command must not poison the simulation
    const double limit = actuator.torqueLimit(tau, data()->qvel[motor.dofAdr]);
    tau = strength_[i] * std::clamp(tau, -limit, limit);
    data()->qfrc_applied[motor.dofAdr] = tau;
    applied_[i] = tau;
    if (actuator.thermalTimeConstant > 0.0)
      sensed_[i].temp += timestep() * (actuator.risePerTorqueSquared * tau * tau - (sensed_[i].temp - actuator.ambient)) /
                         actuator.thermalTimeConstant;
  }
}

// The push acts at the torso's centre of mass; its schedule starts at the release.
void PhysicsPlant::_applyPush() {
  pushes_.release(data()->time);
  pushes_.forceAt(data()->time, pushForce_);
  for (int axis = 0; axis < 3; ++axis) data()->xfrc_applied[6 * torsoBody_ + axis] = pushForce_[axis];
}

void PhysicsPlant::_step() {
  bool released;
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    if (commandsChanged_) queue_.push_back({data()->time, pendingCommands_});
    commandsChanged_ = false;
    released = released_;
  }
  _takeDueCommands();
  if (released) {
    _applyMotorTorques();
    if (fixedBase_) _holdBase();
    _applyPush();
    mj_step(model(), data());
  } else {
    // Held: the clock runs on (the truth keeps its rows, the IMU its noise) over a pose that
    // stays the settled start state.
    data()->time += timestep();
  }
  ++steps_;
  _publish();
  // By simulated time, not by step count: a timestep fitted to the link period need not divide
  // the truth's 10 ms, and the rows stay at 100 Hz (each the first step within half a step).
  if (truth_ && data()->time >= truthRows_ * kTruthPeriod - 0.5 * timestep()) _writeTruthRow();
}

// The IMU's reading of this step joins the history; the one `delay` old is reported.
void PhysicsPlant::_senseImu() {
  double noise[6] = {0, 0, 0, 0, 0, 0};
  if (imu_.accNoise > 0.0 || imu_.gyroNoise > 0.0)
    for (int a = 0; a < 6; ++a) noise[a] = (a < 3 ? imu_.accNoise : imu_.gyroNoise) * gauss_(dice_);
  const mjtNum* sensors = data()->sensordata;
  ImuSample sample{data()->time, {}, {}, {}};
  for (int a = 0; a < 3; ++a) {
    sample.acc[a] = sensors[accAdr_ + a] + accBias_[a] + noise[a];
    sample.gyro[a] = sensors[gyroAdr_ + a] + gyroBias_[a] + noise[3 + a];
  }
  std::copy(sensors + quatAdr_, sensors + quatAdr_ + 4, sample.quat);
  imuHistory_.push_back(sample);
  while (imuHistory_.size() > 1 && imuHistory_[1].time <= data()->time - imu_.delay + kTimeSlack)
    imuHistory_.pop_front();
}

// The bias wanders as a random walk: its steps grow with the square root of the time.
void PhysicsPlant::_driftImuBias() {
  const double root = std::sqrt(timestep());
  if (imu_.accBiasWalk > 0.0)
    for (double& bias : accBias_) bias += imu_.accBiasWalk * root * gauss_(dice_);
  if (imu_.gyroBiasWalk > 0.0)
    for (double& bias : gyroBias_) bias += imu_.gyroBiasWalk * root * gauss_(dice_);
}

// The encoder counts whole steps; the velocity estimate is noisy. The motor's next PD law
// works on these values, as its firmware does.
void PhysicsPlant::_senseMotors() {
  for (size_t i = 0; i < motors_.size(); ++i) {
    const JointActuator& actuator = actuators_[i];
    const double q = data()->qpos[motors_[i].qposAdr];
    sensed_[i].q = actuator.positionStep > 0.0 ? actuator.positionStep * std::round(q / actuator.positionStep) : q;
    sensed_[i].dq = data()->qvel[motors_[i].dofAdr];
    if (actuator.velocityNoise > 0.0) sensed_[i].dq += actuator.velocityNoise * gauss_(dice_);
    sensed_[i].tau = applied_[i];
    if (actuator.torqueNoise > 0.0) sensed_[i].tau += actuator.torqueNoise * gauss_(dice_);
  }
}

void PhysicsPlant::_publish() {
  _senseImu();
  _senseMotors();
  _driftImuBias();
  const ImuSample& imu = imuHistory_.front();
  std::lock_guard<std::mutex> lock(stateMutex_);
  for (size_t i = 0; i < motors_.size(); ++i) {
    latest_.joints[i] = sensed_[i];
    if (actuators_[i].thermalTimeConstant <= 0.0) latest_.joints[i].temp = NAN;  // the board's estimate
  }
  std::copy(imu.acc, imu.acc + 3, latest_.acc);
  std::copy(imu.gyro, imu.gyro + 3, latest_.gyro);
  std::copy(imu.quat, imu.quat + 4, latest_.quat);
}

void PhysicsPlant::_writeTruthRow() {
  std::FILE* file = truth_.get();
  const double* base = rootQposAdr_ >= 0 ? data()->qpos + rootQposAdr_ : nullptr;
  double pose[7];
  if (base) {
    std::copy(base, base + 7, pose);
  } else {
    std::copy(data()->xpos + 3 * torsoBody_, data()->xpos + 3 * torsoBody_ + 3, pose);
    std::copy(data()->xquat + 4 * torsoBody_, data()->xquat + 4 * torsoBody_ + 4, pose + 3);
  }
  std::fprintf(file, "%.4f", data()->time);
  for (double value : pose) std::fprintf(file, ",%.6f", value);
  for (int adr : truthQposAdr_) std::fprintf(file, ",%.6f", data()->qpos[adr]);
  for (double force : pushForce_) std::fprintf(file, ",%.3f", force);
  std::fputc('\n', file);
  if (++truthRows_ % kTruthFlushRows == 0) std::fflush(file);
}

// Below the link's priority, so a reply never waits behind a step; it sleeps between steps.
// Refused, it keeps the scheduling it was started with and says so.
void PhysicsPlant::_takePriority() {
  if (realtimePriority_ <= 0) return;
  ThreadSchedule schedule;
  schedule.priority = realtimePriority_;
  try {
    applyScheduleToThisThread("physics", schedule);
  } catch (const RealtimeRefused& refusal) {
    std::fprintf(stderr, "board_sim: %s\n", refusal.what());
  }
}

// Steps so that simulated time follows the wall clock. A physics that cannot keep up
// drops what it is more than kMaxLag behind instead of racing to catch up.
void PhysicsPlant::_run() {
  (void)pthread_setname_np(pthread_self(), "physics");
  _takePriority();
  const double dt = timestep();
  const auto maxLagSteps = static_cast<uint64_t>(kMaxLag / dt);
  Clock::time_point origin = Clock::now();
  uint64_t done = 0;
  while (!stop_) {
    auto due = static_cast<uint64_t>(Seconds(Clock::now() - origin).count() / dt);
    if (due > done + maxLagSteps) {
      origin += std::chrono::duration_cast<Clock::duration>(Seconds((due - done - maxLagSteps) * dt));
      due = done + maxLagSteps;
    }
    for (; done < due && !stop_; ++done) _step();
    simTime_ = data()->time;
    lagSeconds_ = std::max(0.0, Seconds(Clock::now() - origin).count() - done * dt);
    std::this_thread::sleep_until(origin + std::chrono::duration_cast<Clock::duration>(Seconds((done + 1) * dt)));
  }
}

double PhysicsPlant::runFlatOut(double simSeconds, double kp, double kd) {
  released_ = true;
  for (size_t i = 0; i < motors_.size(); ++i) {
    commands_[i] = MotorCmd{};
    commands_[i].pos = static_cast<float>(data()->qpos[motors_[i].qposAdr]);
    commands_[i].kp = static_cast<float>(kp);
    commands_[i].kd = static_cast<float>(kd);
  }
  const auto steps = static_cast<uint64_t>(std::llround(simSeconds / timestep()));
  const Clock::time_point start = Clock::now();
  for (uint64_t i = 0; i < steps; ++i) _step();
  return Seconds(Clock::now() - start).count();
}
