// The robot-level state and command records.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "alloc_counter.h"
#include "robot_records.h"

namespace {

std::vector<Eigen::VectorXd*> perJoint(RobotState& s) { return {&s.pos, &s.vel, &s.tau, &s.aux0, &s.aux1, &s.aux2}; }

RobotState withImuAndFlag() {
  RobotState s;
  s.acc << 1, 2, 3;
  s.gyro << 4, 5, 6;
  s.quat << 0.5, 0.5, 0.5, 0.5;
  s.flag = true;
  return s;
}

void expectImuAndFlagKept(const RobotState& s) {
  EXPECT_EQ(s.acc, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(s.gyro, Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(s.quat, Eigen::Vector4d(0.5, 0.5, 0.5, 0.5));
  EXPECT_TRUE(s.flag);
}

}  // namespace

TEST(RobotState, FreshRecordIsEmptyWithZeroImuAndFlagFalse) {
  RobotState s;
  for (auto* v : perJoint(s)) EXPECT_EQ(v->size(), 0);
  EXPECT_TRUE(s.acc.isZero() && s.gyro.isZero() && s.quat.isZero());
  EXPECT_FALSE(s.flag);
}

TEST(RobotState, ZeroSizesAndClearsOnlyThePerJointVectors) {
  RobotState s = withImuAndFlag();
  s.zero(12);
  for (auto* v : perJoint(s)) {
    EXPECT_EQ(v->size(), 12);
    EXPECT_TRUE(v->isZero(0.0));
  }
  expectImuAndFlagKept(s);

  s.zero(0);
  for (auto* v : perJoint(s)) EXPECT_EQ(v->size(), 0);
  expectImuAndFlagKept(s);
}

TEST(RobotState, ZeroOfTheSameLengthKeepsStorageAndDoesNotAllocate) {
  RobotState s;
  s.zero(10);
  std::vector<const double*> storage;
  for (auto* v : perJoint(s)) {
    v->setConstant(7.0);
    storage.push_back(v->data());
  }
  alloc_counter::Scope scope;
  s.zero(10);
  EXPECT_EQ(scope.count(), 0u);
  auto vectors = perJoint(s);
  for (size_t i = 0; i < vectors.size(); ++i) {
    EXPECT_EQ(vectors[i]->data(), storage[i]);
    EXPECT_TRUE(vectors[i]->isZero(0.0));
  }
}

TEST(RobotState, NegativeCountIsRejected) {
  RobotState s;
  s.zero(3);
  EXPECT_THROW(s.zero(-1), std::invalid_argument);
  EXPECT_EQ(s.pos.size(), 3);
}

TEST(RobotState, CopyIsDeep) {
  RobotState a = withImuAndFlag();
  a.zero(4);
  RobotState b = a;
  b.pos[0] = 1.0;
  b.quat[0] = 9.0;
  EXPECT_EQ(a.pos[0], 0.0);
  EXPECT_EQ(a.quat[0], 0.5);
  expectImuAndFlagKept(a);
}

// The Python binding and RobotSDK hold states on the heap; Eigen needs quat 16-byte aligned.
TEST(RobotState, HeapCopiesKeepQuatAligned) {
  auto one = std::make_unique<RobotState>();
  std::vector<RobotState> many(5);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(one->quat.data()) % 16, 0u);
  for (const auto& s : many) EXPECT_EQ(reinterpret_cast<uintptr_t>(s.quat.data()) % 16, 0u);
}

// Code that fills the records by position depends on these orders.
TEST(Records, FieldOrderInMemory) {
  RobotState s;
  const void* state[] = {&s.acc, &s.gyro, &s.quat, &s.pos, &s.vel, &s.tau, &s.aux0, &s.aux1, &s.aux2, &s.flag};
  for (size_t i = 1; i < std::size(state); ++i) EXPECT_LT(state[i - 1], state[i]) << i;
  RobotCommand c;
  const void* command[] = {&c.tau, &c.pos, &c.vel, &c.kp, &c.kd, &c.flag0, &c.flag1, &c.flag2};
  for (size_t i = 1; i < std::size(command); ++i) EXPECT_LT(command[i - 1], command[i]) << i;
}

TEST(RobotCommand, FreshFlagsFalseAndCopyTakesSourceLengths) {
  RobotCommand src;
  EXPECT_FALSE(src.flag0 || src.flag1 || src.flag2);
  EXPECT_EQ(src.tau.size(), 0);
  src.tau = Eigen::VectorXd::Constant(3, 1.0);
  src.pos = Eigen::VectorXd::Constant(3, 2.0);
  src.vel = Eigen::VectorXd::Constant(3, 3.0);
  src.kp = Eigen::VectorXd::Constant(3, 4.0);
  src.kd = Eigen::VectorXd::Constant(3, 5.0);
  src.flag1 = true;

  RobotCommand dst;
  dst.tau = Eigen::VectorXd::Zero(12);
  dst.kd = Eigen::VectorXd::Zero(1);
  dst = src;
  EXPECT_EQ(dst.tau, src.tau);
  EXPECT_EQ(dst.kd, src.kd);
  EXPECT_EQ(dst.pos, src.pos);
  EXPECT_TRUE(dst.flag1);
  EXPECT_FALSE(dst.flag0 || dst.flag2);
  dst.pos[0] = -1.0;
  EXPECT_EQ(src.pos[0], 2.0);
}
