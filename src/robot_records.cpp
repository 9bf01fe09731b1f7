#include "robot_records.h"

#include <stdexcept>

void RobotState::zero(int n) {
  // A negative size would reach Eigen's allocator as a huge unsigned count.
  if (n < 0) throw std::invalid_argument("RobotState::zero: negative joint count");
  for (Eigen::VectorXd* v : {&pos, &vel, &tau, &aux0, &aux1, &aux2}) v->setZero(n);
}
