// Joint limit tables of both families and their clamps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kinematics.h"

namespace gk = gravon_kinematics;
namespace zk = zenthi_kinematics;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The stored doubles, written out as the degrees they come from.
const double d15 = 0.2617993877991494, d20 = 0.3490658503988659, d25 = 0.4363323129985824,
             d35 = 0.6108652381980153, d40 = 0.6981317007977318, d42_3 = 0.7382742735936013,
             d52 = 0.9075712110370513, d55 = 0.9599310885968813, d60 = 1.0471975511965976,
             d75 = 1.3089969389957472, d90 = 1.5707963267948966, d110 = 1.9198621771937625,
             d139_96 = 2.4427628210912635, d165 = 2.8797932657906435, d200 = 3.490658503988659,
             d265 = 4.625122517784973;

struct BipedRow {
  double virtualMin, virtualMax, hardwareMin, hardwareMax;
};

const BipedRow kBiped[14] = {
    {-d40, d40, -d40, d40},     {-d20, d35, -d20, d35},         {-d90, d60, -d90, d60},
    {d42_3, d139_96, d15, d165}, {-d90, d90, -d75, d55},         {-d40, d40, -d40, d40},
    {-d35, d20, -d35, d20},     {-d90, d60, -d90, d60},         {d42_3, d139_96, d15, d165},
    {-d90, d90, -d75, d55},     {-d110, d110, -d110, d110},     {d40, d200, d40, d200},
    {-d265, -d25, -d265, -d25}, {-d52, d75, -d52, d75},
};

}  // namespace

TEST(BipedLimits, StoredDoublesAreExact) {
  for (size_t i = 0; i < 14; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(gk::get_jpos_virtual_min(i), kBiped[i].virtualMin);
    EXPECT_EQ(gk::get_jpos_virtual_max(i), kBiped[i].virtualMax);
    EXPECT_EQ(gk::get_jpos_hardware_min(i), kBiped[i].hardwareMin);
    EXPECT_EQ(gk::get_jpos_hardware_max(i), kBiped[i].hardwareMax);
  }
}

TEST(BipedLimits, ClampsToTheMatchingTable) {
  EXPECT_EQ(gk::get_bounded_jpos_virtual(0.0, 3), 0.7382742735936013);  // the virtual knee is never straight
  EXPECT_EQ(gk::get_bounded_jpos_hardware(0.0, 3), 0.2617993877991494);
  EXPECT_EQ(gk::get_bounded_jpos_hardware(1.0, 4), 0.9599310885968813);
  EXPECT_EQ(gk::get_bounded_jpos_virtual(1.0, 4), 1.0);
  EXPECT_EQ(gk::get_bounded_jpos_virtual(0.5, 1), 0.5);  // hip rolls are mirrored
  EXPECT_EQ(gk::get_bounded_jpos_virtual(0.5, 6), 0.3490658503988659);
  EXPECT_EQ(gk::get_bounded_jpos_virtual(0.0, 12), -0.4363323129985824);
  EXPECT_EQ(gk::get_bounded_jpos_hardware(-10.0, 13), -d52);
  EXPECT_EQ(gk::get_bounded_jpos_hardware(10.0, 11), d200);
}

TEST(ZenthiLimits, SixGroupsOfThree) {
  const double min[3] = {-0.33161255787892263, -1.48352986419518, -2.792526803190927};
  const double max[3] = {0.33161255787892263, 4.171336912266447, -0.5235987755982988};
  for (size_t i = 0; i < 18; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(zk::get_jpos_min(i), min[i % 3]);
    EXPECT_EQ(zk::get_jpos_max(i), max[i % 3]);
  }
  EXPECT_EQ(zk::get_bounded_jpos(5.0, 4), 4.171336912266447);
  EXPECT_EQ(zk::get_bounded_jpos(0.0, 17), -0.5235987755982988);
  EXPECT_EQ(zk::get_bounded_jpos(0.1, 0), 0.1);
}

TEST(Limits, NaNPositionYieldsTheMinimum) {
  for (size_t i = 0; i < 14; ++i) {
    EXPECT_EQ(gk::get_bounded_jpos_virtual(kNaN, i), gk::get_jpos_virtual_min(i)) << i;
    EXPECT_EQ(gk::get_bounded_jpos_hardware(kNaN, i), gk::get_jpos_hardware_min(i)) << i;
  }
  for (size_t i = 0; i < 18; ++i) EXPECT_EQ(zk::get_bounded_jpos(kNaN, i), zk::get_jpos_min(i)) << i;
}

// Joints past the tables have no limits: positions pass through untouched, NaN included.
TEST(Limits, IndicesPastTheTablesPassThrough) {
  for (size_t i : {size_t{14}, size_t{15}, size_t{1000}, std::numeric_limits<size_t>::max()}) {
    EXPECT_EQ(gk::get_bounded_jpos_virtual(123.0, i), 123.0);
    EXPECT_EQ(gk::get_bounded_jpos_hardware(-123.0, i), -123.0);
    EXPECT_TRUE(std::isnan(gk::get_bounded_jpos_hardware(kNaN, i)));
    EXPECT_EQ(gk::get_jpos_virtual_max(i), kInf);
    EXPECT_EQ(gk::get_jpos_hardware_min(i), -kInf);
  }
  EXPECT_EQ(zk::get_bounded_jpos(9.0, 17), -0.5235987755982988);  // last entry still clamps
  EXPECT_EQ(zk::get_bounded_jpos(9.0, 18), 9.0);
  EXPECT_EQ(zk::get_jpos_max(18), kInf);
  EXPECT_EQ(zk::get_jpos_min(18), -kInf);
}
