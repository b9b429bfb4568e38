// COM port numbers on a machine that names its serial devices by path.
//
// Port n is found like this, first match wins:
//   1. the folder named by the environment variable READERTOOL_COM_DIR, when
//      set, holding an entry "comN" (usually a symbolic link to any tty, a
//      pseudo-terminal included): port n is that entry;
//   2. fixed ranges:  COM1-COM32   -> /dev/ttyS0   .. /dev/ttyS31
//                     COM33-COM64  -> /dev/ttyUSB0 .. /dev/ttyUSB31
//                     COM65-COM96  -> /dev/ttyACM0 .. /dev/ttyACM31
//   3. COM97 to COM255 have no device unless the folder of step 1 names one.
// The map depends only on the environment variable and the port number, so
// a given adapter keeps its COM number between runs. ComPortPath and
// ComNumberOfPath (after resolving links; the folder first, then the fixed
// ranges) of platform/com_port.h follow it; the list of ports
// (platform/linux/com_list_linux.cpp) takes the folder's entries as they
// stand and asks the kernel which fixed-range devices have a port behind them.
#pragma once
#include <string>

#include "platform/com_port.h"

namespace plat {

constexpr const char* kComDirEnv = "READERTOOL_COM_DIR";

// The folder's entry for COM n ("<folder>/comN", a dangling link included),
// or empty when the variable is not set or the folder has no such entry.
std::string ComDirEntry(int nPort);

// The path to open for a device name: a COM name through ComPortPath, an
// absolute path ("/...") as it stands, anything else empty.
std::string ResolveSerialDevice(const char* pszName);

}  // namespace plat
