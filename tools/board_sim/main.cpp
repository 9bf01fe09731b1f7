// board_sim: a stand-in for the robot's motor board, over UDP or a pseudo-terminal.
#include <yaml-cpp/yaml.h>

#include <cstdio>
#include <exception>

#include "board_model.h"
#include "board_server.h"
#include "sim_options.h"

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
  const SimOptions& options = parsed.options;
  try {
    BoardModel model(loadBoardConfig(options.config),
                     ErrorStatuses{options.motorErrors, options.imuErrors, options.batteryErrors},
                     options.tiltRoll, options.tiltPitch);
    BoardServer server(options, model);
    return server.run();
  } catch (const YAML::Exception& error) {
    std::fprintf(stderr, "board_sim: cannot read %s: %s\n", options.config.c_str(), error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "board_sim: %s\n", error.what());
  }
  return 1;
}
