#include "flight_recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "absolute_timer.h"

namespace {

constexpr char kMagic[8] = {'D', 'L', 'F', 'L', 'R', 'E', 'C', '\0'};
constexpr size_t kFixedHeaderSize = 72;
constexpr size_t kMotorEntrySize = 24;
constexpr size_t kRecordPrefixSize = 32;
constexpr size_t kCountsOffset = 56;
constexpr auto kWriterPause = std::chrono::milliseconds(5);

enum Outcome : uint8_t { kComplete = 0, kNoReply = 1, kShortReply = 2, kLongReply = 3 };

size_t roundUpTo8(size_t size) { return (size + 7) / 8 * 8; }

template <typename T>
void put(std::vector<uint8_t>& bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

template <typename T>
void put(uint8_t* bytes, size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof(value));
}

uint8_t outcomeOf(const ExchangeResult& result) {
  if (result.complete) return result.cut ? kLongReply : kComplete;
  return result.received == 0 ? kNoReply : kShortReply;
}

int64_t wallClockNanos() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

FlightRecorder::FlightRecorder(const std::string& path, const RobotDescription& robot, size_t ringRecords)
    : layout_(robot.layout),
      recordSize_(roundUpTo8(kRecordPrefixSize + robot.layout.commandLength() + robot.layout.replyLength())),
      ringRecords_(std::max<size_t>(ringRecords, 1)),
      ring_(ringRecords_ * recordSize_, 0) {
  file_.reset(std::fopen(path.c_str(), "wb"));
  if (!file_) throw std::runtime_error("cannot open the recording " + path + ": " + std::strerror(errno));
  _writeHeader(robot);
  writer_ = std::thread(&FlightRecorder::_writeLoop, this);
}

FlightRecorder::~FlightRecorder() { finish(); }

void FlightRecorder::_writeHeader(const RobotDescription& robot) {
  const size_t motors = robot.layout.motors;
  std::vector<uint8_t> header(kFixedHeaderSize + kMotorEntrySize * motors, 0);
  std::memcpy(header.data(), kMagic, sizeof(kMagic));
  put<uint32_t>(header, 8, kFormatVersion);
  put<uint32_t>(header, 12, static_cast<uint32_t>(header.size()));
  put<uint32_t>(header, 16, static_cast<uint32_t>(recordSize_));
  put<int32_t>(header, 20, robot.robotType);
  put<uint16_t>(header, 24, static_cast<uint16_t>(motors));
  put<uint16_t>(header, 26, static_cast<uint16_t>(robot.layout.imus));
  put<uint16_t>(header, 28, static_cast<uint16_t>(robot.layout.batteries));
  put<uint32_t>(header, 32, static_cast<uint32_t>(robot.layout.commandLength()));
  put<uint32_t>(header, 36, static_cast<uint32_t>(robot.layout.replyLength()));
  put<int64_t>(header, 40, wallClockNanos());
  put<int64_t>(header, 48, monotonicNanos());
  for (size_t i = 0; i < motors; ++i) {
    const size_t entry = kFixedHeaderSize + kMotorEntrySize * i;
    put<uint16_t>(header, entry, robot.ids.at(i));
    put<uint8_t>(header, entry + 2, robot.types.at(i));
    put<double>(header, entry + 8, robot.gearRatios.at(i));
    put<double>(header, entry + 16, robot.offsets.at(i));
  }
  if (std::fwrite(header.data(), 1, header.size(), file_.get()) != header.size() || std::fflush(file_.get()) != 0)
    throw std::runtime_error(std::string("cannot write the recording's header: ") + std::strerror(errno));
}

void FlightRecorder::capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply) {
  const uint64_t exchange = exchanges_++;
  const uint64_t head = head_.load(std::memory_order_relaxed);
  if (head - tail_.load(std::memory_order_acquire) >= ringRecords_) {
    dropped_.fetch_add(1, std::memory_order_relaxed);  // the writer adds to it too
    return;
  }
  uint8_t* record = ring_.data() + (head % ringRecords_) * recordSize_;
  const size_t received = std::min(result.received, layout_.replyLength());
  put<uint64_t>(record, 0, exchange);
  put<int64_t>(record, 8, result.sentNs);
  put<int64_t>(record, 16, result.repliedNs);
  put<uint8_t>(record, 24, outcomeOf(result));
  put<uint32_t>(record, 28, static_cast<uint32_t>(result.complete ? layout_.replyLength() : received));
  uint8_t* frames = record + kRecordPrefixSize;
  std::memcpy(frames, command, layout_.commandLength());
  uint8_t* replyBytes = frames + layout_.commandLength();
  std::memcpy(replyBytes, reply, layout_.replyLength());
  if (!result.complete) std::memset(replyBytes + received, 0, layout_.replyLength() - received);
  head_.store(head + 1, std::memory_order_release);
}

// Writes the records captured so far, in at most two pieces (the ring wraps); returns how many.
size_t FlightRecorder::_drain() {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  const uint64_t head = head_.load(std::memory_order_acquire);
  if (head == tail) return 0;
  uint64_t written = tail;
  while (written < head) {
    const size_t slot = written % ringRecords_;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(head - written, ringRecords_ - slot));
    const size_t bytes = count * recordSize_;
    if (std::fwrite(ring_.data() + slot * recordSize_, 1, bytes, file_.get()) != bytes) break;  // disk full: dropped
    written += count;
    tail_.store(written, std::memory_order_release);  // frees the slots for the link thread
  }
  std::fflush(file_.get());
  // Records that could not be written are freed and counted as dropped.
  if (written < head) {
    dropped_.fetch_add(head - written, std::memory_order_relaxed);
    tail_.store(head, std::memory_order_release);
  }
  summary_.recorded += written - tail;
  return static_cast<size_t>(head - tail);
}

void FlightRecorder::_writeLoop() {
  while (!stopping_.load(std::memory_order_acquire)) {
    if (_drain() == 0) std::this_thread::sleep_for(kWriterPause);
  }
  _drain();  // whatever was captured before the stop
}

RecordingSummary FlightRecorder::finish() {
  if (finished_) return summary_;
  finished_ = true;
  stopping_.store(true, std::memory_order_release);
  if (writer_.joinable()) writer_.join();
  summary_.dropped = dropped_.load(std::memory_order_relaxed);
  // The counts go into the header; a pipe cannot seek back, and its reader counts the gaps.
  uint64_t counts[2] = {summary_.recorded, summary_.dropped};
  (void)pwrite(fileno(file_.get()), counts, sizeof(counts), kCountsOffset);
  file_.reset();
  return summary_;
}

void RecorderSlot::detach() {
  recorder_.store(nullptr, std::memory_order_seq_cst);
  while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}
