// The remote controller of bench_remote.py in C++: the Python reader's loop on RemoteRobot
// directly, so the figures with a goal show the remote path rather than the interpreter.
// Holds the rest pose at soft gains, nudges the targets every kChangeEvery states, notes the
// moment just before each changed command and the age and sequence of every state; prints one
// JSON object {"changes": [s], "ages": [us], "sequences": [...]} at the end.
//
//     bench_remote_reader NAME COUNT

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "remote_robot.h"

namespace {

constexpr int kChangeEvery = 10;  // states between two changed commands, as the Python reader
constexpr double kNudge = 1e-3;   // rad

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void printList(const char* key, const std::vector<double>& values, bool last) {
  std::printf("\"%s\": [", key);
  for (size_t i = 0; i < values.size(); ++i) std::printf(i ? ", %.9f" : "%.9f", values[i]);
  std::printf(last ? "]" : "], ");
}

int run(const std::string& name, int count) {
  RemoteRobot robot(name);
  const int n = robot.motorCount();
  RobotState state;
  robot.waitForNewState(2.0);
  robot.getState(state);
  const Eigen::VectorXd rest = state.pos.head(n);
  RobotCommand command;
  command.kp = Eigen::VectorXd::Constant(n, 2.0);
  command.kd = Eigen::VectorXd::Constant(n, 0.2);
  command.tau = command.vel = Eigen::VectorXd::Zero(n);
  command.pos = rest;
  std::vector<double> changes, ages, sequences;
  ages.reserve(count);
  sequences.reserve(count);
  for (int states = 0; states < count;) {
    if (!robot.waitForNewState(0.5)) break;
    const double now = monotonicSeconds();
    const RobotState& seen = robot.readState();
    ages.push_back(1e6 * (now - seen.replyTime));
    sequences.push_back(static_cast<double>(seen.replySequence));
    ++states;
    if (states % kChangeEvery == 0) {
      command.pos = rest.array() + ((states / kChangeEvery) % 2 ? kNudge : -kNudge);
      changes.push_back(monotonicSeconds());
    }
    robot.setCommand(command);
  }
  std::printf("{");
  printList("changes", changes, false);
  printList("ages", ages, false);
  printList("sequences", sequences, true);
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) <= 0) {
    std::fprintf(stderr, "usage: %s NAME COUNT\n", argv[0]);
    return 2;
  }
  try {
    return run(argv[1], std::atoi(argv[2]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_remote_reader: %s\n", error.what());
    return 1;
  }
}
