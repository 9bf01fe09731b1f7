#include "body_draw.h"

#include <cstdio>
#include <random>

namespace {

constexpr double kMassSpread = 0.10;
constexpr double kFrictionSpread = 0.30;
constexpr double kStrengthSpread = 0.10;
constexpr double kMaxCommandDelay = 0.002;  // s

std::string formatted(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

BodyDraw BodyDraw::draw(uint32_t seed, size_t bodies, size_t motors) {
  BodyDraw body;
  body.seed = seed;
  std::mt19937 dice(seed);
  const auto around = [&dice](double spread) { return std::uniform_real_distribution<double>(1.0 - spread, 1.0 + spread)(dice); };
  body.linkMass.assign(bodies, 1.0);
  for (size_t b = 1; b < bodies; ++b) body.linkMass[b] = around(kMassSpread);
  body.floorFriction = around(kFrictionSpread);
  for (size_t i = 0; i < motors; ++i) body.motorStrength.push_back(around(kStrengthSpread));
  body.commandDelay = std::uniform_real_distribution<double>(0.0, kMaxCommandDelay)(dice);
  return body;
}

std::vector<std::string> BodyDraw::describe(const std::vector<std::string>& bodyNames) const {
  const std::string head = "randomize " + std::to_string(seed) + ": ";
  std::string masses = head + "link mass factors:";
  for (size_t b = 1; b < linkMass.size(); ++b)
    masses += " " + (b < bodyNames.size() ? bodyNames[b] : "body" + std::to_string(b)) + "=" +
              formatted("%.4f", linkMass[b]);
  std::string strengths = head + "motor strength factors:";
  for (size_t i = 0; i < motorStrength.size(); ++i)
    strengths += " motor" + std::to_string(i) + "=" + formatted("%.4f", motorStrength[i]);
  return {masses, head + "floor friction factor " + formatted("%.4f", floorFriction), strengths,
          head + "command delay " + formatted("%.3f", 1000.0 * commandDelay) + " ms"};
}
