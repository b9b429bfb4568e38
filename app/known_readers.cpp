#include "app/known_readers.h"

// Order matters: the connect step opens the first of these that is present.
const KnownReader g_KnownReaders[kKnownReaderCount] = {
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
