// Preloaded into a program that runs the robot layer (LD_PRELOAD), this notes when each new
// command reaches the wire: the CLOCK_MONOTONIC time of every UDP frame to the board's port
// whose bytes differ from the previous frame's, one line "SECONDS\n" per change to the file
// WIRE_TAP_FILE names. The link repeats a held command byte for byte, so a change is a new
// command (or a brake) leaving. Frames to other ports (DDS) pass untouched.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef ssize_t (*SendTo)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);

static SendTo real_sendto;
static int tap_fd = -1;
static int board_port = 8880;
static unsigned char last_frame[2048];
static size_t last_length;

__attribute__((constructor)) static void open_tap(void) {
  real_sendto = (SendTo)dlsym(RTLD_NEXT, "sendto");
  const char* path = getenv("WIRE_TAP_FILE");
  if (path) tap_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  const char* port = getenv("WIRE_TAP_PORT");
  if (port) board_port = atoi(port);
}

static int to_board(const struct sockaddr* to) {
  return to && to->sa_family == AF_INET && ntohs(((const struct sockaddr_in*)to)->sin_port) == board_port;
}

// Only the link thread sends to the board, so the last frame needs no lock.
ssize_t sendto(int fd, const void* data, size_t length, int flags, const struct sockaddr* to, socklen_t to_length) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (tap_fd >= 0 && to_board(to) && length <= sizeof last_frame) {
    if (length != last_length || memcmp(data, last_frame, length) != 0) {
      char line[32];
      int n = snprintf(line, sizeof line, "%ld.%09ld\n", (long)now.tv_sec, now.tv_nsec);
      if (write(tap_fd, line, (size_t)n) < 0) { /* the figure misses one change */ }
      memcpy(last_frame, data, length);
      last_length = length;
    }
  }
  return real_sendto(fd, data, length, flags, to, to_length);
}
