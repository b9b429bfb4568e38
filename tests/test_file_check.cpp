// The offline check of an update file, held against what a "Load" run does
// with the same file: for every file of the table the check runs first,
// then the window's own run (OnLoad, the worker, the procedure) against the
// simulated reader in virtual time. A file the check accepts is one the run
// accepts, and the check's account of it is what the reader then received;
// a file it refuses is refused by the run with the same log lines and the
// same message box, before anything but run preparation reached the reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "script/text_script.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/golden.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/test_window.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/file_check.h"
#include "update/firmware_image.h"

namespace {

const std::vector<BYTE>& SampleImage() {
  static const std::vector<BYTE> image = [] {
    std::vector<BYTE> v;
    MakeSampleImage(kSimDefaultImageSize, 1, &v, nullptr);
    return v;
  }();
  return image;
}

// A 64-byte body in one block, and the frames of its whole update.
std::vector<BYTE> TinyBody() {
  std::vector<BYTE> body(64);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<BYTE>(i * 7 + 3);
  return body;
}
const std::vector<BYTE> kEnter = MakeFrame(0xC7, 0x41);
const std::vector<BYTE> kBlVersion = MakeFrame(0xC7, 0x10);
const std::vector<BYTE> kErase = MakeFrame(0xC7, 0x02, {0x00});
std::vector<BYTE> Block() {
  std::vector<BYTE> data = {0, 0, 0, 0};
  const std::vector<BYTE> body = TinyBody();
  data.insert(data.end(), body.begin(), body.end());
  return MakeFrame(0xC7, 0x03, data);
}
std::vector<BYTE> Verify() {
  std::vector<BYTE> data = {0x00, 0x03, 0xFF, 0xF0};
  const std::vector<BYTE> body = TinyBody();
  const std::vector<BYTE> trailer = MakeSimTrailer(body.data(), body.size());
  data.insert(data.end(), trailer.begin(), trailer.end());
  return MakeFrame(0xC7, 0x04, data);
}
const std::vector<BYTE> kRestart = MakeFrame(0xC7, 0x05);

std::string ScriptOf(const std::vector<std::vector<BYTE>>& frames, const std::string& strHeader = "#RS232 version") {
  std::string s = strHeader + "\r\nReader model: test reader\r\n";
  for (const auto& f : frames) s += "SEND: " + FormatHexLine(f.data(), f.size()) + "\r\nWAIT: 10\r\n";
  return s + "END>\r\n";
}

std::string Bytes(const std::vector<BYTE>& v) { return std::string(v.begin(), v.end()); }

enum class Link { kRs232, kUsb };

struct Want {
  bool bAccepted;
  std::string strRefusal;  // refused: the check's reason, which the run's log shows too
  int nBoxRow = -1;        // refused: the status row of the run's message box, -1 none
  int nWarnings = 0;
};

class FileCheckTest : public VirtualTimeTest {
 protected:
  FileCheckTest() {
    AttachTestWindow(m_dlg, m_view);
    LoadTxPacingPreset(2);
    m_dir = std::filesystem::temp_directory_path() / ("readertool_check_" + std::to_string(::getpid()));
    std::filesystem::create_directories(m_dir);
    m_view.StartWindowThread();
  }
  ~FileCheckTest() override {
    m_view.StopWindowThread();
    ResetProcessState();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }

  std::string Write(const std::string& strName, const std::string& strContent) {
    const std::string path = (m_dir / strName).string();
    std::ofstream(path, std::ios::binary) << strContent;
    return path;
  }

  FileCheck Check(const std::string& strPath) {
    RecordingView view;
    CTAVDownloadApDlg dlg;
    dlg.AttachView(&view);
    view.QueueFileChoice(strPath);
    FileCheck check = CheckRunFile(&dlg, RunFileKindFor(strPath.c_str()));
    m_checkBoxes.clear();
    for (const auto& box : view.MessageBoxes()) m_checkBoxes.push_back(box.strText);
    dlg.AttachView(nullptr);
    return check;
  }

  std::filesystem::path m_dir;
  TranscriptView m_view;
  CTAVDownloadApDlg m_dlg;
  std::vector<std::string> m_checkBoxes;
};

TEST_F(FileCheckTest, ChecksAFileAsTheRunTakesIt) {
  const std::string strHidScript =
      MakeUpdateScript(SampleImage(), SimScriptKind::UsbHid, kSimDefaultModel, "x", nullptr);
  const std::string strRs232Script =
      MakeUpdateScript(SampleImage(), SimScriptKind::Rs232, kSimDefaultModel, "x", nullptr);
  std::vector<BYTE> small(kImageMinSize - 1, 0x5A);
  std::vector<BYTE> quantum(70 * kImageSizeQuantum, 0xFF);
  const std::string strTiny = ScriptOf({kEnter, kBlVersion, kErase, Block(), Verify(), kRestart});
  const std::string strFormOk = "#RS232 version\r\nm\r\nSEND: " + FormatHexLine(kEnter.data(), kEnter.size());

  struct Row {
    const char* name;
    const char* file;
    std::string content;  // empty: no file there
    Link link;
    bool bChkLegacy;
    Want want;
  } rows[] = {
      {"RS-232 script over RS-232", "update_rs232.txt", strRs232Script, Link::kRs232, false, {true, ""}},
      {"RS-232 script over USB", "update_rs232.txt", strRs232Script, Link::kUsb, false, {true, ""}},
      {"USB HID script over USB", "update_usbhid.txt", strHidScript, Link::kUsb, false, {true, ""}},
      {"image under /chklegacy", "firmware.bin", Bytes(SampleImage()), Link::kRs232, true, {true, ""}},
      {"tiny whole update", "tiny.txt", strTiny, Link::kRs232, false, {true, ""}},
      {"erases but programs nothing", "erase.txt", ScriptOf({kEnter, kBlVersion, kErase}), Link::kRs232, false,
       {true, "", -1, 1}},
      {"programs but never verifies", "noverify.txt", ScriptOf({kEnter, kBlVersion, kErase, Block(), kRestart}),
       Link::kRs232, false, {true, "", -1, 1}},
      {"USB HID script over RS-232", "update_usbhid.txt", strHidScript, Link::kRs232, false,
       {false, GetStatusText(STS_SELECT_RS232_SCRIPT), STS_SELECT_RS232_SCRIPT}},
      {"neither header", "rs485.txt", "#RS485 version\r\nm\r\nSEND: 01 WAIT\r\nEND>\r\n", Link::kUsb, false,
       {false, GetStatusText(STS_SELECT_CORRECT_SCRIPT), STS_SELECT_CORRECT_SCRIPT}},
      {"image without /chklegacy", "firmware.bin", Bytes(SampleImage()), Link::kUsb, false,
       {false, GetStatusText(STS_SELECT_CORRECT_SCRIPT), STS_SELECT_CORRECT_SCRIPT}},
      {"command not ended", "unended.txt", strFormOk + "\r\nEND>\r\n", Link::kRs232, false,
       {false, "[Err] Script command 1 is not ended by SLEEP or WAIT"}},
      {"no command", "empty.txt", "#RS232 version\r\nm\r\nEND>\r\n", Link::kRs232, false,
       {false, "[Err] Script holds no SEND: command"}},
      {"no such file", "missing.txt", "", Link::kUsb, false, {false, GetStatusText(STS_READ_FILE_FAIL)}},
      {"image one byte too small", "small.bin", Bytes(small), Link::kRs232, true,
       {false,
        std::string(GetStatusText(STS_WRONG_IMAGE_FILE)) +
            "\r\nSelected Image Size = 279K (286719 bytes)\r\n[Err] Load File Failed",
        STS_WRONG_IMAGE_FILE}},
      {"image a multiple of 4096 bytes", "quantum.bin", Bytes(quantum), Link::kRs232, true,
       {false, "File Len = 00046000, Check sum [Total File] : 045BA000\r\n[Err] Load File Failed"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path =
        r.content.empty() ? (m_dir / r.file).string() : Write(r.file, r.content);
    theApp.m_bChkLegacy = r.bChkLegacy;
    SelectInterface(r.link == Link::kRs232);

    const FileCheck check = Check(path);
    EXPECT_EQ(check.bAccepted, r.want.bAccepted) << check.strLog;
    EXPECT_EQ(check.strRefusal, r.want.strRefusal);
    EXPECT_EQ(check.warnings.size(), static_cast<std::size_t>(r.want.nWarnings));
    const std::vector<std::string> wantBoxes =
        r.want.nBoxRow < 0 ? std::vector<std::string>{} : std::vector<std::string>{GetStatusText(r.want.nBoxRow)};
    EXPECT_EQ(m_checkBoxes, wantBoxes);

    // The run of the same file.
    ReaderModel reader;
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    HidSetTaggedReports(0);
    m_view.ClearTranscript();
    const std::size_t nBoxes = m_view.MessageBoxes().size();
    m_view.QueueFileChoice(path);
    m_view.SendToWindowThread([&] {
      SelectInterface(r.link == Link::kRs232);
      m_dlg.OnLoad();
    });
    ASSERT_TRUE(m_dlg.JoinWorker(Now() + 600'000));
    const RunOutcome outcome = m_dlg.GetRunOutcome();
    const std::string strRun = m_view.Transcript();

    // The run's file step wrote what the check reports, and showed its box.
    EXPECT_NE(strRun.find(check.strLog), std::string::npos) << "check:\n" << check.strLog << "run:\n" << strRun;
    std::vector<std::string> runBoxes;
    for (std::size_t i = nBoxes; i < m_view.MessageBoxes().size(); ++i)
      runBoxes.push_back(m_view.MessageBoxes()[i].strText);
    EXPECT_EQ(runBoxes, m_checkBoxes);

    std::vector<WORD> codes = RequestCodes(reader);
    // Under /chklegacy run preparation asks for the version first.
    if (r.bChkLegacy && !codes.empty() && codes.front() == 0x2904) codes.erase(codes.begin());
    if (!r.want.bAccepted) {
      EXPECT_EQ(outcome.failure, RunFailure::kFileRefused);
      EXPECT_EQ(codes, std::vector<WORD>{}) << "a refused file sends nothing";
      continue;
    }
    EXPECT_EQ(outcome.failure, RunFailure::kNone) << strRun;
    // What the check said the run would send is what the reader received.
    const ScriptSummary& s = check.summary;
    auto has = [&](WORD code) { return std::find(codes.begin(), codes.end(), code) != codes.end(); };
    EXPECT_EQ(static_cast<int>(codes.size()), s.nCommands);
    EXPECT_EQ(static_cast<int>(std::count(codes.begin(), codes.end(), 0xC703)), s.nBlocks);
    EXPECT_EQ(static_cast<std::int64_t>(reader.ProgrammedBody().size()), s.nBlockBytes);
    EXPECT_EQ(has(0xC741), s.bEntersBootloader);
    EXPECT_EQ(has(0xC702), s.bErases);
    EXPECT_EQ(has(0xC704), s.bVerifies);
    EXPECT_EQ(has(0xC705), s.bRestarts);
    if (check.kind == RunFileKind::kScript) {
      EXPECT_NE(s.strModel.find("eader model: "), std::string::npos);
    }
  }
}

// The account of the sample files in numbers, so that a summary that only
// agreed with itself would still be caught.
TEST_F(FileCheckTest, SummaryOfTheSampleFiles) {
  const std::string rs232 =
      Write("update_rs232.txt", MakeUpdateScript(SampleImage(), SimScriptKind::Rs232, kSimDefaultModel, "x", nullptr));
  const std::string image = Write("firmware.bin", Bytes(SampleImage()));
  const int nBody = static_cast<int>(SampleImage().size()) - kImageTrailerSize;

  SelectInterface(false);
  const FileCheck script = Check(rs232);
  ASSERT_TRUE(script.bAccepted);
  EXPECT_EQ(script.kind, RunFileKind::kScript);
  EXPECT_EQ(script.nScriptKind, kScriptKindRs232);
  EXPECT_EQ(script.bTagged, 1) << "an RS-232 script goes out in tagged reports over USB";
  EXPECT_EQ(script.summary.strModel, kSimDefaultModel);
  EXPECT_EQ(script.summary.nBlocks, FlashBlockCount(nBody));
  EXPECT_EQ(script.summary.nBlockBytes, nBody);
  // C7-41, C7-10, C7-02, the blocks, one C7-15, C7-04, C7-05.
  EXPECT_EQ(script.summary.nCommands, FlashBlockCount(nBody) + 6);
  EXPECT_EQ(script.strLog, "Opening File.....\r\nupdate_rs232.txt\r\n");
  EXPECT_TRUE(script.warnings.empty());

  theApp.m_bChkLegacy = true;
  const FileCheck bin = Check(image);
  ASSERT_TRUE(bin.bAccepted);
  EXPECT_EQ(bin.kind, RunFileKind::kImage);
  EXPECT_EQ(bin.nFileLen, 300000);
  EXPECT_EQ(bin.summary.nBlocks, 147);
  EXPECT_EQ(bin.summary.nBlockBytes, 300000 - 256);
  EXPECT_EQ(bin.strLog.rfind("Opening File.....\r\nfirmware.bin\r\nFile Len = 000493E0, Check sum [Total File] : ", 0),
            0u)
      << bin.strLog;
}

}  // namespace
