// The reader command set: one wrapper per command. Each builds its request
// frame, runs exactly one exchange through the dispatch of the selected
// interface and judges the answer. Failures are a false result, no text.
#pragma once
#include <string>

#include "platform/types.h"

// Progress callback of ProgramFlash: a log text and a percentage.
typedef void (*PFN_PROGRESS)(const char* pszText, int nPos);

// Largest request data of a block: the room in a 4096-byte request buffer.
constexpr DWORD kMaxRequestData = 4096 - 16;
// Image bytes per programmed block; each block advances the address by 16 less.
constexpr int kFlashBlockBytes = 2048;
constexpr int kFlashAddressStep = 2048 - 16;
// The blocks ProgramFlash sends for nSize bytes: full blocks, the last one shorter.
constexpr int FlashBlockCount(int nSize) { return nSize > 0 ? (nSize + kFlashBlockBytes - 1) / kFlashBlockBytes : 0; }

bool PingReader();
bool RequestBootMode();
bool EnterBootMode();
// Sends CC-SS without data; on an answer with command CC and status 0 copies
// the data to pData (capacity *pnLen in, data length out, -2 when the frame
// did not fit the capacity or the 512-byte response buffer) and sets
// *pbNewVersion from the version number in the data.
bool QueryReader(BYTE cmd, BYTE sub, BYTE* pData, int* pnLen, int* pbNewVersion);
bool GetBLVersion(BYTE* pData, int* pnLen);
bool GetBLVersionAlt(BYTE* pData, int* pnLen, int* pbNewVersion);
bool GetVersionAnyMode(BYTE* pData, int* pnLen, int* pbNewVersion, BYTE* pbInBootMode);
bool EraseFlash();
// Request data = 4-byte address + block, at most kMaxRequestData bytes; the
// response buffer must hold at least 12 bytes. Either refused: false, nothing sent.
bool ProgramFlashBlock(const BYTE* pReqData, DWORD dwReqDataLen, BYTE* pResp, DWORD* pdwRespLen);
bool ProgramFlash(const BYTE* pImage, int nSize, PFN_PROGRESS pfnProgress);
bool VerifyFlash(const BYTE* pTrailer256);
bool ResetBootloader();
bool GetFwVersion(BYTE* pData, int* pnLen);
bool ResetDefaultF0();
bool ResetDefault0A(bool bIgnoreReply);
DWORD RawTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen);
BYTE HidGetTaggedReports();

// Where a version answer carries its version number: data bytes 10 to 17.
constexpr int kVersionTextAt = 10;
constexpr int kVersionTextChars = 8;
// The version number in data bytes 10 to 17 ("x.xx.xxx", dots skipped); true
// when it is 3.00.001 or later. nDataLen is the number of valid data bytes.
bool IsNewVersionText(const BYTE* pData, int nDataLen);
// Those eight characters as they stand ("2.10.005"); empty when the answer
// has fewer than 18 data bytes.
std::string VersionNumberText(const BYTE* pData, int nDataLen);
