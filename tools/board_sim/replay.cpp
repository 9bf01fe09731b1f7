#include "replay.h"

#include <cstddef>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "device_records.h"
#include "wire_frames.h"

namespace {

// How many bytes past the frame a long reply carries: the recording keeps only the frame's
// length, and any excess makes the controller's port see the reply as long.
constexpr size_t kLongReplyExcess = 8;
constexpr uint8_t kLongReplyFill = 0xEE;

struct CommandField {
  const char* name;
  size_t offset;
  bool isFloat;
};

const CommandField kCommandFields[] = {
    {"id", offsetof(MotorCmd, id), false},   {"motor_type", offsetof(MotorCmd, motor_type), false},
    {"mode", offsetof(MotorCmd, mode), false}, {"pos", offsetof(MotorCmd, pos), true},
    {"vel", offsetof(MotorCmd, vel), true},  {"tau", offsetof(MotorCmd, tau), true},
    {"kp", offsetof(MotorCmd, kp), true},    {"kd", offsetof(MotorCmd, kd), true},
};

const CommandField& fieldAt(size_t offset) {
  const CommandField* found = &kCommandFields[0];
  for (const CommandField& field : kCommandFields)
    if (field.offset <= offset) found = &field;
  return *found;
}

std::string valueText(const uint8_t* record, const CommandField& field) {
  std::ostringstream text;
  if (field.isFloat) {
    float value;
    std::memcpy(&value, record + field.offset, sizeof(value));
    text.precision(9);
    text << value;
  } else {
    text << unsigned(record[field.offset]);
  }
  return text.str();
}

}  // namespace

Replay::Replay(const std::string& path, const wire::FrameLayout& layout, uint64_t leadLimit)
    : recording_(readFlightRecording(path)), leadLimit_(leadLimit) {
  const wire::FrameLayout& recorded = recording_.robot.layout;
  if (recorded.motors != layout.motors || recorded.imus != layout.imus || recorded.batteries != layout.batteries) {
    std::ostringstream text;
    text << path << " was recorded with " << recorded.motors << " motors, " << recorded.imus << " imus, "
         << recorded.batteries << " batteries; the configuration has " << layout.motors << ", " << layout.imus
         << ", " << layout.batteries;
    throw std::runtime_error(text.str());
  }
  if (!recording_.records.empty()) exchange_ = recording_.records.front().exchange;
  // A controller primes on the passive reads before the replay: they get the first reply the
  // robot saw, so that a recording that opens on a timeout still lets the controller start.
  const std::vector<RecordedExchange>& records = recording_.records;
  while (leadRecord_ < records.size() && records[leadRecord_].outcome != RecordOutcome::Complete) ++leadRecord_;
  if (leadRecord_ == records.size()) leadRecord_ = 0;
  const RecordedRobot& robot = recording_.robot;
  const wire::MotorTable table{robot.types, robot.ids, robot.gearRatios, robot.offsets};
  std::vector<MotorCmd> frame(robot.layout.motors);
  wire::buildPassiveRead(table, frame);
  passiveReads_.push_back(_bytesOf(frame));
  if (wire::buildBackgroundPassiveRead(table, frame)) passiveReads_.push_back(_bytesOf(frame));
}

std::vector<uint8_t> Replay::_bytesOf(const std::vector<MotorCmd>& frame) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  return std::vector<uint8_t>(bytes, bytes + frame.size() * sizeof(MotorCmd));
}

bool Replay::_isPassiveRead(const std::vector<uint8_t>& frame) const {
  for (const std::vector<uint8_t>& passive : passiveReads_)
    if (frame == passive) return true;
  return false;
}

Replay::Answer Replay::answer(const std::vector<uint8_t>& frame) {
  ++frames_;
  if (finished()) return {};
  if (!begun_) {
    begun_ = frame == recording_.records.front().command || !_isPassiveRead(frame) || lead_ >= leadLimit_;
    if (!begun_) {
      ++lead_;
      return _replyOf(recording_.records[leadRecord_]);
    }
  }
  const uint64_t exchange = exchange_++;
  const RecordedExchange& record = recording_.records[next_];
  if (record.exchange != exchange) return {};  // dropped from the recording: the robot's reply is unknown
  ++next_;
  _compare(frame, record);
  return _replyOf(record);
}

Replay::Answer Replay::_replyOf(const RecordedExchange& record) {
  switch (record.outcome) {
    case RecordOutcome::NoReply:
      return {};
    case RecordOutcome::LongReply:
      longReply_ = record.reply;
      longReply_.resize(record.reply.size() + kLongReplyExcess, kLongReplyFill);
      ++answered_;
      return {&longReply_, longReply_.size()};
    case RecordOutcome::ShortReply:
    case RecordOutcome::Complete:
      break;
  }
  if (record.replyBytes == 0) return {};
  ++answered_;
  return {&record.reply, record.replyBytes};
}

void Replay::_compare(const std::vector<uint8_t>& frame, const RecordedExchange& record) {
  ++compared_;
  size_t at = 0;
  while (at < frame.size() && at < record.command.size() && frame[at] == record.command[at]) ++at;
  if (at == frame.size() && at == record.command.size()) return;
  ++differed_;
  if (first_) return;
  const size_t motor = at / sizeof(MotorCmd);
  const CommandField& field = fieldAt(at % sizeof(MotorCmd));
  const size_t start = motor * sizeof(MotorCmd);
  first_ = Difference{record.exchange, motor, field.name, valueText(record.command.data() + start, field),
                      valueText(frame.data() + start, field)};
}

std::string Replay::report() const {
  std::ostringstream text;
  text << "board_sim: replay: frames " << frames_ << ", answered " << answered_ << ", before the first record "
       << lead_ << ", records replayed " << next_ << " of " << recording_.records.size() << ", compared "
       << compared_ << ", differed " << differed_;
  if (first_)
    text << ", first at exchange " << first_->exchange << " motor " << first_->motor << " field " << first_->field
         << " (recorded " << first_->recorded << ", sent " << first_->sent << ")";
  return text.str();
}
