// Serial ports by number. The reader link names a serial port "\\.\COMn"
// (n from 1 to 255); each operating system's files say which device COM n
// is: on Windows the port itself, elsewhere a device path found through the
// COM port map (platform/posix/com_map.h).
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace plat {

constexpr int kMinComPort = 1;
constexpr int kMaxComPort = 255;

// The port number of a COM device name: "\\.\COM12" or "COM12" (COM in any
// case, decimal without leading zeros, 1 to 255) gives 12; anything else 0.
int ParseComName(const char* pszName);

// The device to open for COM n; empty for a number outside 1 to 255 or a
// port this machine gives no device name. The device need not exist.
std::string ComPortPath(int nPort);

// The COM number whose device is pszPath, or 0.
int ComNumberOfPath(const char* pszPath);

struct ComPortEntry {
  int nPort = 0;
  std::string path;
};
// The serial ports this machine has, in ascending order of number. Listing
// opens no port: a port another program uses is left alone (no lock, no
// change to its settings, no toggled modem line) and is listed all the same.
// A listed port may still be busy or refuse the user; opening it tells.
std::vector<ComPortEntry> ListComPorts();

// Whether COM n is among the ports ListComPorts gives.
bool ComPortListed(int nPort);

// The lister seam. Tests install a list of their own; an empty function
// restores the operating system's list. Returns the lister that was in force.
using ComPortLister = std::function<std::vector<ComPortEntry>()>;
ComPortLister SetComPortLister(ComPortLister lister);

// The operating system's list (what ListComPorts gives by default).
std::vector<ComPortEntry> ListSystemComPorts();

}  // namespace plat
