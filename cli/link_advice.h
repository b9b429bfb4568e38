// The fix to suggest when the system refused readerctl the reader's port or
// device, in this system's words. One source per OS (cli/linux, cli/win32).
#pragma once

// For a serial port (bSerialPort) or a USB reader; nullptr when this system
// has no common fix to name.
const char* AccessDeniedFix(bool bSerialPort);
