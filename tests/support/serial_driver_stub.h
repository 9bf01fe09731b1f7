// Stands in for the serial driver's TIOCGSERIAL / TIOCSSERIAL, which a pseudo-terminal rejects.
//
// Linking this into a test program (any call below pulls it in) interposes `ioctl` for the
// program and the SDK library alike. Until `install` is called every request goes straight to
// the system; afterwards the two serial-driver requests act on a simulated driver record and
// every other request still goes to the system.
#pragma once

namespace serial_driver_stub {

/// What the simulated driver holds and how often it was asked.
struct Seen {
  int getCalls = 0;       // TIOCGSERIAL requests
  int setCalls = 0;       // TIOCSSERIAL requests
  int flags = 0;          // driver flags as last set
  int customDivisor = 0;  // custom divisor as last set
  int baudBase = 0;       // base rate the driver reports
};

/// Starts standing in with a fresh driver record (no flags) of base rate `baudBase` holding
/// `customDivisor` from an earlier user.
void install(int baudBase = 24000000, int customDivisor = 0);
/// Goes back to the system's own ioctl for every request.
void uninstall();
/// While true, TIOCGSERIAL fails with ENOTTY as a pseudo-terminal's driver does.
void failGetSerial(bool fail);
/// While true, TIOCSSERIAL fails with EPERM as a driver that refuses the change does.
void failSetSerial(bool fail);
/// The simulated driver's state and request counts.
Seen last();

/// Stands in for the lifetime of the object.
struct Installed {
  explicit Installed(int baudBase = 24000000) { install(baudBase); }
  ~Installed() { uninstall(); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
};

}  // namespace serial_driver_stub
