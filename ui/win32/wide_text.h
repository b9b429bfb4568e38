// UTF-8 inside the program, UTF-16 at each Win32 call: the conversions at
// that one boundary. Invalid sequences become U+FFFD.
#pragma once
#include <string>
#include <string_view>

std::wstring WideFromUtf8(std::string_view strText);
std::string Utf8FromWide(std::wstring_view strText);
