// The serial ports of a Linux machine, by COM number, found without opening
// any of them: an entry of the COM folder (READERTOOL_COM_DIR) is listed as
// it stands when what it names exists (a pseudo-terminal, say); a device of
// the fixed ranges (ttyS, ttyUSB, ttyACM) when its node exists and sysfs
// shows a port behind it.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/com_port.h"
#include "platform/linux/tty_sysfs.h"
#include "platform/posix/com_map.h"

namespace plat {
namespace {

constexpr const char kDevPrefix[] = "/dev/";

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;  // follows links: a dangling entry is no port
}

}  // namespace

bool TtyHasPort(const std::string& strSysClassTty, const std::string& strName) {
  if (strName.empty() || strName.find('/') != std::string::npos) return false;
  const std::string dir = strSysClassTty + "/" + strName;
  // Virtual terminals and pseudo-terminals have no device; real ports do.
  if (!Exists(dir + "/device")) return false;
  if (strName.rfind("ttyS", 0) != 0) return true;
  std::ifstream typeFile(dir + "/type");
  int nType = 0;
  return static_cast<bool>(typeFile >> nType) && nType != 0;
}

std::vector<ComPortEntry> ListSystemComPorts() {
  std::vector<ComPortEntry> ports;
  for (int n = kMinComPort; n <= kMaxComPort; ++n) {
    const std::string entry = ComDirEntry(n);
    if (!entry.empty()) {
      if (Exists(entry)) ports.push_back({n, entry});
      continue;
    }
    const std::string path = ComPortPath(n);
    if (path.rfind(kDevPrefix, 0) != 0) continue;
    if (Exists(path) && TtyHasPort(kSysClassTty, path.substr(sizeof kDevPrefix - 1))) ports.push_back({n, path});
  }
  return ports;
}

}  // namespace plat
