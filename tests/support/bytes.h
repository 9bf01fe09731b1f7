// Byte-level helpers for checking frames against their expected wire image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

/// "01 05 0A ..." for any record or buffer.
inline std::string hexBytes(const void* data, size_t length) {
  std::string text;
  const auto* bytes = static_cast<const uint8_t*>(data);
  char cell[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(cell, sizeof(cell), i ? " %02X" : "%02X", bytes[i]);
    text += cell;
  }
  return text;
}

template <typename Record>
std::string hexOf(const Record& record) {
  return hexBytes(&record, sizeof(Record));
}

/// Parses "09 01 00 ..." into a record of the same size.
template <typename Record>
Record recordFromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size() + 1; i += 3) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  Record record{};
  std::memcpy(&record, bytes.data(), sizeof(Record) < bytes.size() ? sizeof(Record) : bytes.size());
  return record;
}

inline uint32_t floatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}
