/// \file
/// The robot layer's judgement of the link to the motor board, one check at a time: a check
/// fails when no complete reply arrived since the previous check or when a motor's record in
/// the latest reply is not valid, and ten failing checks in a row mean the link is lost. A
/// plain value: it reads no clock and starts no thread, so any caller can drive it check by check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "motor_sdk.h"

/// Counts failing checks in a row and names the motors that failed. Its owner acts on the
/// verdict (ends the process or brakes on kLost). One thread at a time; after construction
/// nothing it does allocates.
class LinkWatchdog {
 public:
  /// Failing checks in a row that make the link lost.
  static constexpr int kFailureLimit = 10;

  /// What one check concluded.
  enum class Verdict {
    kPassed,     ///< Every motor valid and a complete reply arrived: the count is back at 0.
    kFailing,    ///< The check failed; the count is below the limit.
    kLost,       ///< The check failed for the limit's time in a row: the link is lost (once per loss).
    kStillLost,  ///< The link was lost and the check failed again; nothing is counted.
    kRestored,   ///< The link was lost and every motor answers again: counting starts afresh.
  };

  /// One motor that failed the last check.
  struct FailedMotor {
    size_t index = 0;             ///< Its configuration position.
    MotorSDK::MotorHealth health;  ///< Its status and id bytes in the latest reply.
  };

  /// A watchdog for `motors` motors; a robot without motors never fails.
  explicit LinkWatchdog(size_t motors = 0);

  /// Judges one check from the latest reply's per-motor `health` (MotorSDK::latestHealth; one
  /// entry per motor, else std::invalid_argument) and the bus's count of complete replies
  /// (MotorSDK::completeReplies). Allocates nothing but the message of that exception.
  Verdict check(const std::vector<MotorSDK::MotorHealth>& health, uint64_t completeReplies);

  /// Prints the lines of the last check: "[RobotSDK] watchdog: COMM ERROR motor id N cStatus S"
  /// for each failed motor, "[RobotSDK] watchdog: comm failure count N" for a counted failure,
  /// and a line when no complete reply came although every record was valid. Prints nothing
  /// for a passed check and while the link is lost. Never allocates.
  void report() const;

  /// Failing checks in a row, counted up to the loss; 0 after a passed or restoring check.
  int failures() const { return failures_; }
  /// The motors whose record failed the last check, in configuration order.
  const std::vector<FailedMotor>& failedMotors() const { return failed_; }

 private:
  size_t motors_;
  std::vector<FailedMotor> failed_;  // capacity for every motor, reserved once
  uint64_t replies_ = 0;             // complete replies at the previous check
  int failures_ = 0;
  bool lost_ = false;  // declared lost, no passing check since
  Verdict verdict_ = Verdict::kPassed;
};
