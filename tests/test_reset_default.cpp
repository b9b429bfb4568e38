// "Reset Default" against the simulated reader, in virtual time, on the
// window's thread: both variants, every row of its failure table, the waits
// after the reset, the outcome it records, and the window's state afterwards
// on every path.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "sim/model/reader_model.h"
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

namespace {

// The window thread's event pump: notes every wait (start, deadline) and
// lets virtual time pass.
class NotingPump final : public plat::IEventPump {
 public:
  void DispatchOne() override { ++m_nDispatched; }
  void WaitUntil(std::uint64_t deadlineMs) override {
    m_waits.emplace_back(plat::NowMs(), deadlineMs);
    plat::Clock().SleepUntil(deadlineMs);
  }
  // The waits of at least nMs.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> WaitsOfAtLeast(std::uint64_t nMs) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> v;
    for (const auto& w : m_waits)
      if (w.second - w.first >= nMs) v.push_back(w);
    return v;
  }
  int m_nDispatched = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> m_waits;
};

class ResetDefaultTest : public VirtualTimeTest {
 protected:
  ResetDefaultTest() {
    AttachTestWindow(m_dlg, m_view);
  }
  ~ResetDefaultTest() override {
    ResetProcessState();
  }

  NotingPump m_pump;
  plat::ScopedThreadPump m_usePump{m_pump};
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(ResetDefaultTest, EveryPathEndsWithTheWindowIdleAndTheLinkClosed) {
  struct Row {
    const char* name;
    bool bSwitch;
    bool bRs232;
    bool bReader;     // a reader on the chosen interface
    int nStatusCmd;   // a command the reader refuses with status 0x01
    bool bSilent;     // the reader answers nothing
    const char* golden;
    std::vector<WORD> codes;
    bool bWaits;      // the ten seconds after the reset
    RunOutcome outcome;
    int nSilentCmd = -1;  // a command the reader leaves unanswered
  } rows[] = {
      {"04-0A over RS-232", false, true, true, -1, false, "reset_040A_rs232.log", {0x1801, 0x2900, 0x040A, 0x1801},
       true, {}},
      {"04-0A over USB", false, false, true, -1, false, "reset_040A_usb.log", {0x1801, 0x2900, 0x040A, 0x1801}, true,
       {}},
      // A 04-0A not accepted still gets the waits and the closing line, then
      // the failure line: the reset failed.
      {"04-0A refused", false, true, true, 0x040A, false, "reset_040A_refused.log", {0x1801, 0x2900, 0x040A, 0x1801},
       true, {RunFailure::kProcedure, ReaderStage::kNotEntered, true}},
      {"04-0A unanswered", false, true, true, -1, false, "reset_040A_refused.log", {0x1801, 0x2900, 0x040A, 0x1801},
       true, {RunFailure::kProcedure, ReaderStage::kNotEntered, true}, 0x040A},
      {"04-F0 over RS-232", true, true, true, -1, false, "reset_04F0_rs232.log", {0x1801, 0x2900, 0x04F0, 0x1801},
       true, {}},
      {"04-F0 refused", true, true, true, 0x04F0, false, "reset_04F0_refused.log", {0x1801, 0x2900, 0x04F0}, false,
       {RunFailure::kProcedure, ReaderStage::kNotEntered, true}},
      {"29-00 refused", true, false, true, 0x2900, false, "reset_fw_version_refused.log", {0x1801, 0x2900}, false,
       {RunFailure::kProcedure}},
      {"no USB reader", false, false, false, -1, false, "reset_no_reader_usb.log", {}, false, {RunFailure::kConnect}},
      {"RS-232 reader silent", true, true, true, -1, true, "reset_no_reader_rs232.log", {0x1801}, false,
       {RunFailure::kConnect}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel reader;
    ReaderFaults f;
    f.nStatusCmd = r.nStatusCmd;
    f.byStatus = 0x01;
    f.bSilent = r.bSilent || r.nSilentCmd >= 0;
    f.nFaultCmd = r.nSilentCmd;
    reader.SetFaults(f);
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    std::unique_ptr<SimHidDevice> device;
    if (r.bReader && !r.bRs232) device = std::make_unique<SimHidDevice>(backend, reader, SimHidMode::Interrupt64);
    theApp.m_bR2DefNoEncKeys = r.bSwitch;
    SelectInterface(r.bRs232);
    m_view.ClearCalls();
    m_pump.m_waits.clear();

    m_dlg.OnResetDefault();

    EXPECT_TRUE(MatchesGolden(r.golden, m_view.LogText()));
    EXPECT_EQ(RequestCodes(reader), r.codes);
    EXPECT_EQ(m_dlg.GetRunOutcome(), r.outcome);
    if (r.bWaits) {
      // Five seconds of plain waiting through the window's pump, then pings:
      // the reader is up again (3 s restart), so the first ping ends it.
      const auto waits = m_pump.WaitsOfAtLeast(5000);
      ASSERT_EQ(waits.size(), 1u);
      EXPECT_EQ(waits[0].second - waits[0].first, 5000u);
      EXPECT_LT(Now() - waits[0].second, 2000u) << "one answered ping after the plain wait ends it";
    } else {
      EXPECT_TRUE(m_pump.WaitsOfAtLeast(5000).empty());
    }
    // Busy from the first step to the last, then idle again.
    const auto enables = m_view.CallsStartingWith("EnableControl(");
    ASSERT_EQ(enables.size(), 12u);
    EXPECT_EQ(enables.front(), "EnableControl(1000, false)");
    EXPECT_EQ(enables.back(), "EnableControl(1020, true)");
    EXPECT_TRUE(m_view.IsEnabled(IDC_LOAD));
    EXPECT_TRUE(m_view.IsEnabled(IDC_RESET_DEFAULT));
    EXPECT_TRUE(m_view.IsShown(IDC_PROGRESS));
    EXPECT_FALSE(m_view.ProgressMarquee());
    EXPECT_EQ(m_view.ProgressPos(), 0);
    EXPECT_FALSE(g_Rs232Port.IsOpen());
    EXPECT_FALSE(g_HidDevice.IsOpen());
    EXPECT_TRUE(m_view.MessageBoxes().empty());
  }
}

// A reader that is still restarting when the pinging half begins: the
// unanswered ping holds the wait for its whole exchange time (the end is
// only tested between pings), then the closing line follows and the link is
// closed.
TEST_F(ResetDefaultTest, ReaderStillRestartingWhenThePingsBegin) {
  ReaderConfig cfg;
  cfg.nRestartMs = 7000;
  ReaderModel reader(cfg);
  fakehid::FakeHidBackend backend;
  plat::ScopedHidBackend use(backend);
  SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
  SelectInterface(false);
  m_dlg.OnResetDefault();
  EXPECT_TRUE(MatchesGolden("reset_040A_usb.log", m_view.LogText()));
  EXPECT_EQ(RequestCodes(reader), (std::vector<WORD>{0x1801, 0x2900, 0x040A, 0x1801}));
  const auto waits = m_pump.WaitsOfAtLeast(5000);
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits[0].second - waits[0].first, 5000u);
  EXPECT_GT(Now() - waits[0].second, 5000u);
  EXPECT_FALSE(g_HidDevice.IsOpen());
  EXPECT_TRUE(m_view.IsEnabled(IDC_LOAD));
}

}  // namespace
