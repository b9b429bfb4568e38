#include "platform/win32/win32_text.h"

namespace plat::win32 {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* psz, int nChars) {
  if (!psz) return {};
  if (nChars < 0) nChars = static_cast<int>(wcslen(psz));
  if (nChars == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, psz, nChars, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, psz, nChars, out.data(), n, nullptr, nullptr);
  return out;
}

std::string SystemMessage(DWORD dwCode) {
  wchar_t* pBuf = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, dwCode, 0, reinterpret_cast<wchar_t*>(&pBuf), 0, nullptr);
  std::string text = n ? Narrow(pBuf, static_cast<int>(n)) : std::string();
  if (pBuf) LocalFree(pBuf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(dwCode) : text;
}

}  // namespace plat::win32
