/// \file
/// Who commands the robot: the robot service obeys one session at a time and applies only
/// commands younger than their lease, judged on the service's own clock. Plain logic on the
/// times and sequence numbers it is given: no clock, no thread, no DDS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// What a remote command says about itself (its joint values are not the arbiter's business).
struct SessionCommand {
  uint64_t session = 0;        ///< The sender's session id; 0 is no session.
  uint64_t counter = 0;        ///< Rises by one per command of that session.
  uint64_t stateSequence = 0;  ///< The state sequence the command answers; 0: none.
  double lease = 0.0;          ///< The lease the sender asks for. Unit: [s].
  bool brake = false;          ///< A brake request.
};

/// What the service has refused and expired so far.
struct ArbiterCounts {
  uint64_t foreignDropped = 0;  ///< Commands of other sessions while one was in charge.
  uint64_t expiredDropped = 0;  ///< Commands older than their lease (or out of order), not applied.
  uint64_t leaseExpiries = 0;   ///< Times the session in charge fell silent past its lease.
  uint64_t brakes = 0;          ///< Brake requests, from any session.
};

/// The session and lease rules of the robot service. The robot is free at first; the first
/// session whose command is young enough takes charge. A command's age is the time from the
/// arrival of the state it answers (as noteState recorded it) to the command's own arrival,
/// both on the caller's clock, so no clock has to agree across machines; a command answering
/// no state, a state never published or one too old to be remembered is expired. A brake from
/// any session is applied and frees the robot; commands answering states older than the brake
/// are expired, so a controller's commands in flight do not undo it. The session in charge
/// that sends no applicable command for longer than its lease loses charge (expire()).
///
/// Times are CLOCK_MONOTONIC nanoseconds as the caller reads them. Not thread-safe: one thread
/// at a time (the service holds a lock around it).
class CommandArbiter {
 public:
  /// The arbiter's judgement on one command.
  enum class Verdict {
    Apply,    ///< Hand the command to the robot; its session is in charge.
    Brake,    ///< Brake every motor; the robot is free.
    Foreign,  ///< Another session is in charge: dropped.
    Expired,  ///< Older than its lease, out of order, or answering no known state: not applied.
  };
  static constexpr double kDefaultLease = 0.05;  ///< Granted when a command asks for none. Unit: [s].

  /// Leases are capped at `maxLease` seconds (above 0); the arbiter remembers the arrival of
  /// the last `history` states (at least 1). std::invalid_argument otherwise.
  explicit CommandArbiter(double maxLease = 0.5, size_t history = 1024);

  /// Records that state `sequence` (rising) arrived at `arrivalNs`.
  void noteState(uint64_t sequence, int64_t arrivalNs);
  /// Judges `command`, arrived at `arrivalNs`, and takes charge for its session when it is
  /// the first young enough on a free robot. Counts what it drops.
  Verdict judge(const SessionCommand& command, int64_t arrivalNs);
  /// At `nowNs`: true when the session in charge has had no command applied for longer than
  /// its lease; the robot is free then and the caller brakes it.
  bool expire(int64_t nowNs);
  /// Frees the robot without counting a lease expiry (the link was lost: every session must
  /// take charge anew).
  void release();

  /// The session in charge; 0 while the robot is free.
  uint64_t sessionInCharge() const { return in_charge_; }
  /// The lease of the session in charge, capped. Unit: [s]; 0 while the robot is free.
  double lease() const { return in_charge_ ? lease_ns_ * 1e-9 : 0.0; }
  /// What was dropped, expired and braked so far.
  const ArbiterCounts& counts() const { return counts_; }
  /// The lease `requested` becomes: kDefaultLease for NaN or not positive, capped at the
  /// maximum. Unit: [s].
  double grantedLease(double requested) const;

 private:
  struct StateArrival {
    uint64_t sequence = 0;
    int64_t arrivalNs = 0;
  };
  bool _arrivalOf(uint64_t sequence, int64_t& arrivalNs) const;
  bool _tooOld(const SessionCommand& command, int64_t arrivalNs, int64_t leaseNs) const;

  double max_lease_;
  std::vector<StateArrival> states_;  // a ring: state sequence s sits at s % size
  uint64_t newest_sequence_ = 0;
  uint64_t in_charge_ = 0;
  int64_t lease_ns_ = 0;
  int64_t last_applied_ns_ = 0;
  uint64_t last_counter_ = 0;
  int64_t brake_ns_ = INT64_MIN;  // states that arrived before the latest brake are outdated
  ArbiterCounts counts_;
};
