// Version resources: the VS_VERSIONINFO structure of a Windows executable,
// found in a PE file's resource tree (type 16) or in the ".rsrc_version"
// section of one of our own ELF executables, where the build puts a block
// generated from the project version (cmake/EmbedVersion.cmake).
//
// Everything here is bounds-checked: a truncated, malformed or hostile file
// makes a lookup fail, never read outside the bytes it was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace plat {

// The fixed part of a version resource, 52 bytes, little-endian in the file.
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;
constexpr WORD kRtVersion = 16;
constexpr char kElfVersionSection[] = ".rsrc_version";

// Random access to the bytes of a file or of a memory image. Read fails
// (and copies nothing) unless [offset, offset + n) lies inside the source.
class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  virtual bool Read(std::uint64_t offset, void* pDest, std::size_t n) const = 0;
};

class MemoryByteSource final : public IByteSource {
 public:
  MemoryByteSource(const void* p, std::size_t n) : m_p(static_cast<const BYTE*>(p)), m_n(p ? n : 0) {}
  std::uint64_t Size() const override { return m_n; }
  bool Read(std::uint64_t offset, void* pDest, std::size_t n) const override;

 private:
  const BYTE* m_p;
  std::size_t m_n;
};

// The VS_VERSIONINFO block of a PE or ELF image (exactly the root node's
// wLength bytes, its key checked to be "VS_VERSION_INFO").
bool ExtractVersionResource(const IByteSource& image, std::vector<BYTE>* pBlock);
bool ExtractVersionResource(const BYTE* pImage, std::size_t nImage, std::vector<BYTE>* pBlock);
// The same from a file on disk, reading only the parts it needs.
bool ReadVersionResource(const char* pszFileName, std::vector<BYTE>* pBlock);

// The platform's version API: on Windows the system's own calls, elsewhere
// the parser above over the file.
// Size of the version block of the file, 0 when it has none or cannot be read.
DWORD VersionInfoSize(const char* pszFileName);
// Copies the block into pData; false when it has none or it does not fit dwLen.
bool ReadVersionInfo(const char* pszFileName, DWORD dwLen, void* pData);

// Looks up a value in a version block of nBlock bytes. pszSubBlock is a path
// of keys separated by backslashes, matched as ASCII without regard to case:
// "\\" is the root (the VS_FIXEDFILEINFO), "\\VarFileInfo\\Translation" the
// translation array, "\\StringFileInfo\\040904B0\\CompanyName" a string.
// *ppValue points into the block; *pnBytes is the value's length in bytes.
bool QueryVersionValue(const void* pBlock, std::size_t nBlock, const char* pszSubBlock, const BYTE** ppValue,
                   DWORD* pnBytes);
// A string value, converted from UTF-16 to narrow (UTF-8) text, up to its NUL.
bool VerQueryString(const void* pBlock, std::size_t nBlock, const char* pszSubBlock, std::string* pText);

// UTF-16LE code units to UTF-8, stopping at a NUL unit or after nBytes bytes;
// unpaired surrogates become U+FFFD.
std::string Utf16LeToNarrow(const BYTE* p, std::size_t nBytes);

// A loaded module: any address inside it (its base, or one of its functions).
using ModuleHandle = const void*;
// Full path of the module's file; null means the running executable. Empty
// when it cannot be found.
std::string ModuleFileName(ModuleHandle hModule);

}  // namespace plat
