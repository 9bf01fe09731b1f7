#include "remote_robot.h"

namespace {
[[noreturn]] void _notBuilt() { throw std::logic_error("RemoteRobot: not built yet"); }
}  // namespace

std::string ddsConfigForInterface(const std::string&) { _notBuilt(); }
std::string ddsInterfaceFromEnvironment() { _notBuilt(); }
std::string ddsTopicName(const std::string&, const std::string&) { _notBuilt(); }

struct RemoteRobot::Impl {};

RemoteRobot::RemoteRobot(std::string, uint32_t, double, double) { _notBuilt(); }
RemoteRobot::~RemoteRobot() = default;
void RemoteRobot::getState(RobotState&) { _notBuilt(); }
const RobotState& RemoteRobot::readState() { _notBuilt(); }
bool RemoteRobot::waitForNewState(double) { _notBuilt(); }
void RemoteRobot::setCommand(const RobotCommand&) { _notBuilt(); }
void RemoteRobot::brake() { _notBuilt(); }
LinkStats RemoteRobot::linkStats() const { _notBuilt(); }
RemoteStatus RemoteRobot::status() const { _notBuilt(); }
BrakeLatch RemoteRobot::brakeLatch() const { _notBuilt(); }
int RemoteRobot::motorCount() const { _notBuilt(); }
RobotType RemoteRobot::robotType() const { _notBuilt(); }
uint64_t RemoteRobot::sessionId() const { _notBuilt(); }
double RemoteRobot::lease() const { _notBuilt(); }
const std::string& RemoteRobot::name() const { _notBuilt(); }
