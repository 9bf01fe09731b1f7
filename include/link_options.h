/// \file
/// Where the motor bus finds its board: the link kind and its endpoints as one value. Every
/// field may be left unset; a field set by the caller wins over the same field of the robot
/// file's `link:` section, and a field set by neither takes the robot's usual value (UDP from
/// 192.168.1.10:8881 to 192.168.1.5:8880, or /dev/ttyACM0 at 2000000 baud; 2000 µs to wait
/// for each reply).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "device_records.h"

/// A link with every field decided: what the bus opens.
struct LinkSettings {
  CommType kind = UDP;                           ///< The link kind.
  std::string boardAddress = "192.168.1.5";      ///< The board's IPv4 address (UDP).
  uint16_t boardPort = 8880;                     ///< The board's UDP port.
  std::string localAddress = "192.168.1.10";     ///< The controller's IPv4 address the socket binds to.
  uint16_t localPort = 8881;                     ///< The controller's UDP port; 0 lets the system pick one.
  std::string device = "/dev/ttyACM0";           ///< The serial device (USB).
  uint32_t baud = 2000000;                       ///< The serial line's rate. Unit: [bit/s].
  size_t receiveTimeoutUs = 2000;                ///< The longest wait for one reply. Unit: [µs].

  /// "the board 192.168.1.5:8880" or "the board on /dev/ttyACM0", as messages name the link.
  std::string describe() const;
};

/// The link as a caller or a robot file asks for it: each field is either set or left to the
/// next source. Plain value; any thread.
struct LinkOptions {
  std::optional<CommType> kind;             ///< UDP or USB.
  std::optional<std::string> boardAddress;  ///< The board's IPv4 address, dotted.
  std::optional<uint16_t> boardPort;        ///< The board's UDP port, 0-65535.
  std::optional<std::string> localAddress;  ///< The controller's IPv4 address, dotted.
  std::optional<uint16_t> localPort;        ///< The controller's UDP port; 0: any free one.
  std::optional<std::string> device;        ///< The serial device's path.
  std::optional<uint32_t> baud;             ///< The serial rate, above 0. Unit: [bit/s].
  std::optional<size_t> receiveTimeoutUs;   ///< The longest wait for one reply. Unit: [µs].

  /// A UDP link to `board` from `local`, each "ADDR:PORT" (the local one may be left empty:
  /// then it is not set). Throws ConfigError naming "board" or "local" for text that is not
  /// an IPv4 address and a port of 0-65535.
  static LinkOptions udp(const std::string& board, const std::string& local = "");
  /// A USB link on `device`; `baud` 0 leaves the rate unset.
  static LinkOptions usb(const std::string& device, uint32_t baud = 0);

  /// These options, with every field this one leaves unset taken from `under`.
  LinkOptions over(const LinkOptions& under) const;
  /// Every field decided, the unset ones from LinkSettings' values. Throws ConfigError naming
  /// the field ("board_address" ...) for an address that is not a dotted IPv4 address or a
  /// baud rate of 0. Any thread.
  LinkSettings resolved() const;
  /// True when no field is set.
  bool empty() const;
};

/// Splits "ADDR:PORT" into a checked IPv4 address and port. Throws ConfigError naming `key`
/// for anything else (a missing colon, an address that does not parse, a port outside
/// 0-65535). Any thread.
std::pair<std::string, uint16_t> parseEndpoint(const std::string& text, const std::string& key);

/// Throws ConfigError naming `key` unless `address` is a dotted IPv4 address. Any thread.
void requireIpv4Address(const std::string& address, const std::string& key);

/// True for an address in 127.0.0.0/8, where a link never leaves this machine. Any thread.
bool isLoopbackAddress(const std::string& address);
