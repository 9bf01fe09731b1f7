// MuJoCo set-up shared by the board simulator and the model tools: owners that free a model
// and its data, and MuJoCo's message hooks sent to standard error under the program's name.
// Header only; every function may be called from any thread, but the hooks are process-wide.
#pragma once

#include <mujoco/mujoco.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace mujoco_support {

struct ModelDeleter {
  void operator()(mjModel* model) const { mj_deleteModel(model); }
};
struct DataDeleter {
  void operator()(mjData* data) const { mj_deleteData(data); }
};
using ModelPtr = std::unique_ptr<mjModel, ModelDeleter>;
using DataPtr = std::unique_ptr<mjData, DataDeleter>;

/// Loads an MJCF file. Throws std::runtime_error with MuJoCo's reason when it cannot.
inline ModelPtr loadModel(const std::string& path) {
  char error[1024] = "";
  ModelPtr model(mj_loadXML(path.c_str(), nullptr, error, sizeof(error)));
  if (!model) throw std::runtime_error("cannot load the model " + path + ": " + error);
  return model;
}

/// Throws std::runtime_error naming the timestep unless `model`'s is positive and finite: a
/// zero step never moves the clock on (a real-time loop would spin forever waiting for it), a
/// negative one runs it backwards. Any thread.
inline void requireUsableTimestep(const mjModel* model) {
  const double timestep = model->opt.timestep;
  if (timestep > 0.0 && std::isfinite(timestep)) return;
  char text[160];
  std::snprintf(text, sizeof(text), "the model's timestep is %g s: it must be a positive number of seconds", timestep);
  throw std::runtime_error(text);
}

/// A simulation state for `model`. Throws std::runtime_error when it cannot be allocated.
inline DataPtr makeData(const mjModel* model) {
  DataPtr data(mj_makeData(model));
  if (!data) throw std::runtime_error("cannot allocate the simulation of the model");
  return data;
}

inline const char* messagePrefix = "mujoco";  // the program named in MuJoCo's messages

/// Sends MuJoCo's warnings and errors to standard error as "PROGRAM: MuJoCo warning: ...".
/// MuJoCo's own hooks would write MUJOCO_LOG.TXT into the working folder and, for errors, end
/// the process without a word on standard error; an error still ends it, with status 1.
inline void installMessageHooks(const char* program) {
  messagePrefix = program;
  mju_user_warning = [](const char* message) {
    std::fprintf(stderr, "%s: MuJoCo warning: %s\n", messagePrefix, message);
  };
  mju_user_error = [](const char* message) {
    std::fprintf(stderr, "%s: MuJoCo error: %s\n", messagePrefix, message);
    std::exit(1);
  };
}

}  // namespace mujoco_support
