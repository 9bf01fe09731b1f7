// The floor of the Python figure: a bare pybind11 class that moves the same lists as ambulink's
// receive_observation and send_command (3n + 10 floats out, five lists of n floats in), and
// fills the same float64 array as receive_observation_array, and does nothing else, so the
// difference to ambulink is the robot layer plus the binding's own conversions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace py = pybind11;

namespace {

class BareLists {
 public:
  explicit BareLists(size_t joints)
      : joints_(joints), observation_(3 * joints + 10, 0.5), commands_(5, std::vector<double>(joints, 0.0)) {}

  const std::vector<double>& receiveObservation() const { return observation_; }

  /// Writes the observation into a caller's float64 array, as ambulink's array path does.
  py::object receiveObservationArray(py::object out) const {
    Py_buffer view{};
    if (PyObject_GetBuffer(out.ptr(), &view, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT) != 0)
      throw py::error_already_set();
    const bool fits = view.ndim == 1 && static_cast<size_t>(view.shape[0]) == observation_.size();
    if (fits) {
      for (size_t k = 0; k < observation_.size(); ++k)
        std::memcpy(static_cast<char*>(view.buf) + static_cast<Py_ssize_t>(k) * view.strides[0], &observation_[k],
                    sizeof(double));
    }
    PyBuffer_Release(&view);
    if (!fits) throw py::value_error("wrong shape");
    return out;
  }

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
      .def("receive_observation_array", &BareLists::receiveObservationArray, py::arg("out"))
      .def("send_command", &BareLists::sendCommand);
}
