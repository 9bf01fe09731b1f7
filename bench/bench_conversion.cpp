// Conversion cost: RobotSDK::getState and setCommand on the 10-joint biped (two five-joint legs:
// kinematics, Jacobians, LU) and on the 18-joint zenthi robot, ns per call, with the heap
// allocations per call as a counter (operator new is the counting one of
// tests/support/alloc_counter). The peer of the leg kinematics is Orocos KDL computing the
// same five-joint serial leg's forward kinematics and Jacobian, when KDL is installed.
//
// Each robot is primed against the board simulator and then measured without its threads:
// the figures are the conversion alone. Google Benchmark options apply (e.g.
// --benchmark_out=FILE --benchmark_out_format=json, --benchmark_min_time=0.01); the library's
// start-up lines go to standard output between the console rows. Run inside scripts/netns-run.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "alloc_counter.h"
#include "bench_support.h"
#include "kinematics.h"
#include "robot_sdk.h"

#ifdef DRIVELINK_BENCH_WITH_KDL
#include <kdl/chain.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainjnttojacsolver.hpp>
#endif

namespace {

/// One primed robot at a time: both robots use the same link addresses, so bringing up the
/// next one takes the previous one (and its simulator) down first.
class PrimedRobot {
 public:
  static RobotSDK& get(const std::string& config) {
    static std::unique_ptr<PrimedRobot> current;
    if (!current || current->config_ != config) {
      current.reset();
      current = std::make_unique<PrimedRobot>(config);
    }
    return *current->robot_;
  }

  explicit PrimedRobot(const std::string& config)
      : config_(config),
        board_({bench::boardSimProgram(), "--config", bench::projectFile(config), "--quiet"}, "board_sim: ready"),
        robot_(std::make_unique<RobotSDK>(bench::projectFile(config))) {
    robot_->init();
  }

 private:
  std::string config_;
  bench::ChildProcess board_;
  std::unique_ptr<RobotSDK> robot_;
};

/// A standing command: hold the present positions with moderate gains.
RobotCommand holdingCommand(const RobotState& state) {
  const auto n = state.pos.size();
  RobotCommand command;
  command.pos = state.pos;
  command.vel = Eigen::VectorXd::Zero(n);
  command.tau = Eigen::VectorXd::Zero(n);
  command.kp = Eigen::VectorXd::Constant(n, 20.0);
  command.kd = Eigen::VectorXd::Constant(n, 0.5);
  return command;
}

void reportAllocations(benchmark::State& state, const alloc_counter::Scope& scope) {
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(scope.count()) / static_cast<double>(state.iterations()));
}

void BM_GetState(benchmark::State& state, const std::string& config) {
  RobotSDK& robot = PrimedRobot::get(config);
  RobotState observed;
  robot.getState(observed);  // sizes the caller's record once
  const alloc_counter::Scope scope;
  for (auto _ : state) {
    robot.getState(observed);
    benchmark::DoNotOptimize(observed.pos.data());
  }
  reportAllocations(state, scope);
}

void BM_SetCommand(benchmark::State& state, const std::string& config) {
  RobotSDK& robot = PrimedRobot::get(config);
  RobotState observed;
  robot.getState(observed);
  const RobotCommand command = holdingCommand(observed);
  robot.setCommand(command);
  const alloc_counter::Scope scope;
  for (auto _ : state) robot.setCommand(command);
  reportAllocations(state, scope);
}

/// What one control period costs a polling controller: read the state, send a command.
void BM_GetStateSetCommand(benchmark::State& state, const std::string& config) {
  RobotSDK& robot = PrimedRobot::get(config);
  RobotState observed;
  robot.getState(observed);
  const RobotCommand command = holdingCommand(observed);
  robot.setCommand(command);
  const alloc_counter::Scope scope;
  for (auto _ : state) {
    robot.getState(observed);
    robot.setCommand(command);
  }
  reportAllocations(state, scope);
}

#ifdef DRIVELINK_BENCH_WITH_KDL
/// The biped's left leg as a serial chain: hip yaw and roll at the leg root, the sagittal chain
/// at the hip offset, thigh and shank straight down at zero, the foot point below the ankle.
KDL::Chain leftLegChain() {
  const gravon_kinematics::kinData geometry;
  KDL::Chain chain;
  const auto offset = geometry.hipOffsetLeft;
  chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::RotZ), KDL::Frame::Identity()));
  chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::RotX), KDL::Frame(KDL::Vector(offset.x(), offset.y(), offset.z()))));
  chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::RotY), KDL::Frame(KDL::Vector(0, 0, -geometry.thighLength))));
  chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::RotY), KDL::Frame(KDL::Vector(0, 0, -geometry.shankLength))));
  const auto foot = geometry.footPoint;
  chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::RotY), KDL::Frame(KDL::Vector(foot.x(), foot.y(), foot.z()))));
  return chain;
}

void BM_KdlFkJacobian(benchmark::State& state) {
  const KDL::Chain chain = leftLegChain();
  KDL::ChainFkSolverPos_recursive fk(chain);
  KDL::ChainJntToJacSolver jacobianSolver(chain);
  KDL::JntArray joints(chain.getNrOfJoints());
  joints.data << 0.2, 0.15, 0.3, 1.0696501886, 1.2648138252;
  KDL::Frame foot;
  KDL::Jacobian jacobian(chain.getNrOfJoints());
  // The peer must be the same leg: its foot has to land where the SDK's own kinematics put it.
  Vec5<double> virtualJoints = joints.data;
  Vec5<double> task;
  fk.JntToCart(joints, foot);
  if (!gravon_kinematics::calcFK(virtualJoints, task, 's', 'l') ||
      (Eigen::Vector3d(foot.p.x(), foot.p.y(), foot.p.z()) - task.tail<3>()).norm() > 1e-9) {
    state.SkipWithError("the KDL chain is not the SDK's leg");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(fk.JntToCart(joints, foot));
    benchmark::DoNotOptimize(jacobianSolver.JntToJac(joints, jacobian));
    benchmark::DoNotOptimize(jacobian.data.data());
  }
}
BENCHMARK(BM_KdlFkJacobian);
#endif

void registerRobot(const std::string& label, const std::string& config) {
  benchmark::RegisterBenchmark(("BM_GetStateSetCommand/" + label).c_str(), BM_GetStateSetCommand, config);
  benchmark::RegisterBenchmark(("BM_GetState/" + label).c_str(), BM_GetState, config);
  benchmark::RegisterBenchmark(("BM_SetCommand/" + label).c_str(), BM_SetCommand, config);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerRobot("veltra1", "configs/veltra1.yaml");
  registerRobot("zenthi", "configs/zenthi.yaml");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
