// The hidraw backend with its two roots named: the sysfs class folder it
// lists interfaces from and the folder their nodes are in. The process-wide
// plat::HidrawBackend() uses /sys/class/hidraw and /dev; tests point it at
// folders of their own.
#pragma once
#include <memory>
#include <string>

#include "platform/hid.h"

namespace plat {

// The process-wide hidraw backend.
IHidBackend& HidrawBackend();

std::unique_ptr<IHidBackend> MakeHidrawBackend(const std::string& sysClassDir, const std::string& devDir);

}  // namespace plat
