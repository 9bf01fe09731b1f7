// Pushes on the simulated torso: forces in world axes at its centre of mass, given one by one
// or drawn at random. Time counts simulated seconds from the start; a push due while the robot
// is still held starts at its release, for its whole duration.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

/// One push: a force [N] in world axes from `time` [s] for `duration` [s].
struct Push {
  double time = 0.0;
  double force[3] = {0.0, 0.0, 0.0};
  double duration = 0.1;
};

/// Random pushes: every `interval` [s] after the release one of a horizontal direction drawn
/// uniformly and a magnitude drawn uniformly up to `maxForce` [N], lasting Push's default.
struct RandomPushes {
  uint32_t seed = 0;
  double interval = 1.0;
  double maxForce = 0.0;
};

/// The schedule of the pushes. Used by the physics thread only.
class PushPlan {
 public:
  PushPlan(std::vector<Push> pushes, std::optional<RandomPushes> random);

  /// The robot was released at simulated time `time` [s]; pushes due before it start then.
  void release(double time);
  /// The sum of the forces acting at simulated time `time` [s] into `force` (zero while held).
  void forceAt(double time, double force[3]);

 private:
  std::vector<Push> pushes_;
  std::optional<RandomPushes> random_;
  std::mt19937 dice_;
  std::optional<double> releasedAt_;
  double nextRandom_ = 0.0;
};
