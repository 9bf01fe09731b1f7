#include "command_arbiter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

CommandArbiter::CommandArbiter(double maxLease, size_t history) : max_lease_(maxLease), states_(history) {
  if (!(maxLease > 0.0)) throw std::invalid_argument("CommandArbiter: the longest lease must be above 0 s");
  if (history == 0) throw std::invalid_argument("CommandArbiter: at least one state must be remembered");
}

double CommandArbiter::grantedLease(double requested) const {
  if (!(requested > 0.0)) return std::min(kDefaultLease, max_lease_);
  return std::min(requested, max_lease_);
}

void CommandArbiter::noteState(uint64_t sequence, int64_t arrivalNs) {
  if (sequence == 0 || sequence <= newest_sequence_) return;
  states_[sequence % states_.size()] = {sequence, arrivalNs};
  newest_sequence_ = sequence;
}

bool CommandArbiter::_arrivalOf(uint64_t sequence, int64_t& arrivalNs) const {
  if (sequence == 0 || sequence > newest_sequence_) return false;
  const StateArrival& slot = states_[sequence % states_.size()];
  if (slot.sequence != sequence) return false;  // overwritten by a later state: too old to judge
  arrivalNs = slot.arrivalNs;
  return true;
}

bool CommandArbiter::_tooOld(const SessionCommand& command, int64_t arrivalNs, int64_t leaseNs) const {
  int64_t answeredNs = 0;
  if (!_arrivalOf(command.stateSequence, answeredNs)) return true;
  if (answeredNs < brake_ns_) return true;
  return arrivalNs - answeredNs > leaseNs;
}

CommandArbiter::Verdict CommandArbiter::judge(const SessionCommand& command, int64_t arrivalNs) {
  if (command.brake) {
    ++counts_.brakes;
    in_charge_ = 0;
    brake_ns_ = arrivalNs;
    return Verdict::Brake;
  }
  if (command.session == 0 || (in_charge_ != 0 && command.session != in_charge_)) {
    ++counts_.foreignDropped;
    return Verdict::Foreign;
  }
  const int64_t leaseNs = static_cast<int64_t>(std::llround(grantedLease(command.lease) * 1e9));
  const bool outOfOrder = in_charge_ != 0 && command.counter <= last_counter_;
  if (outOfOrder || _tooOld(command, arrivalNs, leaseNs)) {
    ++counts_.expiredDropped;
    return Verdict::Expired;
  }
  in_charge_ = command.session;
  lease_ns_ = leaseNs;
  last_applied_ns_ = arrivalNs;
  last_counter_ = command.counter;
  return Verdict::Apply;
}

bool CommandArbiter::expire(int64_t nowNs) {
  if (in_charge_ == 0 || nowNs - last_applied_ns_ <= lease_ns_) return false;
  ++counts_.leaseExpiries;
  in_charge_ = 0;
  return true;
}

void CommandArbiter::release() { in_charge_ = 0; }
