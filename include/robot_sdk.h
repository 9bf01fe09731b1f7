/// \file
/// The robot-level entry point: opens the motor bus from a robot configuration, keeps the
/// link alive on its own thread, watches the motors' feedback, and serves the controller's
/// state and command in the virtual joint space.
#pragma once

#include <Eigen/LU>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device_records.h"
#include "eigen_types.h"
#include "joint_mapping.h"
#include "link_watchdog.h"
#include "motor_sdk.h"
#include "periodic_function.h"
#include "realtime.h"
#include "robot_records.h"

// ---- RobotSDK ------------------------------------------------------------------------------

/// A configuration whose `robot_type` is none of the four names; the message names the value
/// and the valid names. Thrown only by the RobotSDK constructors that are asked to report.
class RobotTypeError : public ConfigError {
 public:
  using ConfigError::ConfigError;
};

/// The link to the motor board is lost, or the damping brake of a lost link still holds:
/// thrown by the operations that would act on a link that is not there (see RobotSDK).
class LinkFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Which automatic brakes are in force. Each one holds the damping frame of RobotSDK::brake()
/// on the wire, and each ends its own way: a lost link only with a successful
/// resumeAfterLinkFailure(), a failed control callback only with stop(), an expired command
/// with the next command. A lost link outranks the others. A plain value: copy it out of RobotSDK::brakeLatch() and ask it.
class BrakeLatch {
 public:
  /// One automatic brake; the values are bits of one mask.
  enum Reason : uint32_t {
    kLinkLost = 1u << 0,           ///< The watchdog declared the link lost.
    kControllerFailed = 1u << 1,   ///< The control callback threw.
    kCommandExpired = 1u << 2,     ///< No new command came within the command timeout.
  };
  /// The brakes in `bits` (a mask of Reason values).
  explicit BrakeLatch(uint32_t bits = 0) : bits_(bits) {}
  /// True when `reason` is in force.
  bool holds(Reason reason) const { return (bits_ & reason) != 0; }
  /// True when any automatic brake is in force.
  bool any() const { return bits_ != 0; }
  /// The brake that outranks the others in force (kLinkLost first); 0 when none is.
  uint32_t inForce() const { return bits_ & (~bits_ + 1); }
  /// The mask of brakes in force.
  uint32_t bits() const { return bits_; }
  /// A few words naming `reason`, for lines and messages ("the link to the motor board is lost").
  static const char* describe(uint32_t reason);

 private:
  uint32_t bits_;
};

/// One robot on the UDP link. Not copyable and not movable: its threads call back into it.
///
/// Threads, without real-time priority or CPU pinning unless setRealtime() asks for them, each
/// named so at the operating system: "motor_comm" exchanges one frame
/// with the board every 2.1 ms, "motion_control" runs the callback every control period
/// (only when a callback is given), "watch_dog" checks the link every 10 ms and ends the
/// process with exit status 1 after ten failing checks in a row (unless a link failure handler
/// is set, see setLinkFailureHandler). A check fails when no complete reply arrived since the
/// previous one, or when a motor's record in the latest reply has a bad status, whatever the
/// caller reads or does not read.
///
/// A lost link with a handler set: the SDK holds every motor in the damping frame of brake()
/// (see BrakeLatch), stops calling the control callback and refuses commands (setCommand
/// throws LinkFailure) until resumeAfterLinkFailure() succeeds; getState, readState and
/// waitForNewState throw LinkFailure until a valid reply arrives again.
///
/// A control period whose callback leaves a command vector shorter than the motor count, or a
/// value that is NaN, infinite or beyond the link's 32-bit floats, stores no command: the
/// previous frame keeps going out and one warning line says why. A callback that throws is
/// not called again: every motor is held in the damping frame of brake() until stop(), one
/// line gives the exception's message, controllerFailure() returns it, and stop() rethrows it.
///
/// Callback style and polling style are exclusive: while the control thread runs, the caller
/// must not call getState, setCommand or brake.
///
/// Without an IMU in the configuration, getState and setCommand throw std::out_of_range (after
/// the joints were read), while the control thread keeps running: it maps the joints, leaves
/// the IMU fields at their last values and prints one warning line the first time.
///
/// Units: every state and command is on the joint side of the gears, in the virtual joint
/// space: positions in rad, velocities in rad/s, torques in N·m, kp in N·m/rad, kd in
/// N·m·s/rad; periods and timeouts in s.
class RobotSDK {
 public:
  /// The controller of callback style: reads the virtual state, fills the virtual command
  /// (its vectors at least the motor count long). Called on the "motion_control" thread once
  /// per control period; must not call back into this object. Throwing ends the control loop
  /// (see the class notes).
  using ControlCallback = std::function<void(const RobotState&, RobotCommand&)>;

  /// What a constructor does when the file names an unknown robot type or the link cannot be
  /// opened: end the process as the plain constructors do, or throw (RobotTypeError, and the
  /// port's LinkOpenError), for a caller that must stay alive, such as an interpreter.
  enum class OpenFailure { ExitProcess, Throw };

  /// Unconfigured: no bus, no threads. Only get_version and destruction are allowed; the
  /// operations that need the bus or threads throw std::logic_error.
  RobotSDK();
  /// Polling style: reads the configuration at `path` and opens the link of its `link:`
  /// section, UDP to 192.168.1.5:8880 without one (as MotorSDK::init(path, LinkOptions{})). An unknown `robot_type` prints a line, then the value and the valid
  /// names, and ends the process (status 1); a UDP socket or bind failure prints the port's
  /// line and ends it with status 255. The YAML library's exceptions, ConfigError (also for a
  /// joint count the robot type cannot have) and LinkHeldError (another controller holds the
  /// board; nothing was sent) propagate. No thread starts.
  explicit RobotSDK(std::string path);
  /// As RobotSDK(path), but with OpenFailure::Throw the unknown robot type and the link that
  /// cannot be opened throw instead of ending the process.
  RobotSDK(std::string path, OpenFailure onFailure);
  /// Callback style with the control period `dt` in seconds; otherwise as the polling
  /// constructor. An empty callback, or a period that arms no timer (NaN, below a nanosecond,
  /// 2^31 s or more), throws std::invalid_argument before anything is read or opened.
  RobotSDK(std::string path, double dt, ControlCallback callback);
  /// As the callback-style constructor, with `onFailure` as for RobotSDK(path, onFailure).
  RobotSDK(std::string path, double dt, ControlCallback callback, OpenFailure onFailure);
  /// As RobotSDK(path, onFailure), on the link `link` describes: its set fields win over the
  /// file's `link:` section, field by field (see MotorSDK::init(path, link)), so the robot
  /// runs over USB serial too. ConfigError names the key of a bad value; a serial device
  /// that cannot be opened or configured throws IOException whatever `onFailure` says.
  RobotSDK(std::string path, const LinkOptions& link, OpenFailure onFailure = OpenFailure::ExitProcess);
  /// Callback style (as RobotSDK(path, dt, callback)) on the link `link` describes.
  RobotSDK(std::string path, double dt, ControlCallback callback, const LinkOptions& link,
           OpenFailure onFailure = OpenFailure::ExitProcess);
  /// As RobotSDK(path, onFailure), exchanging through the caller's `port` (see
  /// MotorSDK::init(path, port)): the file's `link:` section is not used and no hold is
  /// taken. std::invalid_argument for a null port.
  RobotSDK(std::string path, std::unique_ptr<IOPort> port, OpenFailure onFailure = OpenFailure::ExitProcess);
  /// Callback style (as RobotSDK(path, dt, callback)) through the caller's `port`.
  RobotSDK(std::string path, double dt, ControlCallback callback, std::unique_ptr<IOPort> port,
           OpenFailure onFailure = OpenFailure::ExitProcess);
  /// Stops running threads (in the order of stop()) and releases them. Never throws: an
  /// exception of the control callback that stop() did not hand over is printed instead.
  ~RobotSDK();

  RobotSDK(const RobotSDK&) = delete;
  RobotSDK& operator=(const RobotSDK&) = delete;
  RobotSDK(RobotSDK&&) = delete;
  RobotSDK& operator=(RobotSDK&&) = delete;

  /// Primes the feedback with ten passive exchanges. Throws std::runtime_error when every
  /// reply had a length other than the configured frame's (the message gives both and the
  /// configured counts: the board has another number of devices), else naming every motor
  /// and IMU that delivered no valid record in any of them (the robot would otherwise start
  /// on zero readings); nothing but the passive frames was sent and nothing runs.
  /// Takes about ten receive timeouts (2 ms each) with a silent board. The caller's thread,
  /// threads stopped: std::logic_error while they run or when unconfigured.
  void init();
  /// Enables the control loop with this period `dt` in seconds and callback, then primes as
  /// init() does. Throws std::invalid_argument for an empty callback, a period that arms no
  /// timer, or when a callback is already set; otherwise as init().
  void init(double dt, ControlCallback callback);
  /// Starts "motor_comm" (every 2.1 ms), then "motion_control" when enabled (every control
  /// period), then "watch_dog" (every 10 ms), each with the real-time options of
  /// setRealtime() applied by the thread to itself before its first cycle (memory is locked
  /// first). A setting the system refuses throws RealtimeRefused (a std::runtime_error saying
  /// what was refused and how to allow it); the threads already started are stopped and
  /// joined, so nothing is left running. std::logic_error when unconfigured.
  void start();
  /// The real-time options the next start() applies (see RealtimeOptions; all off by
  /// default). Only the SDK's own threads change; the caller's thread keeps its scheduling.
  /// Throws RealtimeRefused at once for what can be judged now (a priority outside 1-99, a
  /// link_cpu outside the CPUs this process may run on), keeping the previous options. The
  /// caller's thread, before start(): std::logic_error while the threads run or when
  /// unconfigured.
  void setRealtime(const RealtimeOptions& options);
  /// Stops "watch_dog", then "motor_comm", then "motion_control" when enabled, joining each.
  /// Then rethrows, once, the exception a control callback threw (the threads are stopped all
  /// the same). Not from the SDK's own threads; std::logic_error when unconfigured.
  void stop();
  /// With a handler the tenth failing check in a row does not end the process: on the
  /// "watch_dog" thread the SDK first holds every motor in the damping frame of brake() and
  /// refuses commands (see the class notes), then calls the handler, once per loss. The frame
  /// stays through the outage and after the link returns, until resumeAfterLinkFailure()
  /// succeeds. The handler should return quickly; an exception it throws is caught and
  /// reported in one line. An empty function restores the exit. Set it before start()
  /// (std::logic_error while the threads run).
  void setLinkFailureHandler(std::function<void()> handler);
  /// Ends the damping brake of a lost link once every motor answers again: commands are
  /// accepted and the control callback is called again. Returns at once when no link failure
  /// is in force. Throws LinkFailure naming the motors whose latest record is still not valid
  /// (the brake stays). Any thread; never makes the link thread wait; std::logic_error when
  /// unconfigured.
  void resumeAfterLinkFailure();
  /// The automatic brakes in force now. Any thread, lock-free.
  BrakeLatch brakeLatch() const { return BrakeLatch(motor_sdk_.heldBy()); }
  /// The exception the control callback threw, while it is held (until stop() hands it over),
  /// or null. Lets a polling program see that its callback died without stopping. Any thread.
  std::exception_ptr controllerFailure() const;
  /// Every motor to pure damping (mode 10, kd 0.8 N·m·s/rad on the joint side, everything
  /// else 0), bypassing the joint mapping; it leaves with the next exchange. The command
  /// records are left alone, so a running control loop overrides it at its next period;
  /// while an automatic brake holds, that same frame is already on the wire. Any thread;
  /// never throws but std::logic_error when unconfigured.
  void brake();
  /// Latest feedback, in the virtual joint space: the reply the link thread stored last (this
  /// never waits for the board), and the first IMU, calibrated. A device whose record has a
  /// bad status keeps its previous values and prints a warning. Polling style: one thread at
  /// a time, never while the control thread runs. Throws LinkFailure while the link is lost
  /// (until a valid reply arrives again), std::out_of_range without an IMU (after the joints
  /// were read), std::logic_error when unconfigured.
  void getState(RobotState& state);
  /// The same without a copy: the SDK's own record, valid until the next readState, getState
  /// or setCommand on this object (same thread rules as getState).
  const RobotState& readState();
  /// Maps the virtual command to the motors and hands it to the bus. Each of its five vectors
  /// needs at least as many entries as there are motors, each of those entries finite and
  /// within the link's 32-bit floats: otherwise std::invalid_argument naming the field and the
  /// joint, and nothing is stored. Positions are clamped to the joint limits on the way. The
  /// command leaves with the next exchange, at most 2.1 ms later. Same thread rules and
  /// std::out_of_range / std::logic_error as getState (it reads the state for the legs'
  /// Jacobians); nothing is stored then either. Throws LinkFailure, storing nothing, from the
  /// loss of the link until resumeAfterLinkFailure() succeeds.
  void setCommand(const RobotCommand& command);
  /// "1.0.0". Any thread.
  std::string get_version() const { return "1.0.0"; }
  /// The robot type the configuration's `robot_type` named (RobotType::Veltra1 when
  /// unconfigured). Any thread; fixed from construction on.
  RobotType robotType() const { return robot_type_; }

  /// The latest reply's motor records as the board sent them: status, id, mode, and position,
  /// velocity, torque on the motor side (before gear ratio and offset), temperature. One per
  /// configured motor, copied under the feedback lock. Any thread; std::logic_error when
  /// unconfigured.
  std::vector<MotorState> motorStates() const;
  /// The latest reply's battery records (status, bms_id, failure, voltage, current, soc), one
  /// per configured battery. As motorStates.
  std::vector<BatState> batteryStates() const;
  /// Blocks until the link thread has stored a reply newer than any this object has read
  /// (getState, setCommand) or waited for; true then, false after `timeoutSeconds` (0 polls;
  /// capped at about four months) or at once while the threads are stopped (stop() wakes
  /// waiters). Throws LinkFailure while the link is lost, at once or when the watchdog
  /// declares the loss during the wait. Any thread, one waiter at a time;
  /// std::invalid_argument for a NaN or negative timeout, std::logic_error when unconfigured.
  bool waitForNewState(double timeoutSeconds);
  /// The link's health since init or the last reset (see LinkStats), command_expiries
  /// included. Any thread, any time.
  LinkStats linkStats() const;
  /// Starts a new window of link stats. Any thread.
  void resetLinkStats();
  /// Commands expire after `seconds` without a new one (0, the default, turns it off): when no
  /// command was stored for that long (setCommand, or a usable command of the callback), the
  /// link thread holds every motor in the damping frame of brake() (BrakeLatch::kCommandExpired),
  /// prints one line saying how long the commands have been missing and counts it in
  /// LinkStats::command_expiries. The next command ends it (one line) and goes out. Judged at
  /// every exchange against the link thread's clock, so the brake reaches the wire within one
  /// exchange (2.1 ms) of the deadline; while the link is lost the clock stands still. Setting
  /// it starts the clock anew, as start() does. Any time, any thread. Throws
  /// std::invalid_argument for a NaN, infinite or negative value, and in callback style for a
  /// timeout shorter than the control period; std::logic_error when unconfigured.
  void setCommandTimeout(double seconds);
  /// The command timeout in force, in s (0: off). Any thread.
  double commandTimeout() const;
  /// Where the black box (the last 2 s of exchanges, always kept) is written by itself: when
  /// the watchdog declares the link lost (on the exiting path too, after the EXIT line), when
  /// the control callback throws, when the commands expire. Each file is a recording named
  /// "blackbox-<UTC time>-<cause>.dlrec" in `folder`, announced in one line; at most one per
  /// cause per 10 s, and none while the folder holds 20 such files (then one line says dumps
  /// stopped). A folder that cannot
  /// be written costs one line per attempt, never the link. An empty path turns it off (the
  /// default). The files are written by a thread of their own ("black_box"). Any thread;
  /// std::logic_error when unconfigured.
  void setBlackBoxFolder(const std::string& folder);
  /// Writes the black box to `path` now, as a recording (see BlackBox::dump); returns its
  /// counts. Any thread; the link thread never waits. Throws std::runtime_error when the file
  /// cannot be written, std::logic_error when unconfigured.
  RecordingSummary dumpBlackBox(const std::string& path) const;
  /// Records every following exchange into the file at `path` (layout in flight_recorder.h),
  /// through a ring of `ringRecords` exchanges allocated now. Throws std::invalid_argument when
  /// a ring of `ringRecords` cannot be sized, std::runtime_error when the file cannot be written,
  /// std::logic_error when a recording already runs. The link thread only copies into the ring;
  /// a thread of the recorder writes the file.
  void startRecording(const std::string& path, size_t ringRecords = FlightRecorder::kDefaultRingRecords);
  /// Ends the recording, writes what is left and closes the file; returns its counts (zeros
  /// when nothing was being recorded). Waits for the writer thread to finish the file (about
  /// 1 s at most for a pipe whose reader takes nothing); never throws. Not at the same time as
  /// startRecording.
  RecordingSummary stopRecording();

  /// The robot's motor bus, public for its counts (the joint count is motor_sdk_.motor_num_)
  /// and its read-only views. Exchanging on it while the threads run would take their replies.
  MotorSDK motor_sdk_;

 private:
  RobotConfig _readConfig(const std::string& path, OpenFailure onFailure,
                          std::optional<const IOPort*> port = std::nullopt);
  void _chooseRobotType(const std::string& name, const std::string& path, OpenFailure onFailure);
  void _openBus(const std::function<void()>& initBus, OpenFailure onFailure);
  void _enableControl(double dt, ControlCallback callback);
  void _createThreads();
  void _createControlThread();
  void _prime();
  void _requireEveryDeviceAnswered(const std::vector<bool>& motorAnswered,
                                   const std::vector<bool>& imuAnswered) const;
  void _getState();
  bool _readJoints();
  const RobotState& _mappedState();
  bool _allFeedbackValid() const;
  void _readImu();
  void _requireLinkUp(const char* operation);
  std::string _silentMotors() const;
  void _declareLinkLost();
  void _engageBrake(BrakeLatch::Reason reason);
  void _releaseBrake(BrakeLatch::Reason reason, const char* how);
  void _judgeCommandExpiry(int64_t nowNs);
  void _expireCommands(int64_t nowNs, int64_t timeoutNs);
  void _takeCommand();
  bool _storeCommand();
  enum BlackBoxCause : uint32_t { kDumpLinkLost = 1u << 0, kDumpControllerFailed = 1u << 1, kDumpCommandExpired = 1u << 2 };
  void _requestDump(BlackBoxCause cause);
  void _dumpAutomatically(BlackBoxCause cause);
  void _blackBoxLoop();
  void _stopBlackBoxThread();
  void _announceReply();
  void _setLinkRunning(bool running);
  bool _setCommand();
  void _lowLevelComm();
  void _run();
  void _controlPeriod();
  bool _callbackCommandUsable();
  void _failController(std::exception_ptr failure);
  void _stopThreads();
  void _startThreads();
  void _watchDog();
  void _announceRestoredLink();
  void _requireConfigured(const char* operation) const;
  static void _requireCallback(const ControlCallback& callback);
  static void _requireControlPeriod(double dt);
  void _requireStopped(const char* operation) const;

  RobotCommand cmd_virtual_;
  RobotState state_virtual_;
  RobotCommand cmd_real_;
  RobotState state_real_;
  std::unique_ptr<PeriodicFunction> comm_task_;
  std::unique_ptr<PeriodicFunction> control_task_;
  std::unique_ptr<PeriodicFunction> watchdog_task_;
  double dt_ = 0.0;
  std::vector<MotorCmd> motor_cmds_;
  std::vector<MotorState> motor_states_;
  std::vector<ImuState> imu_states_;
  std::vector<BatState> bat_states_;
  ControlCallback control_callback_;
  RobotType robot_type_ = RobotType::Veltra1;
  bool control_enabled_ = false;

  bool configured_ = false;
  bool running_ = false;
  RealtimeOptions realtime_;
  bool imu_warning_printed_ = false;
  bool command_fault_reported_ = false;      // control thread: warned about the current bad run
  mutable std::mutex failure_mutex_;
  std::exception_ptr controller_failure_;    // guarded by failure_mutex_
  std::function<void()> link_failure_handler_;
  std::atomic<bool> link_down_{false};       // declared lost, no valid reply seen since
  std::mutex brake_mutex_;                   // orders engaging and releasing the brakes
  std::vector<MotorCmd> brake_cmds_;         // the damping frame, fixed once configured
  std::vector<MotorSDK::MotorHealth> watchdog_view_;  // the watchdog's own copy of the status bytes
  LinkWatchdog watchdog_;                    // watchdog thread: the count and the verdict

  // The link thread announces each stored reply; waitForNewState waits for one past the
  // frame cache's count of answered replies.
  std::mutex reply_mutex_;
  std::condition_variable reply_arrived_;
  bool link_running_ = false;  // guarded by reply_mutex_
  std::unique_ptr<FlightRecorder> recorder_;

  // Whether a state is new, for both control styles: the frame last read is state_real_,
  // stamped with its reply, and mapped into state_virtual_. A frame is decoded and mapped
  // once; state reads and commands on the same frame reuse it.
  struct FrameCache {
    std::atomic<uint64_t> answeredSeen{0};  // repliesReceived() at the reply last read or waited for
    bool decodedClean = false;  // that frame's records were all valid: decoding it again prints nothing
    bool mappedClean = false;   // state_virtual_ holds that frame, mapped without a complaint
    LegKinematicsCache legs;    // the legs solved at that frame, for its state and its command
  };
  FrameCache frame_;

  // Command expiry: the timeout, the time of the latest command, and how often it expired.
  std::atomic<int64_t> command_timeout_ns_{0};
  std::atomic<int64_t> last_command_ns_{0};
  int64_t expiry_judged_ns_ = 0;  // link thread: when it judged last
  std::atomic<uint64_t> command_expiries_{0};
  std::atomic<uint64_t> expiries_baseline_{0};

  // Automatic black box dumps: causes are flagged by any thread (the link thread included, so
  // a flag, not a lock); the "black_box" thread writes the files.
  std::atomic<uint32_t> dumps_pending_{0};
  std::mutex black_box_mutex_;
  std::condition_variable black_box_wake_;
  std::string black_box_folder_;             // guarded by black_box_mutex_
  int64_t last_dump_ns_[3] = {0, 0, 0};      // guarded by black_box_mutex_, per cause
  bool dumps_stopped_said_ = false;          // guarded by black_box_mutex_
  bool black_box_quit_ = false;              // guarded by black_box_mutex_
  std::thread black_box_thread_;
};
