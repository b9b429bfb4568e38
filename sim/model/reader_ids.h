// The USB identity the simulated reader presents: one pair of the known
// reader list, so that the connect step's walk over that list finds it.
#pragma once
#include <cstdint>

#include "app/known_readers.h"

// The default model of the known reader table.
constexpr std::uint16_t kSimReaderVendorId = g_KnownReaders[kReaderSolvo1M].wVid;
constexpr std::uint16_t kSimReaderProductId = g_KnownReaders[kReaderSolvo1M].wPid;
