// A randomised body for --randomize SEED: every link's mass, the floor's friction, every
// motor's strength and the command delay drawn from one seed, so a run can be repeated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The drawn factors and delay. A plain value.
struct BodyDraw {
  uint32_t seed = 0;
  std::vector<double> linkMass;       // factor per body of the model (the world's first, 1)
  double floorFriction = 1.0;         // factor on every contact's friction
  std::vector<double> motorStrength;  // factor per motor on its torque
  double commandDelay = 0.0;          // s added to every motor's delay

  /// Draws link masses within +-10 %, the friction within +-30 %, motor strengths within
  /// +-10 % and a delay of 0-2 ms, uniformly, for `bodies` bodies and `motors` motors.
  static BodyDraw draw(uint32_t seed, size_t bodies, size_t motors);

  /// The drawn values as text lines without newlines, starting "randomize SEED: ", with the
  /// link masses named by `bodyNames` (one per body).
  std::vector<std::string> describe(const std::vector<std::string>& bodyNames) const;
};
