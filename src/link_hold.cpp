#include "link_hold.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr const char* kNamePrefix = "drivelink/";

// ---- The claims of this process, closed in a forked child ----------------------------------

std::mutex& claimsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<int>& claimedDescriptors() {
  static std::vector<int> descriptors;
  return descriptors;
}

// The child of a fork shares the parent's bound socket; were it kept open, a child that
// outlives its parent would keep the board claimed although it never drives it.
void lockClaims() { claimsMutex().lock(); }
void unlockClaims() { claimsMutex().unlock(); }
void dropClaimsInChild() {
  for (int fd : claimedDescriptors()) close(fd);
  claimedDescriptors().clear();
  claimsMutex().unlock();
}

void watchForks() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(lockClaims, unlockClaims, dropClaimsInChild); });
}

// ---- Names -------------------------------------------------------------------------------

// A long key (a deep device path) is shortened to a stable hash that fits the address.
std::string nameFor(const std::string& key) {
  const size_t room = sizeof(sockaddr_un::sun_path) - 1 - std::strlen(kNamePrefix);
  if (key.size() <= room) return kNamePrefix + key;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a: the same in every process
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  return kNamePrefix + std::string("hashed/") + std::to_string(hash);
}

// An abstract address: a leading zero byte, then the name, without a terminator.
socklen_t abstractAddress(const std::string& name, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

/// The process listening on `address`, or 0 when it cannot be asked (it is between bind and
/// listen, or its queue of contenders is full).
pid_t askHolder(const sockaddr_un& address, socklen_t length) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  pid_t holder = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) holder = credentials.pid;
  }
  close(fd);
  return holder;
}

std::string commandName(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

std::string heldMessage(const std::string& link, pid_t holder, bool inThisProcess) {
  if (inThisProcess) return link + " is held by another controller in this process: close it first";
  if (holder == 0) return link + " is held by another process";
  const std::string name = commandName(holder);
  return link + " is held by process " + std::to_string(holder) + (name.empty() ? "" : " (" + name + ")");
}

}  // namespace

LinkHeldError::LinkHeldError(std::string link, pid_t holder, bool inThisProcess)
    : std::runtime_error(heldMessage(link, holder, inThisProcess)),
      link_(std::move(link)),
      holder_(holder),
      inThisProcess_(inThisProcess) {}

LinkHold::LinkHold(const std::string& key, std::string link) {
  watchForks();
  sockaddr_un address;
  const socklen_t length = abstractAddress(nameFor(key), address);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot claim " + link);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    close(fd);
    if (error != EADDRINUSE) throw std::system_error(error, std::generic_category(), "cannot claim " + link);
    const pid_t holder = askHolder(address, length);
    throw LinkHeldError(std::move(link), holder, holder == getpid());
  }
  // Contenders are never accepted: each only reads who holds the link and goes away.
  listen(fd, SOMAXCONN);
  std::lock_guard<std::mutex> lock(claimsMutex());
  claimedDescriptors().push_back(fd);
  fd_ = fd;
  owner_ = getpid();
  key_ = key;
}

LinkHold::~LinkHold() { _release(); }

LinkHold::LinkHold(LinkHold&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owner_(std::exchange(other.owner_, 0)), key_(std::move(other.key_)) {
  other.key_.clear();
}

LinkHold& LinkHold::operator=(LinkHold&& other) noexcept {
  if (this == &other) return *this;
  _release();
  fd_ = std::exchange(other.fd_, -1);
  owner_ = std::exchange(other.owner_, 0);
  key_ = std::move(other.key_);
  other.key_.clear();
  return *this;
}

bool LinkHold::holds() const { return fd_ >= 0 && owner_ == getpid(); }

void LinkHold::_release() noexcept {
  // In a forked child the descriptor was closed at the fork and its number may be reused.
  if (holds()) {
    std::lock_guard<std::mutex> lock(claimsMutex());
    std::vector<int>& descriptors = claimedDescriptors();
    descriptors.erase(std::remove(descriptors.begin(), descriptors.end(), fd_), descriptors.end());
    close(fd_);
  }
  fd_ = -1;
  owner_ = 0;
  key_.clear();
}

std::string LinkHold::udpKey(const std::string& address, uint32_t port) {
  return "udp/" + address + ":" + std::to_string(port & 0xFFFF);
}

std::string LinkHold::serialKey(const std::string& device) {
  char resolved[PATH_MAX];
  if (realpath(device.c_str(), resolved) != nullptr) return "tty" + std::string(resolved);
  return "tty" + device;
}
