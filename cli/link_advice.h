// What readerctl adds to the system's words when the system refused it the
// reader's port or device, found out in this system's own way. One source
// per OS (cli/linux, cli/win32).
#pragma once
#include <string>

// The fix for a port or device the user may not open: for a serial port
// (bSerialPort) the group that owns its device node, for a USB reader the
// udev rule that gives the readers to their users. strDevice is the device
// the system refused (may be empty). Empty when this system has no fix to
// name.
std::string AccessDeniedFix(bool bSerialPort, const std::string& strDevice);

// Who holds a busy port or device: "held by process 1234 (minicom)" when
// it can be found, else what can be said about it. Empty when nothing can.
std::string BusyHolder(const std::string& strDevice);
