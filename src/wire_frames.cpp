#include "wire_frames.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "log_line.h"

namespace wire {
namespace {

void reportUnknownType() { logLine("[MotorSDK::sendRecv] unkown comm type"); }

// Writes the configured type into record i; false when the board would not understand it.
bool stampTypeChecked(const MotorTable& table, size_t i, std::vector<MotorCmd>& frame) {
  frame[i].motor_type = table.type[i];
  if (!isAcceptedMotorType(table.type[i])) {
    reportUnknownType();
    return false;
  }
  return true;
}

void stampId(const MotorTable& table, size_t i, std::vector<MotorCmd>& frame) {
  frame[i].id = static_cast<uint8_t>(table.id[i] & 0xFF);
}

void zeroSetPoints(MotorCmd& record) {
  record.pos = 0.0f;
  record.vel = 0.0f;
  record.tau = 0.0f;
  record.kp = 0.0f;
  record.kd = 0.0f;
}

const char* motorWarning(Operation op) {
  switch (op) {
    case Operation::SendRecv: return "[WARNNING] motor %u id %u sendRecv status not OK %u\n";
    case Operation::Recv: return "[WARNNING] motor %u id %u recv status not OK %u\n";
    case Operation::SetMotorZero: return "[WARNNING] motor %u id %u setMotorZero status not OK %u\n";
  }
  return "";
}

const char* imuWarning(Operation op) {
  switch (op) {
    case Operation::SendRecv: return "[WARNNING] imu %u sendRecv status error %u \n";
    case Operation::Recv: return "[WARNNING] imu %u recv status error %u \n";
    case Operation::SetMotorZero: return "[WARNNING] imu %u setMotorZero status error %u \n";
  }
  return "";
}

const char* batteryWarning(Operation op) {
  switch (op) {
    case Operation::SendRecv: return "[WARNNING] battery %u sendRecv status error %u \n";
    case Operation::Recv: return "[WARNNING] battery %u recv status error %u \n";
    case Operation::SetMotorZero: return "[WARNNING] battery %u setMotorZero status error %u \n";
  }
  return "";
}

// One joint-side command brought to the motor side, in double before narrowing to the link's
// floats: pos*g+o, vel*g, tau/g, kp/g², kd/g².
struct MotorSideValues {
  double pos, vel, tau, kp, kd;
};

MotorSideValues toMotorSideValues(const MotorCmd& in, double g, double o) {
  return {static_cast<double>(in.pos) * g + o, static_cast<double>(in.vel) * g, static_cast<double>(in.tau) / g,
          static_cast<double>(in.kp) / (g * g), static_cast<double>(in.kd) / (g * g)};
}

// False for NaN, infinities and finite values beyond the largest float (which would narrow to
// an infinity).
bool fitsLinkFloat(double value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }

[[noreturn]] void refuseCommand(size_t motor, const char* name, float jointSide, double motorSide) {
  std::ostringstream text;
  text << "[MotorSDK] motor " << motor << ": command " << name << " = " << jointSide << " is " << motorSide
       << " on the motor side, which the link cannot carry (not a finite 32-bit float)";
  throw std::invalid_argument(text.str());
}

}  // namespace

void requireFiniteOnLink(const std::vector<MotorCmd>& cmd, const MotorTable& table) {
  for (size_t i = 0; i < table.motors(); ++i) {
    const MotorCmd& in = cmd.at(i);
    const MotorSideValues out = toMotorSideValues(in, table.gr[i], table.offset[i]);
    if (!fitsLinkFloat(out.pos)) refuseCommand(i, "pos", in.pos, out.pos);
    if (!fitsLinkFloat(out.vel)) refuseCommand(i, "vel", in.vel, out.vel);
    if (!fitsLinkFloat(out.tau)) refuseCommand(i, "tau", in.tau, out.tau);
    if (!fitsLinkFloat(out.kp)) refuseCommand(i, "kp", in.kp, out.kp);
    if (!fitsLinkFloat(out.kd)) refuseCommand(i, "kd", in.kd, out.kd);
  }
}

bool isAcceptedMotorType(uint8_t type) { return type >= 3 && type <= 5; }

bool encodeCommands(const std::vector<MotorCmd>& cmd, const MotorTable& table,
                    std::vector<MotorCmd>& frame) {
  for (size_t i = 0; i < table.motors(); ++i) {
    if (!stampTypeChecked(table, i, frame)) return false;
    stampId(table, i, frame);
    const MotorCmd& in = cmd.at(i);
    const MotorSideValues out = toMotorSideValues(in, table.gr[i], table.offset[i]);
    frame[i].mode = in.mode;
    frame[i].pos = static_cast<float>(out.pos);
    frame[i].vel = static_cast<float>(out.vel);
    frame[i].tau = static_cast<float>(out.tau);
    frame[i].kp = static_cast<float>(out.kp);
    frame[i].kd = static_cast<float>(out.kd);
  }
  return true;
}

void buildPassiveRead(const MotorTable& table, std::vector<MotorCmd>& frame) {
  for (size_t i = 0; i < table.motors(); ++i) {
    frame[i].motor_type = table.type[i];
    stampId(table, i, frame);
    frame[i].mode = kModeNormal;
    zeroSetPoints(frame[i]);
    frame[i].kd = kPassiveReadKd;
  }
}

bool buildBackgroundPassiveRead(const MotorTable& table, std::vector<MotorCmd>& frame) {
  for (size_t i = 0; i < table.motors(); ++i) {
    frame[i].motor_type = table.type[i];
    stampId(table, i, frame);
    frame[i].mode = kModeNormal;
    zeroSetPoints(frame[i]);
  }
  return refreshMotorTypes(table, frame);
}

bool buildZeroSetting(const std::vector<MotorCmd>& cmd, const MotorTable& table,
                      std::vector<MotorCmd>& frame) {
  for (size_t i = 0; i < table.motors(); ++i) {
    if (!stampTypeChecked(table, i, frame)) return false;
    stampId(table, i, frame);
    frame[i].mode = cmd.at(i).mode;
    zeroSetPoints(frame[i]);
  }
  return true;
}

bool refreshMotorTypes(const MotorTable& table, std::vector<MotorCmd>& frame) {
  for (size_t i = 0; i < table.motors(); ++i) {
    if (!stampTypeChecked(table, i, frame)) return false;
  }
  return true;
}

void splitReply(const uint8_t* reply, std::vector<MotorState>& motors, std::vector<ImuState>& imus,
                std::vector<BatState>& batteries) {
  const size_t motorBytes = sizeof(MotorState) * motors.size();
  const size_t imuBytes = sizeof(ImuState) * imus.size();
  const size_t batteryBytes = sizeof(BatState) * batteries.size();
  if (motorBytes) std::memcpy(motors.data(), reply, motorBytes);
  if (imuBytes) std::memcpy(imus.data(), reply + motorBytes, imuBytes);
  if (batteryBytes) std::memcpy(batteries.data(), reply + motorBytes + imuBytes, batteryBytes);
}

void clearCutRecords(uint8_t* reply, size_t received, const FrameLayout& layout) {
  const size_t length = layout.replyLength();
  if (received == length) return;
  if (received > length) received = 0;
  size_t keep;
  if (received < layout.imuOffset()) {
    keep = received / sizeof(MotorState) * sizeof(MotorState);
  } else if (received < layout.batteryOffset()) {
    keep = layout.imuOffset() + (received - layout.imuOffset()) / sizeof(ImuState) * sizeof(ImuState);
  } else {
    keep = layout.batteryOffset() + (received - layout.batteryOffset()) / sizeof(BatState) * sizeof(BatState);
  }
  std::memset(reply + keep, 0, length - keep);
}

void decodeMotors(const std::vector<MotorState>& raw, const MotorTable& table, PositionForm form,
                  Operation op, std::vector<MotorState>& out) {
  for (size_t i = 0; i < raw.size(); ++i) {
    const MotorState& in = raw[i];
    MotorState& dst = out.at(i);
    dst.status = in.status;
    dst.id = in.id;
    if (in.status != kStatusValid) {
      logFormat(motorWarning(op), static_cast<unsigned>(i), static_cast<unsigned>(table.id[i] & 0xFF),
                static_cast<unsigned>(in.status));
      continue;
    }
    const double g = table.gr[i];
    const double o = form == PositionForm::Offset ? table.offset[i] : 0.0;
    dst.reserved1 = in.reserved1;
    dst.mode = in.mode;
    dst.pos = static_cast<float>((static_cast<double>(in.pos) - o) / g);
    dst.vel = static_cast<float>(static_cast<double>(in.vel) / g);
    dst.tau = static_cast<float>(static_cast<double>(in.tau) * g);
    dst.temp = in.temp;
  }
}

void decodeImus(const std::vector<ImuState>& raw, Operation op, std::vector<ImuState>& out) {
  for (size_t j = 0; j < raw.size(); ++j) {
    ImuState& dst = out.at(j);
    if (raw[j].status == kStatusValid) {
      dst = raw[j];
      continue;
    }
    dst.status = raw[j].status;
    dst.id = raw[j].id;
    logFormat(imuWarning(op), static_cast<unsigned>(raw[j].id), static_cast<unsigned>(raw[j].status));
  }
}

void decodeBatteries(const std::vector<BatState>& raw, Operation op, std::vector<BatState>& out) {
  for (size_t k = 0; k < raw.size(); ++k) {
    BatState& dst = out.at(k);
    if (raw[k].status == kStatusValid) {
      dst = raw[k];
      continue;
    }
    dst.status = raw[k].status;
    dst.bms_id = raw[k].bms_id;
    logFormat(batteryWarning(op), static_cast<unsigned>(raw[k].bms_id), static_cast<unsigned>(raw[k].status));
  }
}

MotorCmd toJointSide(const MotorCmd& in, double g, double o) {
  MotorCmd out = in;
  out.pos = static_cast<float>((static_cast<double>(in.pos) - o) / g);
  out.vel = static_cast<float>(static_cast<double>(in.vel) / g);
  out.tau = static_cast<float>(static_cast<double>(in.tau) * g);
  out.kp = static_cast<float>(static_cast<double>(in.kp) * g * g);
  out.kd = static_cast<float>(static_cast<double>(in.kd) * g * g);
  return out;
}

MotorState toMotorSide(const MotorState& in, double g, double o) {
  MotorState out = in;
  out.pos = static_cast<float>(static_cast<double>(in.pos) * g + o);
  out.vel = static_cast<float>(static_cast<double>(in.vel) * g);
  out.tau = static_cast<float>(static_cast<double>(in.tau) / g);
  return out;
}

}  // namespace wire
