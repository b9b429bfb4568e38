// The USB identities under which our readers appear: one vendor ID and 13
// product IDs, in the order in which the connect step tries them. The known
// reader list (CRdrDevDB), the USB help text of the operator log and the
// simulated reader all take their values from this one table.
#pragma once
#include <cstddef>

#include "platform/types.h"

// Vendor ID of every known reader (see README, "Known readers").
constexpr WORD kReaderVendorId = 0xF3A5;

struct KnownReader {
  WORD wVid;
  WORD wPid;
  // The model as the USB help text names it; null for the readers it does
  // not name.
  const char* pszModel;
};

constexpr std::size_t kKnownReaderCount = 13;

// Order matters: the connect step opens the first of these that is present.
inline constexpr KnownReader g_KnownReaders[kKnownReaderCount] = {
    {kReaderVendorId, 0x0A01, "Solvo, 512 kb, Legacy Version"},
    {kReaderVendorId, 0x0A02, "Solvo , 1M"},
    {kReaderVendorId, 0x0A03, "Pelora III , 1M"},
    {kReaderVendorId, 0x0A04, nullptr},
    {kReaderVendorId, 0x0A05, "Pelora 1.5, 1M"},
    {kReaderVendorId, 0x0A06, nullptr},
    {kReaderVendorId, 0x0A07, nullptr},
    {kReaderVendorId, 0x0A08, nullptr},
    {kReaderVendorId, 0x0A09, nullptr},
    {kReaderVendorId, 0x0A0A, nullptr},
    {kReaderVendorId, 0x0A0B, nullptr},
    {kReaderVendorId, 0x0A0C, nullptr},
    {kReaderVendorId, 0x0A0D, nullptr},
};

// Positions (0-based) of the models that the USB help text names.
constexpr std::size_t kReaderSolvo512Legacy = 0;  // pair 1
constexpr std::size_t kReaderSolvo1M = 1;         // pair 2, the default model
constexpr std::size_t kReaderPeloraIII1M = 2;     // pair 3
constexpr std::size_t kReaderPelora15_1M = 4;     // pair 5
