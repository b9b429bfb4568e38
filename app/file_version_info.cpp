#include "app/file_version_info.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "platform/locale.h"

namespace {

WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }
DWORD Le32(const BYTE* p) { return DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24; }

constexpr WORD kLangNeutral = 0;
constexpr WORD kLangEnglish = 9;

}  // namespace

CFileVersionInfo::CFileVersionInfo() { Reset(); }

CFileVersionInfo::~CFileVersionInfo() = default;

void CFileVersionInfo::Reset() {
  std::memset(&m_FileInfo, 0, sizeof m_FileInfo);
  for (std::string* s : {&m_strCompanyName, &m_strFileDescription, &m_strFileVersion, &m_strInternalName,
                         &m_strLegalCopyright, &m_strOriginalFileName, &m_strProductName, &m_strProductVersion,
                         &m_strComments, &m_strLegalTrademarks, &m_strPrivateBuild, &m_strSpecialBuild})
    s->clear();
}

bool CFileVersionInfo::Create(plat::ModuleHandle hModule) {
  const std::string path = plat::ModuleFileName(hModule);
  if (path.empty()) {
    Reset();
    return false;
  }
  return Create(path.c_str());
}

bool CFileVersionInfo::Create(const char* pszFileName) {
  Reset();
  const DWORD dwSize = plat::VersionInfoSize(pszFileName);
  if (dwSize == 0) return false;
  std::unique_ptr<BYTE[]> pBuffer(new (std::nothrow) BYTE[dwSize]);
  if (!pBuffer) return false;
  if (!plat::ReadVersionInfo(pszFileName, dwSize, pBuffer.get())) return false;
  const BYTE* pBlock = pBuffer.get();

  const BYTE* pValue = nullptr;
  DWORD nBytes = 0;
  if (plat::QueryVersionValue(pBlock, dwSize, "\\", &pValue, &nBytes) && nBytes == sizeof(plat::VS_FIXEDFILEINFO)) {
    DWORD* pFields = &m_FileInfo.dwSignature;
    for (std::size_t i = 0; i < sizeof(plat::VS_FIXEDFILEINFO) / 4; ++i) pFields[i] = Le32(pValue + 4 * i);
  }

  const BYTE* pEntries = nullptr;
  DWORD nEntryBytes = 0;
  if (!plat::QueryVersionValue(pBlock, dwSize, "\\VarFileInfo\\Translation", &pEntries, &nEntryBytes)) return true;
  if (nEntryBytes < 4) return true;  // an array without a single entry names no string table

  const WORD wUserLang = plat::UserDefaultLangId();
  Translation chosen{};
  if (!FindTranslation(pEntries, nEntryBytes, wUserLang, false, &chosen) &&
      !FindTranslation(pEntries, nEntryBytes, wUserLang, true, &chosen) &&
      !FindTranslation(pEntries, nEntryBytes, kLangNeutral, true, &chosen) &&
      !FindTranslation(pEntries, nEntryBytes, kLangEnglish, true, &chosen)) {
    chosen.wLanguage = Le16(pEntries);
    chosen.wCodePage = Le16(pEntries + 2);
  }

  char szPrefix[32];
  std::snprintf(szPrefix, sizeof szPrefix, "\\StringFileInfo\\%04X%04X\\", chosen.wLanguage, chosen.wCodePage);
  const struct {
    const char* pszKey;
    std::string* pstr;
  } kKeys[] = {
      {"CompanyName", &m_strCompanyName},         {"FileDescription", &m_strFileDescription},
      {"FileVersion", &m_strFileVersion},         {"InternalName", &m_strInternalName},
      {"LegalCopyright", &m_strLegalCopyright},   {"OriginalFileName", &m_strOriginalFileName},
      {"ProductName", &m_strProductName},         {"ProductVersion", &m_strProductVersion},
      {"Comments", &m_strComments},               {"LegalTrademarks", &m_strLegalTrademarks},
      {"PrivateBuild", &m_strPrivateBuild},       {"SpecialBuild", &m_strSpecialBuild},
  };
  for (const auto& k : kKeys) {
    std::string strText;
    if (plat::VerQueryString(pBlock, dwSize, (std::string(szPrefix) + k.pszKey).c_str(), &strText))
      *k.pstr = std::move(strText);
  }
  return true;
}

WORD CFileVersionInfo::GetFileVersion(int nIndex) const {
  switch (nIndex) {
    case 0: return static_cast<WORD>(m_FileInfo.dwFileVersionLS & 0xFFFF);
    case 1: return static_cast<WORD>(m_FileInfo.dwFileVersionLS >> 16);
    case 2: return static_cast<WORD>(m_FileInfo.dwFileVersionMS & 0xFFFF);
    case 3: return static_cast<WORD>(m_FileInfo.dwFileVersionMS >> 16);
    default: return 0;
  }
}

bool CFileVersionInfo::FindTranslation(const void* pEntries, DWORD nBytes, WORD wLang, bool bPrimaryEnough,
                                       Translation* pFound) {
  if (!pEntries || !pFound) return false;
  const BYTE* p = static_cast<const BYTE*>(pEntries);
  const DWORD nCount = nBytes / 4;
  for (DWORD i = 0; i < nCount; ++i) {
    if (Le16(p + 4 * i) == wLang) {
      *pFound = {Le16(p + 4 * i), Le16(p + 4 * i + 2)};
      return true;
    }
  }
  if (!bPrimaryEnough) return false;
  for (DWORD i = 0; i < nCount; ++i) {
    if ((Le16(p + 4 * i) & 0xFF) == (wLang & 0xFF)) {
      *pFound = {Le16(p + 4 * i), Le16(p + 4 * i + 2)};
      return true;
    }
  }
  return false;
}

std::string OwnVersionText() {
  CFileVersionInfo info;
  return info.Create() ? info.GetFileVersionText() : std::string();
}
