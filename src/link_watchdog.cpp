#include "link_watchdog.h"

#include <stdexcept>
#include <string>

#include "log_line.h"

LinkWatchdog::LinkWatchdog(size_t motors) : motors_(motors) { failed_.reserve(motors); }

LinkWatchdog::Verdict LinkWatchdog::check(const std::vector<MotorSDK::MotorHealth>& health, uint64_t completeReplies) {
  if (health.size() != motors_)
    throw std::invalid_argument("[RobotSDK] watchdog: " + std::to_string(health.size()) + " health entries for " +
                                std::to_string(motors_) + " motors");
  failed_.clear();
  if (motors_ == 0) return verdict_ = Verdict::kPassed;
  const bool stale = completeReplies == replies_;
  replies_ = completeReplies;
  for (size_t i = 0; i < health.size(); ++i)
    if (health[i].status != kStatusValid) failed_.push_back({i, health[i]});
  const bool failed = stale || !failed_.empty();

  // After a loss the watchdog stays quiet until every motor answers again.
  if (lost_) {
    if (failed) return verdict_ = Verdict::kStillLost;
    lost_ = false;
    failures_ = 0;
    return verdict_ = Verdict::kRestored;
  }
  if (!failed) {
    failures_ = 0;
    return verdict_ = Verdict::kPassed;
  }
  ++failures_;
  if (failures_ < kFailureLimit) return verdict_ = Verdict::kFailing;
  lost_ = true;
  return verdict_ = Verdict::kLost;
}

void LinkWatchdog::report() const {
  if (verdict_ != Verdict::kFailing && verdict_ != Verdict::kLost) return;
  // A counted failure without a failed motor is a check without a new complete reply.
  if (failed_.empty()) logLine("[RobotSDK] watchdog: no complete reply from the board since the last check");
  for (const FailedMotor& motor : failed_)
    logLine("[RobotSDK] watchdog: COMM ERROR motor id ", static_cast<unsigned>(motor.health.id), " cStatus ",
            static_cast<unsigned>(motor.health.status));
  logLine("[RobotSDK] watchdog: comm failure count ", failures_);
}
