// HID backend that reaches a simulated reader over a local Unix socket (the
// server end is plat::HidSimServer). The process-wide default uses the path in
// READERTOOL_HID_SIM; MakeHidSimClientBackend names the socket explicitly.
// The simulated reader shows up as one HID interface whose path is the
// socket's path. Messages: docs/HID_SIM_PROTOCOL.md.
#pragma once
#include <memory>
#include <string>

#include "platform/hid.h"

namespace plat {

// The process-wide client: the socket in READERTOOL_HID_SIM at each call.
IHidBackend& HidSimClientBackend();

// A backend bound to one socket path (empty: read READERTOOL_HID_SIM at each call).
std::unique_ptr<IHidBackend> MakeHidSimClientBackend(const std::string& socketPath);

}  // namespace plat
