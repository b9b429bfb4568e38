// Arbitrary bytes as a PE or ELF image and as a bare VS_VERSIONINFO block:
// the version-resource reader must fail cleanly, never read outside them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/file_version_info.h"
#include "platform/version_resource.h"

namespace {

void QueryBlock(const BYTE* p, std::size_t n) {
  static const char* const kPaths[] = {
      "\\",
      "\\VarFileInfo\\Translation",
      "\\StringFileInfo\\040904B0\\CompanyName",
      "\\StringFileInfo\\040904B0\\Comments",
      "\\StringFileInfo\\040704E4\\ProductVersion",
      "StringFileInfo\\\\040904b0\\originalfilename\\",
  };
  for (const char* path : kPaths) {
    const BYTE* pValue = nullptr;
    DWORD nBytes = 0;
    if (plat::QueryVersionValue(p, n, path, &pValue, &nBytes)) {
      // Touch every byte of the value so that the sanitizer sees any overrun.
      volatile BYTE sum = 0;
      for (DWORD i = 0; i < nBytes; ++i) sum = static_cast<BYTE>(sum + pValue[i]);
      CFileVersionInfo::Translation t;
      CFileVersionInfo::FindTranslation(pValue, nBytes, 0x0407, true, &t);
    }
    std::string text;
    plat::VerQueryString(p, n, path, &text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<BYTE> block;
  if (plat::ExtractVersionResource(data, size, &block)) QueryBlock(block.data(), block.size());
  QueryBlock(data, size);
  return 0;
}
