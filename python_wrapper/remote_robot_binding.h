// Registers ambulink.RemoteRobot and its exceptions on the module.
#pragma once

#include <pybind11/pybind11.h>

namespace ambulink {

/// Adds RemoteRobot, RemoteRobotError and SessionRefused to module `m`.
void bindRemoteRobot(pybind11::module_& m);

}  // namespace ambulink
