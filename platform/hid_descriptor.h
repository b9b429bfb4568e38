// Report-descriptor parser: from the bytes a HID device describes itself
// with, the three report byte lengths the transport chooses its report mode
// by, counted the way the Windows HID parser counts them (longest report of
// the kind, in whole bytes, plus one byte for the report-ID position; 0 when
// the device has no report of that kind) and whether numbered reports are in
// use. Only the items that decide sizes matter here; usages are skipped.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/hid.h"

namespace plat {

// Fills *caps and returns true for a well-formed descriptor. Returns false
// (caps zeroed) for a truncated item, a Pop without Push, Push nested deeper
// than the parser keeps, a report ID of 0 or above 255, or unbalanced
// collections. Never reads outside [p, p + n).
bool ParseReportDescriptor(const std::uint8_t* p, std::size_t n, HidCaps* caps);

}  // namespace plat
