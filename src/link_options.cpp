#include "link_options.h"

#include <arpa/inet.h>

#include "robot_config.h"

namespace {

template <typename T>
void takeUnset(std::optional<T>& field, const std::optional<T>& under) {
  if (!field) field = under;
}

uint16_t portNumber(const std::string& text, const std::string& key) {
  bool digits = !text.empty() && text.size() <= 5;
  for (const char c : text) digits = digits && c >= '0' && c <= '9';
  const unsigned long value = digits ? std::stoul(text) : 0;
  if (!digits || value > 65535)
    throw ConfigError("[MotorSDK] " + key + ": the port \"" + text + "\" is not a number of 0-65535");
  return static_cast<uint16_t>(value);
}

}  // namespace

std::string LinkSettings::describe() const {
  if (kind == USB) return "the board on " + device;
  return "the board " + boardAddress + ":" + std::to_string(boardPort);
}

LinkOptions LinkOptions::udp(const std::string& board, const std::string& local) {
  LinkOptions options;
  options.kind = UDP;
  const auto [boardAddress, boardPort] = parseEndpoint(board, "board");
  options.boardAddress = boardAddress;
  options.boardPort = boardPort;
  if (!local.empty()) {
    const auto [localAddress, localPort] = parseEndpoint(local, "local");
    options.localAddress = localAddress;
    options.localPort = localPort;
  }
  return options;
}

LinkOptions LinkOptions::usb(const std::string& device, uint32_t baud) {
  LinkOptions options;
  options.kind = USB;
  options.device = device;
  if (baud != 0) options.baud = baud;
  return options;
}

LinkOptions LinkOptions::over(const LinkOptions& under) const {
  LinkOptions merged = *this;
  takeUnset(merged.kind, under.kind);
  takeUnset(merged.boardAddress, under.boardAddress);
  takeUnset(merged.boardPort, under.boardPort);
  takeUnset(merged.localAddress, under.localAddress);
  takeUnset(merged.localPort, under.localPort);
  takeUnset(merged.device, under.device);
  takeUnset(merged.baud, under.baud);
  takeUnset(merged.receiveTimeoutUs, under.receiveTimeoutUs);
  return merged;
}

LinkSettings LinkOptions::resolved() const {
  LinkSettings settings;
  settings.kind = kind.value_or(settings.kind);
  settings.boardAddress = boardAddress.value_or(settings.boardAddress);
  settings.boardPort = boardPort.value_or(settings.boardPort);
  settings.localAddress = localAddress.value_or(settings.localAddress);
  settings.localPort = localPort.value_or(settings.localPort);
  settings.device = device.value_or(settings.device);
  settings.baud = baud.value_or(settings.baud);
  settings.receiveTimeoutUs = receiveTimeoutUs.value_or(settings.receiveTimeoutUs);
  requireIpv4Address(settings.boardAddress, "board_address");
  requireIpv4Address(settings.localAddress, "local_address");
  if (settings.baud == 0) throw ConfigError("[MotorSDK] baud: a serial rate of 0 bit/s cannot carry frames");
  return settings;
}

bool LinkOptions::empty() const {
  return !kind && !boardAddress && !boardPort && !localAddress && !localPort && !device && !baud &&
         !receiveTimeoutUs;
}

void requireIpv4Address(const std::string& address, const std::string& key) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) return;
  throw ConfigError("[MotorSDK] " + key + ": \"" + address + "\" is not an IPv4 address (such as 127.0.0.1)");
}

std::pair<std::string, uint16_t> parseEndpoint(const std::string& text, const std::string& key) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos)
    throw ConfigError("[MotorSDK] " + key + ": \"" + text + "\" is not ADDR:PORT (such as 127.0.0.2:8880)");
  const std::string address = text.substr(0, colon);
  requireIpv4Address(address, key);
  return {address, portNumber(text.substr(colon + 1), key)};
}

bool isLoopbackAddress(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}
