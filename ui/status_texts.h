// The fixed texts that the procedures write to the operator log, addressed
// by row, and the fallback that stands in for a missing text.
#pragma once

constexpr int kStatusTextCount = 28;
extern const char g_pszNoMsg[];  // "No Msg"

// Rows, by what they report.
enum StatusTextRow : int {
  STS_PING_FAILED = 0,
  STS_TXRX_RETRYING = 1,
  STS_GET_BL_VERSION_FAILED = 2,
  STS_ERASE_FLASH_FAILED = 3,
  STS_PROGRAM_FLASH_FAILED = 4,
  STS_PROGRAM_FLASH_DONE = 5,
  STS_VERIFY_FLASH_FAILED = 6,
  STS_VERIFY_FLASH_DONE = 7,
  STS_RESET_BOOTLOADER_FAILED = 8,
  STS_RESET_DEFAULT_04F0_FAILED = 9,
  STS_RESET_DEFAULT_040A_FAILED = 10,
  STS_OPEN_FILE_FAIL = 11,
  STS_READ_FILE_FAIL = 12,
  STS_OPEN_RS232 = 13,
  STS_OPEN_USB = 14,
  STS_HELP_RS232 = 15,
  STS_HELP_USB = 16,
  STS_SELECT_RS232_SCRIPT = 17,
  STS_SELECT_USB_SCRIPT = 18,
  STS_SELECT_CORRECT_SCRIPT = 19,
  STS_WRONG_IMAGE_FILE = 20,
  STS_SEND_COMMAND_FAIL = 21,
  STS_ENTER_BOOTLOADER_OK = 22,
  STS_START_BL_UPDATE = 23,
  STS_ERASE_OK_START_DOWNLOAD = 24,
  STS_LOADING_PERCENT = 25,  // a printf format with one %d
  STS_DONE_REBOOTING = 26,
  STS_BL_VERSION_VERIFYING = 27,
};

// The text of a row; "No Msg" for a row outside the table. Never null.
const char* GetStatusText(int nRow);
