/// \file
/// Link health: how the exchanges with the motor board went, counted on the link thread and
/// read from any other thread without ever making the link wait.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "io_port.h"
#include "wire_frames.h"

/// A snapshot of the link's health since the bus was opened or since the last reset. Counts
/// are of exchanges (or records, or datagrams) in the window; times in µs.
struct LinkStats {
  uint64_t exchanges = 0;              ///< Command frames sent.
  uint64_t replies = 0;                ///< Complete replies (a long one, cut to length, counts).
  uint64_t timeouts = 0;               ///< Exchanges that received nothing.
  uint64_t short_replies = 0;          ///< Replies shorter than the reply frame.
  uint64_t long_replies = 0;           ///< Replies longer than the reply frame, cut to it.
  uint64_t stale_skipped = 0;          ///< Replies to earlier frames (late or sent twice), passed over.
  uint64_t foreign_dropped = 0;        ///< Datagrams from an address other than the board's, dropped.
  uint64_t invalid_motor_records = 0;  ///< Received motor records whose status is not 9.
  uint64_t invalid_imu_records = 0;    ///< Received IMU records whose status is not 9.
  uint64_t invalid_battery_records = 0;  ///< Received battery records whose status is not 9.
  uint64_t longest_failure_run = 0;    ///< Most exchanges in a row without a complete reply.
  /// Median round trip of the complete replies among the window's last 1000 exchanges; 0 when
  /// there were none. Unit: [µs].
  double rtt_median_us = 0.0;
  double rtt_p99_us = 0.0;             ///< 99th percentile of the same round trips, or 0. Unit: [µs].
  double rtt_max_us = 0.0;             ///< Longest of the same round trips, or 0. Unit: [µs].
  double reply_age_us = -1.0;          ///< Time since the latest complete reply; -1 before the first. Unit: [µs].
  /// Times the commands stopped coming for longer than the command timeout and the damping
  /// brake took over (the robot layer counts them; see RobotSDK::setCommandTimeout).
  uint64_t command_expiries = 0;
};

/// One line of text naming every figure, for progress lines and reports. Any thread; never
/// throws but std::bad_alloc.
std::string linkStatsText(const LinkStats& stats);

/// What one exchange brought, as the bus saw it.
struct ExchangeResult {
  int64_t sentNs = 0;     ///< CLOCK_MONOTONIC before the frame was sent. Unit: [ns].
  int64_t repliedNs = 0;  ///< CLOCK_MONOTONIC when the receive ended. Unit: [ns].
  size_t received = 0;    ///< Reply bytes received (0 for none; the reply length when complete). Unit: [byte].
  bool complete = false;  ///< The whole reply frame arrived.
  bool cut = false;       ///< The reply was longer than the frame and cut to it.
};

/// Accumulates LinkStats. noteExchange belongs to the thread that owns the link; read and
/// reset may be called from any thread at any time. The link thread only stores relaxed
/// atomics (no lock, no allocation); readers and resets share a lock of their own.
class LinkMonitor {
 public:
  /// Exchanges whose round trips the percentiles cover.
  static constexpr size_t kRttWindow = 1000;

  /// Counts one exchange; `reply` holds `result.received` bytes of a frame of `layout`. The
  /// link thread only; never blocks, never allocates, never throws.
  void noteExchange(const ExchangeResult& result, const uint8_t* reply, const wire::FrameLayout& layout);
  /// The stats of the present window; `port` (may be null) supplies what the port passed over.
  /// Any thread; allocates (std::bad_alloc is all it can throw).
  LinkStats read(const PortCounters* port) const;
  /// Starts a new window: every count starts again from 0. Any thread; never throws.
  void reset(const PortCounters* port);

 private:
  // Running totals since the bus was opened, in the order of LinkStats' counts.
  enum Count : size_t {
    kExchanges, kReplies, kTimeouts, kShort, kLong, kStale, kForeign, kInvalidMotor, kInvalidImu,
    kInvalidBattery, kCountNumber
  };
  using Totals = std::array<uint64_t, kCountNumber>;

  void _add(Count count, uint64_t amount);
  void _noteInvalidRecords(const uint8_t* reply, size_t received, const wire::FrameLayout& layout);
  void _noteFailureRun(bool failed);
  Totals _totals(const PortCounters* port) const;
  void _fillRoundTrips(LinkStats& stats, uint64_t samplesSinceReset) const;

  std::array<std::atomic<uint64_t>, kCountNumber> counts_{};
  std::array<std::atomic<uint32_t>, kRttWindow> rttNs_{};  // ring of complete replies' round trips
  std::atomic<uint64_t> rttSamples_{0};
  std::atomic<int64_t> lastReplyNs_{-1};
  std::atomic<uint64_t> longestRun_{0};
  std::atomic<uint64_t> resetEpoch_{0};  // bumped by reset; the link thread restarts its runs
  std::atomic<uint64_t> seenEpoch_{0};   // the epoch the link thread's runs belong to
  uint64_t currentRun_ = 0;              // link thread only

  mutable std::mutex readerMutex_;  // readers and resets only; never the link thread
  Totals baseline_{};
  uint64_t rttBaseline_ = 0;
};
