#include "update/download.h"

#include <cstring>
#include <memory>
#include <string>

#include "app/app.h"
#include "link/commands.h"
#include "link/dispatch.h"
#include "link/interface_select.h"
#include "link/trace.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/firmware_image.h"

namespace {

// Version answers are read into this much room.
constexpr int kVersionBufSize = 128;
// The USB reader needs a moment between a fresh open and its first query.
constexpr DWORD kUsbSettleMs = 300;
// The bootloader's start-up after C7-41, before the link is opened again.
constexpr DWORD kBootEntryWaitMs = 5000;

// The answer's data as text: up to its first NUL and never past the nLen
// bytes that arrived (a negative length is no data).
std::string DataText(const BYTE* pData, int nLen) {
  if (nLen <= 0) return std::string();
  const void* pNul = std::memchr(pData, 0, static_cast<std::size_t>(nLen));
  const std::size_t n =
      pNul ? static_cast<std::size_t>(static_cast<const BYTE*>(pNul) - pData) : static_cast<std::size_t>(nLen);
  return std::string(reinterpret_cast<const char*>(pData), n);
}

}  // namespace

void SettleFreshUsbReader() {
  if (!IsUsbHid()) return;
  trace::WaitBecause("USB HID settles");
  PumpWait(kUsbSettleMs, FALSE);
}

bool PrepareRun(CTAVDownloadApDlg* pDialog, int* pbNewVersion, BYTE* pbInBootMode) {
  if (!pDialog || !pbNewVersion || !pbInBootMode) return false;
  *pbInBootMode = 1;
  if (!IsChkLegacy()) {
    *pbInBootMode = 0;
    *pbNewVersion = 1;
    return true;
  }
  SettleFreshUsbReader();
  pDialog->StartMarquee();
  pDialog->AppendLog(GetStatusText(STS_BL_VERSION_VERIFYING));

  BYTE data[kVersionBufSize] = {};
  int nLen = kVersionBufSize;
  if (!GetVersionAnyMode(data, &nLen, pbNewVersion, pbInBootMode)) return false;

  const std::string strLine = "BL Version:" + DataText(data, nLen < kVersionBufSize ? nLen : kVersionBufSize);
  pDialog->AppendLog(&strLine);
  return true;
}

bool LoadDownloadImage(CTAVDownloadApDlg* pDialog, LoadedImage* pImage) {
  if (!pDialog || !pImage) return false;
  *pImage = LoadedImage();
  if (LoadFirmwareImage(pDialog, &pImage->pData, &pImage->nBodyLen, &pImage->dwChecksum, pImage->trailer)) return true;
  pDialog->AppendLog("[Err] Load File Failed");
  return false;
}

int DownloadRequestCount(int nBodyLen) {
  // Ping and C7-41, C7-01, C7-02, the blocks, C7-04, C7-05.
  return 6 + FlashBlockCount(nBodyLen);
}

int DownloadFirmware(CTAVDownloadApDlg* pDialog, BYTE bInBootMode) {
  if (!pDialog) return DL_LOAD_FILE_FAILED;

  // The loaded image lives until the end of this call, whatever step ends it.
  LoadedImage image;

  int nResult = DL_OK;
  [&] {
    if (!LoadDownloadImage(pDialog, &image)) {
      nResult = DL_LOAD_FILE_FAILED;
      return;
    }

    if (!bInBootMode) {
      if (!EnterBootMode()) {
        pDialog->AppendLog(GetStatusText(STS_PING_FAILED));
        nResult = DL_PING_FAILED;
        return;
      }
      pDialog->AppendLog(GetStatusText(STS_ENTER_BOOTLOADER_OK));
      pDialog->SetReaderStage(ReaderStage::kInBootloader);
      trace::WaitBecause("the bootloader starts");
      PumpWait(kBootEntryWaitMs, FALSE);
      // The reconnect starts a fresh log with its own report line.
      if (!pDialog->OpenSelectedInterface(false)) {
        pDialog->AppendLog("[Err] Can't Connect to Reader after BootMode Entry");
        nResult = DL_RECONNECT_FAILED;
        return;
      }
      pDialog->AppendLog("Reopen Connection.");
    }

    BYTE blVersion[kVersionBufSize] = {};
    int nBlLen = kVersionBufSize - 1;
    if (!GetBLVersion(blVersion, &nBlLen) || !EraseFlash()) {
      pDialog->AppendLog(GetStatusText(STS_ERASE_FLASH_FAILED));
      nResult = DL_ERASE_FAILED;
      return;
    }
    const std::string strVersion = DataText(blVersion, nBlLen < kVersionBufSize ? nBlLen : kVersionBufSize);
    pDialog->AppendLog(&strVersion);
    pDialog->AppendLog(GetStatusText(STS_ERASE_OK_START_DOWNLOAD));
    pDialog->SetReaderStage(ReaderStage::kInBootloader);

    pDialog->StartElapsedTimer();
    pDialog->InitProgress(100, 0);
    if (!ProgramFlash(image.pData.get(), image.nBodyLen, LogAndProgress)) {
      pDialog->AppendLog(GetStatusText(STS_PROGRAM_FLASH_FAILED));
      nResult = DL_PROGRAM_FAILED;
      return;
    }
    pDialog->AppendLog(GetStatusText(STS_PROGRAM_FLASH_DONE));
    LogHexDump(pDialog, image.trailer, kImageTrailerSize, nullptr, nullptr);

    if (!VerifyFlash(image.trailer)) {
      pDialog->AppendLog(GetStatusText(STS_VERIFY_FLASH_FAILED));
      nResult = DL_VERIFY_FAILED;
      return;
    }
    pDialog->AppendLog(GetStatusText(STS_VERIFY_FLASH_DONE));

    if (!ResetBootloader()) {
      pDialog->AppendLog(GetStatusText(STS_RESET_BOOTLOADER_FAILED));
      nResult = DL_RESET_FAILED;
      return;
    }
    pDialog->AppendLog(GetStatusText(STS_DONE_REBOOTING));
    pDialog->SetReaderStage(ReaderStage::kRestarting);
  }();

  image.pData.reset();
  if (nResult != DL_OK) {
    pDialog->AppendErrorHelp();
    pDialog->ResetProgress();
  } else {
    const std::string strName = pDialog->GetLastFile(true);
    pDialog->AppendLog(&strName);
  }
  return nResult;
}
