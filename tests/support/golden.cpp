#include "support/golden.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

bool UpdateRequested() {
  const char* psz = std::getenv("UPDATE_GOLDEN");
  return psz && *psz && std::string(psz) != "0";
}

// CR and LF shown, so a missing "\r" is visible in the report.
std::string Visible(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Line n (1-based) of s, cut after its LF; empty past the end.
std::string LineAt(const std::string& s, std::size_t nOffset) {
  const std::size_t nEnd = s.find('\n', nOffset);
  return s.substr(nOffset, nEnd == std::string::npos ? std::string::npos : nEnd + 1 - nOffset);
}

}  // namespace

::testing::AssertionResult CompareWithGoldenFile(const std::string& strPath, const std::string& strActual) {
  if (UpdateRequested()) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strActual.data(), static_cast<std::streamsize>(strActual.size()));
    if (!out) return ::testing::AssertionFailure() << "cannot write golden file " << strPath;
    return ::testing::AssertionSuccess();
  }
  std::ifstream in(strPath, std::ios::binary);
  if (!in) {
    return ::testing::AssertionFailure() << "no golden file " << strPath
                                         << " (run with UPDATE_GOLDEN=1 to write it, then review it)";
  }
  const std::string strExpected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (strExpected == strActual) return ::testing::AssertionSuccess();

  // The first line where they part.
  std::size_t nOffset = 0, nLine = 1;
  for (;;) {
    const std::string strWant = LineAt(strExpected, nOffset), strGot = LineAt(strActual, nOffset);
    if (strWant != strGot || strWant.empty()) {
      return ::testing::AssertionFailure()
             << "differs from " << strPath << " at line " << nLine << "\n  expected: " << Visible(strWant)
             << "\n  actual:   " << Visible(strGot) << "\n  (expected " << strExpected.size() << " bytes, actual "
             << strActual.size() << "; UPDATE_GOLDEN=1 rewrites the file)";
    }
    nOffset += strWant.size();
    ++nLine;
  }
}

void TranscriptView::SetLogText(const std::string& strText) {
  {
    std::lock_guard<std::mutex> lock(m_transcriptMutex);
    if (m_bShownAny && strText.compare(0, m_strShown.size(), m_strShown) == 0) {
      m_strTranscript += strText.substr(m_strShown.size());
    } else {
      if (m_bShownAny) m_strTranscript += kLogReplacedMarker;
      m_strTranscript += strText;
    }
    m_strShown = strText;
    m_bShownAny = true;
  }
  RecordingView::SetLogText(strText);
}

std::string TranscriptView::Transcript() const {
  std::lock_guard<std::mutex> lock(m_transcriptMutex);
  return m_strTranscript;
}

void TranscriptView::ClearTranscript() {
  std::lock_guard<std::mutex> lock(m_transcriptMutex);
  m_strTranscript.clear();
  m_strShown.clear();
  m_bShownAny = false;
}
