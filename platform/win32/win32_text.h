// The one boundary between the tool's UTF-8 text and the UTF-16 of the
// wide-character Win32 calls, and the system's words for an error code.
#pragma once
#include <windows.h>

#include <string>

namespace plat::win32 {

// UTF-8 to UTF-16 for a W call; invalid sequences become U+FFFD.
std::wstring Widen(const std::string& text);
// UTF-16 from a W call to UTF-8; nChars < 0 means up to the NUL.
std::string Narrow(const wchar_t* psz, int nChars = -1);
// FormatMessageW's text for a system error code, without the trailing line
// break; "error N" when the system has no text for it.
std::string SystemMessage(DWORD dwCode);

}  // namespace plat::win32
