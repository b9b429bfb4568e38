// Several USB readers on one PC: a run keeps to the reader it opened first
// (found again by USB location, then by serial number, after the reader came
// back as its bootloader with a new path and product ID), a pinned path is
// the only interface ever opened, and readerctl's --wait looks for the
// reader until it answers. Virtual time, simulated readers behind the fake
// HID backend and the fake serial line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/wait_for_reader.h"
#include "link/frame.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/temp_dir.h"
#include "support/test_window.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/reader_choice.h"
#include "ui/main_dialog.h"

namespace {

// Product ID under which the reader's bootloader comes back.
constexpr std::uint16_t kBootloaderPid = 0x0A05;

// Two simulated readers of the same model, A listed first.
class ReaderChoiceTest : public VirtualTimeTest {
 protected:
  ReaderChoiceTest() {
    AttachTestWindow(m_dlg, m_view);
    SelectInterface(false);
    Place(m_a.Device(), "/dev/hidraw0", "1-1", "A1");
    Place(m_b.Device(), "/dev/hidraw1", "1-2", "B2");
  }
  ~ReaderChoiceTest() override {
    EXPECT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
    m_view.StopWindowThread();
    ResetProcessState();
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
  }

  static void Place(fakehid::FakeHidDevice& dev, const char* pszPath, const char* pszLocation, const char* pszSerial) {
    dev.path = pszPath;
    dev.location = pszLocation;
    dev.serial = pszSerial;
  }

  // The sample update script, written once per test.
  std::string Script() {
    m_dir = MakeTempDir("reader_choice_");
    std::vector<BYTE> image;
    MakeSampleImage(kSimDefaultImageSize, 1, &image, nullptr);
    const std::string path = m_dir + "/" + kSimSampleUsbHidScript;
    std::ofstream(path, std::ios::binary)
        << MakeUpdateScript(image, SimScriptKind::UsbHid, kSimDefaultModel, kSimSampleImage, nullptr);
    return path;
  }

  // "Load" pressed over USB; waits for the run's end.
  void Load(const std::string& strScript) {
    m_view.QueueFileChoice(strScript);
    m_view.StartWindowThread();
    m_view.SendToWindowThread([&] { m_dlg.OnLoad(); });
    ASSERT_TRUE(m_dlg.JoinWorker(Now() + 600'000));
  }

  fakehid::FakeHidBackend m_hid;
  plat::ScopedHidBackend m_useHid{m_hid};
  FakeSerial m_serial;
  ReaderModel m_readerA, m_readerB;
  SimHidDevice m_a{m_hid, m_readerA, SimHidMode::Interrupt64};
  SimHidDevice m_b{m_hid, m_readerB, SimHidMode::Interrupt64};
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
  std::string m_dir;
};

// Reader A enters its bootloader and comes back on a new node with another
// product ID; B still shows A's old identity and comes first in the known
// reader list's order. The reconnect must find A, by whatever A shows.
TEST_F(ReaderChoiceTest, TheRunFollowsItsReaderThroughTheBootloaderAndNeverTakesTheOther) {
  struct Row {
    const char* name;
    const char* pszLocation;  // where A comes back
    const char* pszSerial;    // the serial number its bootloader shows
    bool bFollowed;
  } rows[] = {
      {"same USB location, no serial number", "1-1", "", true},
      {"another location, same serial number", "3-4", "A1", true},
      {"another location, no serial number", "3-4", "", false},
  };
  const std::string strScript = Script();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    m_readerA.SetTranscriptSink([&](const TranscriptEntry& e) {
      if (e.kind != TranscriptEntry::Request || e.wCode != 0xC741) return;
      fakehid::FakeHidDevice& a = m_a.Device();
      Place(a, "/dev/hidraw5", r.pszLocation, r.pszSerial);
      a.productId = a.attrProductId = kBootloaderPid;
    });

    Load(strScript);
    if (r.bFollowed) {
      EXPECT_EQ(m_dlg.GetRunOutcome(), (RunOutcome{RunFailure::kNone, ReaderStage::kRestarting}));
      EXPECT_EQ(RequestCodes(m_readerA).back(), 0xC705);
    } else {
      EXPECT_EQ(m_dlg.GetRunOutcome().failure, RunFailure::kProcedure);
    }
    // The request after boot-mode entry went to A's bootloader, if anywhere.
    EXPECT_EQ(RequestCodes(m_readerA).at(0), 0xC741);
    EXPECT_EQ(m_b.Device().opens, 0);
    EXPECT_EQ(m_readerB.RequestsSeen(), 0);

    // A as it was before the next row.
    m_dlg.JoinWorker(Now() + 60'000);
    m_view.StopWindowThread();
    m_readerA.SetTranscriptSink(nullptr);
    m_readerA.ClearTranscript();
    m_readerA.PowerCycle();
    Place(m_a.Device(), "/dev/hidraw0", "1-1", "A1");
    m_a.Device().productId = m_a.Device().attrProductId = kSimReaderProductId;
    m_clock.Advance(10'000);
  }
}

TEST_F(ReaderChoiceTest, APinnedPathIsTheOnlyInterfaceOpened) {
  g_ReaderChoice.Pin("/dev/hidraw1");
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(true));
  EXPECT_STREQ(g_HidDevice.m_szDevicePath, "/dev/hidraw1");
  EXPECT_EQ(m_readerB.RequestsSeen(), 1);

  // Not there: the run fails the normal way, says which reader is missing
  // and has opened nothing else.
  g_ReaderChoice.Pin("/dev/hidraw9");
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  EXPECT_EQ(LastLinkOpenFailure().kind, LinkOpenFailureKind::NotFound);
  EXPECT_EQ(LastLinkOpenFailure().text, "USB reader /dev/hidraw9: not connected");
  EXPECT_EQ(m_a.Device().opens, 0);
  EXPECT_EQ(m_b.Device().opens, 1);
}

TEST_F(ReaderChoiceTest, ANewRunStartsFree) {
  ClearLinkOpenFailure();
  g_ReaderChoice.StartRun();
  ASSERT_TRUE(OpenUsbHid(false, kSimReaderVendorId, kSimReaderProductId));
  EXPECT_STREQ(g_HidDevice.m_szDevicePath, "/dev/hidraw0");
  CloseInterface();

  // A unplugged: the same run takes nothing, and names what it misses.
  m_a.Device().Disconnect();
  EXPECT_FALSE(OpenUsbHid(false, kSimReaderVendorId, kSimReaderProductId));
  EXPECT_EQ(LastLinkOpenFailure().text, "USB reader /dev/hidraw0 at USB location 1-1: not connected");
  EXPECT_EQ(m_b.Device().opens, 0);

  // The next run takes the reader that is there.
  g_ReaderChoice.StartRun();
  ASSERT_TRUE(OpenUsbHid(false, kSimReaderVendorId, kSimReaderProductId));
  EXPECT_STREQ(g_HidDevice.m_szDevicePath, "/dev/hidraw1");
}

// --wait right after a run that left the reader restarting: the looks go on
// until the reader answers, and never reach another reader.
TEST_F(ReaderChoiceTest, WaitingLooksUntilTheRestartedReaderAnswers) {
  struct Row {
    const char* name;
    bool bRs232;
  } rows[] = {{"USB, pinned", false}, {"RS-232", true}};
  SimSerialLink line(m_serial.AddPort("COM3"), m_readerB, 115200);
  g_ReaderChoice.Pin("/dev/hidraw1");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    m_readerB.PowerCycle();  // silent for the restart time
    m_readerB.ClearTranscript();
    const std::uint64_t nUpAt = Now() + m_readerB.Config().nRestartMs;
    ASSERT_TRUE(WaitForReader({r.bRs232, 3, 115200}, 30'000));
    EXPECT_GE(Now(), nUpAt);
    // One ping a look, a look every kReaderPollMs at most, the last answered.
    const int nPings = static_cast<int>(RequestCodes(m_readerB).size());
    EXPECT_GE(nPings, 2);
    EXPECT_LE(nPings, static_cast<int>(m_readerB.Config().nRestartMs / kReaderPollMs) + 2);
    EXPECT_FALSE(g_HidDevice.IsOpen());
    EXPECT_FALSE(m_serial.Port("COM3")->IsOpen());
  }
  EXPECT_EQ(m_a.Device().opens, 0);
  EXPECT_EQ(m_readerA.RequestsSeen(), 0);
}

TEST_F(ReaderChoiceTest, WaitingEndsAtItsTimeOrAtAStop) {
  ReaderFaults silent;
  silent.bSilent = true;
  m_readerA.SetFaults(silent);
  m_readerB.SetFaults(silent);
  // Each look pings the first reader that opens; none answers.
  EXPECT_FALSE(WaitForReader({false, 0, 0}, 5'000));
  EXPECT_GE(m_readerA.RequestsSeen(), 5'000 / static_cast<int>(kReaderPingMs));
  EXPECT_LE(m_readerA.RequestsSeen(), 5'000 / static_cast<int>(kReaderPollMs) + 1);
  EXPECT_FALSE(g_HidDevice.IsOpen());

  // Ctrl-C: one look at most, then the run goes ahead (and stops).
  const int nPingsBefore = m_readerA.RequestsSeen();
  plat::Stop().Request();
  EXPECT_FALSE(WaitForReader({false, 0, 0}, 600'000));
  EXPECT_LE(m_readerA.RequestsSeen() - nPingsBefore, 1);
}

}  // namespace
