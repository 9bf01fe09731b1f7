/// \file
/// The motor bus: one MotorSDK owns the link to the motor board, turns the caller's joint-side
/// commands into command frames and the board's replies back into motor, IMU and battery
/// records. It also holds the process-wide IMU calibration and the two locks of the split
/// exchange family, and the orientation helpers used for the IMU report.
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
#include "io_port.h"
#include "robot_config.h"
#include "link_stats.h"
#include "wire_frames.h"

// ---- Process-wide state shared by every MotorSDK. ------------------------------------------

/// Guards every MotorSDK's command frame between the threads that post and the link thread.
extern std::mutex cmd_mutex;
/// Guards every MotorSDK's raw reply stores between the link thread and the decoding threads.
extern std::mutex feedback_mutex;

/// IMU calibration, set by the most recent MotorSDK::init. Neutral until then: zero biases,
/// identity mounting rotation, zero translation.
extern Vec3<double> acc_bias;
extern Vec3<double> gyro_bias;
extern Mat3<double> R_b_i;
extern Vec3<double> t_b_i;  // kept for callers; the calibration does not use it

/// Removes the configured biases from every record and re-expresses its orientation through
/// the mounting rotation. Looks at neither status nor id.
void calibration_imu(std::vector<ImuState>& imus);

// ---- Orientation helpers. Quaternions are (w, x, y, z) and are never normalised. -----------

Mat3<double> quatToRotMat(const Vec4<double>& q);
/// True when R is orthonormal within 0.001 (Frobenius norm of I - RᵀR); otherwise prints
/// "norm(R) = " with the norm and the matrix.
bool isRotationMatrix(const Mat3<double>& R);
/// (roll, pitch, yaw) with R = Rz(yaw)·Ry(pitch)·Rx(roll), to float accuracy.
Vec3<double> rotMatToRPY(const Mat3<double>& R);
Vec3<double> quatToRPY(const Vec4<double>& q);

// ---- The bus. -----------------------------------------------------------------------------

class MotorSDK {
 public:
  /// An empty bus; only init makes it usable.
  MotorSDK();
  /// A bus configured directly: every motor gets type 5, the tables are copied. Throws
  /// ConfigError for a zero or non-finite gear ratio or a non-finite offset.
  MotorSDK(uint8_t& motor_num, uint8_t& imu_num, uint8_t& battery_num, std::vector<double>& offset,
           std::vector<double>& gr, std::vector<uint16_t>& motor_id, CommType comm_type);
  ~MotorSDK();

  MotorSDK(const MotorSDK&) = delete;
  MotorSDK& operator=(const MotorSDK&) = delete;

  /// Reads the robot's YAML file, sets the IMU calibration and opens the link. yaml-cpp's
  /// exceptions, ConfigError and the port's exceptions reach the caller. All or nothing: a
  /// failed init leaves the bus and the IMU calibration exactly as they were.
  void init(std::string path, CommType comm_type);

  // Every exchange operation below throws std::logic_error, without touching the link, on a
  // bus that neither init nor the counts constructor has configured.

  // Synchronous family: one whole exchange in the caller's thread, no lock taken. The
  // caller's vectors are resized to the configured counts. Every decoding except recvRaw's
  // calibrates the IMU records that arrived valid; a record that did not keeps the values the
  // previous read gave it, unchanged.
  /// Encodes `cmd`, exchanges it and decodes the reply. A command whose motor-side value is
  /// not a finite float throws std::invalid_argument before anything is stored or sent.
  void sendRecv(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                std::vector<ImuState>& imus, std::vector<BatState>& bats);
  void recv(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);
  void recvRaw(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);
  void setMotorZero(const std::vector<MotorCmd>& cmd, std::vector<MotorState>& motors,
                    std::vector<ImuState>& imus, std::vector<BatState>& bats);

  // Split family: one link thread calls sendRecvMT/recvMT, any thread setSendMT/getRecvMT.
  // cmd_mutex and feedback_mutex are never held together nor during port I/O.
  /// Encodes the commands into the stored frame; the next sendRecvMT sends them. A command
  /// whose motor-side value is not a finite float throws std::invalid_argument and leaves the
  /// stored frame as it was.
  void setSendMT(const std::vector<MotorCmd>& cmd);
  /// Sends the stored frame and keeps the reply undecoded.
  void sendRecvMT();
  /// Replaces the stored frame with the background passive read, then exchanges it.
  void recvMT();
  /// Decodes the last reply into vectors that already hold at least the configured counts
  /// (std::out_of_range otherwise); records beyond the counts are left untouched.
  void getRecvMT(std::vector<MotorState>& motors, std::vector<ImuState>& imus, std::vector<BatState>& bats);

  /// Copies of the last reply's motor and battery records as the board sent them (motor side,
  /// not decoded), taken under feedback_mutex. Any thread.
  std::vector<MotorState> rawMotorStates() const;
  std::vector<BatState> rawBatteryStates() const;
  /// Exchanges of the split family that got at least part of a reply, counted from set-up.
  /// Any thread; the link thread increments it after storing the reply.
  uint64_t repliesReceived() const { return replies_received_.load(std::memory_order_acquire); }

  /// Sends the stored frame five times; nothing is decoded or printed.
  void stop();
  void close();

  void print(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
             const std::vector<BatState>& bats);
  void print(const std::vector<MotorCmd>& cmd, const std::vector<MotorState>& motors,
             const std::vector<ImuState>& imus, const std::vector<BatState>& bats);

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
  /// The bus as a recording's header describes it, for a robot of type `robotType`.
  RobotDescription recordingDescription(int32_t robotType) const;
  /// Counts the replies stored so far (one per exchange, a missing one included): while it
  /// stands still, getRecvMT decodes the same frame. Any thread.
  uint64_t replySequence() const { return reply_sequence_.load(std::memory_order_acquire); }

  // Read-only views of the configuration, for tools and tests.
  const std::vector<uint8_t>& motorTypes() const { return motor_type_; }
  const std::vector<uint16_t>& motorIds() const { return motor_id_; }
  const std::vector<double>& offsets() const { return offset_; }
  const std::vector<double>& gearRatios() const { return gr_; }
  const std::vector<double>& jointMin() const { return jpos_min_; }
  const std::vector<double>& jointMax() const { return jpos_max_; }
  bool dualEncoder() const { return dual_encoder_; }
  bool hasPort() const { return port_ != nullptr; }
  size_t sendLength() const { return send_len_; }
  size_t replyLength() const { return motor_recv_len_ + imu_recv_len_ + battery_recv_len_; }
  /// The stored command frame; not locked, so only for a caller that owns the bus.
  const std::vector<MotorCmd>& commandFrame() const { return cmd_frame_; }

 private:
  std::unique_ptr<IOPort> port_;

 public:
  // The robot layer reads the counts directly.
  uint8_t motor_num_ = 0;
  uint8_t imu_num_ = 0;
  uint8_t battery_num_ = 0;

 private:
  std::vector<uint8_t> motor_type_;
  std::vector<uint16_t> motor_id_;
  std::vector<double> offset_;
  std::vector<double> gr_;
  std::vector<double> jpos_min_;
  std::vector<double> jpos_max_;
  size_t send_len_ = 0;
  size_t motor_recv_len_ = 0;
  size_t imu_recv_len_ = 0;
  size_t battery_recv_len_ = 0;
  std::vector<MotorCmd> cmd_frame_;
  std::vector<MotorState> motor_raw_;
  std::vector<ImuState> imu_raw_;
  std::vector<BatState> battery_raw_;
  std::atomic<uint64_t> replies_received_{0};
  bool dual_encoder_ = false;
  bool configured_ = false;  // set by a completed init or the counts constructor

  // Scratch memory of one exchange, sized once at set-up so exchanges allocate nothing.
  // Only the thread that owns the link touches them.
  std::vector<uint8_t> send_buf_;
  std::vector<uint8_t> recv_buf_;

  LinkMonitor link_monitor_;
  RecorderSlot recorder_slot_;
  std::atomic<uint64_t> reply_sequence_{0};

  wire::MotorTable _table() const { return {motor_type_, motor_id_, gr_, offset_}; }
  void _adopt(RobotConfig config, std::unique_ptr<IOPort> port);
  void _sizeFrames();
  void _requireConfigured(const char* operation) const;
  void _loadSendBuffer();
  bool _transfer();
  void _storeReply();
  void _exchange();
  void _resizeToCounts(std::vector<MotorState>& motors, std::vector<ImuState>& imus,
                       std::vector<BatState>& bats) const;
  void _decode(wire::PositionForm form, wire::Operation op, bool calibrate, std::vector<MotorState>& motors,
               std::vector<ImuState>& imus, std::vector<BatState>& bats);
  void _requireCounts(const std::vector<MotorState>& motors, const std::vector<ImuState>& imus,
                      const std::vector<BatState>& bats) const;
};
