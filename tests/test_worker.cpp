// Runs: "Load" on the window thread, the worker thread, the outcome, the
// window's idle state afterwards, and ending the window during a run. The
// recorder plays the window thread, so the worker's log refreshes are real
// synchronous calls to it. Virtual time, simulated reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/frame.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/test_window.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/golden.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

const std::vector<BYTE>& SampleImage() {
  static const std::vector<BYTE> image = [] {
    std::vector<BYTE> v;
    MakeSampleImage(kSimDefaultImageSize, 1, &v, nullptr);
    return v;
  }();
  return image;
}

constexpr int kRunControls[] = {IDC_LOAD,           IDC_RESET_DEFAULT, IDC_PORT_BUTTON,
                                IDC_INTERFACE_LIST, IDC_BAUD_LIST,     IDC_PORT_LIST};

class WorkerTest : public VirtualTimeTest {
 protected:
  WorkerTest() {
    AttachTestWindow(m_dlg, m_view);
    HidSetTaggedReports(0);
    LoadTxPacingPreset(2);
    m_dir = std::filesystem::temp_directory_path() / ("readertool_worker_" + std::to_string(::getpid()));
    std::filesystem::create_directories(m_dir);
    m_strScript = (m_dir / kSimSampleRs232Script).string();
    std::ofstream(m_strScript, std::ios::binary)
        << MakeUpdateScript(SampleImage(), SimScriptKind::Rs232, kSimDefaultModel, kSimSampleImage, nullptr);
    m_view.StartWindowThread();
  }
  ~WorkerTest() override {
    EXPECT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
    m_view.StopWindowThread();
    ResetProcessState();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }

  // "Load" pressed with the interface chosen; waits for the run's end.
  void Load(bool bRs232, bool bWait = true) {
    m_view.SendToWindowThread([&] {
      SelectInterface(bRs232);
      m_dlg.OnLoad();
    });
    if (bWait) {
      ASSERT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
    }
  }

  void ExpectIdle() {
    EXPECT_FALSE(m_dlg.IsRunInProgress());
    for (int nId : kRunControls) EXPECT_TRUE(m_view.IsEnabled(nId)) << nId;
    EXPECT_FALSE(m_view.TimerRunning(kElapsedTimerId));
    EXPECT_FALSE(g_Rs232Port.IsOpen());
    EXPECT_FALSE(g_HidDevice.IsOpen());
    // Every log refresh ran on the window thread.
    for (const auto& c : m_view.Calls()) {
      if (c.strText.rfind("SetLogText(", 0) == 0) {
        EXPECT_TRUE(c.bOnWindowThread) << c.strText;
      }
    }
  }

  std::filesystem::path m_dir;
  std::string m_strScript;
  FakeSerial m_serial;
  fakehid::FakeHidBackend m_hid;
  plat::ScopedHidBackend m_useHid{m_hid};
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(WorkerTest, RunDisablesTheControlsAndEndsWithAFullBarAndTheLinkClosed) {
  ReaderModel reader;
  // At every request the reader sees, the run controls are disabled.
  std::atomic<int> nEnabledDuringRun{0};
  reader.SetTranscriptSink([&](const TranscriptEntry& e) {
    if (e.kind != TranscriptEntry::Request) return;
    for (int nId : kRunControls)
      if (m_view.IsEnabled(nId)) ++nEnabledDuringRun;
  });
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  m_view.QueueFileChoice(m_strScript);
  Load(true);

  EXPECT_EQ(m_dlg.GetWorkerExitCode(), 1);
  EXPECT_EQ(m_dlg.GetRunOutcome(), (RunOutcome{RunFailure::kNone, ReaderStage::kRestarting}));
  EXPECT_GT(reader.RequestsSeen(), 150);
  EXPECT_EQ(nEnabledDuringRun, 0);
  // Disabled and enabled again by the worker itself.
  int nByWorker = 0;
  for (const auto& c : m_view.Calls())
    if (c.strText.rfind("EnableControl(", 0) == 0 && !c.bOnWindowThread) ++nByWorker;
  EXPECT_EQ(nByWorker, 12);
  ExpectIdle();
  EXPECT_EQ(m_view.ProgressPos(), 100);
  EXPECT_EQ(m_view.ProgressMax(), 100);
  EXPECT_FALSE(m_view.ProgressMarquee());
  const std::string log = m_view.LogText();
  EXPECT_EQ(log.substr(log.size() - 43), "100% Done and Rebooting\r\nupdate_rs232.txt\r\n");
  EXPECT_FALSE(m_serial.Port("COM1")->IsOpen());
}

// A procedure that fails: its own lines, then "Error, Download Failed"; the
// bar is reset and then filled to the range the procedure set.
TEST_F(WorkerTest, FailedRunEndsWithTheErrorLineAndAFullBar) {
  ReaderModel reader;
  ReaderFaults f;
  f.nRejectBlock = 3;
  reader.SetFaults(f);
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  m_view.QueueFileChoice(m_strScript);
  Load(true);

  EXPECT_EQ(m_dlg.GetWorkerExitCode(), 0);
  EXPECT_EQ(m_dlg.GetRunOutcome(), (RunOutcome{RunFailure::kProcedure, ReaderStage::kInBootloader}));
  const std::string log = m_view.LogText();
  const std::string tail = "[Err] Send command fail.\r\n" + std::string(GetStatusText(STS_HELP_RS232)) +
                           "\r\nError, Download Failed\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  const auto pos = m_view.CallsStartingWith("SetProgress");
  ASSERT_GE(pos.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(pos.end() - 3, pos.end()),
            (std::vector<std::string>{"SetProgressMarquee(false)", "SetProgressPos(0)", "SetProgressPos(100)"}));
  ExpectIdle();
}

// Which procedure runs, and that every run asks for its file: without
// "/chklegacy" always the script; with it the reader's version decides.
TEST_F(WorkerTest, EveryRunChoosesItsPathAndItsFile) {
  struct Row {
    const char* name;
    bool bChkLegacy;
    const char* version;
    const char* filter;
    std::string log;
  } rows[] = {
      {"no switch, old reader", false, "2.10.005", "Text Script File (*.txt)|*.txt||",
       "[Err] Open file fail.\r\nError, Download Failed\r\n"},
      {"switch, new reader", true, "3.00.001", "Text Script File (*.txt)|*.txt||",
       "[Err] Open file fail.\r\nError, Download Failed\r\n"},
      {"switch, old reader", true, "2.99.999", "Binary File (*.bin)|*.bin||",
       "Open RS232 interface success.\r\nBootloader Version Verifying...\r\nPlease Wait...\r\n"
       "BL Version:Firmware: 2.99.999\r\n[Err] Open file fail.\r\n[Err] Load File Failed\r\n" +
           std::string(GetStatusText(STS_HELP_RS232)) + "\r\nError, Download Failed\r\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderConfig cfg;
    cfg.strAppVersion = r.version;
    ReaderModel reader(cfg);
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    theApp.m_bChkLegacy = r.bChkLegacy;
    const std::size_t nChosen = m_view.FileFilters().size();
    Load(true);  // no file queued: the operator cancels the dialog
    ASSERT_EQ(m_view.FileFilters().size(), nChosen + 1);
    EXPECT_EQ(m_view.FileFilters().back(), r.filter);
    EXPECT_EQ(m_view.LogText(), r.log);
    EXPECT_EQ(m_dlg.GetWorkerExitCode(), 0);
    EXPECT_EQ(m_dlg.GetRunOutcome(), RunOutcome{RunFailure::kFileRefused});
    EXPECT_EQ(m_view.ProgressPos(), 0) << "no range set: the bar ends at 0";
    ExpectIdle();
  }
}

// The step the outcome names comes from what the procedure returned: a file
// refused before anything was sent is told apart from a step the reader
// failed, on either path.
TEST_F(WorkerTest, TheOutcomeNamesTheStepThatFailed) {
  const auto write = [this](const char* pszName, const std::string& strContent) {
    const std::string path = (m_dir / pszName).string();
    std::ofstream(path, std::ios::binary) << strContent;
    return path;
  };
  const std::string image = write("firmware.bin", std::string(SampleImage().begin(), SampleImage().end()));
  struct Row {
    const char* name;
    bool bChkLegacy;  // an old reader: the bootloader download instead of the script
    std::string file;
    int nRefusedCmd;  // a command the reader refuses with status 0x01
    RunOutcome outcome;
  } rows[] = {
      {"USB HID script on RS-232", false, write("usb.txt", "#USBHID version\r\nSEND: 00\r\nWAIT\r\nEND>\r\n"), -1,
       {RunFailure::kFileRefused}},
      {"script command not ended", false, write("unended.txt", "#RS232 version\r\nSEND: 0102\r\nEND>\r\n"), -1,
       {RunFailure::kFileRefused}},
      {"script, erase refused", false, m_strScript, 0xC702, {RunFailure::kProcedure, ReaderStage::kInBootloader}},
      {"image too small", true, write("small.bin", std::string(1000, '\0')), -1, {RunFailure::kFileRefused}},
      {"download, boot-mode entry refused", true, image, 0xC741, {RunFailure::kProcedure}},
      {"download, erase refused", true, image, 0xC702, {RunFailure::kProcedure, ReaderStage::kInBootloader}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel reader;
    ReaderFaults f;
    f.nStatusCmd = r.nRefusedCmd;
    f.byStatus = 0x01;
    reader.SetFaults(f);
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    theApp.m_bChkLegacy = r.bChkLegacy;
    m_view.QueueFileChoice(r.file);
    Load(true);
    EXPECT_EQ(m_dlg.GetWorkerExitCode(), 0);
    EXPECT_EQ(m_dlg.GetRunOutcome(), r.outcome) << m_view.LogText();
  }
}

TEST_F(WorkerTest, ReaderThatDoesNotAnswerTheVersionQueries) {
  ReaderModel reader;
  ReaderFaults f;
  f.bSilent = true;
  reader.SetFaults(f);
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  theApp.m_bChkLegacy = true;
  Load(true);
  EXPECT_EQ(m_dlg.GetWorkerExitCode(), 0);
  EXPECT_EQ(m_dlg.GetRunOutcome(), RunOutcome{RunFailure::kProcedure});
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface success.\r\nBootloader Version Verifying...\r\nPlease Wait...\r\n"
                              "[Err] Send command fail.\r\n" +
                                  std::string(GetStatusText(STS_HELP_RS232)) + "\r\n");
  EXPECT_TRUE(m_view.FileFilters().empty());
  EXPECT_FALSE(m_view.ProgressMarquee());
  EXPECT_EQ(m_view.ProgressPos(), 0);
  ExpectIdle();
}

TEST_F(WorkerTest, ConnectFailureStartsNoWorker) {
  Load(false, false);  // no USB reader attached
  EXPECT_FALSE(m_dlg.IsRunInProgress());
  EXPECT_EQ(m_dlg.GetWorkerExitCode(), -1);
  EXPECT_EQ(m_dlg.GetRunOutcome(), RunOutcome{RunFailure::kConnect});
  EXPECT_EQ(m_view.LogText(), "Open USB interface fail.\r\n" + std::string(GetStatusText(STS_HELP_USB)) + "\r\n");
  EXPECT_TRUE(m_view.CallsStartingWith("EnableControl(").empty());
  EXPECT_TRUE(m_dlg.JoinWorker(Now()));
}

// "Load" once more while a run goes on (the button is disabled, but a front
// end may call the handler): no second connect, no second worker.
TEST_F(WorkerTest, LoadDuringARunStartsNothing) {
  ReaderModel reader;
  std::promise<void> reached, again;
  std::shared_future<void> againF = again.get_future().share();
  int nRequests = 0;
  reader.SetTranscriptSink([&](const TranscriptEntry& e) {
    if (e.kind != TranscriptEntry::Request || ++nRequests != 5) return;
    reached.set_value();
    againF.wait();
  });
  FakeSerialPort& com1 = m_serial.AddPort("COM1");
  SimSerialLink line(com1, reader, 115200);
  m_view.QueueFileChoice(m_strScript);
  m_view.QueueFileChoice(m_strScript);
  Load(true, false);
  reached.get_future().wait();
  const std::size_t nOpens = m_serial.OpenAttempts().size();
  m_view.SendToWindowThread([&] { m_dlg.OnLoad(); });
  EXPECT_EQ(m_serial.OpenAttempts().size(), nOpens);
  EXPECT_TRUE(com1.IsOpen()) << "the running worker's link is left alone";
  again.set_value();
  ASSERT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
  EXPECT_EQ(m_dlg.GetWorkerExitCode(), 1);
  EXPECT_EQ(m_view.FileFilters().size(), 1u);
}

// Closing the window during a run: the worker is not killed; the stop ends
// the exchange in progress, nothing more goes to the reader or the log, the
// link is closed and the pacing table emptied once the worker has left.
TEST_F(WorkerTest, ClosingTheWindowDuringARunStopsItPromptly) {
  for (bool bRs232 : {true, false}) {
    SCOPED_TRACE(bRs232 ? "RS-232" : "USB");
    ReaderModel reader;
    std::promise<void> reached, closed;
    std::shared_future<void> closedF = closed.get_future().share();
    int nRequests = 0;
    reader.SetTranscriptSink([&](const TranscriptEntry& e) {
      if (e.kind != TranscriptEntry::Request || ++nRequests != 20) return;
      reached.set_value();
      closedF.wait();  // the worker is held inside this exchange until the window has closed
    });
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    m_view.QueueFileChoice(m_strScript);
    Load(bRs232, false);

    reached.get_future().wait();
    EXPECT_TRUE(m_dlg.IsRunInProgress());
    m_view.SendToWindowThread([&] { m_dlg.OnCancel(); });
    EXPECT_EQ(m_view.EndDialogResult(), kIdCancel);
    EXPECT_TRUE(plat::Stop().Requested());
    const std::string logAtClose = m_view.LogText();
    closed.set_value();

    ASSERT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
    EXPECT_EQ(reader.RequestsSeen(), 20) << "nothing sent after the stop";
    EXPECT_EQ(m_view.LogText(), logAtClose) << "nothing logged after the stop";
    // Stopped while loading: the reader was left in its bootloader.
    EXPECT_EQ(m_dlg.GetRunOutcome(), (RunOutcome{RunFailure::kProcedure, ReaderStage::kInBootloader}));
    EXPECT_FALSE(g_Rs232Port.IsOpen());
    EXPECT_FALSE(g_HidDevice.IsOpen());
    EXPECT_TRUE(g_mapTxPacing.empty());
    plat::Stop().Clear();
    LoadTxPacingPreset(2);
  }
}

}  // namespace
