// Text command scripts: a firmware update written as text. The script lists
// complete request frames as hexadecimal text, each after "SEND:" and ended
// by "SLEEP" or "WAIT"; the runner sends them in file order, judges each
// answer by the command's ordinal (enter bootloader, first bootloader
// command, erase, loading frames), tries a command up to three times and
// stops at the first one that still fails. It builds no frames of its own.
//
// Runs on the worker thread. Log output goes through the window's log
// protocol; the two wrong-script boxes are shown through the window's view.
#pragma once
#include <cstddef>
#include <memory>

#include "platform/types.h"

class CTAVDownloadApDlg;

constexpr char kScriptFileFilter[] = "Text Script File (*.txt)|*.txt||";

// Script kinds, as IsValidScriptFile takes them.
constexpr int kScriptKindRs232 = 0;   // "#RS232 version"
constexpr int kScriptKindUsbHid = 1;  // "#USBHID version"

// Room of a command: hexadecimal text characters and the bytes they make.
constexpr int kScriptTextCap = 16384;
constexpr int kScriptBytesCap = 8192;
// Room for a reader's answer to one command.
constexpr int kScriptAnswerCap = 512;
// A command is sent at most this many times.
constexpr int kScriptAttempts = 3;

// Results of RunTextScript and RunScriptCommands.
enum ScriptResult : int {
  SCRIPT_OK = 0,
  SCRIPT_FAILED = -1,  // a command failed for good, or a stop ended the run
  // No file chosen or read, the wrong script for the interface, or commands
  // that cannot all be carried out: nothing was sent.
  SCRIPT_FILE_REFUSED = -2,
};

// True when the path ends in ".txt" (any case, at least 5 characters), the
// data starts with the kind's header (ignoring case) and ends in "END>"
// (ignoring case), optionally followed by one CR LF.
bool IsValidScriptFile(const char* pszPath, const BYTE* pData, int nFileLen, int nKind);
bool IsRs232Script(const char* pszPath, const BYTE* pData, int nFileLen);
bool IsUsbHidScript(const char* pszPath, const BYTE* pData, int nFileLen);

// Reads the text as two-character pairs, each as strtoul reads it in base 16
// (an odd last character stands alone; a pair without a hexadecimal digit
// gives 0), one byte per pair (the value's low 8 bits). Writes at most
// kScriptBytesCap bytes: text beyond 2 * kScriptBytesCap characters is not
// read. *pnOutLen receives the number of bytes.
void HexTextToBytes(const char* pszHex, int nHexLen, BYTE* pOut, int* pnOutLen);

// One command found by ScanScriptCommand.
enum class ScriptScan {
  kNone,        // no further "SEND:" before the end of the data
  kCommand,     // a command, ended by "SLEEP" or "WAIT"
  kUnended,     // "SEND:" whose text runs to the end of the data
  kTooLong,     // text of more than kScriptTextCap characters
};

// Finds the next command at or after *pnPos in nLen bytes of data. For
// kCommand, pszText (room for kScriptTextCap characters) receives the text
// without CR, LF and blanks, *pnTextLen its length, *pnEnd the position of
// the keyword that ends it, and *pnPos the place where scanning goes on
// (*pnEnd + 1). For kUnended and kTooLong, *pnEnd is where the command's
// text begins and the text is not complete. pszText may be null to only
// check the form. Linear in the bytes it passes.
ScriptScan ScanScriptCommand(const BYTE* pData, std::size_t nLen, std::size_t* pnPos, char* pszText, int* pnTextLen,
                             std::size_t* pnEnd);

// A script as the file step of a run leaves it, ready to be sent.
struct LoadedScript {
  std::unique_ptr<BYTE[]> pData;  // the file followed by one NUL
  int nFileLen = 0;
  int nKind = kScriptKindRs232;
  BYTE bTagged = 0;  // the HID tagged-report flag of the run
};

// The file step of a script run, everything before the first command goes
// out: the file choice and read, the script's kind for the selected
// interface (a wrong script is refused with its box and log line) and the
// form of every command. SCRIPT_OK with *pScript filled, or
// SCRIPT_FILE_REFUSED once the log says why. Sends nothing, so an offline
// check of a file calls it too and refuses exactly what a run refuses.
int LoadTextScript(CTAVDownloadApDlg* pDialog, LoadedScript* pScript);

// Where the request frame starts within a command's bytes on the selected
// interface, for a run whose tagged-report flag is bTagged: 1 for bytes
// written as raw reports on USB HID (a report tag comes first), else 0.
int ScriptFrameOffset(BYTE bTagged);

// The whole run: the file step (LoadTextScript), then every command. A
// ScriptResult; the log says why a run failed. The window's outcome record
// follows the reader into its bootloader and out of it again.
int RunTextScript(CTAVDownloadApDlg* pDialog, BYTE bInBootMode);

// The commands of an already validated script of nFileLen bytes (pData holds
// one more, a NUL): the form check, the frame offset, the tagged-report
// flag of the run (bTagged), then every command. SCRIPT_OK when every
// command was accepted, SCRIPT_FILE_REFUSED when the form check refused the
// script, SCRIPT_FAILED otherwise. The fuzz target and the benchmark drive
// it directly.
int RunScriptCommands(CTAVDownloadApDlg* pDialog, const BYTE* pData, int nFileLen, BYTE bTagged, BYTE bInBootMode);

// With "/chklegacy": asks the bootloader for its version (C7-10) and logs
// "BL Version:" with the answer's data. False when the query failed; true
// without asking when the switch is off.
bool LogBLVersion(CTAVDownloadApDlg* pDialog);

// The report of a command that failed for good: the request's and the
// answer's command bytes (bytes 10 and 11 of each; pReq and pResp must each
// hold at least 12 bytes, or be null), then both as hex dumps. A negative
// length counts as 0.
void LogFailedExchange(CTAVDownloadApDlg* pDialog, const BYTE* pReq, int nReqLen, const BYTE* pResp, int nRespLen);
