// The biped's leg kinematics checked against physics that does not share their code: the
// board simulator runs models/veltra1.xml, whose knee four-bar and ankle parallelograms are
// closed chains of bodies, with the torso held in the air. RobotSDK drives the legs; its
// virtual state (motor angles mapped through the linkage kinematics) is compared with the
// serial-chain joints of the simulated model, read from the simulator's truth file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "board_sim.h"
#include "kinematics.h"
#include "robot_sdk.h"
#include "temp_file.h"
#include "truth_file.h"

namespace {

constexpr int kJoints = 10;
constexpr double kPeriod = 0.002;   // s between two reads and commands of the test
constexpr double kTruthRow = 0.01;  // s between two rows of the truth file
// The truth's rows come every 10 ms, while the PD laws answer each new command within a few
// ms. A joint is compared at a sample only where the rows resolve its motion: where linear
// interpolation (positions) and a central difference over one row each side (velocities,
// which the truth does not hold) err by at most a quarter of the tolerance, judged from the
// neighbouring rows. Velocities also carry the ripple of each PD law between two commands,
// which the rows cannot see: the hips, which pass through no kinematics, scatter as much
// (up to ~0.01 rad/s). A wrong Jacobian (a missing coupling, an inverse in place of the
// matrix) errs by tens of percent.
constexpr double kPositionTolerance = 1e-3;  // rad
constexpr double kVelocityTolerance = 3e-2;  // rad/s, plus kVelocityShare of the velocity
constexpr double kVelocityShare = 0.03;
const double kBellCrankAngle = gravon_kinematics::kinData().bellCrankAngle;

/// The serial-chain stance the model's `stand` keyframe holds: hip pitch, knee, ankle.
Eigen::VectorXd standPose() {
  Eigen::VectorXd pose(kJoints);
  pose << 0, 0, -0.5, 0.9, 0.0332, 0, 0, -0.5, 0.9, 0.0332;
  return pose;
}

/// The simulator's truth file, read after the simulator stopped.
class Truth {
 public:
  explicit Truth(const std::string& path) {
    const truth_file::TruthTable table = truth_file::TruthTable::read(path);
    for (const std::string& name : table.columns()) columns_[name] = table.column(name);
  }

  size_t rows() const { return column("t").size(); }
  const std::vector<double>& column(const std::string& name) const { return columns_.at(name); }

  /// The column at simulated time `time`, linearly interpolated; NaN outside the file.
  double at(const std::string& name, double time) const {
    const std::vector<double>& t = column("t");
    const std::vector<double>& x = column(name);
    const auto after = std::upper_bound(t.begin(), t.end(), time);
    if (after == t.begin() || after == t.end()) return NAN;
    const size_t i = static_cast<size_t>(after - t.begin());
    const double share = (time - t[i - 1]) / (t[i] - t[i - 1]);
    return x[i - 1] + share * (x[i] - x[i - 1]);
  }

  /// The column's rate of change at `time`: a central difference over `rows` rows each side.
  double rate(const std::string& name, double time, int rows = 1) const {
    const double h = rows * kTruthRow;
    return (at(name, time + h) - at(name, time - h)) / (2 * h);
  }

  /// About how far linear interpolation of the column may be off at `time`: an eighth of the
  /// largest second difference of the rows around it.
  double interpolationError(const std::string& name, double time) const {
    double worst = 0;
    for (double row : {-kTruthRow, 0.0, kTruthRow})
      worst = std::max(worst, std::abs(at(name, time + row - kTruthRow) - 2 * at(name, time + row) +
                                       at(name, time + row + kTruthRow)));
    return worst / 8;
  }

  /// About how far rate(name, time) may be off: a third of its change when taken over twice
  /// the rows (the difference's error grows with the square of its span).
  double rateError(const std::string& name, double time) const {
    return std::abs(rate(name, time, 2) - rate(name, time)) / 3;
  }

 private:
  std::map<std::string, std::vector<double>> columns_;
};

struct Sample {
  double time;  // s since the test began driving
  Eigen::VectorXd pos, vel;
};

/// The simulator with the biped's model, torso held, legs in the stand pose, and RobotSDK on
/// its link; drive() commands virtual positions and records the virtual state.
class FixedBaseBiped {
 public:
  FixedBaseBiped()
      : truthFile_("", ".csv"),
        sim_(configPath("veltra1.yaml"), onLoopback({"--model", std::string(DRIVELINK_SOURCE_DIR) + "/models/veltra1.xml",
                                                     "--fixed-base", "--start", "stand", "--truth", truthFile_.path()})),
        robot_(configPath("veltra1.yaml"), sim_.loopbackLink()) {
    robot_.init();
    robot_.start();
  }

  /// Commands `target(t)` with its rate every kPeriod for `seconds`, with the stiffness `kp`
  /// of each leg joint (N m/rad; hip yaw, roll, pitch, knee, ankle), and keeps every state read.
  std::vector<Sample> drive(double seconds, const std::function<Eigen::VectorXd(double)>& target,
                            const Vec5<double>& kp) {
    RobotCommand command;
    command.tau.setZero(kJoints);
    command.kp.resize(kJoints);
    command.kp << kp, kp;
    command.kd.setConstant(kJoints, 1.5);
    RobotState state;
    std::vector<Sample> samples;
    const auto begin = std::chrono::steady_clock::now();
    for (int tick = 0; tick * kPeriod < seconds; ++tick) {
      std::this_thread::sleep_until(begin + std::chrono::duration<double>(tick * kPeriod));
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      command.pos = target(t);
      command.vel = (target(t + kPeriod) - command.pos) / kPeriod;
      robot_.setCommand(command);
      robot_.getState(state);
      samples.push_back({t, state.pos, state.vel});
    }
    return samples;
  }

  /// Stops the robot and the simulator, which writes the truth file's tail, and reads it.
  Truth truth() {
    robot_.stop();
    sim_.stop();
    return Truth(truthFile_.path());
  }

 private:
  TempFile truthFile_;
  BoardSim sim_;
  RobotSDK robot_;
};

/// From 0 to 1 as x goes from 0 to 1, with no jump in speed or acceleration at either end.
double smoothStep(double x) {
  x = std::clamp(x, 0.0, 1.0);
  return x * x * x * (10 + x * (6 * x - 15));
}

// Smooth stand-ins for max and min (within 0.05 of them), so that bounds built from them
// leave the motion smooth.
double softMax(double a, double b) { return (a + b) / 2 + std::hypot((a - b) / 2, 0.05); }
double softMin(double a, double b) { return (a + b) / 2 - std::hypot((a - b) / 2, 0.05); }

/// Slow sinusoids through most of every joint's range: hips, the virtual knee over nearly
/// its whole range (the knee motor from about 20 to 160 degrees), the ankle motor from about
/// -61 to 46 degrees within a window that keeps the virtual ankle inside +-1.2 rad (the lower
/// parallelogram folds flat at +-90 degrees). The right leg runs behind the left; the first
/// second blends in from the stand.
Eigen::VectorXd sweepTarget(double t) {
  const double ankleReach = 1.2;
  Eigen::VectorXd pose(kJoints);
  for (int leg = 0; leg < 2; ++leg) {
    const double s = t + 1.3 * leg, side = leg == 0 ? 1.0 : -1.0;
    const double knee = 1.59 + 0.82 * std::sin(2 * M_PI * s / 8);
    const double lowest = softMax(-1.2, knee - kBellCrankAngle - ankleReach);
    const double highest = softMin(0.85, knee - kBellCrankAngle + ankleReach);
    const double ankleMotor = lowest + (highest - lowest) * (0.5 + 0.45 * std::sin(2 * M_PI * s / 4.5 + 1));
    pose.segment<5>(5 * leg) << 0.3 * std::sin(2 * M_PI * s / 5), side * (0.1 + 0.2 * std::sin(2 * M_PI * s / 7)),
        -0.3 + 0.6 * std::cos(2 * M_PI * s / 5), knee, ankleMotor + kBellCrankAngle - knee;
  }
  return standPose() + smoothStep(t) * (pose - standPose());
}

/// The simulated time at which the physics was in the state of each sample. All joints of one
/// reply are read at one instant, so the hips (motor joints in both spaces) tell when: a coarse
/// search for the clock offset, then per sample a Newton step on its fastest hip. NaN where no
/// hip moves fast enough to tell.
std::vector<double> physicsTimes(const std::vector<Sample>& samples, const Truth& truth) {
  const int hips[] = {0, 1, 2, 5, 6, 7};
  auto hipGap = [&](const Sample& s, double time) {
    double sum = 0;
    for (int j : hips) sum += std::pow(truth.at("virtual" + std::to_string(j), time) - s.pos[j], 2);
    return sum;
  };
  double offset = 0, best = INFINITY;
  for (double candidate = -2.0; candidate < 5.0; candidate += 0.002) {
    double cost = 0;
    for (size_t i = 0; i < samples.size(); i += 25) cost += hipGap(samples[i], samples[i].time + candidate);
    if (cost < best) best = cost, offset = candidate;
  }
  std::vector<double> times;
  for (const Sample& s : samples) {
    int fastest = hips[0];
    for (int j : hips) fastest = std::abs(s.vel[j]) > std::abs(s.vel[fastest]) ? j : fastest;
    const std::string hip = "virtual" + std::to_string(fastest);
    double time = s.time + offset;
    for (int step = 0; step < 4; ++step) time -= (truth.at(hip, time) - s.pos[fastest]) / truth.rate(hip, time);
    const bool found = std::abs(s.vel[fastest]) > 0.1 && std::abs(time - s.time - offset) < 0.03 &&
                       std::abs(truth.at(hip, time) - s.pos[fastest]) < 1e-5;
    times.push_back(found ? time : NAN);
  }
  return times;
}

TEST(PhysicsKinematics, VirtualStateMatchesTheSimulatedSerialJointsOverTheRanges) {
  FixedBaseBiped biped;
  // Soft knee and ankle gains keep the light linkages' motion smooth between two commands.
  const std::vector<Sample> samples = biped.drive(11.0, sweepTarget, (Vec5<double>() << 30, 30, 30, 15, 15).finished());
  const Truth truth = biped.truth();
  ASSERT_GT(truth.rows(), 1000u);
  const std::vector<double> times = physicsTimes(samples, truth);

  double worstPos = 0, worstVel = 0, worstVelShare = 0;
  int worstPosJoint = -1, worstVelJoint = -1;
  size_t positions = 0, velocities = 0, velocitiesOver = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::isnan(times[i])) continue;
    for (int k = 0; k < kJoints; ++k) {
      const std::string joint = "virtual" + std::to_string(k);
      if (truth.interpolationError(joint, times[i]) < kPositionTolerance / 4) {
        const double pos = std::abs(truth.at(joint, times[i]) - samples[i].pos[k]);
        if (pos > worstPos) worstPos = pos, worstPosJoint = k;
        ++positions;
      }
      if (truth.rateError(joint, times[i]) < kVelocityTolerance / 4) {
        const double vel = std::abs(truth.rate(joint, times[i]) - samples[i].vel[k]);
        const double allowed = kVelocityTolerance + kVelocityShare * std::abs(samples[i].vel[k]);
        if (vel / allowed > worstVelShare) worstVel = vel, worstVelShare = vel / allowed, worstVelJoint = k;
        if (vel > allowed) ++velocitiesOver;
        ++velocities;
      }
    }
  }
  std::printf(
      "[physics kinematics] %zu samples of 10 joints; %zu positions compared, largest difference %.2e rad "
      "(virtual%d); %zu velocities compared, the closest to its allowance %.2e rad/s (virtual%d, %.0f%% of "
      "the allowance), %zu beyond it\n",
      samples.size(), positions, worstPos, worstPosJoint, velocities, worstVel, worstVelJoint, 100 * worstVelShare,
      velocitiesOver);
  EXPECT_GT(positions, samples.size() * kJoints * 3 / 4);
  EXPECT_GT(velocities, samples.size() * kJoints / 2);
  EXPECT_LT(worstPos, kPositionTolerance);
  // A sample the simulator took late (its physics paced by a busy machine's scheduler) reads a
  // velocity a step away from the one its time gives: a few such samples may pass the
  // allowance, by a bounded amount; a wrong mapping would put most of them past it.
  EXPECT_LE(velocitiesOver, velocities / 200);
  EXPECT_LT(worstVelShare, 3.0);

  // The sweep did cross the knee and ankle motors' ranges.
  const std::vector<double>& knee = truth.column("motor3");
  const std::vector<double>& ankle = truth.column("motor4");
  EXPECT_LT(*std::min_element(knee.begin(), knee.end()), 0.4);
  EXPECT_GT(*std::max_element(knee.begin(), knee.end()), 2.7);
  EXPECT_LT(*std::min_element(ankle.begin(), ankle.end()), -0.85);
  EXPECT_GT(*std::max_element(ankle.begin(), ankle.end()), 0.7);
}

// A virtual left leg (0, 0, 0, 2.4, 1.5) lies inside every virtual range, yet asks the ankle
// motor for 2.77 rad, far beyond its hardware maximum of 55 degrees. The mapping clamps the
// real leg positions to the hardware ranges; the physical crank must then stay within its
// range, although the model's soft stop would let a motor pushing at full torque through by
// about 0.02 rad.
TEST(PhysicsKinematics, AnAnkleCommandBeyondTheHardwareRangeNeverTakesTheCrankPastIt) {
  const double ankleMax = gravon_kinematics::get_jpos_hardware_max(4);
  Eigen::VectorXd reach = standPose();
  reach.head<5>() << 0, 0, 0, 2.4, 1.5;
  {
    RobotState present;
    present.zero(kJoints);
    for (int leg = 0; leg < 2; ++leg) {
      Vec5<double> motors;
      gravon_kinematics::switchLegJoint(standPose().segment<5>(5 * leg), motors, 's', leg == 0 ? 'l' : 'r');
      present.pos.segment<5>(5 * leg) = motors;
    }
    RobotCommand virtualCommand, realCommand;
    for (Eigen::VectorXd* v : {&virtualCommand.tau, &virtualCommand.vel, &virtualCommand.kp, &virtualCommand.kd})
      v->setZero(kJoints);
    virtualCommand.pos = reach;
    switchVirtualToReal(present, virtualCommand, realCommand, 0);
    ASSERT_LE(realCommand.pos[4], ankleMax + 1e-9) << "the mapping must clamp the ankle motor to its hardware range";
  }

  FixedBaseBiped biped;
  // The gains of a standing controller: the ankle motor pushes at its full torque.
  biped.drive(
      2.5, [&](double t) -> Eigen::VectorXd { return standPose() + smoothStep(t) * (reach - standPose()); },
      (Vec5<double>() << 60, 120, 150, 150, 80).finished());
  const Truth truth = biped.truth();
  const std::vector<double>& ankle = truth.column("motor4");
  const double highest = *std::max_element(ankle.begin(), ankle.end());
  std::printf("[physics kinematics] left ankle motor reached %.4f rad, hardware maximum %.4f rad\n", highest, ankleMax);
  EXPECT_GT(highest, ankleMax - 0.05);  // it was driven to the limit
  // The model's stop yields a few milliradians under a motor pushing into it (about 5 mrad when
  // the target sits on the stop); a motor driven past the range bends it by about 20 mrad.
  EXPECT_LT(highest, ankleMax + 0.010);
}

}  // namespace
