// The USB identity the simulated reader presents: one pair of the known
// reader list, so that the connect step's walk over that list finds it.
#pragma once
#include <cstdint>

// Until the tool's known reader table exists these are the values it will
// hold for the default model; the simulated reader takes them from here only.
constexpr std::uint16_t kSimReaderVendorId = 0x2F7E;
constexpr std::uint16_t kSimReaderProductId = 0x0102;
