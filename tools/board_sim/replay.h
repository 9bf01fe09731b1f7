// Replay of a flight recording: the board answers each command frame with the reply the
// robot received at that exchange, and compares the frame with the one the robot sent then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_records.h"
#include "flight_recorder.h"

/// Steps through a recording one command frame at a time (one thread: the server's).
///
/// The replay begins with the first frame that equals the recording's first command frame or
/// commands something (any frame but the SDK's two passive reads); the passive reads before
/// it (a live controller's priming, its link running before its first command) get the first
/// record's reply (the first complete one, when the robot saw none there) and are not
/// compared. After `leadLimit` such frames it begins anyway.
/// From then on frame k meets exchange (first + k): a recorded exchange is answered as the
/// robot saw it, a dropped one (its number missing from the file) with silence; after the
/// last record the board stays silent.
class Replay {
 public:
  /// What to send back for one frame; nothing when `length` is 0.
  struct Answer {
    const std::vector<uint8_t>* bytes = nullptr;
    size_t length = 0;
  };

  /// Reads the recording (std::runtime_error as readFlightRecording) and checks it was made
  /// with a board of `layout` (std::runtime_error naming both otherwise).
  Replay(const std::string& path, const wire::FrameLayout& layout, uint64_t leadLimit);

  /// The answer to the next command frame, which must be the command frame's length.
  Answer answer(const std::vector<uint8_t>& frame);
  /// True once the last record was replayed.
  bool finished() const { return next_ >= recording_.records.size(); }
  /// One line: frames seen and answered, frames before the first record, and where and how
  /// often the controller's frames differed from the recorded ones.
  std::string report() const;

 private:
  struct Difference {
    uint64_t exchange;
    size_t motor;
    std::string field;
    std::string recorded;
    std::string sent;
  };

  static std::vector<uint8_t> _bytesOf(const std::vector<MotorCmd>& frame);
  bool _isPassiveRead(const std::vector<uint8_t>& frame) const;
  Answer _replyOf(const RecordedExchange& record);
  void _compare(const std::vector<uint8_t>& frame, const RecordedExchange& record);

  FlightRecording recording_;
  uint64_t leadLimit_;
  std::vector<std::vector<uint8_t>> passiveReads_;  // the frames that command nothing
  size_t leadRecord_ = 0;                           // answers the frames before the replay begins
  std::vector<uint8_t> longReply_;  // a long reply: the recorded frame and bytes past its end
  bool begun_ = false;
  uint64_t exchange_ = 0;  // the exchange the next frame meets
  size_t next_ = 0;        // the first record not yet replayed
  uint64_t frames_ = 0;
  uint64_t answered_ = 0;
  uint64_t lead_ = 0;
  uint64_t compared_ = 0;
  uint64_t differed_ = 0;
  std::optional<Difference> first_;
};
