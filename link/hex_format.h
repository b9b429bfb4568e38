// The one hex formatter of the tool: bytes as "%02X " each (two upper-case
// digits and a blank), as the operator log's dumps and the frame traces show
// them. 16 bytes make a 48-character line that ends in a blank.
#pragma once
#include <cstddef>
#include <string>

#include "platform/types.h"

std::string FormatHexLine(const BYTE* p, std::size_t n);
