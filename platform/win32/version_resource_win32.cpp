// Windows side of the version-resource layer: the system's version API
// (GetFileVersionInfoSizeW, GetFileVersionInfoW) reads the resource that the
// build compiled into the program, and modules are the loader's. The
// portable parser still reads files directly for ReadVersionResource, so
// the same parser checks run on both systems.
#include <windows.h>

#include <cstdint>

#include "platform/version_resource.h"
#include "platform/win32/win32_text.h"

namespace plat {
namespace {

class FileByteSource final : public IByteSource {
 public:
  explicit FileByteSource(const char* pszFileName) {
    m_h = CreateFileW(win32::Widen(pszFileName).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (m_h != INVALID_HANDLE_VALUE && GetFileType(m_h) == FILE_TYPE_DISK && GetFileSizeEx(m_h, &size)) {
      m_size = static_cast<std::uint64_t>(size.QuadPart);
    } else if (m_h != INVALID_HANDLE_VALUE) {
      CloseHandle(m_h);
      m_h = INVALID_HANDLE_VALUE;
    }
  }
  ~FileByteSource() override {
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
  }
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
  std::uint64_t Size() const override { return m_size; }
  bool Read(std::uint64_t offset, void* pDest, std::size_t n) const override {
    if (m_h == INVALID_HANDLE_VALUE || offset > m_size || n > m_size - offset) return false;
    auto* p = static_cast<BYTE*>(pDest);
    while (n > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD dwAsk = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
      DWORD got = 0;
      if (!ReadFile(m_h, p, dwAsk, &got, &at) || got == 0) return false;  // the file shrank under us
      p += got;
      n -= got;
      offset += got;
    }
    return true;
  }

 private:
  HANDLE m_h = INVALID_HANDLE_VALUE;
  std::uint64_t m_size = 0;
};

}  // namespace

bool ReadVersionResource(const char* pszFileName, std::vector<BYTE>* pBlock) {
  if (!pszFileName || !*pszFileName) return false;
  FileByteSource file(pszFileName);
  return file.IsOpen() && ExtractVersionResource(file, pBlock);
}

DWORD VersionInfoSize(const char* pszFileName) {
  if (!pszFileName || !*pszFileName) return 0;
  DWORD dwHandle = 0;
  return GetFileVersionInfoSizeW(win32::Widen(pszFileName).c_str(), &dwHandle);
}

bool ReadVersionInfo(const char* pszFileName, DWORD dwLen, void* pData) {
  if (!pszFileName || !*pszFileName || !pData) return false;
  return GetFileVersionInfoW(win32::Widen(pszFileName).c_str(), 0, dwLen, pData) != FALSE;
}

std::string ModuleFileName(ModuleHandle hModule) {
  HMODULE hMod = nullptr;
  if (hModule &&
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(hModule), &hMod))
    return std::string();
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(hMod, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) return win32::Narrow(path.c_str(), static_cast<int>(n));
    if (path.size() >= 32768) return std::string();  // the longest path Windows has
    path.resize(path.size() * 2);
  }
}

}  // namespace plat
