#include "robot_records.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

void RobotState::zero(int n) {
  // A negative size would reach Eigen's allocator as a huge unsigned count.
  if (n < 0) throw std::invalid_argument("RobotState::zero: negative joint count");
  for (Eigen::VectorXd* v : {&pos, &vel, &tau, &aux0, &aux1, &aux2}) v->setZero(n);
}

namespace {

bool fitsTheLink(double value) {
  return std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max();
}

}  // namespace

CommandFault findCommandFault(const RobotCommand& command, Eigen::Index n) {
  const std::pair<const char*, const Eigen::VectorXd*> fields[] = {
      {"tau", &command.tau}, {"pos", &command.pos}, {"vel", &command.vel}, {"kp", &command.kp}, {"kd", &command.kd}};
  for (const auto& [name, values] : fields)
    if (values->size() < n) return {name, -1, values->size(), 0.0};
  for (const auto& [name, values] : fields)
    for (Eigen::Index joint = 0; joint < n; ++joint)
      if (!fitsTheLink((*values)[joint])) return {name, joint, values->size(), (*values)[joint]};
  return {};
}

// Checked before the clamp: a NaN position would otherwise become the joint's minimum.
void requireUsableCommand(const RobotCommand& command, Eigen::Index n, const char* operation) {
  const CommandFault fault = findCommandFault(command, n);
  if (!fault.field) return;
  std::ostringstream text;
  if (fault.joint < 0)
    text << operation << ": every command vector needs " << n << " entries, got tau " << command.tau.size()
         << ", pos " << command.pos.size() << ", vel " << command.vel.size() << ", kp " << command.kp.size()
         << ", kd " << command.kd.size();
  else
    text << operation << ": " << fault.field << " of joint " << fault.joint << " is " << fault.value
         << ": every command value must be finite and within the link's 32-bit floats";
  throw std::invalid_argument(text.str());
}
