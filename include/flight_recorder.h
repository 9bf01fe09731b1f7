/// \file
/// The flight recorder: every exchange with the motor board (send and reply time, outcome,
/// command frame, reply bytes) written to a file as fixed-size records after a header that
/// describes the robot, so that a reader needs nothing but the file.
///
/// File layout (little-endian, no padding beyond what is listed):
/// \verbatim
///   header, `header_size` bytes:
///     0  char[8]  magic "DLFLREC" and a zero byte
///     8  u32      format version (1)
///    12  u32      header_size = 72 + 24 * motors
///    16  u32      record_size
///    20  i32      robot type code (0 veltra1, 1 veltra1L, 2 zenthi, 3 zenthi_v2)
///    24  u16 x 4  motors, imus, batteries, 0
///    32  u32 x 2  command frame length, reply frame length (bytes)
///    40  i64 x 2  start time: wall clock (ns since the epoch) and CLOCK_MONOTONIC (ns)
///    56  u64 x 2  records written, records dropped (filled in when the recording stops; they
///                 stay 0 in a file that cannot seek, such as a pipe)
///    72  per motor, 24 bytes: u16 id, u8 motor type, 5 zero bytes, f64 gear ratio, f64 offset
///   records, `record_size` bytes each (a multiple of 8):
///     0  u64      exchange number since the recording started (gaps are dropped records)
///     8  i64      send time, CLOCK_MONOTONIC ns
///    16  i64      reply time (when the receive ended), CLOCK_MONOTONIC ns
///    24  u8       outcome: 0 complete reply, 1 no reply, 2 short reply, 3 long reply (cut)
///    25  u8 x 3   zero
///    28  u32      reply bytes received
///    32  command frame (motor side, as sent), then the reply frame (as received; bytes that
///        did not arrive are zero), then zeros up to record_size
/// \endverbatim
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link_stats.h"
#include "wire_frames.h"

/// The robot a recording describes: its type code, frame layout and per-motor table. The
/// table is a view of the configuration it came from, which must outlive the description.
struct RobotDescription {
  int32_t robotType = 0;     ///< 0 veltra1, 1 veltra1L, 2 zenthi, 3 zenthi_v2.
  wire::FrameLayout layout;  ///< Counts of motors, IMUs and batteries.
  wire::MotorTable motors;   ///< Bus id, protocol type, gear ratio and offset per motor (element i for motor i).
};

/// A recording's robot as its header holds it, owning its tables: a read recording and the
/// black box keep one, where a RobotDescription only views the bus's configuration.
struct RecordedRobot {
  int32_t robotType = 0;           ///< 0 veltra1, 1 veltra1L, 2 zenthi, 3 zenthi_v2.
  wire::FrameLayout layout;        ///< Counts of motors, IMUs and batteries.
  std::vector<uint8_t> types;      ///< Protocol type per motor.
  std::vector<uint16_t> ids;       ///< Bus id per motor.
  std::vector<double> gearRatios;  ///< Gear ratio per motor, motor side per joint side.
  std::vector<double> offsets;     ///< Position offset per motor. Unit: [rad], motor side.

  /// A copy of what `robot` views. Allocates; never throws otherwise.
  static RecordedRobot of(const RobotDescription& robot) {
    return {robot.robotType, robot.layout, robot.motors.type, robot.motors.id, robot.motors.gr, robot.motors.offset};
  }
  /// A view of this robot, valid while it lives unchanged.
  RobotDescription description() const { return {robotType, layout, {types, ids, gearRatios, offsets}}; }
};

/// How a recording went. Every exchange since the recording started is one or the other.
struct RecordingSummary {
  uint64_t recorded = 0;  ///< Whole records written to the file.
  uint64_t dropped = 0;   ///< Exchanges not in the file: the writer had fallen behind, or the file took no more.
};

/// One recording. The link thread copies each exchange into a ring allocated up front; a
/// writer thread of its own (named "flight_recorder") does the file I/O. When the writer
/// falls behind (a slow disk), exchanges are dropped and counted; the link thread never waits.
///
/// The writer stops writing, says so in one line and counts every later exchange dropped when
/// the file takes no more: a full disk (a regular file is cut back to its last whole record), a
/// pipe whose reader went away (the process gets no SIGPIPE; its own handling of the signal is
/// left as it was), or, once finish() was called, a reader that takes nothing for
/// kStopPatience.
class FlightRecorder {
 public:
  /// The format version in the header.
  static constexpr uint32_t kFormatVersion = 1;
  /// Ring size in exchanges when none is given: about 8.6 s of exchanges at 2.1 ms.
  static constexpr size_t kDefaultRingRecords = 4096;
  /// How long finish() lets a stalled reader (a pipe nobody reads) keep the writer waiting.
  static constexpr std::chrono::milliseconds kStopPatience{1000};

  /// Opens `path` for writing (a pipe works too: this waits until it has a reader), writes the
  /// header and starts the writer thread; `ringRecords` (at least 1 is used) exchanges are
  /// allocated up front. Throws std::invalid_argument when a ring of `ringRecords` records
  /// cannot be sized (its bytes overflow), std::bad_alloc when it cannot be allocated,
  /// std::runtime_error when the file cannot be opened or its header written, std::out_of_range
  /// when a table of `robot` is shorter than its motor count. Any thread.
  FlightRecorder(const std::string& path, const RobotDescription& robot, size_t ringRecords = kDefaultRingRecords);
  /// Stops as finish() does. No thread may capture any more.
  ~FlightRecorder();
  FlightRecorder(const FlightRecorder&) = delete;
  FlightRecorder& operator=(const FlightRecorder&) = delete;

  /// Link thread only: copies one exchange into the ring, or counts it dropped. Never blocks,
  /// never allocates. `command` holds the command frame, `reply` the reply frame's bytes.
  void capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply);
  /// Writes what the ring still holds (waiting at most about kStopPatience for a stalled
  /// reader), fills in the header's counts, closes the file and returns the counts. Call it
  /// once no thread captures any more; later calls return the same counts. Never throws.
  RecordingSummary finish();

  /// Bytes of one record in the file, a multiple of 8.
  size_t recordSize() const { return recordSize_; }

  /// Closes the descriptor it holds (the black box writes its dumps through one too).
  class FileDescriptor {
   public:
    /// Owns `fd` (-1: nothing).
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    /// Closes it.
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    /// The descriptor, -1 for none.
    int get() const { return fd_; }
    /// Closes the descriptor held, then owns `fd`.
    void reset(int fd = -1);

   private:
    int fd_;
  };

 private:
  /// Why the writer stopped writing before the end.
  enum class WriteStop { Failed, Stalled };

  static size_t _ringBytes(size_t ringRecords, size_t recordSize);
  void _writeHeader(const RobotDescription& robot);
  void _writeLoop();
  bool _drain();
  bool _awaitRoom();
  void _stopWriting(WriteStop why, int error);

  wire::FrameLayout layout_;
  size_t recordSize_;
  size_t ringRecords_;
  std::vector<uint8_t> ring_;
  FileDescriptor file_;
  bool regularFile_ = false;       // a pipe or a device cannot be cut back or seek
  size_t headerSize_ = 0;
  std::atomic<uint64_t> head_{0};  // records captured into the ring (link thread writes)
  std::atomic<uint64_t> tail_{0};  // records written out (writer thread writes)
  uint64_t exchanges_ = 0;         // link thread only: numbers every exchange, dropped or not
  uint64_t written_ = 0;           // writer thread: whole records in the file
  size_t partial_ = 0;             // writer thread: bytes of the next record already written
  int64_t giveUpAtNs_ = 0;         // writer thread: once stopping, when a stalled reader is given up on
  std::atomic<bool> stopping_{false};
  bool finished_ = false;
  RecordingSummary summary_;
  std::thread writer_;
};

/// Where the link thread finds the present recording, if any. Attaching and detaching may
/// happen on any thread while the link runs; detach() returns only once the link thread is
/// out of the recorder, so the recorder can then be finished and released.
class RecorderSlot {
 public:
  /// Hands every following capture to `recorder` (null: to none), replacing any other. Any
  /// thread; the recorder must stay alive until detach() returned.
  void attach(FlightRecorder* recorder) { recorder_.store(recorder, std::memory_order_seq_cst); }
  /// Ends the attachment; returns once the link thread is out of the recorder. Any thread but
  /// the link thread.
  void detach();
  /// Link thread: hands the exchange to the attached recorder, if there is one.
  void capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply) {
    // Announced before the recorder is looked up, so detach() can tell it is in use.
    busy_.store(true, std::memory_order_seq_cst);
    if (FlightRecorder* recorder = recorder_.load(std::memory_order_seq_cst))
      recorder->capture(result, command, reply);
    busy_.store(false, std::memory_order_release);
  }

 private:
  std::atomic<FlightRecorder*> recorder_{nullptr};
  std::atomic<bool> busy_{false};
};

// ---- Reading a recording back. ----------------------------------------------------------

/// What became of one exchange, as a record's outcome byte says.
enum class RecordOutcome : uint8_t {
  Complete = 0,    ///< The whole reply frame arrived.
  NoReply = 1,     ///< Nothing arrived within the timeout.
  ShortReply = 2,  ///< Fewer bytes than the reply frame arrived.
  LongReply = 3,   ///< More bytes than the reply frame arrived; the record keeps the frame's length.
};

/// One exchange as the file holds it: the command frame as sent and the reply bytes as
/// received (`replyBytes` of them; the rest of `reply` is zero).
struct RecordedExchange {
  uint64_t exchange = 0;  ///< Exchange number since the recording started; a skipped number was dropped.
  int64_t sentNs = 0;     ///< Send time, CLOCK_MONOTONIC. Unit: [ns].
  int64_t repliedNs = 0;  ///< When the receive ended, CLOCK_MONOTONIC. Unit: [ns].
  RecordOutcome outcome = RecordOutcome::Complete;  ///< What came back.
  uint32_t replyBytes = 0;                          ///< Reply bytes received, at most the reply frame's. Unit: [byte].
  std::vector<uint8_t> command;                     ///< The command frame, motor side as on the link.
  std::vector<uint8_t> reply;                       ///< The reply frame's length of bytes.
};

/// A whole recording read back: the robot it describes, the header's counts and every whole
/// record (a record cut off at the end of the file is left out).
struct FlightRecording {
  RecordedRobot robot;             ///< Type code, counts and per-motor tables from the header.
  int64_t startWallNs = 0;         ///< Start, wall clock. Unit: [ns] since the epoch.
  int64_t startMonotonicNs = 0;    ///< Start, CLOCK_MONOTONIC. Unit: [ns].
  RecordingSummary summary;        ///< The header's counts (both 0 in a copy taken from a pipe).
  std::vector<RecordedExchange> records;  ///< In file order, exchange numbers rising.
};

/// Reads the recording at `path` (the layout FlightRecorder writes). Throws std::runtime_error
/// naming the file and the fault when it cannot be read, is not a recording, has another
/// format version, a header whose sizes disagree with its counts, or exchange numbers that do
/// not rise. Any thread; allocates the whole recording.
FlightRecording readFlightRecording(const std::string& path);

/// The black box: the last exchanges of the link (a little over 2 s of them at 2.1 ms each)
/// kept in memory, always, in the flight recorder's record format, so that the moments before
/// a failure can be written out after it. The ring is allocated by configure(); capturing
/// copies one record into it and never allocates, locks or waits. A dump reads the ring while
/// the link goes on: each ring word is a relaxed atomic and the count of captured records
/// tells which records were overwritten while being read (they are left out), so the link
/// thread never waits for a reader.
class BlackBox {
 public:
  /// Exchanges the ring holds: 1024 x 2.1 ms, about 2.15 s.
  static constexpr size_t kRecords = 1024;

  /// Sizes the ring for `robot` (a dump writes its header); allocates. Before the link thread
  /// captures (at set-up). Throws std::bad_alloc.
  void configure(const RobotDescription& robot);
  /// Link thread only: copies one exchange into the ring (nothing before configure(), or while
  /// paused). Never blocks, never allocates, never throws.
  void capture(const ExchangeResult& result, const uint8_t* command, const uint8_t* reply);
  /// Writes the records the ring holds now to `path` as a recording (header, then whole
  /// records, numbered from 0, none dropped); returns its counts. Records the link thread
  /// overwrote while they were read are left out.
  /// Throws std::runtime_error naming the path and the error when the file cannot be opened
  /// or written; a file cut short ends at its last whole record. Any thread, several at once;
  /// allocates a copy of the ring, the link thread never waits.
  RecordingSummary dump(const std::string& path) const;
  /// Stops (true) or resumes (false) capturing, to measure what capturing costs. Any thread.
  void pause(bool paused) { paused_.store(paused, std::memory_order_relaxed); }

 private:
  RecordedRobot robot_;
  size_t recordWords_ = 0;                       // 64-bit words per record
  // One slot more than kRecords: the slot being written while a dump reads is left out.
  static constexpr size_t kSlots = kRecords + 1;
  std::unique_ptr<std::atomic<uint64_t>[]> ring_;  // kSlots records of recordWords_ words
  std::vector<uint64_t> scratch_;                // link thread: the record being built
  std::atomic<uint64_t> head_{0};                // records captured; slot head % kRecords is next
  std::atomic<bool> paused_{false};
};
