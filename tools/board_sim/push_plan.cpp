#include "push_plan.h"

#include <algorithm>
#include <cmath>

PushPlan::PushPlan(std::vector<Push> pushes, std::optional<RandomPushes> random)
    : pushes_(std::move(pushes)), random_(random), dice_(random ? random->seed : 0u) {}

void PushPlan::release(double time) {
  if (releasedAt_) return;
  releasedAt_ = time;
  for (Push& push : pushes_) push.time = std::max(push.time, time);
  if (random_) nextRandom_ = time + random_->interval;
}

void PushPlan::forceAt(double time, double force[3]) {
  std::fill(force, force + 3, 0.0);
  if (!releasedAt_) return;
  // Drawn when due, so a run's pushes depend on its seed alone.
  while (random_ && time >= nextRandom_) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double angle = 2.0 * M_PI * unit(dice_);
    const double magnitude = random_->maxForce * unit(dice_);
    Push push;
    push.time = nextRandom_;
    push.force[0] = magnitude * std::cos(angle);
    push.force[1] = magnitude * std::sin(angle);
    pushes_.push_back(push);
    nextRandom_ += random_->interval;
  }
  for (const Push& push : pushes_)
    if (time >= push.time && time < push.time + push.duration)
      for (int axis = 0; axis < 3; ++axis) force[axis] += push.force[axis];
  // Random pushes come without end: forget the finished ones.
  pushes_.erase(std::remove_if(pushes_.begin(), pushes_.end(),
                               [time](const Push& push) { return time >= push.time + push.duration; }),
                pushes_.end());
}
