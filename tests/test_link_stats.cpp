// Link health against the board simulator with injected faults: each counter of the bus must
// move by what the simulator's own summary says it did to the replies.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board_sim.h"
#include "capture.h"
#include "motor_sdk.h"

namespace {

/// The simulator's final summary line, as numbers.
struct SimSummary {
  uint64_t framesIn = 0, repliesOut = 0, datagrams = 0, silenced = 0, dropped = 0, shortened = 0, lengthened = 0,
           duplicated = 0, errorRecords = 0;
};

SimSummary finalSummary(const std::string& output) {
  const std::regex line(
      R"(stopped, frames in (\d+) \(bad \d+\), replies out (\d+) \(datagrams (\d+)\), faults injected \d+ )"
      R"(\(silenced (\d+), dropped (\d+), delayed \d+, short (\d+), long (\d+), duplicated (\d+), stale \d+, )"
      R"(error records (\d+)\))");
  std::smatch m;
  if (!std::regex_search(output, m, line)) throw std::runtime_error("no final summary in: " + output);
  auto n = [&](int i) { return std::stoull(m[i].str()); };
  return {n(1), n(2), n(3), n(4), n(5), n(6), n(7), n(8), n(9)};
}

/// A zenthi bus on the UDP link `link` describes (the robot's own without one), after the
/// kernel has begun stamping arrivals (until then a repeated reply cannot be told from a
/// fresh one).
void openBus(MotorSDK& bus, const LinkOptions& link = {}) {
  bus.init(configPath("zenthi.yaml"), link);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Paced like the robot's link thread (an exchange every 2.1 ms), so a repeated reply has
// arrived before the next frame leaves, as on the robot.
void exchange(MotorSDK& bus, int count) {
  StdoutCapture quiet;  // the ports' warnings
  for (int i = 0; i < count; ++i) {
    bus.sendRecvMT();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  quiet.finish();
}

// A reply the loaded machine delivered after the 2 ms timeout shows as a timeout and is
// passed over as stale at the next exchange, instead of as what the simulator made of it.
// Such replies are rare; the checks allow for them and are exact without them.
void expectCountedUpToLate(uint64_t counted, uint64_t injected, uint64_t late, const char* what) {
  EXPECT_LE(counted, injected) << what;
  EXPECT_LE(injected - std::min(counted, injected), late) << what;
}

struct FaultMix {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const FaultMix& mix, std::ostream* out) { *out << mix.name; }

class LinkStatsUnderFaults : public testing::TestWithParam<FaultMix> {};

TEST_P(LinkStatsUnderFaults, EveryCounterMovesByWhatTheBoardDid) {
  BoardSim sim(configPath("zenthi.yaml"), onLoopback(GetParam().args));
  MotorSDK bus;
  openBus(bus, sim.loopbackLink());
  constexpr int kExchanges = 400;
  exchange(bus, kExchanges);
  const SimSummary board = finalSummary([&] { sim.stop(); return sim.output(); }());
  exchange(bus, 1);  // to a board that is gone: picks up a repeated last reply as stale
  const LinkStats s = bus.linkStats();

  ASSERT_EQ(board.framesIn, static_cast<uint64_t>(kExchanges));
  EXPECT_EQ(s.exchanges, kExchanges + 1u);
  EXPECT_EQ(s.replies + s.short_replies + s.timeouts, s.exchanges);
  const uint64_t expectedTimeouts = board.silenced + board.dropped + 1;
  ASSERT_GE(s.timeouts, expectedTimeouts);
  const uint64_t late = s.timeouts - expectedTimeouts;
  EXPECT_LE(late, kExchanges / 20u);
  expectCountedUpToLate(s.short_replies, board.shortened, late, "short replies");
  expectCountedUpToLate(s.long_replies, board.lengthened, late, "long replies");
  expectCountedUpToLate(s.invalid_motor_records + s.invalid_imu_records + s.invalid_battery_records,
                        board.errorRecords, late * 3, "invalid records");
  EXPECT_GE(s.stale_skipped, board.duplicated);
  EXPECT_LE(s.stale_skipped, board.duplicated + 2 * late);
  EXPECT_EQ(s.foreign_dropped, 0u);
  EXPECT_GE(s.longest_failure_run, 1u);
  EXPECT_GT(s.rtt_median_us, 0.0);
  EXPECT_LE(s.rtt_median_us, s.rtt_p99_us);
  EXPECT_LE(s.rtt_p99_us, s.rtt_max_us);
  EXPECT_GE(s.reply_age_us, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, LinkStatsUnderFaults,
    testing::Values(FaultMix{"LengthsLossesAndASilence",
                             {"--drop", "0.05", "--short", "0.05", "--long", "0.05", "--duplicate", "0.05",
                              "--silent-between", "100:130", "--motor-error", "1:5"}},
                    FaultMix{"ErrorRecordsOfEveryKind",
                             {"--drop", "0.05", "--motor-error", "2:5", "--imu-error", "0:3", "--battery-error", "0:4"}}),
    [](const testing::TestParamInfo<FaultMix>& info) { return info.param.name; });

TEST(LinkStats, ASilenceIsTheLongestFailureRunAndResetStartsANewWindow) {
  BoardSim sim(configPath("zenthi.yaml"), onLoopback({"--silent-between", "20:45"}));
  MotorSDK bus;
  openBus(bus, sim.loopbackLink());
  exchange(bus, 60);
  LinkStats s = bus.linkStats();
  EXPECT_GE(s.longest_failure_run, 25u);
  EXPECT_LE(s.longest_failure_run, 25u + (s.timeouts - 25u));  // only late replies could lengthen it

  bus.resetLinkStats();
  s = bus.linkStats();
  EXPECT_EQ(s.exchanges, 0u);
  EXPECT_EQ(s.timeouts, 0u);
  EXPECT_EQ(s.longest_failure_run, 0u);
  EXPECT_EQ(s.rtt_max_us, 0.0);
  EXPECT_GE(s.reply_age_us, 0.0);  // the latest good reply is not forgotten
  exchange(bus, 5);
  EXPECT_EQ(bus.linkStats().exchanges, 5u);
}

// A host other than the board (the simulator answering from a second address) feeds nothing
// into the bus: every one of its datagrams is dropped and counted.
TEST(LinkStats, EveryDatagramFromAForeignSenderIsDroppedAndCounted) {
  ASSERT_EQ(std::system("ip addr add 192.168.1.6/32 dev lo 2>/dev/null || ip addr show dev lo | grep -q 192.168.1.6"),
            0);
  BoardSim sim(configPath("zenthi.yaml"), {"--other-address", "192.168.1.6"});
  MotorSDK bus;
  openBus(bus);
  exchange(bus, 20);
  const SimSummary board = finalSummary([&] { sim.stop(); return sim.output(); }());
  exchange(bus, 1);  // late foreign datagrams are still told apart when discarded
  const LinkStats s = bus.linkStats();
  EXPECT_EQ(s.foreign_dropped, board.datagrams);
  EXPECT_EQ(s.timeouts, 21u);
  EXPECT_EQ(s.replies, 0u);
  EXPECT_EQ(s.reply_age_us, -1.0);
}

}  // namespace
