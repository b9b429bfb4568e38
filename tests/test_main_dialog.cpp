// The main window's start-up and its own handlers, without a display: the
// state after OnInitDialog, the serial port list, the interface choice, the
// caption, the About item and ending the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "support/test_window.h"
#include "support/fake_serial.h"
#include "support/recording_view.h"
#include "support/virtual_time.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"

namespace {

constexpr int kRs232Controls[] = {IDC_BAUD_LABEL, IDC_PORT_BUTTON, IDC_BAUD_LIST, IDC_PORT_LIST};

// The caption of this executable: its version resource comes from the
// project version MAJOR.MINOR.PATCH as file version MAJOR.(MINOR/10).(MINOR%10).PATCH.
std::string OwnCaption() {
  char sz[64];
  std::snprintf(sz, sizeof sz, "TAV Vevevura Dovu V%d.%d%d.%03d ", READERTOOL_VERSION_MAJOR,
                READERTOOL_VERSION_MINOR / 10, READERTOOL_VERSION_MINOR % 10, READERTOOL_VERSION_PATCH);
  return sz;
}

class MainDialogTest : public VirtualTimeTest {
 protected:
  MainDialogTest() {
    m_dlg.AttachView(&m_view);
    ClearTxPacing();
    SelectInterface(true);
  }
  ~MainDialogTest() override {
    ResetProcessState();
  }

  FakeSerial m_serial;
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(MainDialogTest, StartUpState) {
  m_serial.AddPort("COM3");
  m_serial.AddPort("COM1");
  EXPECT_TRUE(m_dlg.OnInitDialog());

  EXPECT_EQ(OwnCaption(), "TAV Vevevura Dovu V1.03.001 ") << "the project version this tree carries";
  EXPECT_EQ(m_view.Caption(), OwnCaption());
  EXPECT_EQ(m_view.GetListSelection(IDC_INTERFACE_LIST), 1);
  EXPECT_TRUE(IsUsbHid());
  for (int nId : kRs232Controls) EXPECT_FALSE(m_view.IsShown(nId)) << nId;
  EXPECT_FALSE(m_view.IsShown(IDC_PROGRESS));
  EXPECT_EQ(g_mapTxPacing, (std::map<WORD, WORD>{{0xC715, 5000}}));
  EXPECT_EQ(m_view.ElapsedText(), "00:00");
  EXPECT_EQ(m_view.LogText(), "");
  EXPECT_EQ(m_view.GetListSelection(IDC_BAUD_LIST), 0);
  EXPECT_EQ(m_view.ListItems(IDC_PORT_LIST), (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_TRUE(m_view.MessageBoxes().empty());
  // The progress bar and the elapsed-time field are taken: the bar moves now.
  m_dlg.InitProgress(100, 40);
  EXPECT_EQ(m_view.ProgressPos(), 40);
}

TEST_F(MainDialogTest, NoSerialPortWarnsAtEveryStart) {
  EXPECT_TRUE(m_dlg.OnInitDialog());
  const auto calls = m_view.CallTexts();
  const auto beep = std::find(calls.begin(), calls.end(), "MessageBeep(Exclamation)");
  const auto box = std::find(calls.begin(), calls.end(), "MessageBox(\"No COM Port Available\", \"Warning\", Exclamation)");
  ASSERT_NE(beep, calls.end());
  ASSERT_NE(box, calls.end());
  EXPECT_LT(beep, box) << "the beep comes with the box";
  EXPECT_TRUE(m_view.ListItems(IDC_PORT_LIST).empty());
  // The rest of the start-up still happens.
  EXPECT_EQ(m_view.Caption(), OwnCaption());
  EXPECT_TRUE(IsUsbHid());
  // The Port button asks again, with the same answer.
  EXPECT_FALSE(m_dlg.RefreshComPortList());
  EXPECT_EQ(m_view.MessageBoxes().size(), 2u);
}

TEST_F(MainDialogTest, PortListSortedAsTextAndRefreshedWhole) {
  FakeSerialPort& com1 = m_serial.AddPort("COM1");
  FakeSerialPort& com3 = m_serial.AddPort("COM3");
  m_serial.AddPort("COM10");
  EXPECT_TRUE(m_dlg.OnInitDialog());
  EXPECT_EQ(m_view.ListItems(IDC_PORT_LIST), (std::vector<std::string>{"COM1", "COM10", "COM3"}));
  EXPECT_EQ(m_view.GetListSelection(IDC_PORT_LIST), 0);
  EXPECT_TRUE(m_view.IsEnabled(IDC_PORT_LIST));
  EXPECT_TRUE(m_serial.OpenAttempts().empty()) << "listing opens no port";

  // The Port button: the list is emptied and filled from a new listing. A
  // port that another program holds is listed all the same, and still not
  // opened.
  com3.RefuseOpens(16 /* EBUSY */);
  m_serial.AddPort("COM2");
  EXPECT_TRUE(m_dlg.RefreshComPortList());
  EXPECT_EQ(m_view.ListItems(IDC_PORT_LIST), (std::vector<std::string>{"COM1", "COM10", "COM2", "COM3"}));
  EXPECT_TRUE(m_serial.OpenAttempts().empty());
  EXPECT_EQ(com1.Calls(SerialOp::kOpen), 0);
}

TEST_F(MainDialogTest, InterfaceChoiceShowsAndHidesTheSerialControls) {
  m_serial.AddPort("COM2");
  m_serial.AddPort("COM12");
  ASSERT_TRUE(m_dlg.OnInitDialog());
  const std::size_t nOpens = m_serial.OpenAttempts().size();

  m_view.SetListSelection(IDC_INTERFACE_LIST, 0);
  m_dlg.OnInterfaceChange();
  EXPECT_TRUE(IsRs232());
  for (int nId : kRs232Controls) EXPECT_TRUE(m_view.IsShown(nId)) << nId;
  // The list shows what the start-up scan found; no new scan.
  EXPECT_EQ(m_view.ListItems(IDC_PORT_LIST), (std::vector<std::string>{"COM12", "COM2"}));
  EXPECT_EQ(m_serial.OpenAttempts().size(), nOpens);

  m_view.SetListSelection(IDC_INTERFACE_LIST, 1);
  m_dlg.OnInterfaceChange();
  EXPECT_TRUE(IsUsbHid());
  for (int nId : kRs232Controls) EXPECT_FALSE(m_view.IsShown(nId)) << nId;
}

TEST_F(MainDialogTest, CaptionFallsBackWhenTheVersionCannotBeRead) {
  m_dlg.SetVersionFile("/nonexistent/readertool");
  m_dlg.UpdateWindowTitle();
  EXPECT_EQ(m_view.Caption(), "TAV Vevevura Dovu V1.00.000");
  m_dlg.SetVersionFile("");
  m_dlg.UpdateWindowTitle();
  EXPECT_EQ(m_view.Caption(), OwnCaption());
}

TEST_F(MainDialogTest, SystemCommands) {
  struct Row {
    UINT nID;
    int nAboutBoxes;
    int nEndResult;
  } rows[] = {
      {IDM_ABOUTBOX, 1, -1},
      {IDM_ABOUTBOX | 0x3, 1, -1},  // the low four bits are the system's own
      {0xF020, 0, -1},              // minimize: default handling
      {kScClose, 0, kIdCancel},      // Close reaches OnCancel
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.nID);
    RecordingView view;
    CTAVDownloadApDlg dlg;
    dlg.AttachView(&view);
    dlg.OnSysCommand(r.nID, 0);
    EXPECT_EQ(view.AboutBoxCount(), r.nAboutBoxes);
    EXPECT_EQ(view.EndDialogResult(), r.nEndResult);
  }
}

TEST_F(MainDialogTest, EndingTheWindowWithoutARun) {
  for (bool bOk : {true, false}) {
    SCOPED_TRACE(bOk ? "OnOK" : "OnCancel");
    RecordingView view;
    CTAVDownloadApDlg dlg;
    dlg.AttachView(&view);
    LoadTxPacingPreset(2);
    bOk ? dlg.OnOK() : dlg.OnCancel();
    EXPECT_EQ(view.EndDialogResult(), bOk ? kIdOk : kIdCancel);
    EXPECT_TRUE(g_mapTxPacing.empty());
    // Closing also ends any wait in progress on the window thread ("Reset
    // Default" runs there), so the stop is raised with or without a run.
    EXPECT_TRUE(plat::Stop().Requested());
    plat::Stop().Clear();
    EXPECT_FALSE(dlg.IsRunInProgress());
    EXPECT_TRUE(dlg.JoinWorker(plat::NowMs()));
  }
}

}  // namespace
