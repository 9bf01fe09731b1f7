// What the Python classes of ambulink share: command lists taken from any sequence of numbers,
// observations written into a caller's array or a list in one layout, the link statistics as
// a dict. Both the robot opened on this computer (Ambulink) and the robot reached over DDS
// (RemoteRobot) speak to Python through these, so a policy sees the same values either way.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <vector>

#include "link_stats.h"
#include "robot_records.h"

namespace py = pybind11;

namespace ambulink {

/// One command list as Python handed it over, already converted to doubles.
struct JointValues {
  std::vector<double> values;
};

/// A send_command argument: the name goes into the TypeError of a value that does not convert.
template <const char* Name>
struct NamedJointValues : JointValues {};

inline constexpr char kKpName[] = "kp";
inline constexpr char kKdName[] = "kd";
inline constexpr char kPosName[] = "pos";
inline constexpr char kVelName[] = "vel";
inline constexpr char kTauName[] = "tau";

}  // namespace ambulink

namespace pybind11 {
namespace detail {

/// Takes any sequence of numbers (list, tuple, numpy array, array.array, ...). Objects that
/// export a 1-D buffer of float64 or float32 are read straight from their memory; everything
/// else goes item by item through float(). A value that does not convert raises one TypeError
/// naming the argument, before any robot code runs.
template <const char* Name>
struct type_caster<ambulink::NamedJointValues<Name>> {
  PYBIND11_TYPE_CASTER(ambulink::NamedJointValues<Name>, const_name("list[float]"));

  bool load(handle src, bool /*convert*/) {
    // Text is a sequence too, but never a list of numbers.
    if (PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) || PyByteArray_Check(src.ptr())) {
      _reject(src, "");
    }
    if (PyObject_CheckBuffer(src.ptr())) {
      const BufferRead read = _loadBuffer(src);
      if (read == BufferRead::Loaded) return true;
      if (read == BufferRead::Rejected) _reject(src, "a multi-dimensional ");
    }
    _loadSequence(src);
    return true;
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

  void _loadSequence(handle src) {
    if (!PySequence_Check(src.ptr())) {
      _reject(src, "");  // sets, dicts, iterators: no defined order or length
    }
    object items = reinterpret_steal<object>(PySequence_Fast(src.ptr(), "expected a sequence"));
    if (!items) {
      PyErr_Clear();
      _reject(src, "");
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());
    value.values.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const double number = PyFloat_AsDouble(item[i]);
      if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw type_error(std::string("send_command(): ") + Name + "[" + std::to_string(i) + "] is " +
                         _typeName(item[i]) + ", not a number");
      }
      value.values[static_cast<size_t>(i)] = number;
    }
  }

  [[noreturn]] static void _reject(handle src, const char* shape) {
    throw type_error(std::string("send_command(): ") + Name + " must be a 1-D sequence of numbers (one per joint), not " +
                     shape + _typeName(src.ptr()));
  }

  static std::string _typeName(PyObject* object) { return Py_TYPE(object)->tp_name; }
};

}  // namespace detail
}  // namespace pybind11

namespace ambulink {

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

/// The observation's length for `motorCount` joints: (pos, vel, tau) per joint, acc, gyro, quat.
inline size_t observationLength(int motorCount) { return 3 * static_cast<size_t>(motorCount) + 10; }

/// The observation's layout, in one place: put(index, value) for each value of `state`.
template <typename Put>
void forEachObservationValue(const RobotState& state, int motorCount, Put put) {
  const auto n = static_cast<Eigen::Index>(motorCount);
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

/// One float into a list made with its final length.
inline void putListItem(py::list& list, size_t index, double value) {
  PyObject* number = PyFloat_FromDouble(value);
  if (!number) throw py::error_already_set();
  PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(index), number);  // steals the reference
}

/// The observation of `state` as a new list of floats.
inline py::list observationList(const RobotState& state, int motorCount) {
  py::list observation(observationLength(motorCount));
  forEachObservationValue(state, motorCount, [&](size_t k, double value) { putListItem(observation, k, value); });
  return observation;
}

/// The observation written into `out`, or into a new float64 array when `out` is None;
/// returns the array. `out` is checked before `read()` (which returns the RobotState to
/// write) is called, so a bad array consumes no observation.
template <typename Read>
py::object observationArray(int motorCount, py::object out, Read read) {
  const size_t length = observationLength(motorCount);
  py::object array = out.is_none() ? py::object(py::array_t<double>(static_cast<py::ssize_t>(length))) : out;
  ObservationTarget target(array, length);
  const RobotState& state = read();
  forEachObservationValue(state, motorCount, [&](size_t k, double value) { target.put(k, value); });
  return array;
}

/// The link statistics as the dict link_stats() returns.
inline py::dict linkStatsDict(const LinkStats& s) {
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
  stats["command_expiries"] = s.command_expiries;
  return stats;
}

}  // namespace ambulink
