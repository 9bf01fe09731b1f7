// The board simulator's truth file: a CSV of the simulated robot's real pose, one row every
// 10 ms of simulated time. Its columns are named here once, for the simulator that writes it
// and for the tools and tests that read it:
//   t                                         simulated time [s]
//   base_x base_y base_z                      torso position in the world [m]
//   base_qw base_qx base_qy base_qz           torso orientation, unit quaternion (w, x, y, z)
//   motor0 … motor<n-1>                       every driven joint's angle [rad], configuration order
//   virtual0 … virtual9                       a biped's serial-chain joint angles [rad] (bipeds only)
//   push_fx push_fy push_fz                   force pushing the torso at that time [N], world axes
// Joint columns carry the names of the model's joints they come from. Lines before the header
// that start with '#' are comments (a randomised body's drawn values).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace truth_file {

/// The time column. Unit: [s] of simulated time.
inline constexpr const char* kTime = "t";
/// The torso pose columns that follow the time: position [m], then the quaternion (w, x, y, z).
inline constexpr std::array<const char*, 7> kBaseColumns = {"base_x",  "base_y",  "base_z", "base_qw",
                                                            "base_qx", "base_qy", "base_qz"};
/// What a comment line starts with; readers skip such lines.
inline constexpr const char* kCommentPrefix = "# ";
/// The last columns: the push on the torso [N], world axes (zero without one).
inline constexpr std::array<const char*, 3> kPushColumns = {"push_fx", "push_fy", "push_fz"};

/// The column (and model joint) of driven joint i. Any thread; never throws but std::bad_alloc.
std::string motorColumn(size_t i);
/// The column (and model joint) of a biped's serial-chain joint k. Any thread.
std::string virtualColumn(size_t k);
/// The header line, without its newline, of a file with `motors` driven joints and
/// `virtuals` serial-chain joints. Any thread.
std::string headerLine(size_t motors, size_t virtuals);

/// A truth file as read at one moment: its columns and its complete rows. A plain value.
class TruthTable {
 public:
  /// Reads the file at `path`, skipping the comment lines (starting with '#'). A last line
  /// without its newline is a row the simulator is still writing and is left out. Throws std::runtime_error naming the file when it cannot be
  /// read, has no header, does not begin with the time column, or holds a complete row whose
  /// cell count differs from the header's or a cell that is not a number.
  static TruthTable read(const std::string& path);

  /// The header line as written.
  const std::string& header() const { return header_; }
  /// The column names, in file order.
  const std::vector<std::string>& columns() const { return columns_; }
  /// The rows, oldest first; each holds one value per column.
  const std::vector<std::vector<double>>& rows() const { return rows_; }
  /// The position of column `name`; throws std::out_of_range naming it when there is none.
  size_t index(const std::string& name) const;
  /// Every row's value of column `name`; throws std::out_of_range as index() does.
  std::vector<double> column(const std::string& name) const;

 private:
  std::string header_;
  std::vector<std::string> columns_;
  std::vector<std::vector<double>> rows_;
};

}  // namespace truth_file
