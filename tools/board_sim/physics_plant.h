// The whole robot simulated with MuJoCo: every motor runs its own PD law at the physics
// rate on the latest command, as smart motors do, and the IMU reads the torso's sensors.
// With an actuator file the motors are real ones: each command takes hold after its motor's
// delay, the torque is capped by the torque-speed envelope, the PD law and the records see
// the quantised encoder and noisy velocity and torque, and the windings heat; the IMU is
// noisy, its bias drifts and its readings arrive late.
//
// The robot holds still in its settled start pose until the first command that takes hold of
// a motor (a position gain or a torque): the SDK's passive reads do not release it, so a
// controller that starts late still finds the robot where it was put.
//
// Threads: the physics steps on its own thread in real time (start()); the link thread
// hands over commands (apply) and takes the latest state (read) through two small mutex-
// guarded buffers, so a reply never waits for a step. In lockstep there is no physics thread:
// apply() itself steps one link period on the link thread, so each reply follows its frame.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "actuator_model.h"
#include "board_model.h"
#include "mujoco_model.h"
#include "plant.h"
#include "push_plan.h"

struct PhysicsOptions {
  std::string modelPath;   // MJCF file
  std::string startPose;   // keyframe name; empty: crouch, else lying, else the first keyframe
  bool fixedBase = false;  // hold the torso at the start pose, raised so the feet clear the floor
  std::string truthPath;   // CSV at 100 Hz; empty: none
  double imuNoise = 0.0;   // > 0: accelerometer noise and bias sigma, m/s^2 (gyro: a tenth, rad/s)
  std::string actuatorsPath;  // calibration file of the motors and IMU; empty: ideal ones
  std::optional<uint32_t> randomizeSeed;  // draw the body's masses, friction, strengths, delay
  double rate = 0.0;       // steps per second; 0: the model's own timestep
  uint32_t seed = 1;       // seed of the sensor noise and the IMU's bias
  bool releaseAtStart = false;  // step from the start instead of holding until the first command
  int physicsCpu = -1;          // >= 0: the physics thread runs on this CPU only
  int realtimePriority = 0;     // > 0: SCHED_FIFO priority of the physics thread
  bool lockstep = false;        // each command frame steps one link period; no physics thread
  std::vector<Push> pushes;     // forces on the torso (the truth file's push_f* columns)
  std::optional<RandomPushes> randomPushes;
};

class PhysicsPlant : public Plant {
 public:
  /// Loads the model, checks it against the configuration (a hinge joint motor<i> for every
  /// motor, the torso and its IMU sensors of 3, 3 and 4 values, a positive timestep), sets the
  /// start pose and lets the constraints settle; with randomizeSeed prints the drawn body
  /// ("board_sim: randomize SEED: ..." lines). Throws std::runtime_error naming what is wrong
  /// (an actuator file that cannot be read or lacks a motor type of the configuration too).
  PhysicsPlant(const BoardConfig& config, const PhysicsOptions& options);
  /// Stops the physics thread and flushes the truth file.
  ~PhysicsPlant() override;
  PhysicsPlant(const PhysicsPlant&) = delete;
  PhysicsPlant& operator=(const PhysicsPlant&) = delete;

  /// Starts stepping in real time on the thread "physics" (pinned to options.physicsCpu when
  /// given); in lockstep only starts the summary's clock. Throws std::runtime_error when that
  /// CPU cannot be used.
  void start();
  /// Without the thread: holds every motor at the start pose (kp, kd joint side) and steps
  /// `simSeconds` of simulated time as fast as possible; returns the wall time taken, s.
  double runFlatOut(double simSeconds, double kp, double kd);

  /// Also releases a held robot when any record has kp or tau other than zero. In lockstep it
  /// then steps lockstepSubsteps() timesteps (one link period, 2.1 ms) before returning.
  void apply(const std::vector<MotorCmd>& jointCommands, double dt) override;
  void read(PlantReading& out) const override;
  /// ", physics real-time factor F, lag L ms" over the time since the previous call, and
  /// ", held until the first command" while the robot waits; in lockstep ", physics in
  /// lockstep (K x T ms per frame), real-time factor F" instead of the factor and lag.
  std::string summary() override;
  /// "actuators FILE" or "ideal actuators", then the randomised body's lines, if any.
  std::vector<std::string> startLines() const override;

  double timestep() const { return model_->opt.timestep; }
  /// Physics steps per command frame in lockstep (0 when free-running).
  int lockstepSubsteps() const { return lockstepSubsteps_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  struct Motor {
    int qposAdr;
    int dofAdr;
  };
  struct TimedCommands {
    double arrival;  // simulated s
    std::vector<MotorCmd> commands;
  };
  struct ImuSample {
    double time;
    double acc[3], gyro[3], quat[4];
  };
  using Clock = std::chrono::steady_clock;

  void _loadModel(const std::string& path, double rate);
  void _fitTimestepToLinkPeriod();
  void _stepLinkPeriod();
  void _randomize(uint32_t seed);
  void _findMotors(const BoardConfig& config);
  void _findSensors();
  void _setStartPose(const std::string& name, bool fixedBase);
  void _settle();
  void _stepAtRest();
  void _openTruth(const std::string& path);
  int _jointQposAdr(const std::string& name, bool required) const;
  void _holdBase();
  void _step();
  void _takeDueCommands();
  void _applyMotorTorques();
  void _senseMotors();
  void _senseImu();
  void _driftImuBias();
  void _applyPush();
  void _publish();
  void _writeTruthRow();
  void _run();
  void _pinThread();
  void _takePriority();

  mjModel* model() const { return model_.get(); }
  mjData* data() const { return data_.get(); }

  mujoco_support::ModelPtr model_;
  mujoco_support::DataPtr data_;
  std::vector<Motor> motors_;
  int torsoBody_ = -1;
  int rootQposAdr_ = -1;
  int rootDofAdr_ = -1;
  int accAdr_ = -1, gyroAdr_ = -1, quatAdr_ = -1;
  bool fixedBase_ = false;
  double heldBase_[7] = {0, 0, 0, 1, 0, 0, 0};  // x y z qw qx qy qz
  double baseStiffness_[2] = {0, 0};             // linear N/m, angular N m/rad
  double baseDamping_[2] = {0, 0};

  // The motors as their joints feel them, and what the motors sense (their PD law's inputs).
  std::vector<JointActuator> actuators_;
  std::vector<double> strength_;     // torque factor per motor (1 unless randomised)
  double maxDelay_ = 0.0;            // s, the longest command delay of any motor
  std::deque<TimedCommands> queue_;  // frames not yet in force at every motor, oldest first
  std::vector<JointReading> sensed_;
  std::vector<std::string> drawnBody_;  // the randomised body, for the truth file's head
  std::string actuatorsPath_;

  // IMU: white noise plus a bias drawn once that drifts, read `delay` late.
  ImuModel imu_;
  std::deque<ImuSample> imuHistory_;
  std::mt19937 dice_;
  std::normal_distribution<double> gauss_{0.0, 1.0};
  double accBias_[3] = {0, 0, 0};
  double gyroBias_[3] = {0, 0, 0};

  // Truth file: the pose and joint angles every truthEvery_ steps.
  std::unique_ptr<std::FILE, FileCloser> truth_;
  std::vector<int> truthQposAdr_;  // motor0.., then virtual0..9 for a biped
  uint64_t truthRows_ = 0;  // row r is due at r * 10 ms of simulated time

  // Physics-thread state.
  PushPlan pushes_;
  double pushForce_[3] = {0, 0, 0};  // N, world axes, applied in the last step
  std::vector<MotorCmd> commands_;  // the last command of each motor, joint side
  std::vector<double> applied_;     // torque applied in the last step, N m
  uint64_t steps_ = 0;

  // Handed over from the link thread.
  mutable std::mutex commandMutex_;
  std::vector<MotorCmd> pendingCommands_;
  bool commandsChanged_ = false;
  std::atomic<bool> released_{false};  // set under commandMutex_ with the releasing command
  int physicsCpu_ = -1;
  int realtimePriority_ = 0;

  // Handed over to the link thread.
  mutable std::mutex stateMutex_;
  PlantReading latest_;

  // Figures for the summary (written by the physics thread).
  std::atomic<double> simTime_{0.0};
  std::atomic<double> lagSeconds_{0.0};
  double summarySimTime_ = 0.0;
  Clock::time_point summaryWall_;

  std::atomic<bool> stop_{false};
  std::thread thread_;

  int lockstepSubsteps_ = 0;  // > 0: apply() steps this many timesteps, no thread
};
