// Serial ports by number. The reader link names a serial port "\\.\COMn"
// (n from 1 to 255); each operating system's files say which device COM n
// is: on Windows the port itself, elsewhere a device path found through the
// COM port map (platform/posix/com_map.h).
#pragma once
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
// Port numbers whose device exists, in ascending order. Existing is not the
// same as usable: the port may be busy or have no hardware behind it;
// opening it tells.
std::vector<ComPortEntry> ListComPorts();

}  // namespace plat
