// The port interface's timeout split and the two exception message forms.
#include <gtest/gtest.h>

#include "io_port.h"

namespace {

class NullPort : public IOPort {
 public:
  size_t Send(uint8_t*, size_t length) override { return length; }
  size_t Recv(uint8_t*, size_t) override { return 0; }
  size_t Recv(uint8_t*) override { return 0; }
  bool SendRecv(uint8_t*, uint8_t*, size_t) override { return false; }
};

TEST(IOPort, ResetIOSplitsTheTimeoutIntoBothCopies) {
  NullPort port;
  EXPECT_EQ(port.blockMode(), NO);
  port.ResetIO(NO, 100, 2000);
  EXPECT_EQ(port.recvLength(), 100u);
  EXPECT_EQ(port.timeout().tv_sec, 0);
  EXPECT_EQ(port.timeout().tv_usec, 2000);
  port.ResetIO(YES, 100, 2500000);
  EXPECT_EQ(port.blockMode(), YES);
  EXPECT_EQ(port.timeout().tv_sec, 2);
  EXPECT_EQ(port.timeout().tv_usec, 500000);
  EXPECT_EQ(port.savedTimeout().tv_sec, 2);
  EXPECT_EQ(port.savedTimeout().tv_usec, 500000);
}

TEST(IOException, MessageForms) {
  IOException described("serial_port", 327, "Baudrate error");
  EXPECT_STREQ(described.what(), "IO Exception: Baudrate error, file serial_port, line 327.");
  EXPECT_EQ(described.getErrorNumber(), 0);

  IOException denied("serial_port", 176, 13);
  EXPECT_STREQ(denied.what(), "IO Exception (13): Permission denied, file serial_port, line 176.");
  EXPECT_EQ(denied.getErrorNumber(), 13);

  IOException missing("x", 1, 2);
  EXPECT_EQ(std::string(missing.what()).rfind("IO Exception (2): No such file or directory, file", 0), 0u);
}

}  // namespace
