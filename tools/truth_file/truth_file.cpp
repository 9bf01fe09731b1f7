#include "truth_file.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace truth_file {

namespace {

std::vector<std::string> splitCells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream stream(line);
  for (std::string cell; std::getline(stream, cell, ',');) cells.push_back(cell);
  return cells;
}

double number(const std::string& cell, const std::string& path, size_t line) {
  char* end = nullptr;
  const double value = std::strtod(cell.c_str(), &end);
  if (cell.empty() || *end != '\0')
    throw std::runtime_error(path + ":" + std::to_string(line) + ": \"" + cell + "\" is not a number");
  return value;
}

}  // namespace

std::string motorColumn(size_t i) { return "motor" + std::to_string(i); }

std::string virtualColumn(size_t k) { return "virtual" + std::to_string(k); }

std::string headerLine(size_t motors, size_t virtuals) {
  std::string line = kTime;
  for (const char* name : kBaseColumns) line += std::string(",") + name;
  for (size_t i = 0; i < motors; ++i) line += "," + motorColumn(i);
  for (size_t k = 0; k < virtuals; ++k) line += "," + virtualColumn(k);
  for (const char* name : kPushColumns) line += std::string(",") + name;
  return line;
}

TruthTable TruthTable::read(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  TruthTable table;
  size_t lineNumber = 1;
  const auto isComment = [](const std::string& line) { return !line.empty() && line[0] == '#'; };
  while (std::getline(file, table.header_) && !file.eof() && isComment(table.header_)) ++lineNumber;
  if (!file || file.eof() || isComment(table.header_)) throw std::runtime_error(path + " has no header line");
  table.columns_ = splitCells(table.header_);
  if (table.columns_.empty() || table.columns_[0] != kTime)
    throw std::runtime_error(path + ": first column is not " + kTime);
  for (std::string line; std::getline(file, line);) {
    ++lineNumber;
    if (file.eof()) break;  // no newline yet: the writer is in the middle of this row
    if (isComment(line)) continue;
    const std::vector<std::string> cells = splitCells(line);
    if (cells.size() != table.columns_.size())
      throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": " + std::to_string(cells.size()) +
                               " cells under " + std::to_string(table.columns_.size()) + " columns");
    std::vector<double> row;
    row.reserve(cells.size());
    for (const std::string& cell : cells) row.push_back(number(cell, path, lineNumber));
    table.rows_.push_back(std::move(row));
  }
  return table;
}

size_t TruthTable::index(const std::string& name) const {
  const auto found = std::find(columns_.begin(), columns_.end(), name);
  if (found == columns_.end()) throw std::out_of_range("the truth file has no column " + name);
  return static_cast<size_t>(found - columns_.begin());
}

std::vector<double> TruthTable::column(const std::string& name) const {
  const size_t c = index(name);
  std::vector<double> values;
  values.reserve(rows_.size());
  for (const std::vector<double>& row : rows_) values.push_back(row[c]);
  return values;
}

}  // namespace truth_file
