// Which of the kernel's serial ttys have a port behind them, read from sysfs
// without opening any device: opening a tty takes it from the program using
// it for that moment, and closing it again may drop DTR, which resets
// boards that reset on DTR.
#pragma once
#include <string>

namespace plat {

// The sysfs class folder of the ttys.
constexpr const char* kSysClassTty = "/sys/class/tty";

// True when the tty strName ("ttyS0", "ttyUSB0", "ttyACM0") in the sysfs
// class folder strSysClassTty has a device behind it (its "device" link) and,
// for the 8250 driver's ttyS ports, a UART: that driver registers ttyS ports
// that have no hardware and gives them the type 0 (unknown) in their "type"
// file.
bool TtyHasPort(const std::string& strSysClassTty, const std::string& strName);

}  // namespace plat
