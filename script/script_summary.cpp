#include "script/script_summary.h"

#include <cstddef>
#include <vector>

#include "link/frame.h"
#include "script/text_script.h"

namespace {

// The second line: after the first line end, up to the next CR or LF.
std::string SecondLine(const BYTE* pData, std::size_t nLen) {
  std::size_t p = 0;
  while (p < nLen && pData[p] != '\n') ++p;
  if (p >= nLen) return {};
  const std::size_t nStart = ++p;
  while (p < nLen && pData[p] != '\r' && pData[p] != '\n') ++p;
  return std::string(reinterpret_cast<const char*>(pData) + nStart, p - nStart);
}

}  // namespace

ScriptSummary SummarizeScript(const BYTE* pData, int nFileLen, int nFrameOffset) {
  ScriptSummary summary;
  if (!pData || nFileLen <= 0 || nFrameOffset < 0) return summary;
  const std::size_t nLen = static_cast<std::size_t>(nFileLen);
  summary.strModel = SecondLine(pData, nLen);

  std::vector<char> text(kScriptTextCap);
  std::vector<BYTE> bytes(kScriptBytesCap);
  std::size_t nPos = 0;
  for (;;) {
    std::size_t nEnd = 0;
    int nText = 0;
    if (ScanScriptCommand(pData, nLen, &nPos, text.data(), &nText, &nEnd) != ScriptScan::kCommand) break;
    ++summary.nCommands;
    int nCount = 0;
    HexTextToBytes(text.data(), nText, bytes.data(), &nCount);
    // Command, sub-command and the big-endian data length follow the header.
    if (nCount < nFrameOffset + 14) continue;
    const BYTE* pFrame = bytes.data() + nFrameOffset;
    if (!IsFrameHeader(pFrame, static_cast<DWORD>(nCount - nFrameOffset))) continue;
    if (pFrame[10] != 0xC7) continue;
    switch (pFrame[11]) {
      case 0x41:
        summary.bEntersBootloader = true;
        break;
      case 0x02:
        summary.bErases = true;
        break;
      case 0x03: {
        const int nData = pFrame[12] * 256 + pFrame[13];
        ++summary.nBlocks;
        if (nData > 4) summary.nBlockBytes += nData - 4;
        break;
      }
      case 0x04:
        summary.bVerifies = true;
        break;
      case 0x05:
        summary.bRestarts = true;
        break;
      default:
        break;
    }
  }
  return summary;
}
