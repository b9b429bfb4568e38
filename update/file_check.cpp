#include "update/file_check.h"

#include "app/app.h"
#include "link/commands.h"
#include "script/text_script.h"
#include "ui/main_dialog.h"
#include "update/download.h"
#include "update/firmware_image.h"

namespace {

// The log after the file step's first two lines (the opening line and the
// file's name), without its last line end.
std::string AfterFileName(const std::string& strLog) {
  const std::string strOpening = std::string(kOpeningFileText) + "\r\n";
  std::string strRest = strLog;
  if (strRest.rfind(strOpening, 0) == 0) {
    const std::size_t nNameEnd = strRest.find("\r\n", strOpening.size());
    strRest = nNameEnd == std::string::npos ? std::string() : strRest.substr(nNameEnd + 2);
  }
  if (strRest.size() >= 2 && strRest.compare(strRest.size() - 2, 2, "\r\n") == 0) strRest.resize(strRest.size() - 2);
  return strRest;
}

}  // namespace

RunFileKind RunFileKindFor(const char* pszPath) {
  return IsChkLegacy() && HasImageFileName(pszPath) ? RunFileKind::kImage : RunFileKind::kScript;
}

FileCheck CheckRunFile(CTAVDownloadApDlg* pDialog, RunFileKind kind) {
  FileCheck check;
  check.kind = kind;
  if (!pDialog) return check;
  pDialog->m_strLog.clear();

  if (kind == RunFileKind::kScript) {
    LoadedScript script;
    check.bAccepted = LoadTextScript(pDialog, &script) == SCRIPT_OK;
    if (check.bAccepted) {
      check.nScriptKind = script.nKind;
      check.bTagged = script.bTagged;
      check.nFileLen = script.nFileLen;
      check.summary = SummarizeScript(script.pData.get(), script.nFileLen, ScriptFrameOffset(script.bTagged));
    }
  } else {
    LoadedImage image;
    check.bAccepted = LoadDownloadImage(pDialog, &image);
    if (check.bAccepted) {
      check.nFileLen = image.nBodyLen + kImageTrailerSize;
      check.dwChecksum = image.dwChecksum;
      check.summary.nCommands = DownloadRequestCount(image.nBodyLen);
      check.summary.bEntersBootloader = true;
      check.summary.bErases = true;
      check.summary.nBlocks = FlashBlockCount(image.nBodyLen);
      check.summary.nBlockBytes = image.nBodyLen;
      check.summary.bVerifies = true;
      check.summary.bRestarts = true;
    }
  }

  check.strLog = pDialog->m_strLog;
  if (!check.bAccepted) {
    check.strRefusal = AfterFileName(check.strLog);
    return check;
  }
  const ScriptSummary& s = check.summary;
  if (s.bErases && s.nBlocks == 0)
    check.warnings.push_back("the script erases the reader's flash but programs no block: the reader "
                             "would be left in its bootloader without an application");
  if (s.nBlocks > 0 && !s.bVerifies)
    check.warnings.push_back("the script programs blocks but never verifies them: the bootloader is "
                             "not asked to check the new application");
  return check;
}
