#include "script/text_script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/commands.h"
#include "link/dispatch.h"
#include "link/frame.h"
#include "link/pacing.h"
#include "link/trace.h"
#include "platform/stop.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/firmware_image.h"

namespace {

constexpr char kRs232Header[] = "#RS232 version";
constexpr char kUsbHidHeader[] = "#USBHID version";
constexpr char kEndMark[] = "END>";
constexpr char kSendKeyword[] = "SEND:";

// Waits of a run, in milliseconds.
constexpr DWORD kHidPauseMs = 450;          // before every attempt on USB HID
constexpr DWORD kBootloaderStartMs = 5000;  // after the reader accepted the first command
constexpr DWORD kHidVersionPauseMs = 300;   // before the bootloader version query on USB HID

// The request's command and sub-command bytes sit here in a frame.
constexpr int kFrameCmdAt = 10;
constexpr int kFrameSubAt = 11;

char AsciiLower(BYTE c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

bool EqualsIgnoringCase(const BYTE* p, const char* psz, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (AsciiLower(p[i]) != AsciiLower(static_cast<BYTE>(psz[i]))) return false;
  return true;
}

bool StartsWith(const BYTE* pData, std::size_t nLen, std::size_t p, const char* psz, std::size_t n) {
  return nLen - p >= n && std::memcmp(pData + p, psz, n) == 0;
}

bool EndsCommand(const BYTE* pData, std::size_t nLen, std::size_t p) {
  return StartsWith(pData, nLen, p, "SLEEP", 5) || StartsWith(pData, nLen, p, "WAIT", 4);
}

// The byte strtoul makes of every two-character text in base 16 (its low 8
// bits), the pair (a, b) at a * 256 + b; b = 0 is an odd last character
// standing alone. Made from strtoul itself on first use, so the reading is
// strtoul's to the letter (signs, a leading blank, a lone "0x") without a
// library call per byte, which took most of the time of a large script.
const BYTE* PairValues() {
  static const std::unique_ptr<BYTE[]> pTable = [] {
    std::unique_ptr<BYTE[]> p(new BYTE[256 * 256]);
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b < 256; ++b) {
        const char szPair[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
        p[a * 256 + b] = static_cast<BYTE>(std::strtoul(szPair, nullptr, 16) & 0xFF);
      }
    }
    return p;
  }();
  return pTable.get();
}

// A window that is being closed has raised the stop: the run ends at once,
// without further exchanges or log lines.
bool Stopping() { return plat::Stop().Requested(); }

// The wrong-script refusal: the box first (it holds the run until the
// operator closes it), then the same text in the log.
void RefuseScript(CTAVDownloadApDlg* pDialog, int nRow) {
  if (IDialogView* pView = pDialog->GetView()) pView->ShowMessageBox(GetStatusText(nRow), "", MsgIcon::None);
  pDialog->AppendLog(GetStatusText(nRow));
}

// Checks the form of every command before the first one goes out, so that a
// script that cannot be carried out to its end leaves the reader untouched.
// The collection of a command's text has no end of its own other than
// "SLEEP" or "WAIT": a command whose text runs into the end of the file
// would go out with the file's last characters ("END>") read as hex, and one
// longer than the text buffer would go out cut short. Neither is sent; the
// run is refused with a line that names the command. A script without any
// command is refused too: it would report a finished update of a reader that
// was never addressed.
bool CheckScriptForm(CTAVDownloadApDlg* pDialog, const BYTE* pData, std::size_t nLen) {
  std::size_t nPos = 0, nEnd = 0;
  int nText = 0, nCommands = 0;
  char szLine[128];
  for (;;) {
    const ScriptScan scan = ScanScriptCommand(pData, nLen, &nPos, nullptr, &nText, &nEnd);
    if (scan == ScriptScan::kNone) break;
    ++nCommands;
    if (scan == ScriptScan::kUnended) {
      std::snprintf(szLine, sizeof szLine, "[Err] Script command %d is not ended by SLEEP or WAIT", nCommands);
      pDialog->AppendLog(szLine);
      return false;
    }
    if (scan == ScriptScan::kTooLong) {
      std::snprintf(szLine, sizeof szLine, "[Err] Script command %d holds more than %d characters", nCommands,
                    kScriptTextCap);
      pDialog->AppendLog(szLine);
      return false;
    }
  }
  if (nCommands == 0) {
    pDialog->AppendLog("[Err] Script holds no SEND: command");
    return false;
  }
  return true;
}

}  // namespace

bool IsValidScriptFile(const char* pszPath, const BYTE* pData, int nFileLen, int nKind) {
  if (!pszPath) return false;
  const std::size_t nPathLen = std::strlen(pszPath);
  if (nPathLen < 5) return false;
  const bool bName = EqualsIgnoringCase(reinterpret_cast<const BYTE*>(pszPath) + nPathLen - 4, ".txt", 4);
  if (!pData) return false;
  if (nKind != kScriptKindRs232 && nKind != kScriptKindUsbHid) return false;

  const std::size_t nLen = nFileLen > 0 ? static_cast<std::size_t>(nFileLen) : 0;
  const char* pszHeader = nKind == kScriptKindRs232 ? kRs232Header : kUsbHidHeader;
  const std::size_t nHeader = std::strlen(pszHeader);
  const bool bHeader = nLen >= nHeader && EqualsIgnoringCase(pData, pszHeader, nHeader);

  const std::size_t nTail = nLen >= 2 && pData[nLen - 2] == '\r' && pData[nLen - 1] == '\n' ? 2 : 0;
  const bool bEnd = nLen >= nTail + 4 && EqualsIgnoringCase(pData + nLen - nTail - 4, kEndMark, 4);

  return bName && bHeader && bEnd;
}

bool IsRs232Script(const char* pszPath, const BYTE* pData, int nFileLen) {
  return IsValidScriptFile(pszPath, pData, nFileLen, kScriptKindRs232);
}

bool IsUsbHidScript(const char* pszPath, const BYTE* pData, int nFileLen) {
  return IsValidScriptFile(pszPath, pData, nFileLen, kScriptKindUsbHid);
}

void HexTextToBytes(const char* pszHex, int nHexLen, BYTE* pOut, int* pnOutLen) {
  int nOut = 0;
  if (pszHex && pOut) {
    const BYTE* pPairs = PairValues();
    for (int i = 0; i < kScriptBytesCap && 2 * i < nHexLen; ++i) {
      // An odd last character is read with the end of the text after it.
      const BYTE a = static_cast<BYTE>(pszHex[2 * i]);
      const BYTE b = 2 * i + 1 < nHexLen ? static_cast<BYTE>(pszHex[2 * i + 1]) : 0;
      pOut[i] = pPairs[a * 256 + b];
      nOut = i + 1;
    }
  }
  if (pnOutLen) *pnOutLen = nOut;
}

ScriptScan ScanScriptCommand(const BYTE* pData, std::size_t nLen, std::size_t* pnPos, char* pszText, int* pnTextLen,
                             std::size_t* pnEnd) {
  std::size_t p = *pnPos;
  if (pnTextLen) *pnTextLen = 0;
  // The keyword is case-sensitive and may stand anywhere, comments included.
  for (;;) {
    if (p >= nLen || nLen - p < 5) {
      *pnPos = nLen;
      return ScriptScan::kNone;
    }
    const void* pS = std::memchr(pData + p, 'S', nLen - p - 4);
    if (!pS) {
      *pnPos = nLen;
      return ScriptScan::kNone;
    }
    p = static_cast<std::size_t>(static_cast<const BYTE*>(pS) - pData);
    if (std::memcmp(pData + p, kSendKeyword, 5) == 0) break;
    ++p;
  }
  p += 5;
  const std::size_t nStart = p;
  int nText = 0;
  for (;;) {
    if (p >= nLen) {
      *pnEnd = nStart;
      *pnPos = nLen;
      return ScriptScan::kUnended;
    }
    const BYTE c = pData[p];
    // Only an 'S' or a 'W' can begin the keyword that ends the text.
    if ((c == 'S' || c == 'W') && EndsCommand(pData, nLen, p)) break;
    // Line breaks and blanks may stand anywhere in a command; a tab stays.
    if (c != '\r' && c != '\n' && c != ' ') {
      if (nText == kScriptTextCap) {
        *pnEnd = nStart;
        *pnPos = nLen;
        return ScriptScan::kTooLong;
      }
      if (pszText) pszText[nText] = static_cast<char>(c);
      ++nText;
    }
    ++p;
  }
  if (pnTextLen) *pnTextLen = nText;
  *pnEnd = p;
  *pnPos = p + 1;
  return ScriptScan::kCommand;
}

bool LogBLVersion(CTAVDownloadApDlg* pDialog) {
  if (!IsChkLegacy()) return true;
  if (IsUsbHid()) {
    trace::WaitBecause("USB HID pause before the bootloader version");
    PumpWait(kHidVersionPauseMs, FALSE);
  }
  BYTE data[128] = {};
  int nLen = static_cast<int>(sizeof data);
  if (!GetBLVersionAlt(data, &nLen, nullptr)) return false;
  std::string strLine = "BL Version:";
  for (int i = 0; i < nLen && i < static_cast<int>(sizeof data); ++i) strLine += static_cast<char>(data[i]);
  if (pDialog) pDialog->AppendLog(&strLine);
  return true;
}

void LogFailedExchange(CTAVDownloadApDlg* pDialog, const BYTE* pReq, int nReqLen, const BYTE* pResp, int nRespLen) {
  if (!pDialog) return;
  char szLine[160];
  std::snprintf(szLine, sizeof szLine, "%s.Send: Cmd = %02X-%02X ; Recv: Cmd-Sts = %02X-%02X\r\n",
                GetStatusText(STS_SEND_COMMAND_FAIL), pReq ? pReq[kFrameCmdAt] : 0, pReq ? pReq[kFrameSubAt] : 0,
                pResp ? pResp[kFrameCmdAt] : 0, pResp ? pResp[kFrameSubAt] : 0);
  pDialog->AppendLog(szLine);
  LogHexDump(pDialog, pReq, nReqLen > 0 ? static_cast<DWORD>(nReqLen) : 0, "=====[Cmd Block]=====",
             "=====[End of Cmd Block]=====");
  LogHexDump(pDialog, pResp, nRespLen > 0 ? static_cast<DWORD>(nRespLen) : 0, "=====[Recv Block]=====",
             "=====[End of Recv Block]=====");
}

int ScriptFrameOffset(BYTE bTagged) {
  // It decides only which two bytes the pacing looks up, the failure report
  // shows and a check reads; the bytes always go out whole. Bytes written as
  // raw reports on USB HID (a "#USBHID version" script) start with a report
  // tag, so their frame starts at 1; request frames cut into tagged reports
  // by the device, and every frame on RS-232, start at 0. This follows the
  // run's own flag, not the one a previous run left behind, so a C7-15 is
  // always found and paced.
  return IsUsbHid() && bTagged == 0 ? 1 : 0;
}

namespace {

// The commands of a script whose form has been checked.
int SendScriptCommands(CTAVDownloadApDlg* pDialog, const BYTE* pData, std::size_t nLen, BYTE bTagged,
                       BYTE bInBootMode) {
  const int nOffset = ScriptFrameOffset(bTagged);
  // The flag of this run stays set after it, on RS-232 too.
  HidSetTaggedReports(bTagged);

  std::unique_ptr<char[]> pText(new char[kScriptTextCap]);
  // Zeroed: bytes 10 and 11 after the offset are read even for a command
  // shorter than that, and then read as zero.
  std::vector<BYTE> bytes(kScriptBytesCap, 0);
  std::vector<BYTE> answer(kScriptAnswerCap, 0);
  int nDirty = 0;  // bytes of the previous command still in `bytes`

  int nOrdinal = 0;
  int nLastPercent = -1;
  std::size_t nPos = 0;
  for (;;) {
    std::size_t nEnd = 0;
    int nText = 0;
    if (ScanScriptCommand(pData, nLen, &nPos, pText.get(), &nText, &nEnd) != ScriptScan::kCommand) break;
    std::fill(bytes.begin(), bytes.begin() + nDirty, 0);
    std::fill(answer.begin(), answer.end(), 0);
    int nCount = 0;
    HexTextToBytes(pText.get(), nText, bytes.data(), &nCount);
    nDirty = nCount;
    ++nOrdinal;

    for (int nAttempt = 1;; ++nAttempt) {
      if (Stopping()) return SCRIPT_FAILED;
      if (IsUsbHid()) {
        trace::WaitBecause("USB HID pause before a command");
        PumpWait(kHidPauseMs, FALSE);
      }
      WaitBeforeTx(pDialog, bytes.data() + nOffset);
      if (Stopping()) return SCRIPT_FAILED;
      DWORD dwRespLen = kScriptAnswerCap;
      RawTransceive(bytes.data(), static_cast<DWORD>(nCount), answer.data(), &dwRespLen);
      if (Stopping()) return SCRIPT_FAILED;
      if (dwRespLen > kScriptAnswerCap) dwRespLen = kScriptAnswerCap;

      const char* pszError = nullptr;
      const bool bOk = IsRespOk(answer.data(), 0xC7);
      if (dwRespLen == 0) {
        pszError = GetStatusText(STS_SEND_COMMAND_FAIL);
        // Entering the bootloader may have dropped the USB device: find it again.
        if (nOrdinal == 1 && IsUsbHid()) {
          CloseInterface();
          pDialog->OpenSelectedInterface(false);
        }
      } else if (nOrdinal == 1) {
        // Any answer will do: the reader is on its way into the bootloader.
        pDialog->AppendLog(GetStatusText(STS_ENTER_BOOTLOADER_OK));
        pDialog->SetReaderStage(ReaderStage::kInBootloader);
        if (!bInBootMode) {
          trace::WaitBecause("the bootloader starts");
          PumpWait(kBootloaderStartMs, FALSE);
          if (Stopping()) return SCRIPT_FAILED;
          if (IsUsbHid()) {
            CloseInterface();
            pDialog->OpenSelectedInterface(false);
          }
        }
      } else if (nOrdinal == 2) {
        if (bOk) {
          pDialog->AppendLog(GetStatusText(STS_START_BL_UPDATE));
          if (!LogBLVersion(pDialog)) pszError = GetStatusText(STS_GET_BL_VERSION_FAILED);
        } else {
          pszError = GetStatusText(STS_GET_BL_VERSION_FAILED);
        }
      } else if (nOrdinal == 3) {
        if (bOk) {
          pDialog->AppendLog(GetStatusText(STS_ERASE_OK_START_DOWNLOAD));
          pDialog->SetReaderStage(ReaderStage::kInBootloader);
          pDialog->InitProgress(100, 0);
          pDialog->StartElapsedTimer();
        } else {
          pszError = GetStatusText(STS_ERASE_FLASH_FAILED);
        }
      } else if (bOk) {
        // Progress by the command's place in the file; single precision keeps
        // e * 100 from overflowing on large files.
        const int nPercent = static_cast<int>(static_cast<float>(nEnd) * 100.0f / static_cast<float>(nLen));
        if (nPercent > nLastPercent) {
          pDialog->SetProgress(nPercent);
          char szLine[64];
          std::snprintf(szLine, sizeof szLine, GetStatusText(STS_LOADING_PERCENT), nPercent);
          pDialog->AppendLog(szLine);
          nLastPercent = nPercent;
        }
      } else {
        pszError = GetStatusText(STS_SEND_COMMAND_FAIL);
      }

      if (!pszError) break;
      if (Stopping()) return SCRIPT_FAILED;
      if (nAttempt == kScriptAttempts) {
        LogFailedExchange(pDialog, bytes.data() + nOffset, nCount - nOffset, answer.data(),
                          static_cast<int>(dwRespLen));
        pDialog->AppendLog(pszError);
        pDialog->AppendErrorHelp();
        return SCRIPT_FAILED;
      }
      pDialog->AppendLog(GetStatusText(STS_TXRX_RETRYING));
    }
  }
  return SCRIPT_OK;
}

}  // namespace

int RunScriptCommands(CTAVDownloadApDlg* pDialog, const BYTE* pData, int nFileLen, BYTE bTagged, BYTE bInBootMode) {
  if (!pDialog || !pData || nFileLen <= 0) return SCRIPT_FAILED;
  const std::size_t nLen = static_cast<std::size_t>(nFileLen);
  if (!CheckScriptForm(pDialog, pData, nLen)) return SCRIPT_FILE_REFUSED;
  return SendScriptCommands(pDialog, pData, nLen, bTagged, bInBootMode);
}

int LoadTextScript(CTAVDownloadApDlg* pDialog, LoadedScript* pScript) {
  if (!pDialog || !pScript) return SCRIPT_FILE_REFUSED;
  *pScript = LoadedScript();
  int nFileLen = 0;
  char szPath[kFilePathCap + 1] = {};
  std::unique_ptr<BYTE[]> pData = SelectAndReadFile(pDialog, &nFileLen, kScriptFileFilter, szPath, kFilePathCap);
  if (!pData) return SCRIPT_FILE_REFUSED;

  if (IsRs232Script(szPath, pData.get(), nFileLen)) {
    pScript->nKind = kScriptKindRs232;
    // Over USB HID the device cuts each frame into tagged reports itself.
    pScript->bTagged = IsUsbHid() ? 1 : 0;
  } else if (IsUsbHidScript(szPath, pData.get(), nFileLen)) {
    if (IsRs232()) {
      RefuseScript(pDialog, STS_SELECT_RS232_SCRIPT);
      return SCRIPT_FILE_REFUSED;
    }
    // The bytes are whole output reports already, written as they stand.
    pScript->nKind = kScriptKindUsbHid;
    pScript->bTagged = 0;
  } else {
    RefuseScript(pDialog, STS_SELECT_CORRECT_SCRIPT);
    return SCRIPT_FILE_REFUSED;
  }
  // A valid script ends in "END>", so it is never empty.
  if (!CheckScriptForm(pDialog, pData.get(), static_cast<std::size_t>(nFileLen))) return SCRIPT_FILE_REFUSED;

  pScript->pData = std::move(pData);
  pScript->nFileLen = nFileLen;
  return SCRIPT_OK;
}

int RunTextScript(CTAVDownloadApDlg* pDialog, BYTE bInBootMode) {
  if (!pDialog) return SCRIPT_FAILED;
  // The pane shows the emptied log at the next refresh.
  pDialog->m_strLog.clear();

  LoadedScript script;
  if (LoadTextScript(pDialog, &script) != SCRIPT_OK) return SCRIPT_FILE_REFUSED;
  const int nResult = SendScriptCommands(pDialog, script.pData.get(), static_cast<std::size_t>(script.nFileLen),
                                         script.bTagged, bInBootMode);
  if (nResult != SCRIPT_OK) return nResult;
  script.pData.reset();
  pDialog->AppendLog(GetStatusText(STS_DONE_REBOOTING));
  pDialog->SetReaderStage(ReaderStage::kRestarting);
  const std::string strName = pDialog->GetLastFile(true);
  pDialog->AppendLog(&strName);
  return SCRIPT_OK;
}
