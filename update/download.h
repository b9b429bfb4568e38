// Run preparation and the bootloader download of a binary image.
//
// PrepareRun decides, before every run, which path the run takes: without
// "/chklegacy" always the text script; with it the reader is asked for its
// version (application first, then the bootloader) and a reader below
// 3.00.001 gets the binary download. DownloadFirmware drives the bootloader
// itself: load the image, enter boot mode and reconnect, bootloader version,
// erase, program the body, verify with the trailer, reset. Each step is one
// command; a failed step ends the procedure with its own line and code.
//
// Both run on the worker thread, on the connection the run start opened.
#pragma once
#include <memory>

#include "platform/types.h"
#include "update/firmware_image.h"

class CTAVDownloadApDlg;

// Results of DownloadFirmware: 0 success, negative the failed step.
enum DownloadResult : int {
  DL_OK = 0,
  DL_LOAD_FILE_FAILED = -1,
  DL_PING_FAILED = -2,
  DL_RECONNECT_FAILED = -3,
  DL_ERASE_FAILED = -4,  // bootloader version query or erase
  DL_PROGRAM_FAILED = -5,
  DL_VERIFY_FAILED = -6,
  DL_RESET_FAILED = -7,
};

// An image as the download's first step leaves it.
struct LoadedImage {
  std::unique_ptr<BYTE[]> pData;  // the whole file followed by one zero byte
  int nBodyLen = 0;               // the programmed body: the file less its trailer
  DWORD dwChecksum = 0;
  BYTE trailer[kImageTrailerSize] = {};
};

// The download's first step: the image chosen and loaded (LoadFirmwareImage),
// and "[Err] Load File Failed" after the refusal when it is not. Sends
// nothing, so an offline check of a file calls it too and refuses exactly
// what a download refuses.
bool LoadDownloadImage(CTAVDownloadApDlg* pDialog, LoadedImage* pImage);

// The requests DownloadFirmware sends to a reader running its application
// when every step is accepted: ping and C7-41, C7-01, C7-02, one C7-03 per
// block of the nBodyLen-byte body, C7-04 and C7-05.
int DownloadRequestCount(int nBodyLen);

// On USB HID, the moment a freshly opened reader needs before its first
// query (a wait that pumps the thread's events); nothing on RS-232. Run
// preparation waits so before it asks for the version, and so does any
// other version query right after the connect step.
void SettleFreshUsbReader();

// Fills *pbNewVersion (nonzero: text-script path) and *pbInBootMode
// (nonzero: the bootloader answered, boot-mode entry is skipped). False when
// no procedure may run: the reader answered none of the version queries.
bool PrepareRun(CTAVDownloadApDlg* pDialog, int* pbNewVersion, BYTE* pbInBootMode);

// The bootloader download; a DownloadResult (DL_LOAD_FILE_FAILED: no image
// chosen, read or accepted). On success the log ends with "100% Done and
// Rebooting" and the image file's name; on failure with the step's line, the
// interface help text, and a reset progress bar. The window's outcome record
// follows the reader into its bootloader and out of it again.
int DownloadFirmware(CTAVDownloadApDlg* pDialog, BYTE bInBootMode);
