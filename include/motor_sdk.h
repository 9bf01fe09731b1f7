/// \file
/// The motor bus: one MotorSDK owns the link to the motor board, turns the caller's joint-side
/// commands into command frames and the board's replies back into motor, IMU and battery
/// records. It also holds the two locks of the split exchange family and the orientation
/// helpers used for the IMU report; the IMU calibration it sets is in imu_calibration.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_records.h"
#include "eigen_types.h"
#include "flight_recorder.h"
#include "imu_calibration.h"
#include "io_port.h"
#include "link_hold.h"
#include "link_options.h"
#include "robot_config.h"
#include "link_stats.h"
#include "wire_frames.h"

// ---- Process-wide state shared by every MotorSDK. ------------------------------------------

/// Guards every MotorSDK's command frame between the threads that post and the link thread.
extern std::mutex cmd_mutex;
/// Guards every MotorSDK's raw reply stores between the link thread and the decoding threads.
extern std::mutex feedback_mutex;

// ---- Orientation helpers. Quaternions are (w, x, y, z) and are never normalised. -----------
// Free of state: any thread; they never throw.

/// The rotation matrix of the unit quaternion q (the formula is applied to q as given).
Mat3<double> quatToRotMat(const Vec4<double>& q);
/// True when R is orthonormal within 0.001 (Frobenius norm of I - RᵀR); otherwise prints
/// "norm(R) = " with the norm and the matrix.
bool isRotationMatrix(const Mat3<double>& R);
/// (roll, pitch, yaw) in [rad] with R = Rz(yaw)·Ry(pitch)·Rx(roll), to float accuracy; at
/// gimbal lock yaw is 0. A matrix that is not a rotation is reported as isRotationMatrix
/// does, and its angles are still returned.
Vec3<double> rotMatToRPY(const Mat3<double>& R);
/// (roll, pitch, yaw) in [rad] of the unit quaternion q: rotMatToRPY(quatToRotMat(q)).
Vec3<double> quatToRPY(const Vec4<double>& q);

// ---- The bus. -----------------------------------------------------------------------------

/// The motor bus: owns one port to the board and exchanges a command frame for a reply frame.
/// Callers see the joint side (rad, rad/s, N·m, joint-side gains); the link carries the motor
/// side, converted with each motor's gear ratio and offset. Records are indexed by
/// configuration position.
///
/// Threads: MotorSDK starts none. The synchronous family (sendRecv, recv, recvRaw,
/// setMotorZero) and stop/close run on the caller's thread without a lock, so never while
/// another thread uses the split family on the same bus. In the split family one link thread
/// calls sendRecvMT or recvMT, any threads setSendMT and getRecvMT. Only one thread at a time
/// may run an operation that sends.
///
/// Failures: link trouble never throws. A missing, short or failed reply prints warning lines
/// and shows in the records' `status` (0: no reply), each record keeping its previous values;
/// an unaccepted motor type prints "[MotorSDK::sendRecv] unkown comm type" and nothing is
/// sent. Exceptions come from configuring and from the caller's arguments, as each operation
/// says; every operation that exchanges or decodes throws std::logic_error on a bus that was
/// never set up.
class MotorSDK {
 public:
  /// An empty bus; only init makes it usable.
  MotorSDK();
  /// A bus configured directly: every motor gets type 5, the tables are copied (offsets in
  /// rad, motor side; gear ratios motor side per joint side), and the link of `comm_type` is
  /// opened as init opens it. Throws ConfigError for a table shorter than `motor_num`, a zero
  /// or non-finite gear ratio or a non-finite offset; the hold's and the port's failures as init.
  MotorSDK(uint8_t& motor_num, uint8_t& imu_num, uint8_t& battery_num, std::vector<double>& offset,
           std::vector<double>& gr, std::vector<uint16_t>& motor_id, CommType comm_type);
  /// Closes the port and stops counting as a user of the IMU calibration. Nothing is sent:
  /// the motors keep the last frame they received.
  ~MotorSDK();

  MotorSDK(const MotorSDK&) = delete;
  MotorSDK& operator=(const MotorSDK&) = delete;

  /// Reads the robot's YAML file, sets the IMU calibration and opens the link: USB is the
  /// serial device /dev/ttyACM0 at 2000000 baud, UDP 192.168.1.10:8881 to 192.168.1.5:8880,
  /// both with a 2000 µs receive timeout, unless the file's `link:` section names other
  /// endpoints (its kind gives way to `comm_type`). The bus holds the board (see LinkHold) until it is
  /// destroyed or opened on another link. yaml-cpp's exceptions, ConfigError and the serial
  /// port's IOException reach the caller, so does LinkHeldError, before anything is sent,
  /// when another controller of this network namespace holds the board, and LinkOpenError
  /// for a UDP socket or bind failure. An unknown `comm_type` prints "[MotorSDK] CommType
  /// error " and leaves a bus without a port, which exchanges as with a board that never
  /// answers. All or nothing: a failed init leaves the bus and the IMU calibration exactly as
  /// they were. Not while any bus of the process exchanges or decodes.
  void init(std::string path, CommType comm_type);
  /// As init(path, comm_type), with the link `link` describes: each field it sets wins over
  /// the file's `link:` section, each field neither sets takes the usual value above (so
  /// LinkOptions{} on a file without the section opens UDP exactly as init(path, UDP)). The
  /// hold is keyed on the board's actual endpoint (UDP address and port, or the serial
  /// device), so buses on different boards never collide. Also throws ConfigError, naming
  /// the key, for a caller's address that does not parse or a baud rate of 0, and, naming
  /// both files, when another bus of this process with a port was set up from a file whose
  /// IMU calibration differs (the calibration is process-wide; an equal one is fine; a bus
  /// left without a port by an unknown link kind neither counts nor is refused).
  void init(std::string path, const LinkOptions& link);
  /// As init(path, link), but every exchange goes through `port`, which the bus owns from
  /// now on; its reply length is set to the configuration's, its mode and timeout kept. No
  /// hold is taken on any link (the one this bus had is released). Throws
  /// std::invalid_argument for a null port, and what reading the file throws.
  void init(std::string path, std::unique_ptr<IOPort> port);
  /// As init(path, link), with the configuration already read (by loadRobotConfig with
  /// ConfigKeys::All; its `path` names it in messages): nothing is read again and none of the
  /// reading's lines is printed. The configuration is kept as it is; the counts constructor's
  /// checks are not repeated. Same throws, threads and all-or-nothing rule, reading aside.
  void init(RobotConfig config, const LinkOptions& link);
  /// As init(path, port), with the configuration already read, as init(config, link).
  /// Throws std::invalid_argument for a null port (see requirePort).
  void init(RobotConfig config, std::unique_ptr<IOPort> port);
  /// The lines init prints while it reads the file, for a caller that reads it itself
  /// (loadRobotConfig(path, ConfigKeys::All, MotorSDK::startupReport())) before init(config,
  /// ...). Any thread; never throws.
  static RobotConfigProgress startupReport();
  /// The check init(path, port) makes before it reads the file: std::invalid_argument
  /// ("[MotorSDK] init: no port was given") for a null port. Any thread.
  static void requirePort(const IOPort* port);

  // Every exchange operation below throws std::logic_error, without touching the link, on a
  // bus that neither init nor the counts constructor has configured.

  /// \name Synchronous family
  /// One whole exchange in the caller's thread, no lock taken; each waits at most the port's
  /// timeout for the reply. The caller's vectors are resized to the configured counts. A record
  /// with a bad status prints one warning and keeps its previous values (status and id
  /// aside). Every decoding except recvRaw's calibrates the IMU records that arrived valid; a
  /// record that did not keeps the values the previous read gave it, unchanged.
  /// @{

  /// Encodes `cmd`, exchanges it and decodes the reply. A command whose motor-side value is
  /// not a finite float throws std::invalid_argument, and a `cmd` shorter than the motor count
  /// std::out_of_range, before anything is stored or sent.
  void sendRecv(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                std::vector<ImuState>& imus, std::vector<BatState>& bats);
  /// Exchanges the passive read frame (zero set-points and gains, kd 0.02) and decodes the
  /// reply, positions on the joint side.
  void recv(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);
  /// As recv, but positions come back as the motor's angle over the gear ratio, without the
  /// offset (raw / gear ratio), and the IMU records are not calibrated.
  void recvRaw(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);
  /// Exchanges the zero-setting frame (each motor's `mode` from `cmd`, everything else zero)
  /// and decodes the reply with positions as recvRaw gives them. Throws std::out_of_range when
  /// `cmd` holds fewer records than there are motors.
  void setMotorZero(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                    std::vector<ImuState>& imus, std::vector<BatState>& bats);
  /// @}

  /// \name Split family
  /// One link thread calls sendRecvMT/recvMT, any thread setSendMT/getRecvMT.
  /// cmd_mutex and feedback_mutex are never held together nor during port I/O.
  /// @{

  /// Encodes the commands into the stored frame; the next sendRecvMT sends them. A command
  /// whose motor-side value is not a finite float throws std::invalid_argument and leaves the
  /// stored frame as it was; a `cmd` shorter than the motor count throws std::out_of_range.
  /// While a hold is set (holdCommands) nothing is stored. Any thread; takes cmd_mutex only
  /// to store, never waits for the link.
  void setSendMT(const std::vector<MotorCmd>& cmd);
  /// setSendMT that says whether it stored: false when a hold kept the frame. Same throws.
  bool trySetSendMT(const std::vector<MotorCmd>& cmd);
  /// Stores `frame` as setSendMT does and sets the hold `bits`: until every bit is released,
  /// setSendMT and trySetSendMT store nothing and recvMT sends this frame, so the frame cannot
  /// be overwritten between being held and being released. The bits mean what the owner says
  /// (the robot layer's brake reasons). Returns the bits set before. Same throws as setSendMT
  /// (the hold is then unchanged). Any thread; takes cmd_mutex only to store.
  uint32_t holdCommands(const std::vector<MotorCmd>& frame, uint32_t bits);
  /// Clears the hold `bits`; returns the bits still set. The stored frame stays until the next
  /// store. Any thread; takes cmd_mutex only to clear; never throws.
  uint32_t releaseCommands(uint32_t bits);
  /// The hold bits set now. Any thread, lock-free.
  uint32_t heldBy() const { return hold_bits_.load(std::memory_order_acquire); }
  /// Sends the stored frame and keeps the reply undecoded. The link thread only; waits at most
  /// the port's timeout for the reply, holding no lock meanwhile.
  void sendRecvMT();
  /// Replaces the stored frame with the background passive read (mode 10, everything zero),
  /// then exchanges it as sendRecvMT; later sendRecvMT calls send it too until a setSendMT.
  /// The link thread only.
  void recvMT();
  /// Decodes the last reply into vectors that already hold at least the configured counts
  /// (std::out_of_range otherwise); records beyond the counts are left untouched. Positions
  /// on the joint side, IMU records calibrated; a record with a bad status prints a warning
  /// and keeps its previous values. Any thread; takes feedback_mutex, never waits for the
  /// link. The caller must not read the vectors from another thread meanwhile.
  void getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);
  /// Which stored reply a decoding came from.
  struct ReplyStamp {
    uint64_t sequence = 0;  ///< Its replySequence() number: 1 for the first reply stored, 0 for none yet.
    uint64_t answered = 0;  ///< repliesReceived() as it stood once this reply was stored.
    /// When the exchange that stored it ended (for a reply that never came, when the wait for
    /// it ended), CLOCK_MONOTONIC. Unit: [s]; 0 before the first reply.
    double receiveTime = 0.0;
  };
  /// getRecvMT that also gives the stamp of the reply it decoded, taken under the same lock as
  /// the records, so the two always belong together. Same threads and throws (`stamp` is then
  /// left alone).
  void getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats,
                 ReplyStamp& stamp);
  /// @}

  /// Copies of the last reply's motor and battery records as the board sent them (motor side,
  /// not decoded), taken under feedback_mutex. Any thread.
  std::vector<MotorState> rawMotorStates() const;
  /// As rawMotorStates, for the battery records.
  std::vector<BatState> rawBatteryStates() const;
  /// Exchanges that got at least part of a reply, counted from set-up.
  /// Any thread; the link thread increments it after storing the reply.
  uint64_t repliesReceived() const { return replies_received_.load(std::memory_order_acquire); }
  /// Bytes of the last exchange's reply as the board sent it, before any cut to the reply
  /// length (0 for none). Any thread; the link thread writes it.
  size_t lastReplyBytes() const { return last_reply_bytes_.load(std::memory_order_relaxed); }
  /// Exchanges whose whole reply frame arrived, counted from set-up. Any thread, lock-free;
  /// the link thread increments it after storing the reply.
  uint64_t completeReplies() const { return complete_replies_.load(std::memory_order_acquire); }
  /// Status and id of one motor's record in the latest stored reply (a missing reply, or a
  /// record a short reply was cut inside, reads as status 0, id 0).
  struct MotorHealth {
    uint8_t status = 0;  ///< The record's status byte; 9 is valid.
    uint8_t id = 0;      ///< The record's id byte.
  };
  /// Copies the latest stored reply's motor status and id bytes into `health`, which must hold
  /// exactly motor_num_ entries (std::out_of_range otherwise; nothing is allocated). The link
  /// thread publishes them with each reply without a lock, so this never makes it wait; each
  /// motor's pair is whole, the motors of one call may span two consecutive replies. Any
  /// thread.
  void latestHealth(std::vector<MotorHealth>& health) const;

  /// Sends the stored frame five times; nothing is decoded or printed. Each reply is stored,
  /// counted and stamped as every exchange's is, except that the battery records keep the
  /// previous reply's. The port stays open (the destructor closes it). The thread that owns
  /// the link.
  void stop();
  /// Exactly what stop() does.
  void close();

  /// Prints one line per record of the first m motor, n IMU and b battery records as they are
  /// (joint side once decoded), IMU orientation as roll, pitch, yaw in rad; a record with a
  /// bad status prints an "[ERROR]" line. Throws std::out_of_range for a shorter vector.
  void print(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
             const std::vector<BatState>& bats);
  /// The same lines; `cmd` is not read.
  void print(const std::vector<MotorCmd>& cmd, const std::vector<MotorState>& motors,
             const std::vector<ImuState>& imus, const std::vector<BatState>& bats);

  /// "1.0.1".
  std::string get_version();

  // Link health and recording. Every exchange of every family is counted (and recorded).
  /// The link's health since init or the last reset. Any thread, any time; never makes the
  /// link thread wait.
  LinkStats linkStats() const;
  /// Starts a new window of link stats. Any thread.
  void resetLinkStats();
  /// Hands every following exchange to `recorder` as well (any thread; the recorder must
  /// outlive its attachment).
  void attachRecorder(FlightRecorder* recorder) { recorder_slot_.attach(recorder); }
  /// Stops handing exchanges to the recorder; returns once the link thread has left it.
  void detachRecorder() { recorder_slot_.detach(); }
  /// The black box every exchange of every family is copied into (nothing is kept until its
  /// owner configures it, before the link runs). Dumps and pause() from any thread.
  BlackBox& blackBox() { return black_box_; }
  /// The same, for dumping.
  const BlackBox& blackBox() const { return black_box_; }
  /// The bus as a recording's header describes it, for a robot of type `robotType`: a view of
  /// the configuration, valid until the bus is set up again.
  RobotDescription recordingDescription(int32_t robotType) const;
  /// Counts the replies stored so far (one per exchange, a missing one included): while it
  /// stands still, getRecvMT decodes the same frame. Any thread.
  uint64_t replySequence() const { return reply_sequence_.load(std::memory_order_acquire); }

  // Read-only views of the configuration, for tools and tests. Fixed once the bus is set up,
  // so any thread may read them, but not while init runs.
  /// The configuration the bus was set up with (empty before set-up); everything below is
  /// read from it.
  const RobotConfig& config() const { return config_; }
  /// Protocol type per motor, 3, 4 or 5.
  const std::vector<uint8_t>& motorTypes() const { return config_.motorType; }
  /// Bus id per motor.
  const std::vector<uint16_t>& motorIds() const { return config_.motorId; }
  /// Position offset per motor. Unit: [rad], motor side.
  const std::vector<double>& offsets() const { return config_.offset; }
  /// Gear ratio per motor, motor side per joint side.
  const std::vector<double>& gearRatios() const { return config_.gr; }
  /// The file's `jpos_min`, kept for tools (the SDK clamps with its built-in tables); empty
  /// after the counts constructor. Unit: [rad], joint side.
  const std::vector<double>& jointMin() const { return config_.jposMin; }
  /// The file's `jpos_max`, as jointMin. Unit: [rad], joint side.
  const std::vector<double>& jointMax() const { return config_.jposMax; }
  /// The file's `dual_encoder`; the SDK does not act on it.
  bool dualEncoder() const { return config_.dualEncoder; }
  /// False before set-up, and after an unknown link type.
  bool hasPort() const { return port_ != nullptr; }
  /// Bytes of a command frame.
  size_t sendLength() const { return layout_.commandLength(); }
  /// Bytes of a reply frame.
  size_t replyLength() const { return layout_.replyLength(); }
  /// The stored command frame; not locked, so only for a caller that owns the bus.
  const std::vector<MotorCmd>& commandFrame() const { return cmd_frame_; }

 private:
  LinkHold hold_;  // declared before the port, so the port closes first
  std::unique_ptr<IOPort> port_;

 public:
  // The robot layer reads the counts directly: copies of the configuration's, set with it.
  uint8_t motor_num_ = 0;    ///< Motors on the bus (records per frame), 0-255.
  uint8_t imu_num_ = 0;      ///< IMU records per reply, 0-255.
  uint8_t battery_num_ = 0;  ///< Battery records per reply, 0-255.

 private:
  // Replaced whole by a completed set-up (_adopt) and never written otherwise; the frame
  // layout, the per-motor table and every count above are derived from it.
  RobotConfig config_;
  wire::FrameLayout layout_;
  std::vector<MotorCmd> cmd_frame_;
  std::vector<MotorState> motor_raw_;
  std::vector<ImuState> imu_raw_;
  std::vector<BatState> battery_raw_;
  std::atomic<uint64_t> replies_received_{0};
  std::atomic<size_t> last_reply_bytes_{0};
  std::atomic<uint64_t> complete_replies_{0};
  // Per motor: status | id << 8 of the latest stored reply, written by the storing thread.
  std::unique_ptr<std::atomic<uint16_t>[]> health_;
  std::atomic<uint32_t> hold_bits_{0};  // written under cmd_mutex
  bool configured_ = false;  // set by a completed init or the counts constructor

  // Scratch memory of one exchange, sized once at set-up so exchanges allocate nothing.
  // Only the thread that owns the link touches them.
  std::vector<uint8_t> send_buf_;
  std::vector<uint8_t> recv_buf_;

  LinkMonitor link_monitor_;
  RecorderSlot recorder_slot_;
  BlackBox black_box_;
  std::atomic<uint64_t> reply_sequence_{0};
  ReplyStamp latest_;  // of the reply in the raw stores, stored with them

  // A view of the configuration's tables: building it copies nothing.
  wire::MotorTable _table() const { return {config_.motorType, config_.motorId, config_.gr, config_.offset}; }
  LinkHold _claimLink(const LinkSettings& link);
  void _keepClaim(LinkHold hold, const LinkSettings& link);
  void _adopt(RobotConfig config, std::unique_ptr<IOPort> port);
  void _sizeFrames();
  void _requireConfigured(const char* operation) const;
  void _loadSendBuffer();
  /// What one transfer brought: some of a reply, or all of it, and when the wait ended.
  struct Arrival {
    bool answered = false;
    bool complete = false;
    int64_t endedNs = 0;  // CLOCK_MONOTONIC
  };
  Arrival _transfer();
  /// Which parts of a reply are kept in the raw stores.
  enum class Keep { Everything, AllButBatteries };
  void _storeReply(Arrival arrival, Keep keep = Keep::Everything);
  const std::vector<MotorCmd>& _checkedSnapshot(const std::vector<MotorCmd>& cmd) const;
  bool _encodeUnlessHeld(const std::vector<MotorCmd>& cmd);
  void _exchange();
  void _resizeToCounts(std::vector<MotorState>& motors, std::vector<ImuState>& imus,
                       std::vector<BatState>& bats) const;
  void _decode(wire::PositionForm form, wire::Operation op, bool calibrate, std::vector<MotorState>& motors,
               std::vector<ImuState>& imus, std::vector<BatState>& bats);
  void _requireCounts(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                      const std::vector<BatState>& bats) const;
};
