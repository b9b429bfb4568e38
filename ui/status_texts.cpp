#include "ui/status_texts.h"

#include <cstdio>
#include <string>

#include "app/known_readers.h"

const char g_pszNoMsg[] = "No Msg";

namespace {

std::string IdPair(WORD wVid, WORD wPid) {
  char sz[32];
  std::snprintf(sz, sizeof sz, "0x%04X, 0x%04X", wVid, wPid);
  return sz;
}

std::string ModelLine(std::size_t nIndex) {
  const KnownReader& r = g_KnownReaders[nIndex];
  return "(" + IdPair(r.wVid, r.wPid) + ") - " + r.pszModel;
}

// Row 16 quotes the known reader table, so it is built from it.
std::string BuildUsbHelpText() {
  const KnownReader& def = g_KnownReaders[kReaderSolvo1M];
  return "==============[Error Help]==============\r\n"
         "1.Make Sure Reader Power ON\r\n"
         "2.Make Sure USB Cable between Reader & PC(Host) are CONNECTED Correctly\r\n"
         "3.Please make sure One of USB HID Compatible Device\r\n"
         "(VID,PID) = (" + IdPair(def.wVid, def.wPid) + ")\r\n" +
         ModelLine(kReaderSolvo512Legacy) + "\r\n" +
         ModelLine(kReaderSolvo1M) + "\r\n" +
         ModelLine(kReaderPeloraIII1M) + "\r\n" +
         ModelLine(kReaderPelora15_1M) + "\r\n"
         "presents @ device manager list";
}

const char* const kStatusTexts[kStatusTextCount] = {
    "[Err] Ping Failed",
    "[Err] Tx/Rx Error But Retrying....",
    "[Err] Get BL Version Failed",
    "[Err] Erase Flash Failed",
    "[Err] Program Flash Failed",
    "Program Flash Done.",
    "[Err] Verify Flash Failed",
    "Verifying Flash Done.",
    "[Err] Reset Bootloader Failed",
    "[Err] Reset to Default (04-F0) Failed",
    "[Err] Reset to Default (04-0A) Failed",
    "[Err] Open file fail.",
    "[Err] Read file fail.",
    "Open RS232 interface",
    "Open USB interface",
    "==============[Error Help]==============\r\n"
    "1.Make Sure Reader Power ON\r\n"
    "2.Make Sure RS232 Cable between Reader & PC(Host) are CONNECTED Correctly\r\n"
    "3.Please reboot the Reader and Try again",
    nullptr,  // the USB help text, built from the known reader table
    "Error, Please select RS232 Text Script while using RS232 Interface ",
    "Error, Please select USB HID Text Script while using USB HID Interface ",
    "Error, Please select Correct Text Script while using specific Interface ",
    "[Err] Please select correct Download Image File\r\n (*.bin; Size:280K~350K) for KORAMI Reader",
    "[Err] Send command fail.",
    "Enter bootloader mode success!\r\nPlease wait 5 seconds for device initialization....",
    "Start Bootloader Update Process.",
    "Erase Boot/Application Flash Space -- OK.\r\nStart Firmware Downloading...",
    "Loading firmware ... %d%% Done",
    "100% Done and Rebooting",
    "Bootloader Version Verifying...\r\nPlease Wait...",
};

}  // namespace

const char* GetStatusText(int nRow) {
  if (nRow == STS_HELP_USB) {
    static const std::string strUsbHelp = BuildUsbHelpText();
    return strUsbHelp.c_str();
  }
  if (nRow < 0 || nRow >= kStatusTextCount || !kStatusTexts[nRow]) return g_pszNoMsg;
  return kStatusTexts[nRow];
}
