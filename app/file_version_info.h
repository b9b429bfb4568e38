// The version information of an executable file, by default the program's
// own: the fixed file information and the standard named strings of the one
// translation that best suits the user's language.
#pragma once
#include <string>

#include "platform/types.h"
#include "platform/version_resource.h"

class CFileVersionInfo {
 public:
  // One entry of "\VarFileInfo\Translation".
  struct Translation {
    WORD wLanguage;
    WORD wCodePage;
  };

  CFileVersionInfo();
  virtual ~CFileVersionInfo();

  // The file of the module (null: the running executable).
  bool Create(plat::ModuleHandle hModule = nullptr);
  bool Create(const char* pszFileName);
  // Back to the state of a new object: fixed information zero, texts empty.
  virtual void Reset();

  // 0: low half of the least significant 32 bits of the file version, 1: its
  // high half, 2 and 3: the same of the most significant 32 bits; so for
  // a.b.c.d indices 3, 2, 1, 0 give a, b, c, d. Any other index: 0.
  WORD GetFileVersion(int nIndex) const;

  const plat::VS_FIXEDFILEINFO& GetFixedFileInfo() const { return m_FileInfo; }
  const std::string& GetCompanyName() const { return m_strCompanyName; }
  const std::string& GetFileDescription() const { return m_strFileDescription; }
  const std::string& GetFileVersionText() const { return m_strFileVersion; }
  const std::string& GetInternalName() const { return m_strInternalName; }
  const std::string& GetLegalCopyright() const { return m_strLegalCopyright; }
  const std::string& GetOriginalFileName() const { return m_strOriginalFileName; }
  const std::string& GetProductName() const { return m_strProductName; }
  const std::string& GetProductVersion() const { return m_strProductVersion; }
  const std::string& GetComments() const { return m_strComments; }
  const std::string& GetLegalTrademarks() const { return m_strLegalTrademarks; }
  const std::string& GetPrivateBuild() const { return m_strPrivateBuild; }
  const std::string& GetSpecialBuild() const { return m_strSpecialBuild; }

  // Searches nBytes of translation entries for wLang: first an exact match,
  // then, with bPrimaryEnough, one whose primary language (low 8 bits)
  // agrees. The first match goes to *pFound.
  static bool FindTranslation(const void* pEntries, DWORD nBytes, WORD wLang, bool bPrimaryEnough,
                              Translation* pFound);

 private:
  plat::VS_FIXEDFILEINFO m_FileInfo;
  std::string m_strCompanyName;
  std::string m_strFileDescription;
  std::string m_strFileVersion;
  std::string m_strInternalName;
  std::string m_strLegalCopyright;
  std::string m_strOriginalFileName;
  std::string m_strProductName;
  std::string m_strProductVersion;
  std::string m_strComments;
  std::string m_strLegalTrademarks;
  std::string m_strPrivateBuild;
  std::string m_strSpecialBuild;
};

// The running program's version as its version resource states it
// ("FileVersion", e.g. "1.3.1"): what every program's --version prints.
// Empty when the resource cannot be read.
std::string OwnVersionText();
