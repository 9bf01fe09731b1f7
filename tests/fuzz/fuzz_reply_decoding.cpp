// Reply decoding of arbitrary bytes of arbitrary length against arbitrary counts. The first
// bytes choose the counts and each motor's gear ratio and offset; the rest is what arrived
// from the link, placed into a zero-filled receive buffer exactly as an exchange does.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire_frames.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t take() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const size_t m = in.take() % 40, n = in.take() % 4, b = in.take() % 4;
  std::vector<uint8_t> type(m);
  std::vector<uint16_t> id(m);
  std::vector<double> gr(m), offset(m);
  for (size_t i = 0; i < m; ++i) {
    type[i] = in.take() % 8;
    id[i] = static_cast<uint16_t>(in.take() | (in.take() << 8));
    const int ratio = static_cast<int8_t>(in.take());
    gr[i] = ratio == 0 ? 1.0 : ratio / 4.0;  // a zero ratio never passes configuration
    offset[i] = static_cast<int8_t>(in.take()) / 8.0;
  }
  const wire::MotorTable table{type, id, gr, offset};
  const wire::FrameLayout layout{m, n, b};

  std::vector<uint8_t> reply(layout.replyLength(), 0);
  if (in.size > 0 && !reply.empty()) std::memcpy(reply.data(), in.data, std::min(in.size, reply.size()));

  std::vector<MotorState> motorRaw(m), motors(m);
  std::vector<ImuState> imuRaw(n), imus(n);
  std::vector<BatState> batteryRaw(b), batteries(b);
  wire::splitReply(reply.data(), motorRaw, imuRaw, batteryRaw);
  wire::decodeMotors(motorRaw, table, wire::PositionForm::Offset, wire::Operation::SendRecv, motors);
  wire::decodeMotors(motorRaw, table, wire::PositionForm::Raw, wire::Operation::Recv, motors);
  wire::decodeImus(imuRaw, wire::Operation::SendRecv, imus);
  wire::decodeBatteries(batteryRaw, wire::Operation::SendRecv, batteries);

  // Commands built from the same bytes must encode without touching memory past the frame.
  std::vector<MotorCmd> cmd(m), frame(m);
  if (m > 0 && !reply.empty()) std::memcpy(cmd.data(), reply.data(), std::min(reply.size(), sizeof(MotorCmd) * m));
  wire::encodeCommands(cmd, table, frame);
  wire::buildPassiveRead(table, frame);
  wire::buildBackgroundPassiveRead(table, frame);
  wire::buildZeroSetting(cmd, table, frame);
  return 0;
}
