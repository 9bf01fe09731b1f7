#include "fault_plan.h"

#include <algorithm>

FaultPlan::FaultPlan(const SimOptions& options) : options_(options), dice_(options.seed) {}

bool FaultPlan::_roll(double fraction) {
  if (fraction <= 0.0) return false;
  if (fraction >= 1.0) return true;
  return std::uniform_real_distribution<double>(0.0, 1.0)(dice_) < fraction;
}

bool FaultPlan::_silenced(uint64_t frameIndex, uint64_t msSinceFirst, uint64_t answered) const {
  if (options_.silentAfter && answered >= *options_.silentAfter) return true;
  if (options_.silentBetween && frameIndex >= options_.silentBetween->first &&
      frameIndex < options_.silentBetween->second)
    return true;
  if (options_.silentWindowMs) {
    const auto [start, length] = *options_.silentWindowMs;
    if (msSinceFirst >= start && msSinceFirst < start + length) return true;
  }
  return false;
}

ReplyPlan FaultPlan::plan(uint64_t frameIndex, uint64_t msSinceFirst, uint64_t answered, bool signalSilent,
                          bool haveStale, size_t replyLength, size_t errorRecordsPerReply) {
  ReplyPlan reply;
  reply.length = replyLength;
  if (signalSilent || _silenced(frameIndex, msSinceFirst, answered)) {
    reply.answer = false;
    ++counts_.silenced;
    return reply;
  }
  if (_roll(options_.dropFraction)) {
    reply.answer = false;
    ++counts_.dropped;
    return reply;
  }
  counts_.errorRecords += errorRecordsPerReply;
  if (haveStale && _roll(options_.staleFraction)) {
    reply.useStale = true;
    ++counts_.stale;
  }
  if (_roll(options_.shortFraction)) {
    reply.length = options_.shortBytes ? std::min(*options_.shortBytes, replyLength) : replyLength / 2;
    ++counts_.shortened;
  } else if (_roll(options_.longFraction)) {
    reply.length = replyLength + *options_.longBytes;
    ++counts_.lengthened;
  }
  if (_roll(options_.duplicateFraction)) {
    reply.copies = 2;
    ++counts_.duplicated;
  }
  if (options_.delayUs > 0) {
    reply.delayUs = options_.delayUs;
    ++counts_.delayed;
  }
  return reply;
}
