// Joint position limits of both robot families and the clamps built on them.
#include <array>
#include <cmath>
#include <limits>

#include "kinematics.h"

namespace {

// Degrees to radians exactly as the tables were written down: division first, then times pi.
constexpr double deg(double degrees) { return degrees / 180.0 * M_PI; }

constexpr double kNoLimit = std::numeric_limits<double>::infinity();

template <size_t N>
double entryOr(const std::array<double, N>& table, size_t index, double fallback) {
  return index < N ? table[index] : fallback;
}

// Positions of joints past the table pass through unclamped: those joints have no limits here.
template <size_t N>
double bounded(double position, size_t index, const std::array<double, N>& min, const std::array<double, N>& max) {
  if (index >= N) return position;
  return std::fmin(std::fmax(position, min[index]), max[index]);
}

using BipedTable = std::array<double, gravon_kinematics::kBipedLimitCount>;

// Virtual and hardware limits differ only at the knees and ankles (3, 4, 8, 9), where the
// serial chain and the motors measure different angles.
constexpr BipedTable kVirtualMin = {deg(-40), deg(-20), deg(-90), deg(42.3),  deg(-90),
                                    deg(-40), deg(-35), deg(-90), deg(42.3),  deg(-90),
                                    deg(-110), deg(40), deg(-265), deg(-52)};
constexpr BipedTable kVirtualMax = {deg(40), deg(35), deg(60), deg(139.96), deg(90),
                                    deg(40), deg(20), deg(60), deg(139.96), deg(90),
                                    deg(110), deg(200), deg(-25), deg(75)};
constexpr BipedTable kHardwareMin = {deg(-40), deg(-20), deg(-90), deg(15),  deg(-75),
                                     deg(-40), deg(-35), deg(-90), deg(15),  deg(-75),
                                     deg(-110), deg(40), deg(-265), deg(-52)};
constexpr BipedTable kHardwareMax = {deg(40), deg(35), deg(60), deg(165), deg(55),
                                     deg(40), deg(20), deg(60), deg(165), deg(55),
                                     deg(110), deg(200), deg(-25), deg(75)};

using ZenthiTable = std::array<double, zenthi_kinematics::kLimitCount>;

// Six identical groups of (abduction, hip, knee).
constexpr ZenthiTable zenthiTable(double a, double b, double c) {
  ZenthiTable table{};
  for (size_t i = 0; i < table.size(); i += 3) {
    table[i] = a;
    table[i + 1] = b;
    table[i + 2] = c;
  }
  return table;
}

constexpr ZenthiTable kZenthiMin = zenthiTable(deg(-19), deg(-85), deg(-160));
constexpr ZenthiTable kZenthiMax = zenthiTable(deg(19), deg(239), deg(-30));

}  // namespace

namespace gravon_kinematics {

double get_jpos_virtual_max(size_t index) { return entryOr(kVirtualMax, index, kNoLimit); }
double get_jpos_virtual_min(size_t index) { return entryOr(kVirtualMin, index, -kNoLimit); }
double get_bounded_jpos_virtual(double position, size_t index) {
  return bounded(position, index, kVirtualMin, kVirtualMax);
}

double get_jpos_hardware_max(size_t index) { return entryOr(kHardwareMax, index, kNoLimit); }
double get_jpos_hardware_min(size_t index) { return entryOr(kHardwareMin, index, -kNoLimit); }
double get_bounded_jpos_hardware(double position, size_t index) {
  return bounded(position, index, kHardwareMin, kHardwareMax);
}

}  // namespace gravon_kinematics

namespace zenthi_kinematics {

double get_jpos_max(size_t index) { return entryOr(kZenthiMax, index, kNoLimit); }
double get_jpos_min(size_t index) { return entryOr(kZenthiMin, index, -kNoLimit); }
double get_bounded_jpos(double position, size_t index) { return bounded(position, index, kZenthiMin, kZenthiMax); }

}  // namespace zenthi_kinematics
