// The floor of the Python figure: a bare pybind11 class that moves the same lists as ambulink's
// receive_observation and send_command (3n + 10 floats out, five lists of n floats in) and
// does nothing else, so the difference to ambulink is the robot layer plus the binding's
// own conversions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <vector>

namespace py = pybind11;

namespace {

class BareLists {
 public:
  explicit BareLists(size_t joints)
      : joints_(joints), observation_(3 * joints + 10, 0.5), commands_(5, std::vector<double>(joints, 0.0)) {}

  const std::vector<double>& receiveObservation() const { return observation_; }

  void sendCommand(const std::vector<double>& kp, const std::vector<double>& kd, const std::vector<double>& pos,
                   const std::vector<double>& vel, const std::vector<double>& tau) {
    const std::vector<double>* lists[] = {&kp, &kd, &pos, &vel, &tau};
    for (size_t k = 0; k < 5; ++k) {
      std::copy_n(lists[k]->begin(), std::min(joints_, lists[k]->size()), commands_[k].begin());
    }
  }

 private:
  size_t joints_;
  std::vector<double> observation_;
  std::vector<std::vector<double>> commands_;
};

}  // namespace

PYBIND11_MODULE(python_floor, m) {
  py::class_<BareLists>(m, "BareLists")
      .def(py::init<size_t>())
      .def("receive_observation", &BareLists::receiveObservation)
      .def("send_command", &BareLists::sendCommand);
}
