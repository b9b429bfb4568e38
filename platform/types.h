// Fixed-width names used across the tool. The reader protocol and the
// procedures talk in bytes, 32-bit counts and int-sized booleans. On Windows
// the names are the very types <windows.h> declares, so that a file may
// include both; elsewhere DWORD is a plain 32-bit count.
#pragma once
#include <cstddef>
#include <cstdint>

using BYTE = unsigned char;
using WORD = unsigned short;
#ifdef _WIN32
using DWORD = unsigned long;
#else
using DWORD = std::uint32_t;
#endif
using BOOL = int;
static_assert(sizeof(DWORD) == 4 && sizeof(WORD) == 2, "DWORD and WORD are 32 and 16 bits");

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
