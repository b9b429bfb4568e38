// HID backend that reaches simulated readers over local Unix sockets (the
// server end is plat::HidSimServer). The process-wide default uses the path in
// READERTOOL_HID_SIM; MakeHidSimClientBackend names it explicitly. The path
// is one socket, or a folder in which every socket is one simulated reader
// (in the order of their names). A simulated reader shows up as one HID
// interface whose path and location are its socket's path.
// Messages: docs/HID_SIM_PROTOCOL.md.
#pragma once
#include <memory>
#include <string>

#include "platform/hid.h"

namespace plat {

// The process-wide client: the socket or folder in READERTOOL_HID_SIM at each call.
IHidBackend& HidSimClientBackend();

// A backend bound to one socket or folder (empty: read READERTOOL_HID_SIM at each call).
std::unique_ptr<IHidBackend> MakeHidSimClientBackend(const std::string& socketPath);

}  // namespace plat
