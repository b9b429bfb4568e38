#include "cli/outcome.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "ui/status_texts.h"

namespace {

std::vector<std::string_view> Lines(const std::string& strText) {
  std::vector<std::string_view> lines;
  std::string_view rest(strText);
  while (!rest.empty()) {
    const std::size_t nEnd = rest.find("\r\n");
    lines.push_back(rest.substr(0, nEnd));
    if (nEnd == std::string_view::npos) break;
    rest.remove_prefix(nEnd + 2);
  }
  return lines;
}

bool StartsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// The first line of a status text (some rows run over two lines).
std::string_view FirstLine(const char* pszText) {
  std::string_view text(pszText);
  return text.substr(0, text.find("\r\n"));
}

bool AnyLineStartsWith(const std::string& strTranscript, const std::vector<std::string_view>& prefixes) {
  for (std::string_view line : Lines(strTranscript))
    for (std::string_view prefix : prefixes)
      if (!prefix.empty() && StartsWith(line, prefix)) return true;
  return false;
}

// Lines of the file step that only a refused or unreadable file produces.
// The script runner's form check and the download's image check word their
// refusals themselves; the rest are status texts.
constexpr const char* kFileRefusalLines[] = {
    "[Err] Load File Failed",
    "[Err] Script command ",
    "[Err] Script holds no SEND:",
};
constexpr int kFileRefusalRows[] = {
    STS_OPEN_FILE_FAIL,      STS_READ_FILE_FAIL,    STS_WRONG_IMAGE_FILE,
    STS_SELECT_RS232_SCRIPT, STS_SELECT_USB_SCRIPT, STS_SELECT_CORRECT_SCRIPT,
};

}  // namespace

bool TranscriptShowsFileRefused(const std::string& strTranscript) {
  std::vector<std::string_view> prefixes(std::begin(kFileRefusalLines), std::end(kFileRefusalLines));
  for (int nRow : kFileRefusalRows) prefixes.push_back(FirstLine(GetStatusText(nRow)));
  return AnyLineStartsWith(strTranscript, prefixes);
}

bool TranscriptShowsConnectFailed(const std::string& strTranscript) {
  const std::string strRs232 = std::string(GetStatusText(STS_OPEN_RS232)) + " fail.";
  const std::string strUsb = std::string(GetStatusText(STS_OPEN_USB)) + " fail.";
  for (std::string_view line : Lines(strTranscript))
    if (line == strRs232 || line == strUsb) return true;
  return false;
}

int LoadExitStatus(const LoadObservation& obs) {
  if (obs.bInterrupted) return kExitInterrupted;
  if (!obs.bWorkerStarted) return kExitNoLink;
  if (obs.nWorkerExitCode == 1) return kExitOk;
  if (TranscriptShowsFileRefused(obs.strTranscript)) return kExitFileRefused;
  return kExitFailed;
}

int ResetExitStatus(const ResetObservation& obs) {
  if (obs.bInterrupted) return kExitInterrupted;
  if (TranscriptShowsConnectFailed(obs.strTranscript)) return kExitNoLink;
  // Only a reset that went through its wait ends with the closing line.
  if (AnyLineStartsWith(obs.strTranscript, {"===[ End of Load Default Setting"})) return kExitOk;
  return kExitFailed;
}

std::string ReaderStateAfterInterrupt(const std::string& strTranscript) {
  const std::string_view enterBoot = FirstLine(GetStatusText(STS_ENTER_BOOTLOADER_OK));
  const std::string_view erased = FirstLine(GetStatusText(STS_ERASE_OK_START_DOWNLOAD));
  const std::string_view rebooting = FirstLine(GetStatusText(STS_DONE_REBOOTING));
  if (AnyLineStartsWith(strTranscript, {rebooting}))
    return "the update had finished; the reader was restarting with its new firmware";
  if (AnyLineStartsWith(strTranscript, {enterBoot, erased}))
    return "reader may be left in its bootloader: run the update again to finish it";
  return "the reader was not seen entering its bootloader";
}

const char* ExitStatusText(int nStatus) {
  switch (nStatus) {
    case kExitOk:
      return "success";
    case kExitFailed:
      return "failed";
    case kExitNoLink:
      return "the link could not be opened";
    case kExitFileRefused:
      return "the file was refused or could not be read";
    case kExitUsage:
      return "usage error";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "unknown";
  }
}
