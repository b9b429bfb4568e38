// COM port numbers on a machine that names its serial devices by path.
//
// The reader link names a serial port "\\.\COMn" (n from 1 to 255). Port n
// is found like this, first match wins:
//   1. the folder named by the environment variable READERTOOL_COM_DIR, when
//      set, holding an entry "comN" (usually a symbolic link to any tty, a
//      pseudo-terminal included): port n is that entry;
//   2. fixed ranges:  COM1-COM32   -> /dev/ttyS0   .. /dev/ttyS31
//                     COM33-COM64  -> /dev/ttyUSB0 .. /dev/ttyUSB31
//                     COM65-COM96  -> /dev/ttyACM0 .. /dev/ttyACM31
//   3. COM97 to COM255 have no device unless the folder of step 1 names one.
// The map depends only on the environment variable and the port number, so
// a given adapter keeps its COM number between runs.
#pragma once
#include <string>
#include <vector>

namespace plat {

constexpr int kMinComPort = 1;
constexpr int kMaxComPort = 255;
constexpr const char* kComDirEnv = "READERTOOL_COM_DIR";

// The port number of a COM device name: "\\.\COM12" or "COM12" (COM in any
// case, decimal without leading zeros, 1 to 255) gives 12; anything else 0.
int ParseComName(const char* pszName);

// Device path of COM n by the rules above; empty for a number outside 1 to
// 255 and for COM97 to COM255 without an override entry. The path need not
// exist.
std::string ComPortPath(int nPort);

// The path to open for a device name: a COM name through ComPortPath, an
// absolute path ("/...") as it stands, anything else empty.
std::string ResolveSerialDevice(const char* pszName);

// The COM number whose path is pszPath (after resolving links), or 0. The
// override folder is searched first, then the fixed ranges.
int ComNumberOfPath(const char* pszPath);

struct ComPortEntry {
  int nPort = 0;
  std::string path;
};
// Port numbers whose device exists (links followed), in ascending order.
// Existing is not the same as usable: the port may be busy or have no
// hardware behind it; opening it tells.
std::vector<ComPortEntry> ListComPorts();

}  // namespace plat
