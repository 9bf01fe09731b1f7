/// \file
/// One controller per board: a claim on a link that every other controller of the same
/// network namespace sees, whether it runs in this process or in another one.
///
/// The claim is a listening Unix socket bound to an abstract name derived from the board's
/// endpoint. The kernel drops the name with the last descriptor, so a holder that ends in any
/// way (a crash or SIGKILL included) leaves nothing to clean up, and abstract names belong to
/// the network namespace, so controllers in separate namespaces never see each other.
/// A contender learns the holder's process id by connecting to the socket (SO_PEERCRED).
/// A forked child does not share the claim: its copy of the socket is closed right after
/// fork, and the holds it inherited in memory release nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>

/// Another controller holds the link. The message names the link and the holder: "the board
/// 192.168.1.5:8880 is held by process 4242 (python3)", or, for a holder in this process,
/// "the board 192.168.1.5:8880 is held by another controller in this process: close it first".
class LinkHeldError : public std::runtime_error {
 public:
  /// `link` as the message shows it ("the board 192.168.1.5:8880"); `holder` 0 when the holder
  /// could not be asked (it is then named as "another process").
  LinkHeldError(std::string link, pid_t holder, bool inThisProcess);

  /// The link as the message names it.
  const std::string& link() const { return link_; }
  /// The holder's process id; 0 when unknown.
  pid_t holderPid() const { return holder_; }
  /// True when the holder is another controller of this very process.
  bool inThisProcess() const { return inThisProcess_; }

 private:
  std::string link_;
  pid_t holder_;
  bool inThisProcess_;
};

/// A claim on one link, held from construction until destruction (or until it is moved from).
/// Threads: construction and destruction from any thread; the object itself belongs to one
/// owner at a time.
class LinkHold {
 public:
  /// Holds nothing.
  LinkHold() = default;
  /// Claims the link named by `key` (see udpKey, serialKey); `link` is how messages name it.
  /// Throws LinkHeldError when a controller of this network namespace holds it already, and
  /// std::system_error when the claim's socket cannot be made.
  LinkHold(const std::string& key, std::string link);
  /// Releases the claim, unless this copy was inherited across fork (it is the parent's).
  ~LinkHold();

  /// Takes over `other`'s claim; `other` then holds nothing.
  LinkHold(LinkHold&& other) noexcept;
  /// Releases this claim, then takes over `other`'s.
  LinkHold& operator=(LinkHold&& other) noexcept;
  LinkHold(const LinkHold&) = delete;
  LinkHold& operator=(const LinkHold&) = delete;

  /// Whether this object holds a link (in the process that claimed it).
  bool holds() const;
  /// The key of the held link; empty when none.
  const std::string& key() const { return key_; }

  /// The key of a UDP board at `address`:`port` (the board's side: two controllers on
  /// different local ports still collide). Any thread.
  static std::string udpKey(const std::string& address, uint32_t port);
  /// The key of a serial device: its real path, so two names of one device collide; the name
  /// as given when it does not resolve. Any thread.
  static std::string serialKey(const std::string& device);

 private:
  void _release() noexcept;

  int fd_ = -1;
  pid_t owner_ = 0;  // the process that claimed it; a forked child's copy releases nothing
  std::string key_;
};
