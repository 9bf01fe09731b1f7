// The Python module ambulink: one class, Ambulink, through which a Python controller opens
// the robot from its configuration file, reads observations as flat lists of floats and sends
// commands as five lists of floats. Everything below the class (link, watchdog, joint-space
// mapping) is RobotSDK's; this file only converts between Python values and robot records.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "robot_records.h"
#include "robot_sdk.h"

namespace py = pybind11;

namespace ambulink {

/// One command list as Python handed it over, already converted to doubles.
struct JointValues {
  std::vector<double> values;
};

}  // namespace ambulink

namespace pybind11 {
namespace detail {

/// Takes any sequence of numbers (list, tuple, numpy array, array.array, ...). Objects that
/// export a 1-D buffer of float64 or float32 are read straight from their memory; everything
/// else goes item by item through float(). A value that does not convert makes the call fail
/// with pybind11's own "incompatible function arguments" TypeError before any robot code runs.
template <>
struct type_caster<ambulink::JointValues> {
  PYBIND11_TYPE_CASTER(ambulink::JointValues, const_name("list[float]"));

  bool load(handle src, bool /*convert*/) {
    // Text is a sequence too, but never a list of numbers.
    if (PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) || PyByteArray_Check(src.ptr())) {
      return false;
    }
    if (PyObject_CheckBuffer(src.ptr())) {
      const BufferRead read = _loadBuffer(src);
      if (read != BufferRead::NotNumeric) {
        return read == BufferRead::Loaded;
      }
    }
    return _loadSequence(src);
  }

 private:
  enum class BufferRead { Loaded, Rejected, NotNumeric };

  /// Releases the buffer view however the read ends.
  struct BufferView {
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
      if (held) {
        PyBuffer_Release(&view);
      }
    }
  };

  template <typename T>
  void _copyStrided(const Py_buffer& view) {
    const auto count = static_cast<size_t>(view.shape[0]);
    const char* base = static_cast<const char*>(view.buf);
    value.values.resize(count);
    for (size_t i = 0; i < count; ++i) {
      T item;
      std::memcpy(&item, base + static_cast<Py_ssize_t>(i) * view.strides[0], sizeof(T));
      value.values[i] = static_cast<double>(item);
    }
  }

  /// Native little-endian float64/float32 buffers only; other formats (integers, big-endian,
  /// records) are left to the item-by-item path, which knows how to convert them.
  BufferRead _loadBuffer(handle src) {
    BufferView buffer;
    if (PyObject_GetBuffer(src.ptr(), &buffer.view, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return BufferRead::NotNumeric;
    }
    buffer.held = true;
    const Py_buffer& view = buffer.view;
    if (view.ndim != 1) {
      return BufferRead::Rejected;
    }
    const char* format = view.format ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') {
      ++format;
    }
    if (std::strcmp(format, "d") == 0 && view.itemsize == sizeof(double)) {
      _copyStrided<double>(view);
      return BufferRead::Loaded;
    }
    if (std::strcmp(format, "f") == 0 && view.itemsize == sizeof(float)) {
      _copyStrided<float>(view);
      return BufferRead::Loaded;
    }
    return BufferRead::NotNumeric;
  }

  bool _loadSequence(handle src) {
    if (!PySequence_Check(src.ptr())) {
      return false;  // sets, dicts, iterators: no defined order or length
    }
    object items = reinterpret_steal<object>(PySequence_Fast(src.ptr(), "expected a sequence"));
    if (!items) {
      PyErr_Clear();
      return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());
    value.values.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const double number = PyFloat_AsDouble(item[i]);
      if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      value.values[static_cast<size_t>(i)] = number;
    }
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11

namespace ambulink {

constexpr const char* kNotConnected =
    "Ambulink is not connected: construct it with a configuration path";
constexpr const char* kClosed =
    "Ambulink is closed: the interpreter is shutting down and its robot was stopped";
constexpr const char* kClosedByWith = "Ambulink is closed: its with block ended and its robot was stopped";

/// A caller's array that an observation is written into: a writable, one-dimensional buffer
/// of float64 (a numpy array, array.array('d'), ...) of exactly the observation's length.
/// Holds the buffer view while it lives.
class ObservationTarget {
 public:
  ObservationTarget(py::handle array, size_t length) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      throw py::type_error("out must be a writable float64 array of " + std::to_string(length) + " values");
    }
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (view_.ndim != 1 || std::strcmp(format, "d") != 0 || view_.itemsize != sizeof(double) ||
        static_cast<size_t>(view_.shape[0]) != length) {
      throw py::value_error("out must be a one-dimensional float64 array of " + std::to_string(length) +
                            " values");
    }
  }
  ~ObservationTarget() {
    if (held_) PyBuffer_Release(&view_);
  }
  ObservationTarget(const ObservationTarget&) = delete;
  ObservationTarget& operator=(const ObservationTarget&) = delete;

  void put(size_t index, double value) {
    char* item = static_cast<char*>(view_.buf) + static_cast<Py_ssize_t>(index) * view_.strides[0];
    std::memcpy(item, &value, sizeof(value));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

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

  explicit Ambulink(const std::string& path) : _configPath(path) {
    auto sdk = std::make_unique<RobotSDK>(path);
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
    py::list observation(_observationLength());
    _forEachObservationValue(_state, [&](size_t k, double value) { _put(observation, k, value); });
    return observation;
  }

  /// The same observation as a float64 array: written into `out` (no allocation) when given,
  /// into a new numpy array otherwise.
  py::object receiveObservationArray(py::object out) {
    _requireRunning();
    const size_t length = _observationLength();
    py::object array = out.is_none() ? py::object(py::array_t<double>(static_cast<py::ssize_t>(length))) : out;
    ObservationTarget target(array, length);  // checked before the state is read
    const RobotState& state = _sdk->readState();
    _forEachObservationValue(state, [&](size_t k, double value) { target.put(k, value); });
    return array;
  }

  py::dict linkStats() {
    _requireRunning();
    const LinkStats s = _sdk->linkStats();
    py::dict stats;
    stats["exchanges"] = s.exchanges;
    stats["replies"] = s.replies;
    stats["timeouts"] = s.timeouts;
    stats["short_replies"] = s.short_replies;
    stats["long_replies"] = s.long_replies;
    stats["stale_skipped"] = s.stale_skipped;
    stats["foreign_dropped"] = s.foreign_dropped;
    stats["invalid_motor_records"] = s.invalid_motor_records;
    stats["invalid_imu_records"] = s.invalid_imu_records;
    stats["invalid_battery_records"] = s.invalid_battery_records;
    stats["longest_failure_run"] = s.longest_failure_run;
    stats["rtt_median_us"] = s.rtt_median_us;
    stats["rtt_p99_us"] = s.rtt_p99_us;
    stats["rtt_max_us"] = s.rtt_max_us;
    stats["reply_age_us"] = s.reply_age_us;
    return stats;
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
    py::gil_scoped_release unlocked;
    _sdk->startRecording(path, bufferRecords);
  }

  py::dict stopRecording() {
    _requireRunning();
    RecordingSummary summary;
    {
      py::gil_scoped_release unlocked;
      summary = _sdk->stopRecording();
    }
    py::dict counts;
    counts["recorded"] = summary.recorded;
    counts["dropped"] = summary.dropped;
    return counts;
  }

  /// Python order kp, kd, pos, vel, tau. Every list is checked before anything is written, so
  /// a rejected call leaves the robot's command as it was.
  void sendCommand(const JointValues& kp, const JointValues& kd, const JointValues& pos,
                   const JointValues& vel, const JointValues& tau) {
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

  /// Pure damping on every joint through the normal command path.
  void brake() {
    _requireRunning();
    _command.kp.setZero();
    _command.kd.setConstant(kBrakeDamping);
    _command.pos.setZero();
    _command.vel.setZero();
    _command.tau.setZero();
    _sdk->setCommand(_command);
  }

  int getMotorNum() {
    _requireRunning();
    return _sdk->motor_sdk_.motor_num_;
  }

  std::string getVersion() {
    _requireRunning();
    return _sdk->get_version();
  }

  /// Stops the robot's threads, then releases the robot. Safe to call more than once; `why`
  /// is what later calls are told.
  void close(const char* why = kClosed) {
    if (_link == Link::Running) {
      _sdk->stop();
      _link = Link::Closed;
      _closedReason = why;
      auto& robots = liveRobots();
      robots.erase(std::remove(robots.begin(), robots.end(), this), robots.end());
    }
    _sdk.reset();
  }

 private:
  enum class Link { Unconfigured, Running, Closed };

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

  void _requireRunning() const {
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

  static std::string _describe(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
  }

  static void _put(py::list& list, size_t index, double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (!number) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(index), number);  // steals the reference
  }

  std::string _configPath;
  RobotState _state;
  RobotCommand _command;
  std::unique_ptr<RobotSDK> _sdk;
  int _motorNum = 0;
  Link _link = Link::Unconfigured;
  const char* _closedReason = kClosed;

  size_t _observationLength() const { return 3 * static_cast<size_t>(_motorNum) + 10; }

  /// The observation's layout, in one place: put(index, value) for each value of `state`.
  template <typename Put>
  void _forEachObservationValue(const RobotState& state, Put put) const {
    const auto n = static_cast<Eigen::Index>(_motorNum);
    size_t k = 0;
    for (Eigen::Index i = 0; i < n; ++i) {
      put(k++, state.pos[i]);
      put(k++, state.vel[i]);
      put(k++, state.tau[i]);
    }
    for (int axis = 0; axis < 3; ++axis) put(k++, state.acc[axis]);
    for (int axis = 0; axis < 3; ++axis) put(k++, state.gyro[axis]);
    for (int part = 0; part < 4; ++part) put(k++, state.quat[part]);
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

}  // namespace ambulink

PYBIND11_MODULE(ambulink, m) {
  using ambulink::Ambulink;
  py::class_<Ambulink>(m, "Ambulink")
      .def(py::init<>(), "An unconnected object; every method raises RuntimeError.")
      .def(py::init<const std::string&>(),
           "Opens the robot from the configuration file at the given path and starts it.")
      .def("receive_observation", &Ambulink::receiveObservation,
           "Returns 3n + 10 floats: (pos, vel, tau) per joint, acc xyz, gyro xyz, quat wxyz.")
      .def("send_command", &Ambulink::sendCommand,
           "Commands all joints from five lists in the order kp, kd, pos, vel, tau.")
      .def("brake", &Ambulink::brake, "Commands pure damping (kp 0, kd 0.5) on every joint.")
      .def("get_motor_num", &Ambulink::getMotorNum, "Returns the number of joints n.")
      .def("get_version", &Ambulink::getVersion, "Returns the robot layer's version text.")
      .def("receive_observation_array", &Ambulink::receiveObservationArray, py::arg("out") = py::none(),
           "The observation as a float64 array of 3n + 10 values; fills `out` when given.")
      .def("link_stats", &Ambulink::linkStats, "The link's health since start or the last reset, as a dict.")
      .def("reset_link_stats", &Ambulink::resetLinkStats, "Starts a new window of link stats.")
      .def("start_recording", &Ambulink::startRecording, py::arg("path"),
           py::arg("buffer_records") = FlightRecorder::kDefaultRingRecords,
           "Records every exchange with the board into the file at the given path.")
      .def("stop_recording", &Ambulink::stopRecording,
           "Ends the recording; returns {'recorded': ..., 'dropped': ...}.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__", [](Ambulink& self, py::args) { self.close(ambulink::kClosedByWith); },
          "Stops the robot's threads; the object cannot be used afterwards.");

  // The reader is plain Python over numpy, imported on first use so that the module itself
  // never needs numpy.
  m.def(
      "read_recording",
      [](py::object path) { return py::module_::import("ambulink_recording").attr("read_recording")(path); },
      py::arg("path"), "Reads a flight recording into numpy arrays (see ambulink_recording).");

  py::module_::import("atexit").attr("register")(py::cpp_function(&ambulink::closeLiveRobots));
}
