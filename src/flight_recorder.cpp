#include "flight_recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "absolute_timer.h"
#include "log_line.h"

namespace {

constexpr char kMagic[8] = {'D', 'L', 'F', 'L', 'R', 'E', 'C', '\0'};
constexpr size_t kFixedHeaderSize = 72;
constexpr size_t kMotorEntrySize = 24;
constexpr size_t kRecordPrefixSize = 32;
constexpr size_t kCountsOffset = 56;
constexpr auto kWriterPause = std::chrono::milliseconds(5);
constexpr int kPollSliceMs = 20;  // how often a writer waiting on a full pipe looks for a stop

size_t roundUpTo8(size_t size) { return (size + 7) / 8 * 8; }

template <typename T>
void put(std::vector<uint8_t>& bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

template <typename T>
void put(uint8_t* bytes, size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof(value));
}

RecordOutcome outcomeOf(const ExchangeResult& result) {
  if (result.complete) return result.cut ? RecordOutcome::LongReply : RecordOutcome::Complete;
  return result.received == 0 ? RecordOutcome::NoReply : RecordOutcome::ShortReply;
}

template <typename T>
T get(const uint8_t* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

int64_t wallClockNanos() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::vector<uint8_t> recordingHeader(const RobotDescription& robot, size_t recordSize) {
  const size_t motors = robot.layout.motors;
  std::vector<uint8_t> header(kFixedHeaderSize + kMotorEntrySize * motors, 0);
  std::memcpy(header.data(), kMagic, sizeof(kMagic));
  put<uint32_t>(header, 8, FlightRecorder::kFormatVersion);
  put<uint32_t>(header, 12, static_cast<uint32_t>(header.size()));
  put<uint32_t>(header, 16, static_cast<uint32_t>(recordSize));
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
    put<uint16_t>(header, entry, robot.motors.id.at(i));
    put<uint8_t>(header, entry + 2, robot.motors.type.at(i));
    put<double>(header, entry + 8, robot.motors.gr.at(i));
    put<double>(header, entry + 16, robot.motors.offset.at(i));
  }
  return header;
}

size_t recordSizeOf(const wire::FrameLayout& layout) {
  return roundUpTo8(kRecordPrefixSize + layout.commandLength() + layout.replyLength());
}

/// Fills one record (record size bytes; the padding is left as it is, zero).
void fillRecord(uint8_t* record, uint64_t exchange, const ExchangeResult& result, const uint8_t* command,
                const uint8_t* reply, const wire::FrameLayout& layout) {
  const size_t received = std::min(result.received, layout.replyLength());
  put<uint64_t>(record, 0, exchange);
  put<int64_t>(record, 8, result.sentNs);
  put<int64_t>(record, 16, result.repliedNs);
  put<uint8_t>(record, 24, static_cast<uint8_t>(outcomeOf(result)));
  put<uint32_t>(record, 28, static_cast<uint32_t>(result.complete ? layout.replyLength() : received));
  uint8_t* frames = record + kRecordPrefixSize;
  // A robot without motors sends an empty frame, whose buffer may be null.
  if (layout.commandLength() > 0) std::memcpy(frames, command, layout.commandLength());
  uint8_t* replyBytes = frames + layout.commandLength();
  std::memcpy(replyBytes, reply, layout.replyLength());
  if (!result.complete) std::memset(replyBytes + received, 0, layout.replyLength() - received);
}

sigset_t sigpipeAlone() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  return pipe;
}

/// Takes back a SIGPIPE raised on this thread while it is held back, without waiting.
void takeBackSigpipe() {
  const sigset_t pipe = sigpipeAlone();
  const timespec now{0, 0};
  (void)sigtimedwait(&pipe, nullptr, &now);
}

/// SIGPIPE held back on the calling thread while it lives: a write to a pipe whose reader went
/// away fails with EPIPE instead of ending the process. The program's own disposition is not
/// touched, and the thread's mask is restored.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    const sigset_t pipe = sigpipeAlone();
    pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
    sigset_t pending;
    wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  /// After a write failed with EPIPE: takes back the signal it raised (one the program had
  /// pending already is left for it).
  void takeBack() {
    if (!wasPending_) takeBackSigpipe();
  }

 private:
  sigset_t previous_;
  bool wasPending_ = false;
};

// Writes the `size` bytes at `data` from the caller's thread, going on after a signal; returns
// 0, or the error that stopped it (ENOSPC for a write that took nothing), with `done` the bytes
// that went. A reader that already left must not end the process: its SIGPIPE is taken back.
int writeWhole(int fd, const uint8_t* data, size_t size, size_t& done) {
  SigpipeHeld held;
  for (done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : ENOSPC;
    if (error == EPIPE) held.takeBack();
    return error;
  }
  return 0;
}

}  // namespace

FlightRecorder::FlightRecorder(const std::string& path, const RobotDescription& robot, size_t ringRecords)
    : layout_(robot.layout),
      recordSize_(recordSizeOf(robot.layout)),
      ringRecords_(std::max<size_t>(ringRecords, 1)),
      ring_(_ringBytes(ringRecords_, recordSize_), 0) {
  file_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file_.get() < 0) throw std::runtime_error("cannot open the recording " + path + ": " + std::strerror(errno));
  struct stat status {};
  regularFile_ = fstat(file_.get(), &status) == 0 && S_ISREG(status.st_mode);
  _writeHeader(robot);
  // A pipe's reader may stall: the writer waits for room in slices, so it can give up.
  if (!regularFile_) fcntl(file_.get(), F_SETFL, fcntl(file_.get(), F_GETFL) | O_NONBLOCK);
  writer_ = std::thread(&FlightRecorder::_writeLoop, this);
  (void)pthread_setname_np(writer_.native_handle(), "flight_recorder");  // as `ps -L` and top -H show it
}

FlightRecorder::~FlightRecorder() { finish(); }

void FlightRecorder::FileDescriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

size_t FlightRecorder::_ringBytes(size_t ringRecords, size_t recordSize) {
  if (ringRecords > static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / recordSize)
    throw std::invalid_argument("[FlightRecorder] a ring of " + std::to_string(ringRecords) + " records of " +
                                std::to_string(recordSize) + " bytes each is larger than any memory");
  return ringRecords * recordSize;
}

void FlightRecorder::_writeHeader(const RobotDescription& robot) {
  const std::vector<uint8_t> header = recordingHeader(robot, recordSize_);
  size_t done = 0;
  if (const int error = writeWhole(file_.get(), header.data(), header.size(), done))
    throw std::runtime_error(std::string("cannot write the recording's header: ") + std::strerror(error));
  headerSize_ = header.size();
}

void FlightRecorder::capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply) {
  const uint64_t exchange = exchanges_++;
  const uint64_t head = head_.load(std::memory_order_relaxed);
  if (head - tail_.load(std::memory_order_acquire) >= ringRecords_) return;  // dropped: finish() counts it
  fillRecord(ring_.data() + (head % ringRecords_) * recordSize_, exchange, result, command, reply, layout_);
  head_.store(head + 1, std::memory_order_release);
}

// Writes the records captured so far, in at most two pieces (the ring wraps), each perhaps in
// several writes; false once the file takes no more.
bool FlightRecorder::_drain() {
  uint64_t tail = tail_.load(std::memory_order_relaxed);
  const uint64_t head = head_.load(std::memory_order_acquire);
  while (tail < head) {
    const size_t slot = tail % ringRecords_;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(head - tail, ringRecords_ - slot));
    const ssize_t n = ::write(file_.get(), ring_.data() + slot * recordSize_ + partial_, count * recordSize_ - partial_);
    if (n > 0) {
      partial_ += static_cast<size_t>(n);
      tail += partial_ / recordSize_;
      written_ += partial_ / recordSize_;
      partial_ %= recordSize_;
      tail_.store(tail, std::memory_order_release);  // frees the slots for the link thread
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (_awaitRoom()) continue;
      _stopWriting(WriteStop::Stalled, 0);
      return false;
    }
    _stopWriting(WriteStop::Failed, n < 0 ? errno : ENOSPC);
    return false;
  }
  return true;
}

// A full pipe: waits for room a slice at a time, so that a stop is seen. False once the
// recording is stopping and the reader has had kStopPatience to take the rest.
bool FlightRecorder::_awaitRoom() {
  pollfd room{file_.get(), POLLOUT, 0};
  (void)poll(&room, 1, kPollSliceMs);
  if (!stopping_.load(std::memory_order_acquire)) return true;
  const int64_t now = monotonicNanos();
  if (giveUpAtNs_ == 0) giveUpAtNs_ = now + std::chrono::nanoseconds(kStopPatience).count();
  return now < giveUpAtNs_;
}

void FlightRecorder::_stopWriting(WriteStop why, int error) {
  if (why == WriteStop::Stalled) {
    logLine("[FlightRecorder] the recording's reader took too little for ",
            std::chrono::duration<double>(kStopPatience).count(),
            " s after the stop: gave up, the records not written are counted dropped");
    return;
  }
  if (error == EPIPE) {
    takeBackSigpipe();
    logLine("[FlightRecorder] the recording's reader went away: the rest of the recording is counted dropped");
    return;
  }
  // A record cut short would make the rest of the file unreadable: the file ends at the last
  // whole one.
  if (regularFile_) (void)ftruncate(file_.get(), static_cast<off_t>(headerSize_ + written_ * recordSize_));
  logLine("[FlightRecorder] cannot write the recording (", std::strerror(error),
          "): it ends at its last whole record, the rest is counted dropped");
}

void FlightRecorder::_writeLoop() {
  SigpipeHeld held;  // the recorder's own thread: SIGPIPE stays held back for its life
  for (;;) {
    const bool stopping = stopping_.load(std::memory_order_acquire);
    const uint64_t before = written_;
    if (!_drain()) return;  // the file takes no more; finish() counts the rest dropped
    if (stopping) return;   // nothing is captured after the stop, so all of it was written
    if (written_ == before) std::this_thread::sleep_for(kWriterPause);
  }
}

RecordingSummary FlightRecorder::finish() {
  if (finished_) return summary_;
  finished_ = true;
  stopping_.store(true, std::memory_order_release);
  if (writer_.joinable()) writer_.join();
  summary_.recorded = written_;
  summary_.dropped = exchanges_ - written_;
  // The counts go into the header; a pipe cannot seek back, and its reader counts the gaps.
  if (regularFile_) {
    const uint64_t counts[2] = {summary_.recorded, summary_.dropped};
    (void)pwrite(file_.get(), counts, sizeof(counts), kCountsOffset);
  }
  file_.reset();
  return summary_;
}

void RecorderSlot::detach() {
  recorder_.store(nullptr, std::memory_order_seq_cst);
  while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

// ---- Reading a recording back. ----------------------------------------------------------

namespace {

[[noreturn]] void unreadable(const std::string& path, const std::string& why) {
  throw std::runtime_error("[FlightRecorder] " + path + ": " + why);
}

// The header's sizes follow from its counts; a reader trusting others would cut the records
// in the wrong places.
void checkSizes(const std::string& path, const uint8_t* header, const wire::FrameLayout& layout) {
  const struct {
    const char* name;
    size_t offset;
    size_t expected;
  } fields[] = {
      {"header_size", 12, kFixedHeaderSize + kMotorEntrySize * layout.motors},
      {"record_size", 16, roundUpTo8(kRecordPrefixSize + layout.commandLength() + layout.replyLength())},
      {"command_length", 32, layout.commandLength()},
      {"reply_length", 36, layout.replyLength()},
  };
  for (const auto& field : fields) {
    const uint32_t value = get<uint32_t>(header, field.offset);
    if (value != field.expected)
      unreadable(path, std::string("header field ") + field.name + " is " + std::to_string(value) +
                           ", but the rest of the header makes it " + std::to_string(field.expected));
  }
}

RecordedExchange readRecord(const uint8_t* record, const wire::FrameLayout& layout) {
  RecordedExchange out;
  out.exchange = get<uint64_t>(record, 0);
  out.sentNs = get<int64_t>(record, 8);
  out.repliedNs = get<int64_t>(record, 16);
  out.outcome = static_cast<RecordOutcome>(get<uint8_t>(record, 24));
  out.replyBytes = std::min<uint32_t>(get<uint32_t>(record, 28), static_cast<uint32_t>(layout.replyLength()));
  const uint8_t* frames = record + kRecordPrefixSize;
  out.command.assign(frames, frames + layout.commandLength());
  out.reply.assign(frames + layout.commandLength(), frames + layout.commandLength() + layout.replyLength());
  return out;
}

}  // namespace

FlightRecording readFlightRecording(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) unreadable(path, std::string("cannot open it: ") + std::strerror(errno));
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) unreadable(path, "cannot read it");
  if (bytes.size() < kFixedHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0)
    unreadable(path, "not a drivelink flight recording");
  const uint8_t* header = bytes.data();
  const uint32_t version = get<uint32_t>(header, 8);
  if (version != FlightRecorder::kFormatVersion)
    unreadable(path, "format version " + std::to_string(version) + ", this reader knows " +
                         std::to_string(FlightRecorder::kFormatVersion));
  FlightRecording out;
  out.robot.robotType = get<int32_t>(header, 20);
  out.robot.layout = {get<uint16_t>(header, 24), get<uint16_t>(header, 26), get<uint16_t>(header, 28)};
  checkSizes(path, header, out.robot.layout);
  const size_t headerSize = get<uint32_t>(header, 12);
  const size_t recordSize = get<uint32_t>(header, 16);
  if (bytes.size() < headerSize) unreadable(path, "the file ends inside its motor table");
  out.startWallNs = get<int64_t>(header, 40);
  out.startMonotonicNs = get<int64_t>(header, 48);
  out.summary = {get<uint64_t>(header, kCountsOffset), get<uint64_t>(header, kCountsOffset + 8)};
  for (size_t i = 0; i < out.robot.layout.motors; ++i) {
    const size_t entry = kFixedHeaderSize + kMotorEntrySize * i;
    out.robot.ids.push_back(get<uint16_t>(header, entry));
    out.robot.types.push_back(get<uint8_t>(header, entry + 2));
    out.robot.gearRatios.push_back(get<double>(header, entry + 8));
    out.robot.offsets.push_back(get<double>(header, entry + 16));
  }
  const size_t whole = (bytes.size() - headerSize) / recordSize;
  out.records.reserve(whole);
  for (size_t i = 0; i < whole; ++i) {
    out.records.push_back(readRecord(bytes.data() + headerSize + i * recordSize, out.robot.layout));
    if (i > 0 && out.records[i].exchange <= out.records[i - 1].exchange)
      unreadable(path, "exchange numbers go backwards: record " + std::to_string(i) + " has exchange " +
                           std::to_string(out.records[i].exchange) + " after " +
                           std::to_string(out.records[i - 1].exchange));
  }
  return out;
}

// ---- The black box ------------------------------------------------------------------------

void BlackBox::configure(const RobotDescription& robot) {
  robot_ = RecordedRobot::of(robot);
  recordWords_ = recordSizeOf(robot.layout) / sizeof(uint64_t);
  ring_ = std::make_unique<std::atomic<uint64_t>[]>(kSlots * recordWords_);
  for (size_t i = 0; i < kSlots * recordWords_; ++i) ring_[i].store(0, std::memory_order_relaxed);
  scratch_.assign(recordWords_, 0);
  head_.store(0, std::memory_order_relaxed);
}

void BlackBox::capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply) {
  if (!ring_ || paused_.load(std::memory_order_relaxed)) return;
  const uint64_t head = head_.load(std::memory_order_relaxed);
  fillRecord(reinterpret_cast<uint8_t*>(scratch_.data()), head, result, command, reply, robot_.layout);
  std::atomic<uint64_t>* slot = ring_.get() + (head % kSlots) * recordWords_;
  for (size_t w = 0; w < recordWords_; ++w) slot[w].store(scratch_[w], std::memory_order_relaxed);
  head_.store(head + 1, std::memory_order_release);
}

RecordingSummary BlackBox::dump(const std::string& path) const {
  if (!ring_) throw std::runtime_error("cannot write the black box to " + path + ": the bus is not set up");
  const size_t recordSize = recordWords_ * sizeof(uint64_t);
  // Read like a seqlock: the records captured before the copy began, less those the link
  // thread may have been rewriting while they were copied.
  std::vector<uint64_t> copy(kSlots * recordWords_);
  const uint64_t before = head_.load(std::memory_order_acquire);
  for (size_t i = 0; i < copy.size(); ++i) copy[i] = ring_[i].load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  const uint64_t after = head_.load(std::memory_order_relaxed);
  const uint64_t first = after >= kSlots ? after - kSlots + 1 : 0;  // slot `after` may be half written
  const uint64_t count = before > first ? before - first : 0;

  std::vector<uint8_t> file = recordingHeader(robot_.description(), recordSize);
  const size_t headerSize = file.size();
  file.resize(headerSize + count * recordSize);
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* record = file.data() + headerSize + i * recordSize;
    std::memcpy(record, copy.data() + ((first + i) % kSlots) * recordWords_, recordSize);
    put<uint64_t>(record, 0, i);  // numbered from the dump's first record, as a recording is
  }
  const RecordingSummary summary{count, 0};
  const uint64_t counts[2] = {summary.recorded, summary.dropped};
  std::memcpy(file.data() + kCountsOffset, counts, sizeof(counts));

  FlightRecorder::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw std::runtime_error("cannot write the black box to " + path + ": " + std::strerror(errno));
  size_t done = 0;
  if (const int error = writeWhole(fd.get(), file.data(), file.size(), done)) {
    // The file ends at its last whole record (or holds nothing when even the header failed).
    const size_t whole = done < headerSize ? 0 : headerSize + (done - headerSize) / recordSize * recordSize;
    (void)ftruncate(fd.get(), static_cast<off_t>(whole));
    throw std::runtime_error("cannot write the black box to " + path + ": " + std::strerror(error));
  }
  return summary;
}
