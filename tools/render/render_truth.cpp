// render_truth: pictures of a simulated robot, replayed from the simulator's truth CSV.
//
//   render_truth --model MODEL.xml --truth TRUTH.csv --out DIR [--size WxH] TIME...
//
// For each TIME (seconds, as in the CSV's `t` column) it poses the model at the nearest
// recorded row (base pose, motor<i> and virtual<k> joints), lets the passive linkage joints
// follow their closed-chain constraints, and writes DIR/frame_NNN.ppm (binary RGB) through
// MuJoCo's own renderer into an off-screen buffer. It needs an OpenGL context: an invisible
// GLFW window, so on a machine without a display run it under `xvfb-run`.
// Exit status: 0 written, 1 a file could not be read or written, 2 bad arguments,
// 3 no OpenGL context.
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mujoco_model.h"
#include "truth_file.h"

namespace {

struct Options {
  std::string model;
  std::string truth;
  std::string out;
  int width = 480;
  int height = 400;
  std::vector<double> times;
};

struct NoOpenGl : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One invisible window whose OpenGL context stays current for the tool's lifetime.
class GlContext {
 public:
  GlContext() {
    if (!glfwInit()) throw NoOpenGl("glfwInit failed (no display? run under xvfb-run)");
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    window_ = glfwCreateWindow(64, 64, "render_truth", nullptr, nullptr);
    if (!window_) {
      glfwTerminate();
      throw NoOpenGl("no OpenGL window (no display? run under xvfb-run)");
    }
    glfwMakeContextCurrent(window_);
  }
  ~GlContext() {
    glfwDestroyWindow(window_);
    glfwTerminate();
  }
  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

 private:
  GLFWwindow* window_ = nullptr;
};

// MuJoCo's visual scene and GPU context, freed in the reverse order of creation.
class Renderer {
 public:
  Renderer(const mjModel* m, int width, int height) : width_(width), height_(height) {
    mjv_defaultOption(&option_);
    mjv_defaultScene(&scene_);
    mjr_defaultContext(&context_);
    mjv_makeScene(m, &scene_, 2000);
    mjr_makeContext(m, &context_, mjFONTSCALE_100);
    mjr_setBuffer(mjFB_OFFSCREEN, &context_);
    if (context_.currentBuffer != mjFB_OFFSCREEN) throw std::runtime_error("no off-screen buffer");
    mjv_defaultFreeCamera(m, &camera_);
  }
  ~Renderer() {
    mjr_freeContext(&context_);
    mjv_freeScene(&scene_);
  }
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // A three-quarter view from the robot's front left, aimed at its centre of mass, from a
  // distance that fits the robot in its first frame (the model's own extent counts the floor
  // too), kept for every later frame so a movie does not zoom.
  std::vector<unsigned char> draw(const mjModel* m, mjData* d, int torso) {
    const mjtNum* at = d->xpos + 3 * std::max(torso, 1);
    if (reach_ == 0.0) {
      reach_ = 0.1;
      for (int b = 1; b < m->nbody; ++b) {
        double offset[3];
        mju_sub3(offset, d->xpos + 3 * b, at);
        reach_ = std::max(reach_, mju_norm3(offset));
      }
    }
    camera_.type = mjCAMERA_FREE;
    const mjtNum* centre = d->subtree_com + 3 * std::max(torso, 1);
    mju_copy3(camera_.lookat, centre);
    camera_.distance = 3.0 * reach_;
    camera_.azimuth = 140;
    camera_.elevation = -15;
    mjv_updateScene(m, d, &option_, nullptr, &camera_, mjCAT_ALL, &scene_);
    const mjrRect viewport = {0, 0, width_, height_};
    mjr_render(viewport, &scene_, &context_);
    std::vector<unsigned char> rgb(3 * static_cast<size_t>(width_) * height_);
    mjr_readPixels(rgb.data(), nullptr, viewport, &context_);
    return rgb;
  }

 private:
  int width_, height_;
  double reach_ = 0.0;  // m, the robot's size seen from its torso
  mjvOption option_;
  mjvScene scene_;
  mjrContext context_;
  mjvCamera camera_;
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr, "render_truth: %s\nusage: render_truth --model MODEL.xml --truth TRUTH.csv --out DIR "
               "[--size WxH] TIME...\n", message);
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--model") options.model = value();
    else if (arg == "--truth") options.truth = value();
    else if (arg == "--out") options.out = value();
    else if (arg == "--size") {
      if (std::sscanf(value().c_str(), "%dx%d", &options.width, &options.height) != 2 || options.width < 16 ||
          options.height < 16 || options.width > 4096 || options.height > 4096)
        usage("--size needs WxH between 16 and 4096");
    } else {
      char* end = nullptr;
      const double t = std::strtod(arg.c_str(), &end);
      if (end == arg.c_str() || *end != '\0' || !std::isfinite(t)) usage(("not a time: " + arg).c_str());
      options.times.push_back(t);
    }
  }
  if (options.model.empty() || options.truth.empty() || options.out.empty())
    usage("--model, --truth and --out are needed");
  if (options.times.empty()) usage("no TIME given");
  return options;
}

// The complete rows (a last row cut short by a live writer is left out), at least one.
truth_file::TruthTable readTruth(const std::string& path) {
  truth_file::TruthTable table = truth_file::TruthTable::read(path);
  if (table.rows().empty()) throw std::runtime_error(path + " has no rows");
  return table;
}

const std::vector<double>& rowNearest(const truth_file::TruthTable& table, double t) {
  auto nearest = table.rows().begin();
  for (auto row = table.rows().begin(); row != table.rows().end(); ++row)
    if (std::fabs((*row)[0] - t) < std::fabs((*nearest)[0] - t)) nearest = row;
  return *nearest;
}

// For each CSV column, the qpos address it writes, or -1 for a column the model lacks.
std::vector<int> qposAddresses(const mjModel* m, const std::vector<std::string>& columns) {
  const int root = mj_name2id(m, mjOBJ_JOINT, "root");
  const int rootAdr = root >= 0 ? m->jnt_qposadr[root] : -1;
  const auto& base = truth_file::kBaseColumns;
  std::vector<int> addresses;
  for (const auto& column : columns) {
    const auto inBase = std::find(base.begin(), base.end(), column);
    if (inBase != base.end()) {
      addresses.push_back(rootAdr >= 0 ? rootAdr + static_cast<int>(inBase - base.begin()) : -1);
      continue;
    }
    const int joint = column == truth_file::kTime ? -1 : mj_name2id(m, mjOBJ_JOINT, column.c_str());
    addresses.push_back(joint >= 0 ? m->jnt_qposadr[joint] : -1);
  }
  return addresses;
}

void applyRow(mjData* d, const std::vector<int>& addresses, const std::vector<double>& row) {
  for (size_t c = 0; c < row.size(); ++c)
    if (addresses[c] >= 0) d->qpos[addresses[c]] = row[c];
}

// The CSV holds only the driven and serial-chain joints: the rods between them are moved onto
// their closed-chain constraints by stepping without gravity or contacts while the recorded
// joints are pinned every step.
void settleLinkages(const mjModel* m, mjData* d, const std::vector<int>& addresses, const std::vector<double>& row) {
  applyRow(d, addresses, row);
  if (m->neq == 0) {
    mj_forward(m, d);
    return;
  }
  for (int step = 0; step < 300; ++step) {
    mju_zero(d->qvel, m->nv);
    mj_step(m, d);
    applyRow(d, addresses, row);
  }
  mju_zero(d->qvel, m->nv);
  mj_forward(m, d);
}

// Writes the image top row first (OpenGL reads bottom row first).
void writePpm(const std::string& path, const std::vector<unsigned char>& rgb, int width, int height) {
  std::ofstream file(path, std::ios::binary);
  file << "P6\n" << width << ' ' << height << "\n255\n";
  for (int y = height - 1; y >= 0; --y)
    file.write(reinterpret_cast<const char*>(rgb.data() + 3 * static_cast<size_t>(y) * width), 3 * width);
  if (!file) throw std::runtime_error("cannot write " + path);
}

int run(const Options& options) {
  mujoco_support::installMessageHooks("render_truth");
  const mujoco_support::ModelPtr model = mujoco_support::loadModel(options.model);
  mjModel* m = model.get();
  m->vis.global.offwidth = options.width;
  m->vis.global.offheight = options.height;
  m->opt.gravity[2] = 0;
  m->opt.disableflags |= mjDSBL_CONTACT;
  const mujoco_support::DataPtr data = mujoco_support::makeData(m);
  mjData* d = data.get();
  if (m->nkey > 0) mju_copy(d->qpos, m->key_qpos, m->nq);  // a closed pose to settle from

  const truth_file::TruthTable truth = readTruth(options.truth);
  const auto addresses = qposAddresses(m, truth.columns());
  const int torso = mj_name2id(m, mjOBJ_BODY, "torso");

  GlContext gl;
  Renderer renderer(m, options.width, options.height);
  for (size_t k = 0; k < options.times.size(); ++k) {
    settleLinkages(m, d, addresses, rowNearest(truth, options.times[k]));
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%03zu.ppm", k);
    writePpm(options.out + name, renderer.draw(m, d, torso), options.width, options.height);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  try {
    return run(options);
  } catch (const NoOpenGl& e) {
    std::fprintf(stderr, "render_truth: %s\n", e.what());
    return 3;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "render_truth: %s\n", e.what());
    return 1;
  }
}
