// board_sim: a stand-in for the robot's motor board, over UDP or a pseudo-terminal.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>

#include "board_model.h"
#include "board_server.h"
#include "joint_plant.h"
#include "physics_plant.h"
#include "realtime.h"
#include "sim_options.h"

namespace {

// Joint-side gains of the benchmark's hold: firm enough to keep either robot standing.
constexpr double kBenchKp = 300.0;  // N m / rad
constexpr double kBenchKd = 3.0;    // N m s / rad

PhysicsOptions physicsOptions(const SimOptions& options) {
  PhysicsOptions physics;
  physics.modelPath = options.modelPath;
  physics.startPose = options.startPose;
  physics.fixedBase = options.fixedBase;
  physics.truthPath = options.truthPath;
  physics.imuNoise = options.imuNoise;
  physics.rate = options.physicsRate;
  physics.seed = options.seed;
  physics.releaseAtStart = options.releaseAtStart;
  physics.physicsCpu = options.physicsCpu.value_or(-1);
  physics.pushes = options.pushes;
  physics.randomPushes = options.randomPushes;
  physics.realtimePriority = std::max(options.realtimePriority - 1, std::min(options.realtimePriority, 1));
  physics.lockstep = options.lockstep;
  physics.actuatorsPath = actuatorFileFor(options);
  physics.randomizeSeed = options.randomizeSeed;
  return physics;
}

std::unique_ptr<Plant> makePlant(const BoardConfig& config, const SimOptions& options) {
  if (options.modelPath.empty()) return std::make_unique<JointPlant>(config, options.tiltRoll, options.tiltPitch);
  auto plant = std::make_unique<PhysicsPlant>(config, physicsOptions(options));
  plant->start();
  return plant;
}

void printStartLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::printf("board_sim: %s\n", line.c_str());
  std::fflush(stdout);
}

int runPhysicsBench(const BoardConfig& config, const SimOptions& options) {
  PhysicsPlant plant(config, physicsOptions(options));
  printStartLines(plant.startLines());
  const double wall = plant.runFlatOut(options.benchSeconds, kBenchKp, kBenchKd);
  std::printf("board_sim: physics benchmark: %.1f s simulated at %.0f Hz in %.3f s, real-time factor %.1f\n",
              options.benchSeconds, 1.0 / plant.timestep(), wall, options.benchSeconds / wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedCommandLine parsed = parseCommandLine(argc, argv);
  if (parsed.action == ParsedCommandLine::Action::Help) {
    std::fputs(helpText(), stdout);
    return 0;
  }
  if (parsed.action == ParsedCommandLine::Action::Error) {
    std::fprintf(stderr, "board_sim: %s (see --help)\n", parsed.error.c_str());
    return 2;
  }
  SimOptions options = parsed.options;
  try {
    // The link runs on this thread; the physics thread starts from its scheduling.
    if (options.realtimePriority > 0) {
      ThreadSchedule link;
      link.priority = options.realtimePriority;
      applyScheduleToThisThread("board_sim", link);
    }
    BoardConfig config = loadBoardConfig(options.config);
    applyLinkSection(options, config.link);
    if (options.benchSeconds > 0.0) return runPhysicsBench(config, options);
    std::unique_ptr<Plant> plant = makePlant(config, options);
    const std::vector<std::string> plantLines = plant->startLines();
    BoardModel model(std::move(config), ErrorStatuses{options.motorErrors, options.imuErrors, options.batteryErrors},
                     std::move(plant));
    if (options.boardTimeoutMs) model.setCommandTimeout(*options.boardTimeoutMs / 1000.0);
    BoardServer server(options, model);
    printStartLines(plantLines);
    return server.run();
  } catch (const YAML::Exception& error) {
    std::fprintf(stderr, "board_sim: cannot read %s: %s\n", options.config.c_str(), error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "board_sim: %s\n", error.what());
  }
  return 1;
}
