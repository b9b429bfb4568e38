// The system's HID backend on Linux: hidraw, unless READERTOOL_HID_SIM names
// the socket of a simulated reader.
#include <cstdlib>

#include "platform/hid.h"
#include "platform/linux/hidraw.h"
#include "platform/posix/hid_sim_client.h"

namespace plat {

IHidBackend& SystemHidBackend() {
  // Read at every call so that a front end can point the tool at a simulated
  // reader just by setting the variable before it connects.
  const char* sim = std::getenv("READERTOOL_HID_SIM");
  if (sim && *sim) return HidSimClientBackend();
  return HidrawBackend();
}

}  // namespace plat
