#include "ui/win32/wide_text.h"

#include <windows.h>

std::wstring WideFromUtf8(std::string_view strText) {
  if (strText.empty()) return {};
  const int nIn = static_cast<int>(strText.size());
  const int nOut = MultiByteToWideChar(CP_UTF8, 0, strText.data(), nIn, nullptr, 0);
  if (nOut <= 0) return {};
  std::wstring strWide(static_cast<std::size_t>(nOut), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, strText.data(), nIn, strWide.data(), nOut);
  return strWide;
}

std::string Utf8FromWide(std::wstring_view strText) {
  if (strText.empty()) return {};
  const int nIn = static_cast<int>(strText.size());
  const int nOut = WideCharToMultiByte(CP_UTF8, 0, strText.data(), nIn, nullptr, 0, nullptr, nullptr);
  if (nOut <= 0) return {};
  std::string strUtf8(static_cast<std::size_t>(nOut), '\0');
  WideCharToMultiByte(CP_UTF8, 0, strText.data(), nIn, strUtf8.data(), nOut, nullptr, nullptr);
  return strUtf8;
}
