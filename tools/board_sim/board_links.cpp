#include "board_links.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

UniqueFd boundSocket(const std::string& address, uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw systemError("socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + address);
  // On loopback several simulators share one machine: a second one on a taken address must
  // fail, not split the datagrams with the first.
  const bool loopback = (ntohl(local.sin_addr.s_addr) >> 24) == 127;
  const int reuse = 1;
  if (!loopback) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) < 0) {
    if (errno == EADDRINUSE && loopback)
      throw std::runtime_error(address + ":" + std::to_string(port) +
                               " is already in use (another simulator?): choose another port, or --bind " +
                               address + ":0 for a free one");
    throw systemError("bind " + address + ":" + std::to_string(port));
  }
  return fd;
}

void makeRaw(int fd) {
  termios tty{};
  if (tcgetattr(fd, &tty) < 0) throw systemError("tcgetattr");
  cfmakeraw(&tty);
  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tty) < 0) throw systemError("tcsetattr");
}

}  // namespace

UdpLink::UdpLink(const std::string& address, uint16_t port, bool otherPort, const std::string& otherAddress)
    : socket_(boundSocket(address, port)) {
  if (!otherAddress.empty()) replySocket_ = boundSocket(otherAddress, otherPort ? 0 : port);
  else if (otherPort) replySocket_ = boundSocket(address, 0);
}

bool UdpLink::receive(std::vector<uint8_t>& datagram, sockaddr_in& sender) {
  datagram.resize(65536);
  socklen_t length = sizeof(sender);
  const ssize_t count =
      recvfrom(socket_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
  if (count < 0) {
    datagram.clear();
    return false;
  }
  datagram.resize(static_cast<size_t>(count));
  return true;
}

void UdpLink::send(const std::vector<uint8_t>& bytes, size_t length, const sockaddr_in& to) const {
  const int fd = replySocket_.valid() ? replySocket_.get() : socket_.get();
  // A lost reply is what a real board's link does too; the summary counts what was sent.
  (void)sendto(fd, bytes.data(), std::min(length, bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof(to));
}

uint16_t UdpLink::boundPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

uint16_t UdpLink::replyPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(replySocket_.valid() ? replySocket_.get() : socket_.get(), reinterpret_cast<sockaddr*>(&local),
              &length);
  return ntohs(local.sin_port);
}

PtyLink::PtyLink() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  if (!master_.valid()) throw systemError("posix_openpt");
  if (grantpt(master_.get()) < 0) throw systemError("grantpt");
  if (unlockpt(master_.get()) < 0) throw systemError("unlockpt");
  char path[128];
  if (ptsname_r(master_.get(), path, sizeof(path)) != 0) throw systemError("ptsname_r");
  slavePath_ = path;
  makeRaw(master_.get());
  slave_ = UniqueFd(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave_.valid()) throw systemError("open " + slavePath_);
  makeRaw(slave_.get());
  fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
}

bool PtyLink::receive(std::vector<uint8_t>& bytes) {
  uint8_t chunk[4096];
  const ssize_t count = read(master_.get(), chunk, sizeof(chunk));
  if (count < 0) return errno == EAGAIN || errno == EINTR;
  bytes.insert(bytes.end(), chunk, chunk + count);
  return true;
}

void PtyLink::send(const std::vector<uint8_t>& bytes, size_t length) const {
  size_t sent = 0;
  length = std::min(length, bytes.size());
  while (sent < length) {
    const ssize_t count = write(master_.get(), bytes.data() + sent, length - sent);
    if (count <= 0) {
      // Wait a little for the terminal's buffer to drain; a reader that never comes loses the reply.
      pollfd writable{master_.get(), POLLOUT, 0};
      if (count < 0 && errno == EAGAIN && poll(&writable, 1, 100) > 0) continue;
      return;
    }
    sent += static_cast<size_t>(count);
  }
}
