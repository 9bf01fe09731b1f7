// drivelink_dds CONFIG [--name ROBOT] [--domain N] [--interface NAME] [--board ADDR:PORT]:
// the robot layer on this computer, its state and commands on DDS. Stops, motors braked, on
// SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "robot_service.h"

namespace {

const char kUsage[] =
    "usage: drivelink_dds CONFIG [--name ROBOT] [--domain N] [--interface NAME|ADDRESS] [--board ADDR:PORT]\n"
    "  --name       the robot name in the topics rt/drivelink/ROBOT/... (default: the configuration's robot_type)\n"
    "  --domain     the DDS domain (default 0)\n"
    "  --interface  the one network interface DDS may use (default lo)\n"
    "  --board      the board's UDP endpoint, over the configuration's link: section\n"
    "drivelink_dds --print-dds-config [--interface NAME|ADDRESS]: prints the Cyclone DDS configuration that\n"
    "  keeps DDS on that interface, for CYCLONEDDS_URI of other DDS programs (a ROS 2 node, say)\n"
    "Exit status: 0 after SIGINT or SIGTERM (every motor braked), 1 when the robot or DDS cannot be\n"
    "set up, 2 for a bad argument, 3 when another service already publishes the robot name.\n";

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr, "drivelink_dds: %s\n%s", problem, kUsage);
  std::exit(2);
}

uint32_t parseDomain(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (!*text || *end || value > 232) usage("--domain takes a number from 0 to 232");
  return static_cast<uint32_t>(value);
}

ServiceOptions parseOptions(int argc, char** argv) {
  ServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage((arg + " needs a value").c_str());
      return argv[++i];
    };
    if (arg == "--name") options.name = value();
    else if (arg == "--domain") options.domain = parseDomain(value());
    else if (arg == "--interface") options.interfaceName = value();
    else if (arg == "--board") options.board = value();
    else if (arg == "--print-dds-config") options.printConfig = true;
    else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (!arg.empty() && arg[0] != '-' && options.config.empty()) options.config = arg;
    else usage(("unknown argument " + arg).c_str());
  }
  if (options.config.empty() && !options.printConfig) usage("a robot configuration is needed");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const ServiceOptions options = parseOptions(argc, argv);
  if (options.printConfig) {
    try {
      std::printf("%s\n", ddsConfigForInterface(options.interfaceName).c_str());
      return 0;
    } catch (const std::exception& error) {
      usage(error.what());
    }
  }
  // Blocked before any thread starts, so every thread (Cyclone's too) leaves them to sigwait.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    RobotService service(options);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::printf("[drivelink_dds] %s: stopping\n", strsignal(signal));
    std::fflush(stdout);
  } catch (const NameTaken& error) {
    std::fprintf(stderr, "drivelink_dds: %s\n", error.what());
    return 3;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "drivelink_dds: %s\n", error.what());
    return 1;
  }
  return 0;
}
