// Run preparation and the bootloader download, end to end in virtual time:
// the main window's logic on a recording view, the connect step, the link
// and the transports, and the simulated reader behind the fake serial port
// or the fake HID device. Whole runs are compared with golden transcripts
// (tests/golden/download_*.log); every failing step is driven by a fault of
// the reader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/interface_select.h"
#include "platform/hid.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/test_window.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/golden.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/download.h"

namespace {

enum class Iface { Rs232, Usb };

std::string Help(Iface iface) { return GetStatusText(iface == Iface::Usb ? STS_HELP_USB : STS_HELP_RS232); }

// Everything one run needs: a sample image on disk, the reader behind the
// chosen interface, and the main window on a transcript view. The window is
// the application's main window (the programming progress reaches it
// through the application object) and "/chklegacy" is on.
struct Bench {
  Bench(const ReaderConfig& cfg, Iface iface, SimHidMode mode = SimHidMode::Interrupt64) : reader(cfg) {
    dir = MakeTempDir("download_test");
    std::string err;
    EXPECT_TRUE(MakeSampleImage(kSimDefaultImageSize, 1, &image, &err)) << err;
    imagePath = WriteFile(kSimSampleImage, image);

    dlg.AttachView(&view);
    dlg.TakeControlReferences();
    dlg.m_pPortList = &view;
    dlg.m_pBaudList = &view;
    theApp.SetMainDialog(&dlg);
    theApp.m_bChkLegacy = true;

    if (iface == Iface::Rs232) {
      serialLink = std::make_unique<SimSerialLink>(serial.AddPort("COM1"), reader);
      view.AddListItem(IDC_PORT_LIST, "COM1");
      view.SetListSelection(IDC_PORT_LIST, 0);
      view.SetListSelection(IDC_BAUD_LIST, 4);
      SelectInterface(true);
    } else {
      usb = std::make_unique<SimHidDevice>(hid, reader, mode);
      SelectInterface(false);
    }
  }
  ~Bench() {
    ResetProcessState();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string WriteFile(const std::string& name, const std::vector<BYTE>& data) {
    const std::string path = dir + "/" + name;
    std::string err;
    EXPECT_TRUE(WriteWholeFile(path, data.data(), data.size(), &err)) << err;
    return path;
  }

  // The request codes (CC-SS) the reader has received, in order.
  std::vector<WORD> Requests() const {
    std::vector<WORD> v;
    for (const auto& e : reader.Transcript())
      if (e.kind == TranscriptEntry::Request) v.push_back(e.wCode);
    return v;
  }

  std::string dir, imagePath;
  std::vector<BYTE> image;
  FakeSerial serial;
  fakehid::FakeHidBackend hid;
  plat::ScopedHidBackend useHid{hid};
  ReaderModel reader;
  std::unique_ptr<SimSerialLink> serialLink;
  std::unique_ptr<SimHidDevice> usb;
  TranscriptView view;
  CTAVDownloadApDlg dlg;
};

std::vector<WORD> Blocks(std::size_t n) { return std::vector<WORD>(n, 0xC703); }
std::vector<WORD> Cat(std::initializer_list<std::vector<WORD>> parts) {
  std::vector<WORD> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}
std::string CodesText(const std::vector<WORD>& codes) {
  std::string s;
  char sz[8];
  for (WORD c : codes) {
    std::snprintf(sz, sizeof sz, "%02X-%02X ", c >> 8, c & 0xFF);
    s += sz;
  }
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void ChooseSample(Bench& b) { b.view.QueueFileChoice(b.imagePath); }

// The USB reader answers the ping and C7-41, then its bootloader cannot be
// opened: the handle in use still reads the answer, a new open fails.
void LoseReaderAtBootEntry(Bench& b) {
  b.reader.SetTranscriptSink([&b](const TranscriptEntry& e) {
    if (e.kind != TranscriptEntry::Response || e.wCode != 0xC700) return;
    b.usb->Device().refuseExclusive = plat::HidOpenError::Busy;
    b.usb->Device().refuseFeatureOnly = true;
  });
}

class DownloadTest : public VirtualTimeTest {};

// ---- PrepareRun ----

TEST_F(DownloadTest, WithoutChkLegacyNothingIsAskedAndNothingLogged) {
  Bench b({}, Iface::Rs232);
  ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
  theApp.m_bChkLegacy = false;
  b.view.ClearCalls();
  int bNewVersion = -7;
  BYTE bInBootMode = 0x55;
  EXPECT_TRUE(PrepareRun(&b.dlg, &bNewVersion, &bInBootMode));
  EXPECT_EQ(bNewVersion, 1);
  EXPECT_EQ(bInBootMode, 0);
  EXPECT_EQ(b.reader.RequestsSeen(), 0);
  EXPECT_TRUE(b.view.CallTexts().empty());
  EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(DownloadTest, PrepareRunTakesThePathFromTheVersionAnswer) {
  auto Cfg = [](const char* app, bool inBoot, const char* boot = "") {
    ReaderConfig c;
    c.strAppVersion = app;
    c.bStartInBootloader = inBoot;
    c.strBootVersion = boot;
    return c;
  };
  struct Row {
    const char* name;
    ReaderConfig cfg;
    std::function<void(ReaderFaults&)> fault;
    bool bOk;
    int bNewVersion;
    BYTE bInBootMode;
    const char* versionLine;  // null: none
    std::vector<WORD> codes;
  } rows[] = {
      {"29-04 new", Cfg("3.00.001", false), nullptr, true, 1, 0, "BL Version:Firmware: 3.00.001", {0x2904}},
      {"29-04 old", Cfg("2.99.999", false), nullptr, true, 0, 0, "BL Version:Firmware: 2.99.999", {0x2904}},
      {"C7-10 new", Cfg("2.10.005", true, "3.00.001"), nullptr, true, 1, 1, "BL Version:Boot Ldr: 3.00.001",
       {0x2904, 0xC710}},
      {"C7-10 old", Cfg("2.10.005", true, "2.99.999"), nullptr, true, 0, 1, "BL Version:Boot Ldr: 2.99.999",
       {0x2904, 0xC710}},
      {"C7-01 only", Cfg("2.10.005", true, "3.01.000"),
       [](ReaderFaults& f) {
         f.nStatusCmd = 0xC710;
         f.byStatus = kSimStatusUnknownCommand;
       },
       true, 1, 1, "BL Version:Boot Ldr: 3.01.000", {0x2904, 0xC710, 0xC701}},
      {"none of the three", Cfg("2.10.005", false), [](ReaderFaults& f) { f.bSilent = true; }, false, -7, 0x55,
       nullptr, {0x2904, 0xC710, 0xC701}},
  };
  for (Iface iface : {Iface::Rs232, Iface::Usb}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(std::string(r.name) + (iface == Iface::Usb ? " over USB" : " over RS-232"));
      Bench b(r.cfg, iface);
      ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
      if (r.fault) {
        ReaderFaults f;
        r.fault(f);
        b.reader.SetFaults(f);
      }
      const std::uint64_t t0 = Now();
      int bNewVersion = -7;
      BYTE bInBootMode = 0x55;
      EXPECT_EQ(PrepareRun(&b.dlg, &bNewVersion, &bInBootMode), r.bOk);
      if (r.bOk) {
        EXPECT_EQ(bNewVersion, r.bNewVersion);
        EXPECT_EQ(bInBootMode, r.bInBootMode);
      }
      std::string want = "Open " + std::string(iface == Iface::Usb ? "USB" : "RS232") +
                         " interface success.\r\nBootloader Version Verifying...\r\nPlease Wait...\r\n";
      if (r.versionLine) want += std::string(r.versionLine) + "\r\n";
      EXPECT_EQ(b.view.Transcript(), want);
      EXPECT_EQ(CodesText(b.Requests()), CodesText(r.codes));
      EXPECT_TRUE(b.view.ProgressMarquee());
      EXPECT_TRUE(b.view.IsShown(IDC_PROGRESS));
      // The USB reader gets its settling pause before the first query.
      const auto t = b.reader.Transcript();
      ASSERT_FALSE(t.empty());
      EXPECT_EQ(t.front().tMs - t0 >= 300, iface == Iface::Usb);
    }
  }
}

// ---- the main paths ----

TEST_F(DownloadTest, LegacyReaderOverRs232FromBootModeEntryToReset) {
  Bench b({}, Iface::Rs232);
  ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
  int bNewVersion = -1;
  BYTE bInBootMode = 0xFF;
  ASSERT_TRUE(PrepareRun(&b.dlg, &bNewVersion, &bInBootMode));
  ASSERT_EQ(bNewVersion, 0);
  ASSERT_EQ(bInBootMode, 0);

  b.view.QueueFileChoice(b.imagePath);
  const std::uint64_t tStart = Now();
  EXPECT_EQ(DownloadFirmware(&b.dlg, bInBootMode), DL_OK);
  EXPECT_TRUE(MatchesGolden("download_legacy_rs232.log", b.view.Transcript()));
  EXPECT_EQ(b.dlg.GetRunOutcome().stage, ReaderStage::kRestarting);

  // 300,000 bytes: a body of 299,744 in 147 blocks, the last of 736 bytes.
  EXPECT_EQ(CodesText(b.Requests()),
            CodesText(Cat({{0x2904, 0x1801, 0xC741, 0xC701, 0xC702}, Blocks(147), {0xC704, 0xC705}})));
  EXPECT_EQ(b.reader.ProgrammedBody(), std::vector<BYTE>(b.image.begin(), b.image.end() - 256));
  // The reader restarts into the new firmware.
  m_clock.Advance(5000);
  EXPECT_EQ(b.reader.State(), SimState::Application);
  EXPECT_EQ(b.reader.AppVersion(), "3.10.001");
  // The five seconds for the bootloader's start were waited.
  EXPECT_GE(Now() - tStart, 5000u);
  // The bar is left at the last percentage; the worker fills it.
  EXPECT_EQ(b.view.ProgressMax(), 100);
  EXPECT_EQ(b.view.ProgressPos(), 99);
  EXPECT_FALSE(b.view.ProgressMarquee());
  EXPECT_TRUE(b.view.TimerRunning(kElapsedTimerId));
  EXPECT_EQ(b.view.ElapsedText(), "00:00");
  EXPECT_TRUE(b.view.MessageBoxes().empty());
}

TEST_F(DownloadTest, ReaderAlreadyInItsBootloaderOverUsb) {
  ReaderConfig cfg;
  cfg.bStartInBootloader = true;
  cfg.strBootVersion = "2.99.999";
  Bench b(cfg, Iface::Usb);
  ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
  int bNewVersion = -1;
  BYTE bInBootMode = 0xFF;
  ASSERT_TRUE(PrepareRun(&b.dlg, &bNewVersion, &bInBootMode));
  ASSERT_EQ(bNewVersion, 0);
  ASSERT_EQ(bInBootMode, 1);

  b.reader.ClearTranscript();
  b.view.QueueFileChoice(b.imagePath);
  EXPECT_EQ(DownloadFirmware(&b.dlg, bInBootMode), DL_OK);
  EXPECT_TRUE(MatchesGolden("download_bootmode_usb.log", b.view.Transcript()));
  // No boot-mode entry: the first frame is C7-01.
  EXPECT_EQ(CodesText(b.Requests()), CodesText(Cat({{0xC701, 0xC702}, Blocks(147), {0xC704, 0xC705}})));
  EXPECT_EQ(b.usb->Device().opens, 1) << "no reconnect";
}

TEST_F(DownloadTest, EveryUsbReportModeCarriesTheDownload) {
  for (SimHidMode mode : {SimHidMode::Interrupt64, SimHidMode::Counted65, SimHidMode::Feature8,
                          SimHidMode::FeatureOnly}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Bench b({}, Iface::Usb, mode);
    ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
    b.view.QueueFileChoice(b.imagePath);
    EXPECT_EQ(DownloadFirmware(&b.dlg, 0), DL_OK);
    EXPECT_TRUE(EndsWith(b.view.LogText(), "Verifying Flash Done.\r\n100% Done and Rebooting\r\nfirmware.bin\r\n"));
    EXPECT_EQ(b.reader.ProgrammedBody(), std::vector<BYTE>(b.image.begin(), b.image.end() - 256));
  }
}

// ---- a failure at every step ----

TEST_F(DownloadTest, EveryFailingStepEndsWithItsLineAndCode) {
  const std::string kLoadFailed = "[Err] Load File Failed\r\n";
  struct Row {
    const char* name;
    Iface iface;
    std::function<void(Bench&)> setup;  // the file the operator chooses, and faults
    int nResult;
    std::string tail;                  // the log's end before the help text
    std::vector<WORD> codes;           // what the download sent
  } rows[] = {
      {"file choice cancelled", Iface::Rs232, [](Bench&) {}, DL_LOAD_FILE_FAILED,
       "[Err] Open file fail.\r\n" + kLoadFailed, {}},
      {"file unreadable", Iface::Rs232, [](Bench& b) { b.view.QueueFileChoice(b.dir + "/missing.bin"); },
       DL_LOAD_FILE_FAILED, "missing.bin\r\n[Err] Read file fail.\r\n" + kLoadFailed, {}},
      {"image too small", Iface::Rs232,
       [](Bench& b) { b.view.QueueFileChoice(b.WriteFile("small.bin", std::vector<BYTE>(286719, 0))); },
       DL_LOAD_FILE_FAILED,
       "[Err] Please select correct Download Image File\r\n (*.bin; Size:280K~350K) for KORAMI Reader\r\n"
       "Selected Image Size = 279K (286719 bytes)\r\n" + kLoadFailed,
       {}},
      {"image a multiple of 4096", Iface::Rs232,
       [](Bench& b) { b.view.QueueFileChoice(b.WriteFile("even.bin", std::vector<BYTE>(290816, 1))); },
       DL_LOAD_FILE_FAILED, "File Len = 00047000, Check sum [Total File] : 00047000\r\n" + kLoadFailed, {}},
      {"ping unanswered", Iface::Rs232,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.bSilent = true;
         f.nFaultCmd = 0x1801;
         b.reader.SetFaults(f);
       },
       DL_PING_FAILED, "[Err] Ping Failed\r\n", {0x1801}},
      {"C7-41 refused", Iface::Rs232,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.nStatusCmd = 0xC741;
         f.byStatus = kSimStatusUnknownCommand;
         b.reader.SetFaults(f);
       },
       DL_PING_FAILED, "[Err] Ping Failed\r\n", {0x1801, 0xC741}},
      // The reader leaves the bus for its bootloader and never comes back.
      {"no reconnect after boot-mode entry", Iface::Usb,
       [](Bench& b) {
         ChooseSample(b);
         LoseReaderAtBootEntry(b);
       },
       DL_RECONNECT_FAILED,
       "Open USB interface fail.\r\n" + Help(Iface::Usb) +
           "\r\n[Err] Can't Connect to Reader after BootMode Entry\r\n",
       {0x1801, 0xC741}},
      {"C7-01 refused", Iface::Rs232,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.nStatusCmd = 0xC701;
         f.byStatus = kSimStatusUnknownCommand;
         b.reader.SetFaults(f);
       },
       DL_ERASE_FAILED, "Open RS232 interface success.\r\nReopen Connection.\r\n[Err] Erase Flash Failed\r\n",
       {0x1801, 0xC741, 0xC701}},
      {"C7-02 refused", Iface::Usb,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.nStatusCmd = 0xC702;
         f.byStatus = kSimStatusBadParameter;
         b.reader.SetFaults(f);
       },
       DL_ERASE_FAILED, "Open USB interface success.\r\nReopen Connection.\r\n[Err] Erase Flash Failed\r\n",
       {0x1801, 0xC741, 0xC701, 0xC702}},
      {"block 5 refused", Iface::Rs232,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.nRejectBlock = 5;
         b.reader.SetFaults(f);
       },
       DL_PROGRAM_FAILED,
       "[Failed] Address=00002800, Block # (0-based) = 5/146\r\n[Err] Program Flash Failed\r\n",
       Cat({{0x1801, 0xC741, 0xC701, 0xC702}, Blocks(6)})},
      // A trailer that does not describe the body: the reader refuses C7-04.
      {"verification refused", Iface::Usb,
       [](Bench& b) {
         std::vector<BYTE> bad = b.image;
         bad[bad.size() - 256 + 5] ^= 0x01;
         b.view.QueueFileChoice(b.WriteFile("bad_trailer.bin", bad));
       },
       DL_VERIFY_FAILED, "[Err] Verify Flash Failed\r\n",
       Cat({{0x1801, 0xC741, 0xC701, 0xC702}, Blocks(147), {0xC704}})},
      {"bootloader reset refused", Iface::Rs232,
       [](Bench& b) {
         ChooseSample(b);
         ReaderFaults f;
         f.nStatusCmd = 0xC705;
         f.byStatus = kSimStatusUnknownCommand;
         b.reader.SetFaults(f);
       },
       DL_RESET_FAILED, "Verifying Flash Done.\r\n[Err] Reset Bootloader Failed\r\n",
       Cat({{0x1801, 0xC741, 0xC701, 0xC702}, Blocks(147), {0xC704, 0xC705}})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Bench b({}, r.iface);
    ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
    r.setup(b);
    EXPECT_EQ(DownloadFirmware(&b.dlg, 0), r.nResult);
    // Every step after the accepted boot-mode entry leaves the reader in its
    // bootloader.
    EXPECT_EQ(b.dlg.GetRunOutcome().stage,
              r.nResult <= DL_RECONNECT_FAILED ? ReaderStage::kInBootloader : ReaderStage::kNotEntered);
    const std::string log = b.view.LogText();
    EXPECT_TRUE(EndsWith(log, r.tail + Help(r.iface) + "\r\n")) << log.substr(log.size() > 1500 ? log.size() - 1500 : 0);
    EXPECT_EQ(CodesText(b.Requests()), CodesText(r.codes));
    EXPECT_EQ(log.find("100% Done and Rebooting"), std::string::npos);
    // The bar is reset: marquee off, position 0.
    EXPECT_EQ(b.view.ProgressPos(), 0);
    EXPECT_FALSE(b.view.ProgressMarquee());
  }
}

TEST_F(DownloadTest, RefusedImageShowsTheBoxBeforeAnythingIsSent) {
  Bench b({}, Iface::Rs232);
  ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
  b.view.QueueFileChoice(b.WriteFile("firmware.bin.txt", b.image));
  EXPECT_EQ(DownloadFirmware(&b.dlg, 0), DL_LOAD_FILE_FAILED);
  EXPECT_TRUE(MatchesGolden("download_wrong_image_rs232.log", b.view.Transcript()));
  ASSERT_EQ(b.view.MessageBoxes().size(), 1u);
  EXPECT_EQ(b.view.MessageBoxes()[0].strText, GetStatusText(STS_WRONG_IMAGE_FILE));
  EXPECT_EQ(b.reader.RequestsSeen(), 0);
}

TEST_F(DownloadTest, AFailedReconnectIsReportedInTheFreshLog) {
  // The whole transcript of a run that loses the reader at boot-mode entry:
  // the lines before the reconnect, then the fresh log with its report.
  Bench b({}, Iface::Usb);
  ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
  LoseReaderAtBootEntry(b);
  ChooseSample(b);
  EXPECT_EQ(DownloadFirmware(&b.dlg, 0), DL_RECONNECT_FAILED);
  EXPECT_TRUE(MatchesGolden("download_reconnect_fail_usb.log", b.view.Transcript()));
  EXPECT_FALSE(g_HidDevice.IsOpen()) << "the failed reconnect leaves the link closed";
}

}  // namespace

namespace {

// Closing the window raises the stop request: the download ends at the next
// exchange instead of sending the rest of the image or waiting out the
// link's time-outs.
TEST_F(DownloadTest, AStopRequestEndsTheDownloadPromptly) {
  for (Iface iface : {Iface::Rs232, Iface::Usb}) {
    SCOPED_TRACE(iface == Iface::Usb ? "USB" : "RS-232");
    Bench b({}, iface);
    ASSERT_TRUE(b.dlg.OpenSelectedInterface(false));
    int nBlocks = 0;
    std::uint64_t tStop = 0;
    b.reader.SetTranscriptSink([&](const TranscriptEntry& e) {
      if (e.kind != TranscriptEntry::Request || e.wCode != 0xC703 || ++nBlocks != 3) return;
      tStop = e.tMs;
      plat::Stop().Request();
    });
    ChooseSample(b);
    EXPECT_EQ(DownloadFirmware(&b.dlg, 0), DL_PROGRAM_FAILED);
    EXPECT_EQ(nBlocks, 3) << "nothing is sent after the stop";
    EXPECT_TRUE(b.dlg.GetRunOutcome().LeftInBootloader());
    // Less than one exchange's time after the stop, never a link time-out.
    EXPECT_LT(Now() - tStop, 850u);
    EXPECT_TRUE(EndsWith(b.view.LogText(), "[Err] Program Flash Failed\r\n" + Help(iface) + "\r\n"));
    plat::Stop().Clear();
  }
}

}  // namespace
