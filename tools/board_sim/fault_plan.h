// Decides, frame by frame, which faults the board injects into its replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "sim_options.h"

/// Running totals, printed in the summary lines.
struct FaultCounts {
  uint64_t dropped = 0;
  uint64_t silenced = 0;
  uint64_t delayed = 0;
  uint64_t shortened = 0;
  uint64_t lengthened = 0;
  uint64_t duplicated = 0;
  uint64_t stale = 0;
  uint64_t errorRecords = 0;

  uint64_t total() const {
    return dropped + silenced + delayed + shortened + lengthened + duplicated + stale + errorRecords;
  }
};

/// What to do with the reply to one command frame.
struct ReplyPlan {
  bool answer = true;
  bool useStale = false;
  size_t length = 0;  // bytes to send (shorter or longer than the reply for those faults)
  int copies = 1;
  uint64_t delayUs = 0;
};

class FaultPlan {
 public:
  explicit FaultPlan(const SimOptions& options);

  /// `frameIndex` counts well-formed command frames from 0; `msSinceFirst` is the time
  /// since the first one; `answered` is the number of frames answered so far.
  ReplyPlan plan(uint64_t frameIndex, uint64_t msSinceFirst, uint64_t answered, bool signalSilent,
                 bool haveStale, size_t replyLength, size_t errorRecordsPerReply);

  const FaultCounts& counts() const { return counts_; }

 private:
  bool _silenced(uint64_t frameIndex, uint64_t msSinceFirst, uint64_t answered) const;
  bool _roll(double fraction);

  const SimOptions& options_;
  std::mt19937 dice_;
  FaultCounts counts_;
};
