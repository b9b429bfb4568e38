#include "update/firmware_image.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Reads a whole regular file into S + 1 zeroed bytes. Only regular files are
// opened: opening a FIFO would wait for a writer, and a directory or a device
// has no size to read. The size is checked before anything is allocated.
std::unique_ptr<BYTE[]> ReadWholeRegularFile(const std::string& strPath, int* pnLen) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(strPath, ec);
  if (ec || !std::filesystem::is_regular_file(st)) return nullptr;
  const std::uintmax_t nSize = std::filesystem::file_size(strPath, ec);
  if (ec || nSize > static_cast<std::uintmax_t>(kMaxReadFileSize)) return nullptr;

  std::FILE* f = std::fopen(strPath.c_str(), "rb");
  if (!f) return nullptr;
  const std::size_t n = static_cast<std::size_t>(nSize);
  std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[n + 1]());
  // A file that shrank since its size was taken is not read as a shorter one.
  const bool bRead = data && std::fread(data.get(), 1, n, f) == n;
  std::fclose(f);
  if (!bRead) return nullptr;
  *pnLen = static_cast<int>(n);
  return data;
}

}  // namespace

std::unique_ptr<BYTE[]> SelectAndReadFile(CTAVDownloadApDlg* pDialog, int* pnFileLen, const char* pszFilter,
                                          char* pszPath, int nPathCap) {
  if (pnFileLen) *pnFileLen = 0;
  if (!pDialog) return nullptr;

  std::string strPath;
  IDialogView* pView = pDialog->GetView();
  if (!pView || !pView->ChooseFile(pszFilter ? pszFilter : "", &strPath)) {
    pDialog->AppendLog(GetStatusText(STS_OPEN_FILE_FAIL));
    return nullptr;
  }
  pDialog->m_strLastFile = strPath;

  // The copy may be cut short; the file is opened by its full path.
  if (pszPath && nPathCap >= 0) {
    const std::size_t nCopy = strPath.size() < static_cast<std::size_t>(nPathCap) ? strPath.size() : nPathCap;
    std::memcpy(pszPath, strPath.data(), nCopy);
    pszPath[nCopy] = '\0';
  }

  pDialog->AppendLog(kOpeningFileText);
  pDialog->AppendLog(GetFileNamePart(pszPath));

  int nLen = 0;
  std::unique_ptr<BYTE[]> data = ReadWholeRegularFile(strPath, &nLen);
  if (!data) {
    pDialog->AppendLog(GetStatusText(STS_READ_FILE_FAIL));
    return nullptr;
  }
  if (pnFileLen) *pnFileLen = nLen;
  return data;
}

const char* GetFileNamePart(const char* pszPath) {
  if (!pszPath) return nullptr;
  const char* pszDot = std::strrchr(pszPath, '.');
  if (!pszDot) return nullptr;
  for (const char* p = pszDot; p > pszPath;) {
    --p;
    if (IsPathSeparator(*p)) return p + 1;
  }
  return pszPath;
}

std::string CTAVDownloadApDlg::GetLastFile(bool bNameOnly) {
  if (!bNameOnly) return m_strLastFile;
  const std::size_t nSep = m_strLastFile.find_last_of("\\/");
  return nSep == std::string::npos ? m_strLastFile : m_strLastFile.substr(nSep + 1);
}

bool HasImageFileName(const char* pszPath) {
  if (!pszPath) return false;
  const std::size_t n = std::strlen(pszPath);
  if (n < 5) return false;
  static const char kExt[] = ".bin";
  for (std::size_t i = 0; i < 4; ++i) {
    if (std::tolower(static_cast<unsigned char>(pszPath[n - 4 + i])) != kExt[i]) return false;
  }
  return true;
}

bool IsValidImageFile(const char* pszPath, const BYTE* pData, int nFileLen) {
  if (!HasImageFileName(pszPath)) return false;
  if (!pData) return false;
  // One unsigned comparison covers both ends of the window.
  return static_cast<unsigned>(nFileLen) - static_cast<unsigned>(kImageMinSize) <=
         static_cast<unsigned>(kImageMaxSize - kImageMinSize);
}

DWORD ImageChecksum(const BYTE* pData, std::size_t nLen) {
  DWORD dwSum = 0;
  for (std::size_t i = 0; i < nLen; ++i) dwSum += pData[i];
  return dwSum;
}

bool LoadFirmwareImage(CTAVDownloadApDlg* pDialog, std::unique_ptr<BYTE[]>* ppData, int* pnLen, DWORD* pdwChecksum,
                       BYTE* pTrailer) {
  if (ppData) ppData->reset();
  if (!pDialog || !pTrailer || !ppData || !pnLen || !pdwChecksum) return false;

  char szPath[kFilePathCap + 1] = {};
  int nFileLen = 0;
  std::unique_ptr<BYTE[]> data = SelectAndReadFile(pDialog, &nFileLen, kImageFileFilter, szPath, kFilePathCap);
  if (!data) return false;

  if (!IsValidImageFile(szPath, data.get(), nFileLen)) {
    char szSize[96];
    std::snprintf(szSize, sizeof szSize, "Selected Image Size = %luK (%lu bytes)",
                  static_cast<unsigned long>(nFileLen) / 1024, static_cast<unsigned long>(nFileLen));
    // The box holds the download until the operator closes it.
    if (IDialogView* pView = pDialog->GetView())
      pView->ShowMessageBox(GetStatusText(STS_WRONG_IMAGE_FILE), "", MsgIcon::None);
    pDialog->AppendLog(GetStatusText(STS_WRONG_IMAGE_FILE));
    pDialog->AppendLog(szSize);
    return false;
  }

  const std::size_t nSize = static_cast<std::size_t>(nFileLen);
  *pdwChecksum = ImageChecksum(data.get(), nSize);
  char szLine[96];
  std::snprintf(szLine, sizeof szLine, "File Len = %08X, Check sum [Total File] : %08X",
                static_cast<unsigned>(nFileLen), static_cast<unsigned>(*pdwChecksum));
  pDialog->AppendLog(szLine);

  if (nFileLen % kImageSizeQuantum == 0) return false;

  std::memcpy(pTrailer, data.get() + nSize - kImageTrailerSize, kImageTrailerSize);
  *pnLen = nFileLen - kImageTrailerSize;
  *ppData = std::move(data);
  return true;
}
