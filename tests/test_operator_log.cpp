// The operator log, the status texts, the progress bar and the elapsed-time
// display of the main window, driven through the recording view.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "support/recording_view.h"
#include "support/virtual_time.h"
#include "ui/line_ends.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

class OperatorLogTest : public VirtualTimeTest {
 protected:
  OperatorLogTest() {
    m_dlg.AttachView(&m_view);
    m_dlg.TakeControlReferences();
    m_view.ClearCalls();
  }
  ~OperatorLogTest() override { SelectInterface(true); }

  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

// ---------------------------------------------------------------------------
// Status texts
// ---------------------------------------------------------------------------

TEST(StatusTexts, EveryRowByteForByte) {
  const char* const expected[kStatusTextCount] = {
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
      "==============[Error Help]==============\r\n"
      "1.Make Sure Reader Power ON\r\n"
      "2.Make Sure USB Cable between Reader & PC(Host) are CONNECTED Correctly\r\n"
      "3.Please make sure One of USB HID Compatible Device\r\n"
      "(VID,PID) = (0xF3A5, 0x0A02)\r\n"
      "(0xF3A5, 0x0A01) - Solvo, 512 kb, Legacy Version\r\n"
      "(0xF3A5, 0x0A02) - Solvo , 1M\r\n"
      "(0xF3A5, 0x0A03) - Pelora III , 1M\r\n"
      "(0xF3A5, 0x0A05) - Pelora 1.5, 1M\r\n"
      "presents @ device manager list",
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
  for (int nRow = 0; nRow < kStatusTextCount; ++nRow) {
    EXPECT_EQ(std::string(GetStatusText(nRow)), expected[nRow]) << "row " << nRow;
  }
  for (int nRow : {-1, kStatusTextCount, 1000}) EXPECT_STREQ(GetStatusText(nRow), "No Msg") << nRow;
  EXPECT_EQ(GetStatusText(STS_HELP_USB), GetStatusText(STS_HELP_USB));  // built once
}

// ---------------------------------------------------------------------------
// The log and its refresh
// ---------------------------------------------------------------------------

TEST_F(OperatorLogTest, AppendAndReplace) {
  m_dlg.AppendLog("first");
  m_dlg.AppendLog("second", false);
  EXPECT_EQ(m_dlg.m_strLog, "first\r\nsecond\r\n");
  EXPECT_EQ(m_view.LogText(), "first\r\nsecond\r\n");
  m_dlg.AppendLog("fresh", true);
  EXPECT_EQ(m_view.LogText(), "fresh\r\n");
  const std::string text = "object form";
  m_dlg.AppendLog(&text);
  m_dlg.AppendLog(&text, true);
  EXPECT_EQ(m_view.LogText(), "object form\r\n");
  // Every append refreshes the whole pane and then scrolls to its last line.
  const std::vector<std::string> calls = m_view.CallTexts();
  std::vector<std::string> expected;
  for (const char* log : {"first\\r\\n", "first\\r\\nsecond\\r\\n", "fresh\\r\\n", "fresh\\r\\nobject form\\r\\n",
                          "object form\\r\\n"}) {
    expected.push_back("SendToWindowThread()");
    expected.push_back(std::string("SetLogText(\"") + log + "\")");
    expected.push_back("ScrollLogToEnd()");
  }
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(m_view.LogScrolledAtLength(), static_cast<int>(m_view.LogText().size()));
}

TEST_F(OperatorLogTest, NullTexts) {
  m_dlg.AppendLog("kept");
  m_view.ClearCalls();
  m_dlg.AppendLog(static_cast<const std::string*>(nullptr), true);  // nothing at all
  EXPECT_TRUE(m_view.Calls().empty());
  EXPECT_EQ(m_dlg.m_strLog, "kept\r\n");
  m_dlg.AppendLog(static_cast<const char*>(nullptr));
  EXPECT_EQ(m_view.LogText(), "kept\r\nNo Msg\r\n");
  m_dlg.AppendLog(static_cast<const char*>(nullptr), true);
  EXPECT_EQ(m_view.LogText(), "No Msg\r\n");
}

TEST_F(OperatorLogTest, ErrorHelpOfTheSelectedInterface) {
  for (bool bRs232 : {true, false}) {
    SCOPED_TRACE(bRs232 ? "RS-232" : "USB HID");
    SelectInterface(bRs232);
    m_dlg.AppendLog("[Err] Ping Failed", true);
    m_dlg.AppendErrorHelp();
    EXPECT_EQ(m_view.LogText(),
              std::string("[Err] Ping Failed\r\n") + GetStatusText(bRs232 ? STS_HELP_RS232 : STS_HELP_USB) + "\r\n");
  }
}

// A worker appends while the window thread is another thread: the pane is
// written on the window thread only, and the worker's append returns after
// the pane shows its text.
TEST_F(OperatorLogTest, RefreshRunsOnTheWindowThreadWhileTheCallerWaits) {
  m_view.StartWindowThread();
  std::vector<std::string> seenByWorker;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      m_dlg.AppendLog(("line " + std::to_string(i)).c_str());
      seenByWorker.push_back(m_view.LogText());
    }
  });
  worker.join();
  m_view.StopWindowThread();
  ASSERT_EQ(seenByWorker.size(), 50u);
  EXPECT_EQ(seenByWorker.back(), m_dlg.m_strLog);
  for (std::size_t i = 0; i < seenByWorker.size(); ++i) {
    const std::string tail = "line " + std::to_string(i) + "\r\n";
    EXPECT_EQ(seenByWorker[i].substr(seenByWorker[i].size() - tail.size()), tail);
  }
  for (const RecordingView::Call& c : m_view.Calls()) {
    if (c.strText.rfind("SetLogText", 0) == 0 || c.strText == "ScrollLogToEnd()") {
      EXPECT_TRUE(c.bOnWindowThread) << c.strText;
    } else {
      EXPECT_FALSE(c.bOnWindowThread) << c.strText;  // the send itself comes from the worker
    }
  }
}

TEST_F(OperatorLogTest, SendMessageRoutesOnlyTheLogRefresh) {
  m_dlg.m_strLog = "direct\r\n";  // as the procedures append
  EXPECT_EQ(m_dlg.SendWindowMessage(WM_LOG_REFRESH), 0);
  EXPECT_EQ(m_view.LogText(), "direct\r\n");
  m_view.ClearCalls();
  EXPECT_EQ(m_dlg.SendWindowMessage(kWmUser + 101), 0);
  EXPECT_TRUE(m_view.Calls().empty());
  EXPECT_EQ(WM_LOG_REFRESH, 0x464u);
}

TEST_F(OperatorLogTest, UpdateDataPullsTextAndSelectionsAndPushesTheLog) {
  m_view.SetListSelection(IDC_INTERFACE_LIST, 0);
  m_view.SetListSelection(IDC_BAUD_LIST, 4);
  m_view.TypeIntoLog("typed by the operator");
  EXPECT_TRUE(m_dlg.UpdateData(TRUE));
  EXPECT_EQ(m_dlg.m_strLog, "typed by the operator");
  EXPECT_EQ(m_dlg.m_nInterfaceSel, 0);
  EXPECT_EQ(m_dlg.m_nBaudSel, 4);
  EXPECT_EQ(m_dlg.m_nPortSel, -1);
  // Pushing writes the log only; the operator's list choices stay.
  m_view.SetListSelection(IDC_BAUD_LIST, 2);
  m_dlg.m_strLog = "pushed";
  m_view.ClearCalls();
  EXPECT_TRUE(m_dlg.UpdateData(FALSE));
  EXPECT_EQ(m_view.CallTexts(), std::vector<std::string>{"SetLogText(\"pushed\")"});
  CTAVDownloadApDlg detached;
  EXPECT_FALSE(detached.UpdateData(TRUE));
}

// ---------------------------------------------------------------------------
// Line ends at a display that uses LF alone
// ---------------------------------------------------------------------------

TEST(LineEnds, CrLfPairsBecomeLfAndBack) {
  struct Row {
    const char* pszName;
    std::string crlf, lf;
  };
  const Row rows[] = {
      {"empty", "", ""},
      {"log lines", "Open USB interface success.\r\nDone\r\n", "Open USB interface success.\nDone\n"},
      {"help text over two lines", "a\r\nb", "a\nb"},
      {"blank line", "a\r\n\r\nb\r\n", "a\n\nb\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CrLfToLf(row.crlf), row.lf) << row.pszName;
    EXPECT_EQ(LfToCrLf(row.lf), row.crlf) << row.pszName;
  }
  // A CR that does not start a pair is text, not a line end.
  EXPECT_EQ(CrLfToLf("a\rb\r"), "a\rb\r");
  EXPECT_EQ(CrLfToLf("a\r\r\n"), "a\r\n");
}

// ---------------------------------------------------------------------------
// Hex dumps
// ---------------------------------------------------------------------------

TEST(HexFormat, UpperCaseDigitsEachFollowedByABlank) {
  const BYTE bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
  EXPECT_EQ(FormatHexLine(bytes, 4), "00 0F A5 FF ");
  EXPECT_EQ(FormatHexLine(bytes, 0), "");
  EXPECT_EQ(FormatHexLine(nullptr, 4), "");
}

TEST_F(OperatorLogTest, HexDumpLines) {
  BYTE data[256];
  for (int i = 0; i < 256; ++i) data[i] = static_cast<BYTE>(i);
  const std::string line0 = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ";
  ASSERT_EQ(line0.size(), 48u);
  struct Case {
    const char* name;
    DWORD nCount;
    const char* head;
    const char* tail;
    std::string expected;
  };
  const Case cases[] = {
      {"20 bytes between head and tail", 20, "=====[Cmd Block]=====", "=====[End of Cmd Block]=====",
       "=====[Cmd Block]=====\r\n" + line0 + "\r\n10 11 12 13 \r\n=====[End of Cmd Block]=====\r\n"},
      {"no bytes", 0, "=====[Recv Block]=====", "=====[End of Recv Block]=====",
       "=====[Recv Block]=====\r\n=====[End of Recv Block]=====\r\n"},
      {"exactly 16, no head or tail", 16, nullptr, nullptr, line0 + "\r\n"},
      {"17 bytes", 17, nullptr, "end", line0 + "\r\n10 \r\nend\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_dlg.m_strLog.clear();
    LogHexDump(&m_dlg, data, c.nCount, c.head, c.tail);
    EXPECT_EQ(m_dlg.m_strLog, c.expected);
    EXPECT_EQ(m_view.LogText(), c.expected);
  }
  m_dlg.m_strLog.clear();
  LogHexDump(&m_dlg, data, 256, nullptr, nullptr);  // the image trailer: 16 lines of 16
  EXPECT_EQ(m_dlg.m_strLog.size(), 16u * 50u);
  EXPECT_EQ(m_dlg.m_strLog.substr(15 * 50), "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \r\n");
  m_dlg.m_strLog.clear();
  LogHexDump(&m_dlg, nullptr, 20, "head", nullptr);  // no bytes to show
  EXPECT_EQ(m_dlg.m_strLog, "head\r\n");
  LogHexDump(nullptr, data, 20, "head", "tail");  // no window: nothing
}

// ---------------------------------------------------------------------------
// Progress bar
// ---------------------------------------------------------------------------

TEST_F(OperatorLogTest, SetProgressClamps) {
  m_dlg.InitProgress(100, 0);
  const struct {
    int nIn;
    int nShown;
  } cases[] = {{-1, 100}, {150, 100}, {-5, 0}, {42, 42}, {0, 0}, {100, 100}, {INT32_MIN, 0}};
  for (const auto& c : cases) {
    m_dlg.SetProgress(c.nIn);
    EXPECT_EQ(m_view.ProgressPos(), c.nShown) << c.nIn;
  }
  m_dlg.InitProgress(175, 0);  // programming blocks, say
  m_dlg.SetProgress(-1);
  EXPECT_EQ(m_view.ProgressPos(), 175);
  m_dlg.InitProgress(-4, 0);  // a range that cannot be shown pins the bar at 0
  m_dlg.SetProgress(-1);
  EXPECT_EQ(m_view.ProgressPos(), 0);
}

TEST_F(OperatorLogTest, InitProgressAfterMarquee) {
  m_dlg.StartMarquee();
  EXPECT_TRUE(m_view.IsShown(IDC_PROGRESS));
  EXPECT_TRUE(m_view.ProgressMarquee());
  m_view.ClearCalls();
  m_dlg.InitProgress(100, 0);
  EXPECT_EQ(m_view.CallTexts(),
            (std::vector<std::string>{"SetProgressMarquee(false)", "SetProgressPos(0)", "ShowControl(1014, true)",
                                      "SetProgressRange(100)", "SetProgressPos(0)"}));
  EXPECT_EQ(m_dlg.m_nProgressMax, 100);
  EXPECT_FALSE(m_view.ProgressMarquee());
  // A range beyond 16 bits is kept whole.
  m_dlg.InitProgress(358400, 200000);
  EXPECT_EQ(m_view.ProgressMax(), 358400);
  EXPECT_EQ(m_view.ProgressPos(), 200000);
  m_dlg.InitProgress(100, 250);
  EXPECT_EQ(m_view.ProgressPos(), 100);
}

TEST_F(OperatorLogTest, ResetProgressAndMarquee) {
  m_dlg.InitProgress(100, 60);
  m_dlg.StartMarquee();
  m_view.ClearCalls();
  m_dlg.ResetProgress();
  EXPECT_EQ(m_view.CallTexts(), (std::vector<std::string>{"SetProgressMarquee(false)", "SetProgressPos(0)"}));
  EXPECT_TRUE(m_view.IsShown(IDC_PROGRESS));  // never hidden again
}

TEST_F(OperatorLogTest, ProgressAndTimeDoNothingBeforeTheReferencesAreTaken) {
  RecordingView view;
  CTAVDownloadApDlg dlg;
  dlg.AttachView(&view);
  view.ClearCalls();
  dlg.InitProgress(100, 5);
  dlg.SetProgress(50);
  dlg.ResetProgress();
  dlg.StartMarquee();
  dlg.OnTimer(kElapsedTimerId);
  EXPECT_TRUE(view.Calls().empty());
  EXPECT_EQ(dlg.m_nProgressMax, 0);
  dlg.StartElapsedTimer();  // the timer itself still starts
  EXPECT_EQ(view.CallTexts(), std::vector<std::string>{"SetTimer(1, 1000)"});
}

// ---------------------------------------------------------------------------
// Elapsed time
// ---------------------------------------------------------------------------

TEST_F(OperatorLogTest, ElapsedTimeInMinutesAndSeconds) {
  m_view.SetElapsedText("12:34");
  m_dlg.StartElapsedTimer();
  EXPECT_EQ(m_view.ElapsedText(), "00:00");
  EXPECT_TRUE(m_view.TimerRunning(1));
  EXPECT_EQ(m_view.TimerInterval(1), 1000u);
  const struct {
    std::uint64_t nAdvanceMs;
    const char* shown;
  } steps[] = {{999, "00:00"}, {1, "00:01"}, {58000, "00:59"}, {1000, "01:00"}, {3601000, "61:01"}};
  for (const auto& s : steps) {
    m_clock.Advance(s.nAdvanceMs);
    ASSERT_TRUE(m_view.FireTimer(1));
    EXPECT_EQ(m_view.ElapsedText(), s.shown);
  }
  EXPECT_EQ(Elapsed(), 3661000u);
  m_dlg.OnTimer(2);  // not ours
  EXPECT_EQ(m_view.ElapsedText(), "61:01");
  m_dlg.KillTimer(1);
  EXPECT_FALSE(m_view.FireTimer(1));
  m_clock.Advance(100000 * 1000ull);  // minutes past 99 widen the field
  m_dlg.OnTimer(1);
  EXPECT_EQ(m_view.ElapsedText(), "1727:41");
}

// A start in the middle of a second counts from that second, as the
// display does (whole seconds of the tick count).
TEST_F(OperatorLogTest, ElapsedTimeCountsWholeSecondsOfTheClock) {
  m_clock.Advance(700);
  m_dlg.StartElapsedTimer();
  m_clock.Advance(300);
  m_dlg.OnTimer(1);
  EXPECT_EQ(m_view.ElapsedText(), "00:01");
}

// ---------------------------------------------------------------------------
// The progress callback through the application object
// ---------------------------------------------------------------------------

TEST_F(OperatorLogTest, LogAndProgressReachesTheRegisteredWindow) {
  LogAndProgress("nobody listens", 10);  // no main window yet
  EXPECT_TRUE(m_view.Calls().empty());
  theApp.SetMainDialog(&m_dlg);
  m_dlg.InitProgress(100, 0);
  LogAndProgress("[Programming] Address=00000800, 1% Done", 1);
  LogAndProgress(nullptr, -1);
  LogAndProgress("[Failed] Address=00001000, Block # (0-based) = 2/175", 250);
  EXPECT_EQ(m_view.LogText(),
            "[Programming] Address=00000800, 1% Done\r\nNo Msg\r\n"
            "[Failed] Address=00001000, Block # (0-based) = 2/175\r\n");
  EXPECT_EQ(m_view.ProgressPos(), 100);
  theApp.SetMainDialog(nullptr);
  EXPECT_EQ(GetMainDialog(), nullptr);
}

TEST(MainDialogLifetime, DestroyedWindowUnregistersItself) {
  RecordingView view;
  {
    CTAVDownloadApDlg dlg;
    dlg.AttachView(&view);
    dlg.TakeControlReferences();
    dlg.StartElapsedTimer();
    theApp.SetMainDialog(&dlg);
  }
  EXPECT_TRUE(view.TimerRunning(1));
  EXPECT_EQ(GetMainDialog(), nullptr);
  EXPECT_FALSE(view.FireTimer(1));  // the sink is gone with the window
}

// ---------------------------------------------------------------------------
// Run controls and the port list
// ---------------------------------------------------------------------------

TEST_F(OperatorLogTest, EnableRunControlsInOrder) {
  m_dlg.EnableRunControls(false);
  EXPECT_EQ(m_view.CallTexts(),
            (std::vector<std::string>{"EnableControl(1000, false)", "EnableControl(1012, false)",
                                      "EnableControl(1024, false)", "EnableControl(1001, false)",
                                      "EnableControl(1019, false)", "EnableControl(1020, false)"}));
  m_dlg.EnableRunControls(true);
  for (int nId : {1000, 1012, 1024, 1001, 1019, 1020}) EXPECT_TRUE(m_view.IsEnabled(nId)) << nId;
}

TEST_F(OperatorLogTest, SelectedPortNumber) {
  EXPECT_EQ(m_dlg.GetSelectedPortNumber(), 0);  // no port list reference yet
  m_dlg.m_pPortList = &m_view;
  const struct {
    const char* item;
    int nPort;
  } cases[] = {{"COM1", 1},   {"COM12", 12},  {"COM255", 255}, {"COM", 0},
               {"CO", 0},     {"", 0},        {"COMx", 0},     {"COM7 (USB)", 7},
               {"COM99999999999", INT32_MAX}};
  for (const auto& c : cases) {
    m_view.ResetList(IDC_PORT_LIST);
    m_view.AddListItem(IDC_PORT_LIST, c.item);
    m_view.SetListSelection(IDC_PORT_LIST, 0);
    EXPECT_EQ(m_dlg.GetSelectedPortNumber(), c.nPort) << c.item;
  }
  m_view.SetListSelection(IDC_PORT_LIST, -1);
  EXPECT_EQ(m_dlg.GetSelectedPortNumber(), 0);
}

}  // namespace
