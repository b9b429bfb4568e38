// Transmit pacing: the presets, clearing, and the wait before a paced
// command with its log line, in virtual time with the main window's log
// shown through the recording view.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "link/frame.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "support/link_bench.h"
#include "support/recording_view.h"
#include "ui/main_dialog.h"

namespace {

using linkbench::Req;

class PacingTest : public linkbench::LinkBench {
 protected:
  PacingTest() {
    m_dlg.AttachView(&m_view);
    m_dlg.TakeControlReferences();
    m_view.ClearCalls();
  }

  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

const std::map<WORD, WORD> kC715After5s = {{0xC715, 5000}};

TEST_F(PacingTest, EveryPresetHoldsTheOneC715EntryAndLoadingReplacesTheTable) {
  for (int preset : {0, 1, 2, 3, 4, 5, 6, 7, -1, 1000}) {
    SCOPED_TRACE(preset);
    g_mapTxPacing[0x0401] = 10;  // left over from before: emptied by the load
    LoadTxPacingPreset(preset);
    EXPECT_EQ(g_mapTxPacing, kC715After5s);
  }
  LoadTxPacingPreset(2);
  LoadTxPacingPreset(2);
  EXPECT_EQ(g_mapTxPacing, kC715After5s);
  ClearTxPacing();
  EXPECT_TRUE(g_mapTxPacing.empty());
}

TEST_F(PacingTest, OnlyAPacedCommandIsLoggedAndWaitedFor) {
  LoadTxPacingPreset(2);
  struct Row {
    const char* name;
    linkbench::Bytes request;
    const char* log;  // nullptr: neither logged nor waited for
    std::uint64_t waitMs;
  } rows[] = {
      {"C7-15", Req("C7 15 00 00 00 00"), "Before Tx C715, Waiting 5.000 sec..\r\n", 5000},
      {"C7-16", Req("C7 16 00 00 00 00"), nullptr, 0},
      {"15-C7", Req("15 C7 00 00 00 00"), nullptr, 0},
      {"C7-03 with data", Req("C7 03 00 02 AA BB 00 00"), nullptr, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    m_dlg.AppendLog("start", true);
    const std::uint64_t t0 = Now();
    WaitBeforeTx(&m_dlg, row.request.data());
    EXPECT_EQ(m_view.LogText(), std::string("start\r\n") + (row.log ? row.log : ""));
    EXPECT_EQ(Now() - t0, row.waitMs);
  }
  // A null request reads as code 0, which no preset holds.
  const std::uint64_t t0 = Now();
  WaitBeforeTx(&m_dlg, nullptr);
  EXPECT_EQ(Now(), t0);
  EXPECT_TRUE(m_requests.empty()) << "pacing only waits; it sends nothing";
}

TEST_F(PacingTest, DelayIsWrittenAsSecondsWithThreeDecimalsAndCodeInFourHexDigits) {
  g_mapTxPacing = {{0x0401, 1234}, {0x2900, 50}, {0xC715, 60000}};
  struct Row {
    const char* request;
    const char* log;
    std::uint64_t waitMs;
  } rows[] = {
      {"04 01 00 00 00 00", "Before Tx 0401, Waiting 1.234 sec..\r\n", 1234},
      {"29 00 00 00 00 00", "Before Tx 2900, Waiting 0.050 sec..\r\n", 50},
      {"C7 15 00 00 00 00", "Before Tx C715, Waiting 60.000 sec..\r\n", 60000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request);
    m_dlg.AppendLog("", true);
    const std::uint64_t t0 = Now();
    WaitBeforeTx(&m_dlg, Req(row.request).data());
    EXPECT_EQ(m_view.LogText(), std::string("\r\n") + row.log);
    EXPECT_EQ(Now() - t0, row.waitMs);
  }
}

TEST_F(PacingTest, AfterClearingNothingIsLoggedOrWaitedFor) {
  LoadTxPacingPreset(2);
  ClearTxPacing();
  m_dlg.AppendLog("start", true);
  WaitBeforeTx(&m_dlg, Req("C7 15 00 00 00 00").data());
  EXPECT_EQ(m_view.LogText(), "start\r\n");
  EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(PacingTest, TheWaitPumpsEventsAndEndsOnAStopRequest) {
  LoadTxPacingPreset(2);
  WaitBeforeTx(&m_dlg, Req("C7 15 00 00 00 00").data());
  ASSERT_EQ(m_pump.waits.size(), 1u);
  EXPECT_EQ(m_pump.waits[0].untilMs - m_pump.waits[0].fromMs, 5000u);

  plat::Stop().Request();
  const std::uint64_t t0 = Now();
  WaitBeforeTx(&m_dlg, Req("C7 15 00 00 00 00").data());
  EXPECT_EQ(Now(), t0);
}

}  // namespace
