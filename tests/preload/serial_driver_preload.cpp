// The serial-driver stand-in of tests/support for a program that cannot link it, such as the
// Python interpreter: preloaded (LD_PRELOAD), it answers TIOCGSERIAL and TIOCSSERIAL from the
// start, so the SDK's serial port opens a pseudo-terminal as it opens the board's USB device.
#include "../support/serial_driver_stub.cpp"

namespace {

[[maybe_unused]] const bool installedAtLoad = (serial_driver_stub::install(), true);

}  // namespace
