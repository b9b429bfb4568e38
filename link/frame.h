// Reader protocol frames: header, CRC-16/CCITT-FALSE, the response checks and
// the one frame builder that every request (and the simulated reader's every
// answer) is made with.
//
// Request and V2 response:  "Kestrula" '2' 0x00 | cmd | sub/status | len(BE16) | data | CRC
// V3 response:              magic(8) '3' x | cmd | x | status | len(BE16) | data | CRC
#pragma once
#include <vector>

#include "platform/types.h"

// "Kestrula2" and its NUL: the first ten bytes of every request and V2 response.
extern const char g_pszFrameHeader[11];
constexpr DWORD kFrameHeaderLen = 10;
// Bytes of a V2 frame besides its data: header 10, cmd, sub, length 2, CRC 2.
constexpr DWORD kFrameOverheadV2 = 16;
constexpr DWORD kFrameOverheadV3 = 17;

WORD CalcCrc16(const BYTE* p, DWORD n);
BYTE CalcCrc16Hi(const BYTE* p, DWORD n);

bool IsFrameHeader(const BYTE* p, DWORD nAvail);
// Frame length (data length + 16) of a complete, CRC-valid V2 frame at p;
// -1 incomplete, -2 CRC bytes missing, -3 CRC wrong in both byte orders.
int CheckRxFrame(const BYTE* p, DWORD nBuffered);
// Copies the data of the frame at pFrame into pDest (NUL-terminated);
// returns the count, -1 for a null frame, -2 when the frame does not fit dwCap.
int GetRxData(const BYTE* pFrame, BYTE* pDest, DWORD dwCap);
// The status byte of a response: offset 11 in a V2 frame, 12 in a V3 frame
// (version digit '3' at offset 8). A zeroed buffer reads status 0 at 11.
BYTE GetRespStatus(const BYTE* pResp);
// True when the answer's status is a or b: the byte at offset 11, and in a V3
// answer the one at offset 12 too.
bool IsRespStatusIn(const BYTE* pResp, BYTE a, BYTE b);
// Not null, command byte cmd at offset 10, status 0x00 (where the frame's
// version keeps it).
bool IsRespOk(const BYTE* pResp, BYTE cmd);
WORD GetRespCode(const BYTE* pFrame);

enum class CrcOrder { HighFirst, LowFirst };

// Writes header, command, sub-command (or status), big-endian length, data
// and CRC into pBuf. Returns the frame length, or 0 when it does not fit nCap
// (nothing written then). pData may be null when nLen is 0.
DWORD BuildFrame(BYTE* pBuf, DWORD nCap, BYTE cmd, BYTE sub, const BYTE* pData, WORD nLen, CrcOrder order);
std::vector<BYTE> MakeFrame(BYTE cmd, BYTE sub, const std::vector<BYTE>& data = {},
                            CrcOrder order = CrcOrder::HighFirst);

// A V3 response frame as a reader sends it: magic word, '3', a spare byte,
// command, a spare byte, status, length, data, two trailer bytes (the CRC of
// everything before, high byte first; receivers do not check it).
std::vector<BYTE> MakeFrameV3(BYTE cmd, BYTE status, const std::vector<BYTE>& data = {});
