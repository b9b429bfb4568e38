// The hidraw backend with its two roots named: the sysfs class folder it
// lists interfaces from and the folder their nodes are in. The process-wide
// plat::HidrawBackend() uses /sys/class/hidraw and /dev; tests point it at
// folders of their own.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/hid.h"

namespace plat {

// The vendor and product of a hidraw node's device/uevent text, from its line
// "HID_ID=bus:vendor:product" (hexadecimal, as "HID_ID=0003:0000046D:0000C52B").
// False when there is no such line or a field is malformed or out of range.
bool ParseHidId(const std::string& uevent, std::uint16_t* vid, std::uint16_t* pid);

// The process-wide hidraw backend.
IHidBackend& HidrawBackend();

std::unique_ptr<IHidBackend> MakeHidrawBackend(const std::string& sysClassDir, const std::string& devDir);

}  // namespace plat
