// ambulink.RemoteRobot: the robot served by bin/drivelink_dds, reached over DDS, with the
// polling methods of Ambulink so a policy moves to another machine by changing its
// constructor. Sessions, leases and the wire are RemoteRobot's; this file converts values.
#include "remote_robot_binding.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "ambulink_values.h"
#include "remote_robot.h"

namespace ambulink {
namespace {

/// A wait is cut into slices this long, so that Ctrl-C is noticed within one. Unit: [s].
constexpr double kRemoteWaitSliceS = 0.05;
constexpr const char* kRemoteClosed = "RemoteRobot is closed: close() or its with block ended the session";

/// The Python class: owns one session; used from one Python thread at a time.
class PyRemoteRobot {
 public:
  PyRemoteRobot(const std::string& name, uint32_t domain, double lease, double discoveryTimeout) {
    // Discovery takes up to discoveryTimeout: other Python threads run meanwhile.
    py::gil_scoped_release release;
    _robot = std::make_unique<RemoteRobot>(name, domain, lease, discoveryTimeout);
    _sizeCommand(_robot->motorCount());
  }

  py::list receiveObservation() {
    RemoteRobot& robot = _open();
    robot.getState(_state);
    _note(_state);
    return observationList(_state, robot.motorCount());
  }

  py::object receiveObservationArray(py::object out) {
    RemoteRobot& robot = _open();
    return observationArray(robot.motorCount(), out, [&]() -> const RobotState& {
      const RobotState& state = robot.readState();
      _note(state);
      return state;
    });
  }

  py::object lastObservationInfo() {
    _open();
    if (_observedSequence == 0) return py::none();
    return py::make_tuple(_observedSequence, _observedTime);
  }

  bool waitForObservation(double timeoutSeconds) {
    RemoteRobot& robot = _open();
    if (!(timeoutSeconds >= 0.0)) throw std::invalid_argument("wait_for_observation: the timeout must be 0 s or more");
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (;;) {
      const double left = timeoutSeconds - std::chrono::duration<double>(Clock::now() - start).count();
      bool arrived = false;
      {
        py::gil_scoped_release release;
        arrived = robot.waitForNewState(std::clamp(left, 0.0, kRemoteWaitSliceS));
      }
      if (arrived) return true;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (left <= kRemoteWaitSliceS) return false;
    }
  }

  /// Python order kp, kd, pos, vel, tau; RemoteRobot checks lengths and values before sending.
  void sendCommand(const NamedJointValues<kKpName>& kp, const NamedJointValues<kKdName>& kd,
                   const NamedJointValues<kPosName>& pos, const NamedJointValues<kVelName>& vel,
                   const NamedJointValues<kTauName>& tau) {
    RemoteRobot& robot = _open();
    _copy(kp, _command.kp);
    _copy(kd, _command.kd);
    _copy(pos, _command.pos);
    _copy(vel, _command.vel);
    _copy(tau, _command.tau);
    robot.setCommand(_command);
  }

  void brake() { _open().brake(); }
  py::dict linkStats() { return linkStatsDict(_open().linkStats()); }
  int getMotorNum() { return _open().motorCount(); }
  std::string getVersion() { return _open().get_version(); }
  std::string robotType() { return robotTypeName(_open().robotType()); }
  uint64_t sessionId() { return _open().sessionId(); }
  double lease() { return _open().lease(); }
  std::string name() { return _open().name(); }

  py::dict status() {
    const RemoteStatus s = _open().status();
    py::dict status;
    status["service_id"] = s.serviceId;
    status["robot_type"] = s.robotType;
    status["motor_count"] = s.motorCount;
    status["session_in_charge"] = s.sessionInCharge;
    status["lease"] = s.lease;
    status["foreign_dropped"] = s.foreignDropped;
    status["expired_dropped"] = s.expiredDropped;
    status["lease_expiries"] = s.leaseExpiries;
    status["brakes"] = s.brakes;
    status["brake_bits"] = s.brakeBits;
    status["link_lost"] = s.linkLost;
    return status;
  }

  /// Ends the session; the service brakes after the lease if it was in charge.
  void close() {
    py::gil_scoped_release release;
    _robot.reset();
  }

  /// Leaving a with block on an exception asks for the damping frame before the session ends.
  void exitWith(const py::object& excType) {
    if (_robot && !excType.is_none()) _robot->brake();
    close();
  }

 private:
  RemoteRobot& _open() {
    if (!_robot) throw std::runtime_error(kRemoteClosed);
    return *_robot;
  }

  void _sizeCommand(int motorCount) {
    for (Eigen::VectorXd* v : {&_command.tau, &_command.pos, &_command.vel, &_command.kp, &_command.kd})
      v->setZero(motorCount);
    _state.zero(motorCount);
  }

  /// A short list keeps its length, so RemoteRobot names the field that is too short.
  static void _copy(const JointValues& source, Eigen::VectorXd& target) {
    target = Eigen::Map<const Eigen::VectorXd>(source.values.data(), static_cast<Eigen::Index>(source.values.size()));
  }

  void _note(const RobotState& state) {
    _observedSequence = state.replySequence;
    _observedTime = state.replyTime;
  }

  std::unique_ptr<RemoteRobot> _robot;
  RobotState _state;
  RobotCommand _command;
  uint64_t _observedSequence = 0;
  double _observedTime = 0.0;
};

}  // namespace

void bindRemoteRobot(py::module_& m) {
  py::register_exception<RemoteRobotError>(m, "RemoteRobotError", PyExc_RuntimeError);
  py::register_exception<SessionRefused>(m, "SessionRefused", PyExc_RuntimeError);
  py::class_<PyRemoteRobot>(m, "RemoteRobot", R"doc(The robot named `name`, served by bin/drivelink_dds on
this or another computer, reached over Cyclone DDS: the polling methods of Ambulink, in the
same units, so a policy moves to another machine by changing its constructor.

Each RemoteRobot is a session of its own. The service obeys one session at a time, the first to
command while the robot is free; its commands are applied only while younger than `lease`
seconds, judged on the service's clock. When the session in charge sends nothing for longer
than its lease, the service brakes the robot (every motor in the damping frame) and the robot
is free again. DDS runs on the interface DRIVELINK_DDS_INTERFACE names (default "lo").
One object must not be used from two threads at once.)doc")
      .def(py::init<const std::string&, uint32_t, double, double>(), py::arg("name"), py::kw_only(),
           py::arg("domain") = 0, py::arg("lease") = RemoteRobot::kDefaultLease,
           py::arg("discovery_timeout") = RemoteRobot::kDefaultDiscoveryTime,
           R"doc(Joins DDS domain `domain` and waits up to `discovery_timeout` seconds for the
service of robot `name`. `lease` (s, at most 0.5) is how long each command stays good. Raises
ValueError for a bad name (letters, digits and '_' only) or lease, RemoteRobotError when no
service answers in time or two services publish the name, RuntimeError when DDS cannot be set
up.)doc")
      .def("receive_observation", &PyRemoteRobot::receiveObservation,
           R"doc(Returns the newest state the service published, as Ambulink.receive_observation:
3n + 10 floats. Raises LinkError while the service reports its link lost, RemoteRobotError
before the first state.)doc")
      .def("receive_observation_array", &PyRemoteRobot::receiveObservationArray, py::arg("out") = py::none(),
           "The observation as a float64 array, written into `out` when given (as Ambulink's).")
      .def("last_observation_info", &PyRemoteRobot::lastObservationInfo,
           R"doc(Returns (sequence, receive_time) of the board reply the last observation came
from, as stamped by the service's clock (not this process's); None before the first.)doc")
      .def("wait_for_observation", &PyRemoteRobot::waitForObservation, py::arg("timeout"),
           R"doc(Blocks until a state newer than any read or waited for arrives: True then, False
after `timeout` seconds (0 polls). Other Python threads run meanwhile; Ctrl-C ends the wait
within 0.05 s. Raises LinkError when the newest state says the link is lost, ValueError for a
negative timeout.)doc")
      .def("send_command", &PyRemoteRobot::sendCommand, py::arg("kp"), py::arg("kd"), py::arg("pos"),
           py::arg("vel"), py::arg("tau"),
           R"doc(Sends one command for every joint, answering the newest state read or waited
for; arguments as Ambulink.send_command. Raises SessionRefused once the service's status names
another session in charge, LinkError while the link is lost, TypeError or ValueError for a bad
list; nothing is sent then.)doc")
      .def("brake", &PyRemoteRobot::brake,
           "Asks the service for the damping frame on every motor; applied whoever is in charge.")
      .def("link_stats", &PyRemoteRobot::linkStats,
           "The service's latest link statistics (10 Hz), as Ambulink.link_stats; zeros before the first.")
      .def("status", &PyRemoteRobot::status,
           R"doc(The service's latest status as a dict: service_id, robot_type, motor_count,
session_in_charge (0: free), lease (s), foreign_dropped, expired_dropped, lease_expiries, brakes,
brake_bits, link_lost.)doc")
      .def("get_motor_num", &PyRemoteRobot::getMotorNum, "Returns the number of joints n.")
      .def("get_version", &PyRemoteRobot::getVersion, "Returns the robot layer's version text.")
      .def("robot_type", &PyRemoteRobot::robotType, "Returns the service configuration's robot_type.")
      .def_property_readonly("session_id", &PyRemoteRobot::sessionId, "This session's id (never 0).")
      .def_property_readonly("lease", &PyRemoteRobot::lease, "The lease each command asks for, in s.")
      .def_property_readonly("name", &PyRemoteRobot::name, "The robot name this session talks to.")
      .def("close", &PyRemoteRobot::close,
           "Ends the session; every later call raises RuntimeError. Closing again does nothing.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](PyRemoteRobot& self, const py::object& excType, const py::object&, const py::object&) {
            self.exitWith(excType);
          },
          py::arg("exc_type"), py::arg("exc"), py::arg("traceback"),
          "Ends the session; leaving the block on an exception first asks for the damping frame.");
}

}  // namespace ambulink
