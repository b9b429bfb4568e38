// Golden transcripts: a test's whole output (an operator log, say) compared
// byte for byte with a file kept under tests/golden/. Run the test with
// UPDATE_GOLDEN=1 in the environment to write the files instead; review
// every rewritten file before committing it.
//
//   EXPECT_TRUE(MatchesGolden("download_legacy_rs232.log", view.LogText()));
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "support/recording_view.h"

// Compares strActual with the file at strPath. With UPDATE_GOLDEN set to a
// non-empty value other than "0", writes strActual there instead and passes.
// A mismatch names the first differing line, both versions shown with CR and
// LF visible.
::testing::AssertionResult CompareWithGoldenFile(const std::string& strPath, const std::string& strActual);

// The golden file of that name in the source tree's tests/golden/ folder.
// Test executables are built with READERTOOL_SOURCE_DIR defined.
#ifdef READERTOOL_SOURCE_DIR
inline std::string GoldenPath(const std::string& strName) {
  return std::string(READERTOOL_SOURCE_DIR) + "/tests/golden/" + strName;
}
inline ::testing::AssertionResult MatchesGolden(const std::string& strName, const std::string& strActual) {
  return CompareWithGoldenFile(GoldenPath(strName), strActual);
}
#endif

// A recording view that also keeps the log as the operator saw it scroll by:
// text appended to what the pane showed is added to the transcript, and a
// pane text that does not continue the previous one (the connect step starts
// a fresh log) is added after the marker line kLogReplacedMarker. So a run
// that reconnects half-way keeps the lines from before the reconnect.
class TranscriptView : public RecordingView {
 public:
  static constexpr char kLogReplacedMarker[] = "<<<< log replaced >>>>\r\n";

  void SetLogText(const std::string& strText) override;
  std::string Transcript() const;
  void ClearTranscript();

 private:
  mutable std::mutex m_transcriptMutex;
  std::string m_strShown;
  std::string m_strTranscript;
  bool m_bShownAny = false;
};
