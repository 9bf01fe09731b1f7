// The Python module ambulink: one class, Ambulink, through which a Python controller opens
// the robot from its configuration file, reads observations as flat lists of floats and sends
// commands as five lists of floats. Everything below the class (link, watchdog, joint-space
// mapping) is RobotSDK's; this file only converts between Python values and robot records.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ambulink_values.h"
#include "../src/log_line.h"  // the SDK's own console writer, so the line reaches a log handler too
#include "log_sink.h"
#include "remote_robot_binding.h"
#include "robot_family.h"
#include "robot_records.h"
#include "robot_sdk.h"

namespace ambulink {

constexpr const char* kNotConnected =
    "Ambulink is not connected: construct it with a configuration path";
constexpr const char* kClosed =
    "Ambulink is closed: the interpreter is shutting down and its robot was stopped";
constexpr const char* kClosedByWith = "Ambulink is closed: its with block ended and its robot was stopped";
constexpr const char* kClosedByCall = "Ambulink is closed: close() stopped its robot";

/// A wait for the link is cut into slices this long, so that Ctrl-C and a closed robot are
/// noticed within one. Unit: [s].
constexpr double kWaitSliceS = 0.05;
/// The longest wait for the damping frame to leave before a with block's robot closes. Unit: [s].
constexpr double kBrakeDepartureS = 0.2;

/// This process's id, kept here so that every call can ask whether it runs in a child of
/// fork() without a system call; a child's own id is written by the fork handler.
pid_t g_processId = getpid();

class Ambulink;

/// Every Ambulink whose robot layer runs. The interpreter lock guards it: objects are only
/// made, closed and destroyed from Python.
std::vector<Ambulink*>& liveRobots() {
  static std::vector<Ambulink*> robots;
  return robots;
}

/// The Python class. Owns its RobotSDK; the robot's threads run from construction until the
/// object is deleted or the interpreter shuts down.
class Ambulink {
 public:
  /// Unconfigured: no port, no threads. Every method raises RuntimeError.
  Ambulink() : _sdk(std::make_unique<RobotSDK>()) {}

  /// With exitOnLinkFailure false a lost link no longer ends the process: the robot layer
  /// brakes and raises LinkFailure (ambulink.LinkError) instead, until resumed.
  /// `realtimePriority` (SCHED_FIFO, 0 = off) goes to "motor_comm" and "watch_dog",
  /// `linkCpu` (-1 = none) pins "motor_comm"; the interpreter's threads keep their scheduling.
  /// `commandTimeout` (s, 0 = off) and `blackBoxFolder` (empty = none) as
  /// RobotSDK::setCommandTimeout and RobotSDK::setBlackBoxFolder.
  explicit Ambulink(const std::string& path, bool exitOnLinkFailure = true, const LinkOptions& link = {},
                    int realtimePriority = 0, int linkCpu = -1, bool lockMemory = false,
                    double commandTimeout = 0.0, const std::string& blackBoxFolder = "")
      : _configPath(path) {
    requireFifoPriority(realtimePriority, "realtime_priority");  // named as Python knows it
    auto sdk = _open(path, link);
    // The robot layer brakes and refuses commands by itself; nothing is left to do here.
    if (!exitOnLinkFailure) sdk->setLinkFailureHandler([] {});
    RealtimeOptions realtime;
    realtime.link_priority = realtimePriority;
    realtime.link_cpu = linkCpu;
    realtime.lock_memory = lockMemory;
    sdk->setRealtime(realtime);
    sdk->setCommandTimeout(commandTimeout);
    sdk->setBlackBoxFolder(blackBoxFolder);
    sdk->init();
    sdk->start();
    // From here on the threads run; ownership moves only once nothing else can throw.
    _motorNum = sdk->motor_sdk_.motor_num_;
    _sizeRecords();
    _sdk = std::move(sdk);
    _link = Link::Running;
    liveRobots().push_back(this);
  }

  ~Ambulink() { close(); }

  Ambulink(const Ambulink&) = delete;
  Ambulink& operator=(const Ambulink&) = delete;

  /// Observation of 3n + 10 floats: (pos, vel, tau) joint by joint, then acc x y z,
  /// gyro x y z and the quaternion w x y z.
  py::list receiveObservation() {
    _requireRunning();
    _sdk->getState(_state);
    _noteObservation(_state);
    return observationList(_state, _motorNum);
  }

  /// The same observation as a float64 array: written into `out` (no allocation) when given,
  /// into a new numpy array otherwise.
  py::object receiveObservationArray(py::object out) {
    _requireRunning();
    return observationArray(_motorNum, out, [&]() -> const RobotState& {
      const RobotState& state = _sdk->readState();
      _noteObservation(state);
      return state;
    });
  }

  /// (sequence, receive time in s) of the reply the last observation came from, or None
  /// before the first.
  py::object lastObservationInfo() {
    _requireRunning();
    if (_observedSequence == 0) return py::none();
    return py::make_tuple(_observedSequence, _observedTime);
  }

  py::dict linkStats() {
    _requireRunning();
    return linkStatsDict(_sdk->linkStats());
  }

  void resetLinkStats() {
    _requireRunning();
    _sdk->resetLinkStats();
  }

  // Both may wait on the file (a pipe blocks until its reader comes), so other Python threads
  // run meanwhile; the robot's threads never call into Python.
  void startRecording(const std::string& path, size_t bufferRecords) {
    _requireRunning();
    if (bufferRecords == 0) throw std::invalid_argument("buffer_records must be at least 1");
    RobotSDK& sdk = *_sdk;
    _waitUnlocked([&] { sdk.startRecording(path, bufferRecords); });
  }

  /// The black box written to `path`; other Python threads run meanwhile.
  py::dict dumpBlackBox(const std::string& path) {
    _requireRunning();
    RobotSDK& sdk = *_sdk;
    const RecordingSummary summary = _waitUnlocked([&] { return sdk.dumpBlackBox(path); });
    py::dict counts;
    counts["recorded"] = summary.recorded;
    counts["dropped"] = summary.dropped;
    return counts;
  }

  py::dict stopRecording() {
    _requireRunning();
    RobotSDK& sdk = *_sdk;
    const RecordingSummary summary = _waitUnlocked([&] { return sdk.stopRecording(); });
    py::dict counts;
    counts["recorded"] = summary.recorded;
    counts["dropped"] = summary.dropped;
    return counts;
  }

  /// Python order kp, kd, pos, vel, tau. Every list is checked before anything is written, so
  /// a rejected call leaves the robot's command as it was.
  void sendCommand(const NamedJointValues<kKpName>& kp, const NamedJointValues<kKdName>& kd,
                   const NamedJointValues<kPosName>& pos, const NamedJointValues<kVelName>& vel,
                   const NamedJointValues<kTauName>& tau) {
    _requireRunning();
    const NamedList lists[] = {{"kp", kp, _command.kp},
                               {"kd", kd, _command.kd},
                               {"pos", pos, _command.pos},
                               {"vel", vel, _command.vel},
                               {"tau", tau, _command.tau}};
    for (const NamedList& list : lists) {
      _checkCommandList(list.name, list.source.values);
    }
    for (const NamedList& list : lists) {
      std::copy_n(list.source.values.begin(), _motorNum, list.target.data());
    }
    _sdk->setCommand(_command);
  }

  /// Pure damping on every joint through the normal command path. Never raises LinkError:
  /// while the link is lost (and without an IMU, where the command path cannot read the
  /// state) the robot layer's own damping frame is stored instead.
  void brake() {
    _requireRunning();
    if (_sdk->motor_sdk_.imu_num_ == 0 || _sdk->brakeLatch().any()) {
      _sdk->brake();
      return;
    }
    _command.kp.setZero();
    _command.kd.setConstant(kBrakeDamping);
    _command.pos.setZero();
    _command.vel.setZero();
    _command.tau.setZero();
    try {
      _sdk->setCommand(_command);
    } catch (const LinkFailure&) {
      _sdk->brake();  // the link was lost meanwhile: its brake frame already holds
    }
  }

  void resumeAfterLinkFailure() {
    _requireRunning();
    _sdk->resumeAfterLinkFailure();
  }

  /// Leaving a with block on an exception: the damping frame goes out before the robot closes,
  /// rather than the last (stiff) command staying with the motors.
  void exitWith(const py::object& excType) {
    if (_link == Link::Running && !_forkedAway() && !excType.is_none()) {
      _sdk->brake();
      const std::string name = py::str(excType.attr("__name__"));
      logLine("[ambulink] the with block ended on ", name,
              ": every motor gets the damping brake frame before the robot closes");
      _awaitExchanges(2);  // the second exchange certainly carried the frame
    }
    close(kClosedByWith);
  }

  int getMotorNum() {
    _requireRunning();
    return _sdk->motor_sdk_.motor_num_;
  }

  std::string getVersion() {
    _requireRunning();
    return _sdk->get_version();
  }

  std::string robotType() {
    _requireRunning();
    return robotTypeName(_sdk->robotType());
  }

  /// The latest reply's motor records as the board sent them, one array entry per motor.
  py::dict motorStates() {
    _requireRunning();
    const std::vector<MotorState> records = _sdk->motorStates();
    py::dict columns;
    columns["status"] = _column(records, &MotorState::status);
    columns["id"] = _column(records, &MotorState::id);
    columns["mode"] = _column(records, &MotorState::mode);
    columns["pos"] = _column(records, &MotorState::pos);
    columns["vel"] = _column(records, &MotorState::vel);
    columns["tau"] = _column(records, &MotorState::tau);
    columns["temp"] = _column(records, &MotorState::temp);
    return columns;
  }

  /// The latest reply's battery records, one array entry per battery.
  py::dict batteryStates() {
    _requireRunning();
    const std::vector<BatState> records = _sdk->batteryStates();
    py::dict columns;
    columns["status"] = _column(records, &BatState::status);
    columns["bms_id"] = _column(records, &BatState::bms_id);
    columns["failure"] = _column(records, &BatState::failure);
    columns["voltage"] = _column(records, &BatState::voltage);
    columns["current"] = _column(records, &BatState::current);
    columns["soc"] = _column(records, &BatState::soc);
    return columns;
  }

  /// Other Python threads run while this one waits for the link. The wait goes in slices so
  /// that Ctrl-C is taken within one; the robot layer ends it at once on a lost link. The waiter
  /// is counted so that close() (at interpreter exit, say) releases the robot only once it has
  /// left; a robot closed meanwhile ends the wait with False.
  bool waitForObservation(double timeoutSeconds) {
    _requireRunning();
    if (!(timeoutSeconds >= 0.0)) throw std::invalid_argument("wait_for_observation: the timeout must be 0 s or more");
    using Clock = std::chrono::steady_clock;
    constexpr double kLongestWait = 1e7;  // keeps the deadline far from the clock's range
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::min(timeoutSeconds, kLongestWait)));
    for (;;) {
      const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
      if (_waitSlice(std::clamp(left, 0.0, kWaitSliceS))) return true;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (_link != Link::Running || left <= kWaitSliceS) return false;
    }
  }

  /// Stops the robot's threads, then releases the robot. Safe to call more than once; `why`
  /// is what later calls are told.
  void close(const char* why = kClosed) {
    if (_forkedAway()) {
      // The robot's threads were not copied into this child: stopping them would wait for
      // threads that do not exist, and sending a last frame would fight the parent's link.
      // The robot is left unreleased on purpose.
      (void)_sdk.release();
      _link = Link::Closed;
      auto& robots = liveRobots();
      robots.erase(std::remove(robots.begin(), robots.end(), this), robots.end());
      return;
    }
    if (_link == Link::Running) {
      _sdk->stop();  // lets every waiter go
      while (_waiters.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      _link = Link::Closed;
      _closedReason = why;
      auto& robots = liveRobots();
      robots.erase(std::remove(robots.begin(), robots.end(), this), robots.end());
    }
    _sdk.reset();
  }

 private:
  enum class Link { Unconfigured, Running, Closed };

  // An interpreter must outlive a bad file or a missing address, so the robot layer reports
  // them instead of ending the process.
  static std::unique_ptr<RobotSDK> _open(const std::string& path, const LinkOptions& link) {
    try {
      return std::make_unique<RobotSDK>(path, link, RobotSDK::OpenFailure::Throw);
    } catch (const LinkHeldError& error) {
      if (!error.inThisProcess()) throw;
      throw std::runtime_error(error.link() + " is held by another Ambulink in this process: close() it first");
    }
  }

  struct NamedList {
    const char* name;
    const JointValues& source;
    Eigen::VectorXd& target;
  };

  static constexpr double kBrakeDamping = 0.5;

  void _sizeRecords() {
    const Eigen::Index n = _motorNum;
    for (Eigen::VectorXd* v : {&_command.tau, &_command.pos, &_command.vel, &_command.kp, &_command.kd}) {
      v->setZero(n);
    }
    _state.zero(_motorNum);
  }

  /// A call that waits without the interpreter lock, counted as a waiter while it runs.
  /// Counted before the lock is let go and uncounted before it is taken back, since close()
  /// holds it while it waits for the count to reach zero.
  template <typename Wait>
  auto _waitUnlocked(Wait wait) -> decltype(wait()) {
    struct Counted {
      std::atomic<int>& waiters;
      ~Counted() { waiters.fetch_sub(1); }
    };
    _waiters.fetch_add(1);
    py::gil_scoped_release release;
    const Counted counted{_waiters};
    return wait();
  }

  /// True in a child of fork(): the object belongs to the process that opened it.
  bool _forkedAway() const { return g_processId != _ownerPid; }

  void _requireRunning() const {
    if (_forkedAway())
      throw std::runtime_error("Ambulink belongs to process " + std::to_string(_ownerPid) +
                               ", which opened it; a child of fork() cannot use it");
    if (_link == Link::Unconfigured) throw std::runtime_error(kNotConnected);
    if (_link == Link::Closed) throw std::runtime_error(_closedReason);
  }

  /// A short list would be read past its end, and a NaN or infinity would reach the motors (so
  /// would a number too large for the link's 32-bit floats, which narrows to infinity).
  void _checkCommandList(const char* name, const std::vector<double>& values) const {
    const size_t n = static_cast<size_t>(_motorNum);
    if (values.size() < n) {
      throw std::invalid_argument(std::string(name) + " has " + std::to_string(values.size()) +
                                  " values but the robot has " + std::to_string(n) + " joints");
    }
    for (size_t i = 0; i < n; ++i) {
      if (!std::isfinite(values[i])) {
        throw std::invalid_argument(std::string(name) + "[" + std::to_string(i) + "] is " +
                                    _describe(values[i]) + ": joint " + std::to_string(i) +
                                    " needs a finite value");
      }
      if (std::fabs(values[i]) > std::numeric_limits<float>::max()) {
        std::ostringstream text;
        text << name << "[" << i << "] is " << values[i] << ": joint " << i
             << " needs a value that fits the link's 32-bit floats";
        throw std::invalid_argument(text.str());
      }
    }
  }

  /// One slice of a wait, without the interpreter lock.
  bool _waitSlice(double seconds) {
    RobotSDK& sdk = *_sdk;
    return _waitUnlocked([&] { return sdk.waitForNewState(seconds); });
  }

  /// Waits, without the interpreter lock, until `count` more frames have left (at most
  /// kBrakeDepartureS: a stalled link thread must not hold up the exit).
  void _awaitExchanges(uint64_t count) {
    py::gil_scoped_release release;
    const uint64_t target = _sdk->linkStats().exchanges + count;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kBrakeDepartureS);
    while (_sdk->linkStats().exchanges < target && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  static std::string _describe(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
  }

  /// One field of every record, as a numpy array of the field's own type.
  template <typename Record, typename Field>
  static py::array_t<Field> _column(const std::vector<Record>& records, Field Record::*field) {
    py::array_t<Field> column(static_cast<py::ssize_t>(records.size()));
    Field* out = column.mutable_data();
    for (size_t i = 0; i < records.size(); ++i) out[i] = records[i].*field;
    return column;
  }

  std::string _configPath;
  RobotState _state;
  RobotCommand _command;
  uint64_t _observedSequence = 0;  // of the reply the last observation was decoded from
  double _observedTime = 0.0;      // its receive time, CLOCK_MONOTONIC [s]
  std::unique_ptr<RobotSDK> _sdk;
  int _motorNum = 0;
  Link _link = Link::Unconfigured;
  std::atomic<int> _waiters{0};  // threads inside waitForObservation, startRecording or stopRecording
  pid_t _ownerPid = g_processId;
  const char* _closedReason = kClosed;

  void _noteObservation(const RobotState& state) {
    _observedSequence = state.replySequence;
    _observedTime = state.replyTime;
  }
};

/// At interpreter shutdown objects may outlive the interpreter's own clean-up (module globals,
/// reference cycles); their threads must not keep running into the process's static
/// destructors, so every live robot is stopped and released first.
void closeLiveRobots() {
  std::vector<Ambulink*> robots;
  robots.swap(liveRobots());
  for (Ambulink* robot : robots) {
    robot->close();
  }
}

// ---- The console as Python lines ----------------------------------------------------------

/// The Python log handler. The interpreter lock guards it; held on the heap so that nothing
/// touches a Python object after the interpreter has gone.
py::object* g_logHandler = nullptr;
/// Whether the current handler's first exception has been reported.
bool g_logHandlerFailed = false;
/// True on the drain thread while it calls the handler, which must not remove itself.
thread_local bool t_inLogHandler = false;
/// Set once the module's exit hook removed the handler: the interpreter is going away, and a
/// handler installed now would be called by a thread the interpreter no longer serves.
bool g_shuttingDown = false;

bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

/// The SDK's sink: runs on its drain thread, takes the interpreter lock for each line. Once
/// the interpreter is finalizing, taking the lock would end the thread: the line goes to
/// standard output instead.
void deliverLogLine(std::string_view line) {
  if (interpreterFinalizing()) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return;
  }
  // Plain C calls and no destructors from here on: an interpreter that finalizes while the
  // handler runs ends this thread from inside the call, and unwinding must then release
  // nothing (a lock no longer held, references the interpreter no longer keeps).
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* handler = g_logHandler ? g_logHandler->ptr() : nullptr;
  PyObject* text = handler ? PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace")
                           : nullptr;
  if (text) {
    Py_INCREF(handler);  // kept alive should the handler replace itself
    t_inLogHandler = true;
    PyObject* result = PyObject_CallOneArg(handler, text);
    t_inLogHandler = false;
    if (result) {
      Py_DECREF(result);
    } else if (!g_logHandlerFailed) {
      // Reported once per handler (through sys.unraisablehook, on standard error); the drain
      // thread goes on with the next line either way.
      g_logHandlerFailed = true;
      PyObject* context = PyUnicode_FromString("ambulink log handler");
      PyErr_WriteUnraisable(context);
      Py_XDECREF(context);
    } else {
      PyErr_Clear();
    }
    Py_DECREF(text);
    Py_DECREF(handler);
  } else {
    PyErr_Clear();
  }
  PyGILState_Release(gil);
}

void setLogHandler(const py::object& handler) {
  if (t_inLogHandler) throw std::runtime_error("set_log_handler cannot be called from inside the log handler");
  if (!handler.is_none() && !PyCallable_Check(handler.ptr()))
    throw py::type_error("set_log_handler(): handler must be a callable taking one str, or None");
  if (!handler.is_none() && (g_shuttingDown || interpreterFinalizing()))
    throw std::runtime_error("set_log_handler(): the interpreter is shutting down; the lines stay on standard output");
  g_logHandlerFailed = false;
  if (handler.is_none()) {
    if (!g_logHandler) return;
    {
      py::gil_scoped_release release;  // the drain thread needs the lock to hand over the queued lines
      setLogSink(nullptr);
    }
    delete g_logHandler;
    g_logHandler = nullptr;
    return;
  }
  if (g_logHandler) {
    *g_logHandler = handler;  // the sink stays installed; only the callable changes
    return;
  }
  g_logHandler = new py::object(handler);
  py::gil_scoped_release release;
  setLogSink(&deliverLogLine);
}

/// At interpreter shutdown, after the robots were closed: their last lines reach the handler,
/// then the drain thread ends while the interpreter can still serve it.
/// One column of a family's table, joint by joint.
template <typename T>
std::vector<T> familyColumn(const RobotFamily& family, T FamilyJoint::*field) {
  std::vector<T> column;
  for (const FamilyJoint& joint : family.joints) column.push_back(joint.*field);
  return column;
}

/// Registers ambulink.RobotFamily, a read-only view of a family that lives as long as the process.
void bindRobotFamily(py::module_& m) {
  using Family = RobotFamily;
  py::class_<Family>(m, "RobotFamily", R"doc(One robot family's table: its joints' names, what a
positive angle does at each, a standing pose and the gains that hold it. The per-joint lists
cover the legs, in joint order; joints past them keep their start position with other_kp and
other_kd. Ramped to from the start pose over a few seconds, the pose stands the robot.)doc")
      .def_property_readonly("name", [](const Family& f) { return f.name; },
                             "The family: \"veltra1\" (the biped) or \"zenthi\" (six legs).")
      .def_property_readonly(
          "robot_types",
          [](const Family& f) {
            std::vector<std::string> names;
            for (RobotType type : f.types) names.emplace_back(robotTypeName(type));
            return names;
          },
          "The robot_type names of the family.")
      .def_property_readonly("joint_names", [](const Family& f) { return familyColumn(f, &FamilyJoint::name); },
                             "The legs' joints: \"left knee\", \"leg 3 hip\", ...")
      .def_property_readonly("positive", [](const Family& f) { return familyColumn(f, &FamilyJoint::positive); },
                             "What a positive angle does at each joint (x forward, y left, z up).")
      .def_property_readonly("stand", [](const Family& f) { return familyColumn(f, &FamilyJoint::stand); },
                             "The standing pose, rad, in the controller's (virtual) joint space.")
      .def_property_readonly("kp", [](const Family& f) { return familyColumn(f, &FamilyJoint::kp); },
                             "Position gains that hold the stance, N·m/rad.")
      .def_property_readonly("kd", [](const Family& f) { return familyColumn(f, &FamilyJoint::kd); },
                             "Velocity gains that hold the stance, N·m·s/rad.")
      .def_readonly("other_kp", &Family::otherKp, "Position gain of the joints past the table, N·m/rad.")
      .def_readonly("other_kd", &Family::otherKd, "Velocity gain of the joints past the table, N·m·s/rad.")
      .def(
          "standing_pose",
          [](const Family& f, const std::vector<double>& start) {
            const auto count = static_cast<Eigen::Index>(start.size());
            const Eigen::VectorXd pose = f.standingPose(Eigen::Map<const Eigen::VectorXd>(start.data(), count));
            return std::vector<double>(pose.data(), pose.data() + pose.size());
          },
          py::arg("start"),
          "The standing pose of a robot whose joints are at `start` (rad): the table's angles, then `start`'s.")
      .def(
          "gains",
          [](const Family& f, Eigen::Index joints) {
            if (joints < 0) throw std::invalid_argument("gains: the joint count must be 0 or more");
            const Eigen::VectorXd kp = f.kp(joints), kd = f.kd(joints);
            return py::make_tuple(std::vector<double>(kp.data(), kp.data() + kp.size()),
                                  std::vector<double>(kd.data(), kd.data() + kd.size()));
          },
          py::arg("joints"), "(kp, kd) lists for `joints` joints: the table's gains, then other_kp and other_kd.")
      .def("joint_name", &Family::jointName, py::arg("joint"),
           "Joint `joint`'s name: the table's, \"joint N\" past it.");

  m.def(
      "config_robot_type",
      [](const std::string& path) {
        const std::string name = loadRobotType(path);
        if (!robotTypeFromName(name)) throw std::invalid_argument(unknownRobotTypeText(name, path));
        return name;
      },
      py::arg("path"),
      R"doc(Returns the robot_type of the configuration file at `path` as the robot reads it, without
opening any robot: for a program that must pick its robot before it runs one. Raises ValueError
for a name that is not a robot type and RuntimeError when the file or the key cannot be read.)doc");
  m.def(
      "robot_family", [](const std::string& robotType) -> const Family& { return robotFamily(robotType); },
      py::return_value_policy::reference, py::arg("robot_type"),
      R"doc(Returns the RobotFamily of `robot_type` ("veltra1", "veltra1L", "zenthi" or "zenthi_v2").
Raises ValueError for any other name.)doc");
}

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

// One row per sample: the robot layer's own mapping, applied to each in turn.
py::tuple realToVirtual(const std::string& robotType, const Samples& pos, const Samples& vel, const Samples& tau) {
  const int code = robotTypeCode(robotType);
  if (code < 0) throw RobotTypeError("real_to_virtual: unknown robot type \"" + robotType + "\"");
  const std::vector<py::ssize_t> shape(pos.shape(), pos.shape() + pos.ndim());
  for (const Samples* other : {&vel, &tau})
    if (std::vector<py::ssize_t>(other->shape(), other->shape() + other->ndim()) != shape)
      throw std::invalid_argument("real_to_virtual: pos, vel and tau must have one shape");
  if (pos.ndim() != 1 && pos.ndim() != 2)
    throw std::invalid_argument("real_to_virtual: the arrays must be (joints,) or (samples, joints)");
  const py::ssize_t joints = shape.back();
  const py::ssize_t samples = pos.ndim() == 2 ? shape[0] : 1;
  Samples outPos(shape), outVel(shape), outTau(shape);
  RobotState real, mapped;
  real.zero(static_cast<int>(joints));
  mapped.zero(static_cast<int>(joints));
  LegKinematicsCache cache;
  using Row = Eigen::Map<const Eigen::VectorXd>;
  using OutRow = Eigen::Map<Eigen::VectorXd>;
  for (py::ssize_t row = 0; row < samples; ++row) {
    const py::ssize_t at = row * joints;
    real.pos = Row(pos.data() + at, joints);
    real.vel = Row(vel.data() + at, joints);
    real.tau = Row(tau.data() + at, joints);
    switchRealToVirtual(real, mapped, code, cache);
    OutRow(outPos.mutable_data() + at, joints) = mapped.pos;
    OutRow(outVel.mutable_data() + at, joints) = mapped.vel;
    OutRow(outTau.mutable_data() + at, joints) = mapped.tau;
  }
  return py::make_tuple(outPos, outVel, outTau);
}

void removeLogHandler() {
  g_shuttingDown = true;
  setLogHandler(py::none());
}

/// In a child of fork(): the SDK's drain thread was not copied and the child's lines go to
/// standard output, so the handler is forgotten (here the interpreter lock is held).
void forgetLogHandlerInChild() {
  delete g_logHandler;
  g_logHandler = nullptr;
  g_logHandlerFailed = false;
}

/// The link of the keyword arguments: board/local choose UDP endpoints, device (and baud) a
/// USB serial link; what is not given is left to the file. Raises ValueError for text that is
/// not ADDR:PORT, a baud rate outside 1 to 2^32 - 1, and for UDP and USB asked for together.
LinkOptions linkFromArguments(const std::optional<std::string>& board, const std::optional<std::string>& local,
                              const std::optional<std::string>& device, const std::optional<long long>& baud) {
  if ((board || local) && (device || baud))
    throw py::value_error("board/local choose a UDP link and device/baud a USB one: give one kind only");
  LinkOptions link;
  try {
    if (board) link = link.over(LinkOptions::udp(*board));
    if (local) {
      const auto [address, port] = parseEndpoint(*local, "local");
      link.kind = UDP;
      link.localAddress = address;
      link.localPort = port;
    }
  } catch (const ConfigError& error) {
    throw py::value_error(error.what());
  }
  if (baud && (*baud < 1 || *baud > 4294967295LL))
    throw py::value_error("baud: " + std::to_string(*baud) + " is not a rate of 1 to 4294967295 bit/s");
  if (device) {
    link.kind = USB;
    link.device = *device;
  }
  if (baud) link.baud = static_cast<uint32_t>(*baud);
  return link;
}

}  // namespace ambulink

PYBIND11_MODULE(ambulink, m) {
  using ambulink::Ambulink;
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const RobotTypeError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const LinkOpenError& error) {
      py::object raised = py::reinterpret_borrow<py::object>(PyExc_OSError)(error.errorNumber(), error.what());
      PyErr_SetObject(PyExc_OSError, raised.ptr());
    }
  });
  py::register_exception<LinkFailure>(m, "LinkError", PyExc_RuntimeError);
  py::class_<Ambulink>(m, "Ambulink", R"doc(One robot, opened from its YAML configuration file.

The robot's link thread (one exchange with the motor board every 2.1 ms) and its watchdog run
from construction until the object is deleted or the interpreter exits. Joint values are on the
joint side of each gear, in the controller's (virtual) joint space: positions in rad,
velocities in rad/s, torques in N·m. One object must not be used from two threads at once.)doc")
      .def(py::init<>(), "An unconnected object: every method raises RuntimeError.")
      .def(py::init([](const std::string& path, bool exitOnLinkFailure, const std::optional<std::string>& board,
                       const std::optional<std::string>& local, const std::optional<std::string>& device,
                       const std::optional<long long>& baud, int realtimePriority, int linkCpu, bool lockMemory,
                       double commandTimeout, const std::string& blackBoxFolder) {
             return std::make_unique<Ambulink>(path, exitOnLinkFailure,
                                               ambulink::linkFromArguments(board, local, device, baud),
                                               realtimePriority, linkCpu, lockMemory, commandTimeout,
                                               blackBoxFolder);
           }),
           py::arg("path"), py::pos_only(), py::kw_only(), py::arg("exit_on_link_failure") = true,
           py::arg("board") = py::none(), py::arg("local") = py::none(), py::arg("device") = py::none(),
           py::arg("baud") = py::none(), py::arg("realtime_priority") = 0, py::arg("link_cpu") = -1,
           py::arg("lock_memory") = false, py::arg("command_timeout") = 0.0,
           py::arg("black_box_folder") = "",
           R"doc(Opens the robot from the configuration file at `path`, primes the link with ten
exchanges and starts its threads.

Raises RuntimeError when the file cannot be loaded or the configuration is unusable, when
another controller (another Ambulink, or another process) holds the robot's board, when the
board's replies do not fit the configured counts, and when a motor or IMU never sent a valid
record while priming (the message names them). Raises ValueError for an unknown robot_type and
OSError when the link cannot be opened (the machine lacks the controller's address).

The link is the configuration's (its optional link: section, else UDP from 192.168.1.10:8881
to the board at 192.168.1.5:8880). board="ADDR:PORT" and local="ADDR:PORT" (port 0: any free
one) choose other UDP endpoints; device="/dev/ttyUSB1" (and baud=N) choose the USB serial link.
Each one given wins over the file's; a malformed one raises ValueError.

A lost link (ten failing watchdog checks, about 0.1 s without complete valid replies, whatever
the program reads) ends the process with exit status 1 by default; the motors keep the last
command frame. With exit_on_link_failure=False the process goes on and every motor is held in
the damping brake frame: receive_observation, receive_observation_array and
wait_for_observation raise LinkError until a valid reply arrives again, send_command until
resume_after_link_failure() succeeds.

realtime_priority (SCHED_FIFO 1-99; 0, the default, is off) is given to the robot's link and
watchdog threads, link_cpu (-1: none) pins the link thread to one CPU, lock_memory locks the
process's memory (mlockall). The interpreter's own threads keep their scheduling. A setting the
system refuses raises RuntimeError saying what was refused and how to allow it (root,
CAP_SYS_NICE, an rtprio line in limits.conf, a CPU this process may use); nothing is left
running.

command_timeout (s; 0, the default, is off): when no send_command came for that long, every
motor is held in the damping brake frame (one line says so, link_stats() counts it in
command_expiries) until the next send_command. ValueError for a negative or non-finite value.
black_box_folder: where the last 2 s of exchanges (always kept in memory) are written as a
recording when the link is lost or the commands expire (see dump_black_box); empty, the
default, writes nothing by itself.)doc")
      .def("receive_observation", &Ambulink::receiveObservation,
           R"doc(Returns the latest state as 3n + 10 floats: (pos rad, vel rad/s, tau N·m) for
each joint in turn, then the first IMU's acceleration x y z, angular rate x y z and quaternion
w x y z. Raises IndexError when the robot has no IMU, and LinkError while the link is lost
(exit_on_link_failure=False).)doc")
      .def("send_command", &Ambulink::sendCommand, py::arg("kp"), py::arg("kd"), py::arg("pos"),
           py::arg("vel"), py::arg("tau"),
           R"doc(Commands every joint; the link sends it within 2.1 ms.

kp: position gains (N·m/rad), kd: velocity gains (N·m·s/rad), pos: targets (rad),
vel: targets (rad/s), tau: feed-forward torques (N·m); joint side, positionally in this order
or by keyword. Each is a 1-D sequence of numbers (list, tuple, numpy array) with at least one
entry per joint; entries past the joint count are ignored.

Raises TypeError naming the argument for a value that is not a 1-D sequence of numbers, and
ValueError for a list shorter than the joint count or a value that is not finite; either way
nothing is sent. Raises LinkError from the loss of the link until resume_after_link_failure()
succeeds (exit_on_link_failure=False).)doc")
      .def("brake", &Ambulink::brake,
           R"doc(Commands pure damping on every joint: kp 0, kd 0.5, zero targets. Never raises
LinkError: while the link is lost, or on a robot without an IMU, it stores the robot layer's own
damping frame (kd 0.8) instead.)doc")
      .def("get_motor_num", &Ambulink::getMotorNum, "Returns the number of joints n.")
      .def("get_version", &Ambulink::getVersion, "Returns the robot layer's version text.")
      .def("robot_type", &Ambulink::robotType,
           R"doc(Returns the configuration's robot_type: "veltra1", "veltra1L", "zenthi" or
"zenthi_v2". ambulink.robot_family(robot.robot_type()) gives its joints and standing pose.)doc")
      .def("motor_states", &Ambulink::motorStates,
           R"doc(Returns the latest reply's motor records as the board sent them:
a dict of numpy arrays with one entry per motor, in configuration order:

status (uint8, 9 = valid, anything else an error code from the board), id (uint8),
mode (uint8), pos, vel, tau (float32, motor side: before gear ratio and offset, in the
board's units), temp (float32, as the board reports it). A record whose status is not 9
carries only status and id; when no reply arrived every field is 0.)doc")
      .def("battery_states", &Ambulink::batteryStates,
           R"doc(Returns the latest reply's battery records as the board sent them:
a dict of numpy arrays with one entry per battery: status (uint8, 9 = valid), bms_id (uint8),
failure (int32 code), voltage, current, soc (float32, state of charge).)doc")
      .def("wait_for_observation", &Ambulink::waitForObservation, py::arg("timeout"),
           R"doc(Blocks until the board's reply to an exchange newer than any this object has
read or waited for has arrived, so a policy can run in step with the link; other Python
threads run meanwhile. Returns True then, or False after `timeout` seconds (0 polls) or once
the robot is closed. Raises LinkError while the link is lost, at once or within 0.1 s of the
loss; KeyboardInterrupt (Ctrl-C) ends the wait within 0.1 s. Raises ValueError for a negative
timeout.)doc")
      .def("receive_observation_array", &Ambulink::receiveObservationArray, py::arg("out") = py::none(),
           R"doc(Returns the observation of receive_observation() as a float64 array of 3n + 10
values. With `out` (a writable 1-D float64 array of exactly 3n + 10 values) the values are
written into it, nothing is allocated, and `out` is returned. Raises ValueError for an array of
another shape or type, TypeError for a read-only buffer.)doc")
      .def("last_observation_info", &Ambulink::lastObservationInfo,
           R"doc(Returns (sequence, receive_time) of the board's reply that the last
receive_observation() or receive_observation_array() was decoded from: the reply's sequence
number (counting every exchange of the link, 1 for the first) and when it was received, in
seconds of CLOCK_MONOTONIC (time.monotonic() in this process). Two observations with the same
sequence come from the same reply. None before the first observation.)doc")
      .def("link_stats", &Ambulink::linkStats,
           R"doc(Returns the link's health since start or the last reset_link_stats() as a dict:
exchanges, replies, timeouts, short_replies, long_replies, stale_skipped, foreign_dropped,
invalid_motor_records, invalid_imu_records, invalid_battery_records, longest_failure_run
(counts), rtt_median_us, rtt_p99_us, rtt_max_us (round trips of the last 1000 exchanges, µs) and
reply_age_us (since the latest complete reply, µs; -1 before the first). Reading it never makes
the link thread wait.)doc")
      .def("reset_link_stats", &Ambulink::resetLinkStats, "Starts a new window: every count starts again from 0.")
      .def("start_recording", &Ambulink::startRecording, py::arg("path"),
           py::arg("buffer_records") = FlightRecorder::kDefaultRingRecords,
           R"doc(Records every exchange with the board into the file at `path` (a pipe works too).
The link thread copies each exchange into a ring of `buffer_records` entries and a writer thread
writes the file; when the writer falls behind, exchanges are dropped and counted, never the link
delayed. When the file takes no more (a full disk, a pipe whose reader left) the rest is
dropped and counted, and a regular file ends at its last whole record; the process never gets
SIGPIPE. Raises ValueError when a ring of `buffer_records` cannot be sized, RuntimeError when
the file cannot be written or a recording already runs.)doc")
      .def("dump_black_box", &Ambulink::dumpBlackBox, py::arg("path"),
           R"doc(Writes the last 2 s of exchanges (kept in memory from the start) to `path` as a
recording that read_recording reads; returns {"recorded": records, "dropped": 0}. The link
never waits for it. Raises RuntimeError when the file cannot be written.)doc")
      .def("stop_recording", &Ambulink::stopRecording,
           R"doc(Ends the recording and closes the file; returns {'recorded': ..., 'dropped': ...},
which together count every exchange since the start. A pipe's reader that takes nothing is
given about 1 s, then the records not written are counted dropped.)doc")
      .def(
          "close", [](Ambulink& self) { self.close(ambulink::kClosedByCall); },
          "Stops the robot's threads and lets its board go (another Ambulink may open it); every "
          "later call raises RuntimeError. Closing again does nothing.")
      .def("resume_after_link_failure", &Ambulink::resumeAfterLinkFailure,
           R"doc(Ends the damping brake of a lost link once every motor answers again: commands
are accepted again. Returns at once when no link failure is in force. Raises LinkError naming
the motors that still send no valid record (the brake stays).)doc")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](Ambulink& self, const py::object& excType, const py::object&, const py::object&) {
            self.exitWith(excType);
          },
          py::arg("exc_type"), py::arg("exc"), py::arg("traceback"),
          R"doc(Stops the robot's threads; every later call raises RuntimeError. Leaving the block
on an exception first stores the damping brake frame (kd 0.8 N·m·s/rad, everything else 0) and
lets it leave, with one line saying so.)doc");

  // The reader is plain Python over numpy, imported on first use so that the module itself
  // never needs numpy.
  m.def(
      "read_recording",
      [](py::object path, py::object space) {
        return py::module_::import("ambulink_recording").attr("read_recording")(path, py::arg("space") = space);
      },
      py::arg("path"), py::kw_only(), py::arg("space") = "real",
      R"doc(Reads a flight recording into numpy arrays in joint-side units (needs numpy). With
space="virtual" the recording also holds `virtual`: the measured positions, velocities and
torques in the controller's joint space, mapped as the robot maps them.)doc");
  m.def("real_to_virtual", &ambulink::realToVirtual, py::arg("robot_type"), py::arg("pos"), py::arg("vel"),
        py::arg("tau"),
        R"doc(Maps measured joint values from the motors' joint space to the controller's (virtual)
one, as the robot does for every observation: `pos` (rad), `vel` (rad/s) and `tau` (N·m) are
arrays of one shape, (joints,) or (samples, joints); returns (pos, vel, tau) of that shape.
`robot_type` is "veltra1", "veltra1L", "zenthi" or "zenthi_v2". A sample the legs' kinematics
cannot convert prints one line and keeps its values where they could not be converted. Raises
ValueError for an unknown robot type, arrays of different shapes, or a joint count the robot
type does not have.)doc");

  ambulink::bindRobotFamily(m);
  ambulink::bindRemoteRobot(m);
  m.def("set_log_handler", &ambulink::setLogHandler, py::arg("handler"),
        R"doc(Sends the SDK's console lines to `handler` (called with one str per line, without
its line end) instead of standard output, or back to standard output given None (lines
already queued are handed to the old handler first).

The handler runs on a thread of the SDK's own, with the interpreter lock held; the link never
waits for it. When it falls behind by more than 256 lines, the oldest queued ones make way
and are counted (dropped_log_lines); once it has caught up it gets one line "N log lines
dropped". An exception raised by the handler is reported once and the next lines
are still delivered. It must not call set_log_handler itself.

Removing the handler (None, or interpreter exit) waits at most about 1 s for a handler that
blocks; the lines it did not take go to standard output. A child of fork() starts without a
handler. Raises RuntimeError when the interpreter is shutting down (its lines stay on standard
output).)doc");
  m.def("dropped_log_lines", &droppedLogLines,
        "Returns how many console lines were dropped since the process started: the log handler fell behind.");

  // Registered before the robots' clean-up, so it runs after it (atexit runs last-in first-out).
  py::module_::import("atexit").attr("register")(py::cpp_function(&ambulink::removeLogHandler));
  pthread_atfork(nullptr, nullptr, [] { ambulink::g_processId = getpid(); });
  py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") =
                                                         py::cpp_function(&ambulink::forgetLogHandlerInChild));
  py::module_::import("atexit").attr("register")(py::cpp_function(&ambulink::closeLiveRobots));
}
