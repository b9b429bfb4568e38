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
extern const KnownReader g_KnownReaders[kKnownReaderCount];

// Positions (0-based) of the models that the USB help text names.
constexpr std::size_t kReaderSolvo512Legacy = 0;  // pair 1
constexpr std::size_t kReaderSolvo1M = 1;         // pair 2, the default model
constexpr std::size_t kReaderPeloraIII1M = 2;     // pair 3
constexpr std::size_t kReaderPelora15_1M = 4;     // pair 5
