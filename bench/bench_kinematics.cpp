// Cost per call of the leg kinematics that run in every control cycle (two legs, state and
// command conversion) and of the 5x5 inverse the joint-space mapping takes of the Jacobian.
#include <benchmark/benchmark.h>

#include "kinematics.h"

using namespace gravon_kinematics;

namespace {

Vec5<double> standingReal() {
  Vec5<double> q;
  q << 0.2, 0.15, 0.3, 0.9, 1.2;
  return q;
}

void BM_SwitchLegJointWithJacobian(benchmark::State& state) {
  const Vec5<double> real = standingReal();
  Vec5<double> virt;
  Mat5<double> J;
  for (auto _ : state) {
    benchmark::DoNotOptimize(switchLegJoint(real, virt, J, 'p', 'l'));
    benchmark::DoNotOptimize(virt.data());
    benchmark::DoNotOptimize(J.data());
  }
}
BENCHMARK(BM_SwitchLegJointWithJacobian);

void BM_CalcFK(benchmark::State& state) {
  const Vec5<double> real = standingReal();
  Vec5<double> task;
  for (auto _ : state) {
    benchmark::DoNotOptimize(calcFK(real, task, 'p', 'l'));
    benchmark::DoNotOptimize(task.data());
  }
}
BENCHMARK(BM_CalcFK);

void BM_CalcIK(benchmark::State& state) {
  Vec5<double> task, real;
  calcFK(standingReal(), task, 'p', 'l');
  for (auto _ : state) {
    benchmark::DoNotOptimize(calcIK(task, real, 'p', 'l'));
    benchmark::DoNotOptimize(real.data());
  }
}
BENCHMARK(BM_CalcIK);

void BM_LuInverse5x5(benchmark::State& state) {
  Vec5<double> virt;
  Mat5<double> J;
  switchLegJoint(standingReal(), virt, J, 'p', 'l');
  Mat5<double> inverse;
  for (auto _ : state) {
    benchmark::DoNotOptimize(J.data());
    inverse = Eigen::PartialPivLU<Mat5<double>>(J).inverse();
    benchmark::DoNotOptimize(inverse.data());
  }
}
BENCHMARK(BM_LuInverse5x5);

}  // namespace

BENCHMARK_MAIN();
