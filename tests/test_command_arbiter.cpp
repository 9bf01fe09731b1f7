// The robot service's session and lease rules, on given times and sequence numbers.
#include <gtest/gtest.h>

#include "command_arbiter.h"

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr uint64_t kA = 0xa1, kB = 0xb2;

// States arrive every 2 ms from t = 0 (sequence 1) on.
class Arbiter : public ::testing::Test {
 protected:
  void statesUntil(uint64_t last) {
    for (; next_ <= last; ++next_) arbiter_.noteState(next_, stateTime(next_));
  }
  static int64_t stateTime(uint64_t sequence) { return static_cast<int64_t>(sequence - 1) * 2 * kMs; }
  CommandArbiter::Verdict send(uint64_t session, uint64_t answers, int64_t arrivalNs, double lease = 0.05) {
    SessionCommand command{session, ++counter_, answers, lease, false};
    return arbiter_.judge(command, arrivalNs);
  }

  CommandArbiter arbiter_{0.5, 64};
  uint64_t next_ = 1;
  uint64_t counter_ = 0;
};

using V = CommandArbiter::Verdict;

TEST_F(Arbiter, FirstSessionTakesChargeAndOthersAreDroppedAndCounted) {
  statesUntil(3);
  EXPECT_EQ(arbiter_.sessionInCharge(), 0u);
  EXPECT_EQ(send(kA, 3, stateTime(3) + kMs), V::Apply);
  EXPECT_EQ(arbiter_.sessionInCharge(), kA);
  EXPECT_EQ(send(kB, 3, stateTime(3) + kMs), V::Foreign);
  EXPECT_EQ(send(0, 3, stateTime(3) + kMs), V::Foreign);  // no session at all
  EXPECT_EQ(send(kA, 3, stateTime(3) + 2 * kMs), V::Apply);
  EXPECT_EQ(arbiter_.counts().foreignDropped, 2u);
  EXPECT_EQ(arbiter_.sessionInCharge(), kA);
}

TEST_F(Arbiter, CommandOlderThanItsCappedLeaseIsNotApplied) {
  statesUntil(10);
  // Age is from the arrival of the answered state: 60 ms exceeds 50 ms, 40 ms does not.
  EXPECT_EQ(send(kA, 1, stateTime(1) + 60 * kMs), V::Expired);
  EXPECT_EQ(arbiter_.sessionInCharge(), 0u) << "an expired command takes no charge";
  EXPECT_EQ(send(kA, 1, stateTime(1) + 40 * kMs), V::Apply);
  // A lease asked beyond the cap is granted 0.5 s.
  EXPECT_DOUBLE_EQ(arbiter_.grantedLease(2.0), 0.5);
  EXPECT_EQ(send(kA, 10, stateTime(10) + 600 * kMs, 2.0), V::Expired);
  EXPECT_EQ(send(kA, 10, stateTime(10) + 400 * kMs, 2.0), V::Apply);
  EXPECT_DOUBLE_EQ(arbiter_.lease(), 0.5);
  // Answering no state, a state never published, or one no longer remembered.
  statesUntil(100);
  EXPECT_EQ(send(kA, 0, stateTime(100)), V::Expired);
  EXPECT_EQ(send(kA, 101, stateTime(100)), V::Expired);
  EXPECT_EQ(send(kA, 20, stateTime(20)), V::Expired) << "state 20 was overwritten in the ring of 64";
  EXPECT_EQ(arbiter_.counts().expiredDropped, 5u);
}

TEST_F(Arbiter, CommandsOutOfOrderAreNotApplied) {
  statesUntil(5);
  SessionCommand later{kA, 7, 5, 0.05, false};
  SessionCommand earlier{kA, 6, 5, 0.05, false};
  EXPECT_EQ(arbiter_.judge(later, stateTime(5)), V::Apply);
  EXPECT_EQ(arbiter_.judge(earlier, stateTime(5)), V::Expired);
}

TEST_F(Arbiter, SilenceLongerThanTheLeaseFreesTheRobotForAnotherSession) {
  statesUntil(5);
  const int64_t applied = stateTime(5) + kMs;
  ASSERT_EQ(send(kA, 5, applied), V::Apply);
  EXPECT_FALSE(arbiter_.expire(applied + 50 * kMs));
  EXPECT_TRUE(arbiter_.expire(applied + 51 * kMs));
  EXPECT_EQ(arbiter_.sessionInCharge(), 0u);
  EXPECT_EQ(arbiter_.counts().leaseExpiries, 1u);
  EXPECT_FALSE(arbiter_.expire(applied + 100 * kMs)) << "a free robot expires nothing";
  statesUntil(30);
  EXPECT_EQ(send(kB, 30, stateTime(30) + kMs), V::Apply);
  EXPECT_EQ(arbiter_.sessionInCharge(), kB);
}

TEST_F(Arbiter, BrakeFromAnySessionFreesTheRobotAndOutdatesCommandsInFlight) {
  statesUntil(5);
  ASSERT_EQ(send(kA, 5, stateTime(5) + kMs), V::Apply);
  SessionCommand brake{kB, 1, 0, 0.0, true};
  EXPECT_EQ(arbiter_.judge(brake, stateTime(5) + 2 * kMs), V::Brake);
  EXPECT_EQ(arbiter_.sessionInCharge(), 0u);
  EXPECT_EQ(arbiter_.counts().brakes, 1u);
  EXPECT_EQ(send(kA, 5, stateTime(5) + 3 * kMs), V::Expired) << "it answers a state from before the brake";
  statesUntil(6);
  EXPECT_EQ(send(kA, 6, stateTime(6) + kMs), V::Apply);
}

}  // namespace
