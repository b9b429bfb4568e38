// How the simulated bootloader checks a download: the image's 256-byte
// trailer describes the body that precedes it.
//
//   trailer bytes 0-3   body length in bytes, big-endian
//   trailer bytes 4-5   CRC-16/CCITT-FALSE of the body (CalcCrc16), big-endian
//   trailer bytes 6-255 padding, 0xFF when generated; not examined
//
// C7-04 carries 00 03 FF F0 and the trailer; the reader accepts it only when
// the body it programmed has that length and that CRC.
#pragma once
#include <cstddef>
#include <vector>

#include "platform/types.h"

constexpr std::size_t kSimTrailerSize = 256;

std::vector<BYTE> MakeSimTrailer(const BYTE* body, std::size_t n);
bool SimTrailerMatches(const BYTE* trailer, const BYTE* body, std::size_t n);
