#include "link_stats.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "absolute_timer.h"

namespace {

constexpr uint64_t kNoAmount = 0;

// Only the link thread writes a count, so a plain load and store does (no locked instruction).
void addRelaxed(std::atomic<uint64_t>& counter, uint64_t amount) {
  counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

uint64_t invalidIn(const uint8_t* records, size_t recordSize, size_t count) {
  uint64_t invalid = 0;
  for (size_t i = 0; i < count; ++i) invalid += records[i * recordSize] != kStatusValid;
  return invalid;
}

// Records wholly inside the first `received` bytes of a part that starts at `offset`.
size_t wholeRecords(size_t received, size_t offset, size_t recordSize, size_t count) {
  if (received <= offset) return 0;
  return std::min(count, (received - offset) / recordSize);
}

double percentile(const std::vector<uint32_t>& sorted, double fraction) {
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)] / 1000.0;
}

}  // namespace

std::string linkStatsText(const LinkStats& s) {
  char text[512];
  std::snprintf(text, sizeof(text),
                "exchanges %llu, replies %llu, timeouts %llu, short %llu, long %llu, stale skipped %llu, "
                "foreign dropped %llu, invalid records motor %llu imu %llu battery %llu, longest failure run %llu, "
                "rtt us median %.0f p99 %.0f max %.0f, reply age us %.0f",
                (unsigned long long)s.exchanges, (unsigned long long)s.replies, (unsigned long long)s.timeouts,
                (unsigned long long)s.short_replies, (unsigned long long)s.long_replies,
                (unsigned long long)s.stale_skipped, (unsigned long long)s.foreign_dropped,
                (unsigned long long)s.invalid_motor_records, (unsigned long long)s.invalid_imu_records,
                (unsigned long long)s.invalid_battery_records, (unsigned long long)s.longest_failure_run,
                s.rtt_median_us, s.rtt_p99_us, s.rtt_max_us, s.reply_age_us);
  return text;
}

void LinkMonitor::_add(Count count, uint64_t amount) {
  if (amount != kNoAmount) addRelaxed(counts_[count], amount);
}

void LinkMonitor::noteExchange(const ExchangeResult& result, const uint8_t* reply, const wire::FrameLayout& layout) {
  _add(kExchanges, 1);
  if (result.complete) {
    _add(kReplies, 1);
    const auto rtt = static_cast<uint64_t>(std::max<int64_t>(0, result.repliedNs - result.sentNs));
    const uint64_t sample = rttSamples_.load(std::memory_order_relaxed);
    rttNs_[sample % kRttWindow].store(static_cast<uint32_t>(std::min<uint64_t>(rtt, UINT32_MAX)),
                                      std::memory_order_relaxed);
    rttSamples_.store(sample + 1, std::memory_order_release);
    lastReplyNs_.store(result.repliedNs, std::memory_order_relaxed);
  } else if (result.received == 0) {
    _add(kTimeouts, 1);
  } else {
    _add(kShort, 1);
  }
  _noteInvalidRecords(reply, result.complete ? layout.replyLength() : result.received, layout);
  _noteFailureRun(!result.complete);
}

void LinkMonitor::_noteInvalidRecords(const uint8_t* reply, size_t received, const wire::FrameLayout& layout) {
  _add(kInvalidMotor, invalidIn(reply, sizeof(MotorState),
                                wholeRecords(received, 0, sizeof(MotorState), layout.motors)));
  _add(kInvalidImu, invalidIn(reply + layout.imuOffset(), sizeof(ImuState),
                              wholeRecords(received, layout.imuOffset(), sizeof(ImuState), layout.imus)));
  _add(kInvalidBattery,
       invalidIn(reply + layout.batteryOffset(), sizeof(BatState),
                 wholeRecords(received, layout.batteryOffset(), sizeof(BatState), layout.batteries)));
}

void LinkMonitor::_noteFailureRun(bool failed) {
  const uint64_t epoch = resetEpoch_.load(std::memory_order_acquire);
  uint64_t longest = longestRun_.load(std::memory_order_relaxed);
  if (epoch != seenEpoch_.load(std::memory_order_relaxed)) {
    currentRun_ = 0;  // a run that straddles a reset counts from the reset on
    longest = 0;
  }
  currentRun_ = failed ? currentRun_ + 1 : 0;
  longestRun_.store(std::max(longest, currentRun_), std::memory_order_relaxed);
  seenEpoch_.store(epoch, std::memory_order_release);
}

LinkMonitor::Totals LinkMonitor::_totals(const PortCounters* port) const {
  Totals totals;
  for (size_t i = 0; i < kCountNumber; ++i) totals[i] = counts_[i].load(std::memory_order_relaxed);
  totals[kLong] = port ? port->longReplies.load(std::memory_order_relaxed) : 0;
  totals[kStale] = port ? port->staleSkipped.load(std::memory_order_relaxed) : 0;
  totals[kForeign] = port ? port->foreignDropped.load(std::memory_order_relaxed) : 0;
  return totals;
}

LinkStats LinkMonitor::read(const PortCounters* port) const {
  std::lock_guard<std::mutex> lock(readerMutex_);
  const Totals totals = _totals(port);
  auto since = [&](Count count) { return totals[count] - baseline_[count]; };
  LinkStats stats;
  stats.exchanges = since(kExchanges);
  stats.replies = since(kReplies);
  stats.timeouts = since(kTimeouts);
  stats.short_replies = since(kShort);
  stats.long_replies = since(kLong);
  stats.stale_skipped = since(kStale);
  stats.foreign_dropped = since(kForeign);
  stats.invalid_motor_records = since(kInvalidMotor);
  stats.invalid_imu_records = since(kInvalidImu);
  stats.invalid_battery_records = since(kInvalidBattery);
  const bool runsSinceReset =
      seenEpoch_.load(std::memory_order_acquire) == resetEpoch_.load(std::memory_order_relaxed);
  stats.longest_failure_run = runsSinceReset ? longestRun_.load(std::memory_order_relaxed) : 0;
  _fillRoundTrips(stats, rttSamples_.load(std::memory_order_acquire) - rttBaseline_);
  const int64_t lastReply = lastReplyNs_.load(std::memory_order_relaxed);
  if (lastReply >= 0) stats.reply_age_us = static_cast<double>(monotonicNanos() - lastReply) / 1000.0;
  return stats;
}

void LinkMonitor::_fillRoundTrips(LinkStats& stats, uint64_t samplesSinceReset) const {
  const size_t count = static_cast<size_t>(std::min<uint64_t>(samplesSinceReset, kRttWindow));
  if (count == 0) return;
  // Readers may allocate; only the link thread must not.
  const uint64_t end = rttSamples_.load(std::memory_order_acquire);
  std::vector<uint32_t> samples(count);
  for (size_t k = 0; k < count; ++k)
    samples[k] = rttNs_[(end - 1 - k) % kRttWindow].load(std::memory_order_relaxed);
  std::sort(samples.begin(), samples.end());
  stats.rtt_median_us = percentile(samples, 0.5);
  stats.rtt_p99_us = percentile(samples, 0.99);
  stats.rtt_max_us = samples.back() / 1000.0;
}

void LinkMonitor::reset(const PortCounters* port) {
  std::lock_guard<std::mutex> lock(readerMutex_);
  baseline_ = _totals(port);
  rttBaseline_ = rttSamples_.load(std::memory_order_acquire);
  resetEpoch_.fetch_add(1, std::memory_order_release);
}
