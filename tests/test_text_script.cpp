// Text command scripts: the hex reading, the command scan, the validation,
// and the runner against the simulated reader in virtual time, over RS-232
// and over USB HID in each report mode. Whole logs of the main paths are
// kept as golden transcripts (tests/golden/script_*).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "script/text_script.h"
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

std::vector<BYTE> Bytes(const std::string& strHex) {
  std::vector<BYTE> out(kScriptBytesCap + 1, 0xEE);
  int n = -1;
  HexTextToBytes(strHex.data(), static_cast<int>(strHex.size()), out.data(), &n);
  EXPECT_EQ(out[static_cast<std::size_t>(n)], 0xEE) << "nothing written past the count";
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(HexTextToBytes, PairsReadAsStrtoulReadsThem) {
  struct Row {
    const char* name;
    std::string text;
    std::vector<BYTE> want;
  } rows[] = {
      {"pairs, odd last character alone", "0A1B2", {0x0A, 0x1B, 0x02}},
      {"lower and upper case", "c7Ff", {0xC7, 0xFF}},
      {"no hex digit gives 0", "zzG1", {0x00, 0x00}},
      {"a digit then a stop", "1g", {0x01}},
      {"tab skipped as leading white space", "\t5", {0x05}},
      {"sign: minus wraps, plus is read", "-1+F", {0xFF, 0x0F}},
      {"0x prefix without a digit", "0x", {0x00}},
      {"empty", "", {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Bytes(r.text), r.want);
  }
  // More text than the byte buffer holds: the first 8192 bytes only.
  const std::string strLong(2 * kScriptBytesCap + 10, '5');
  const std::vector<BYTE> v = Bytes(strLong);
  EXPECT_EQ(v.size(), static_cast<std::size_t>(kScriptBytesCap));
  EXPECT_EQ(v.back(), 0x55);
}

// Every two-character text, and every character standing alone at an odd
// end, gives the byte strtoul makes of it: the reading is strtoul's for any
// byte a script may hold, not only for hexadecimal digits.
TEST(HexTextToBytes, EveryPairAsStrtoulReadsIt) {
  int nWrong = 0;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char szPair[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
      const BYTE want = static_cast<BYTE>(std::strtoul(szPair, nullptr, 16) & 0xFF);
      const char szText[3] = {static_cast<char>(a), static_cast<char>(b), 'F'};  // pair, then an odd last character
      BYTE out[2] = {0xEE, 0xEE};
      int n = -1;
      HexTextToBytes(szText, 3, out, &n);
      const BYTE wantLast = static_cast<BYTE>(std::strtoul("F", nullptr, 16));
      if (n != 2 || out[0] != want || out[1] != wantLast) {
        if (++nWrong <= 5) ADD_FAILURE() << "pair " << a << "," << b << ": got " << int(out[0]) << " want " << int(want);
      }
    }
    const char szAlone[2] = {static_cast<char>(a), '\0'};
    BYTE out = 0xEE;
    int n = -1;
    HexTextToBytes(szAlone, 1, &out, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(out, static_cast<BYTE>(std::strtoul(szAlone, nullptr, 16) & 0xFF)) << "alone: " << a;
  }
  EXPECT_EQ(nWrong, 0);
}

struct Scanned {
  ScriptScan scan;
  std::string text;
  std::size_t end;
};

std::vector<Scanned> ScanAll(const std::string& s) {
  std::vector<Scanned> out;
  std::vector<char> text(kScriptTextCap);
  std::size_t pos = 0;
  for (;;) {
    std::size_t end = 0;
    int n = 0;
    const ScriptScan scan =
        ScanScriptCommand(reinterpret_cast<const BYTE*>(s.data()), s.size(), &pos, text.data(), &n, &end);
    if (scan == ScriptScan::kNone) break;
    out.push_back({scan, scan == ScriptScan::kCommand ? std::string(text.data(), static_cast<std::size_t>(n)) : "",
                   end});
    if (scan != ScriptScan::kCommand) break;
  }
  return out;
}

TEST(ScanScriptCommand, FindsEveryCommandAndWhereItEnds) {
  const std::string strFull(kScriptTextCap, 'A');
  struct Row {
    const char* name;
    std::string script;
    std::vector<ScriptScan> scans;
    std::vector<std::string> texts;
  } rows[] = {
      {"blanks and line breaks dropped wherever they stand", "SEND: C7 03\r\n00 10\r\nSLEEP: 10",
       {ScriptScan::kCommand}, {"C7030010"}},
      {"a tab stays", "SEND:C7\t03 WAIT:", {ScriptScan::kCommand}, {"C7\t03"}},
      {"lower-case keyword starts nothing", "send: C7 SLEEP: 1", {}, {}},
      {"SEND: inside a comment starts a command", "; see SEND: 01 02 WAIT", {ScriptScan::kCommand}, {"0102"}},
      {"keywords end the text without their colon", "SEND:01WAIT SEND:02SLEEPY",
       {ScriptScan::kCommand, ScriptScan::kCommand}, {"01", "02"}},
      {"a keyword straight after SEND: gives an empty text", "SEND:SLEEP: 5 SEND:WAIT:",
       {ScriptScan::kCommand, ScriptScan::kCommand}, {"", ""}},
      {"SEND: inside a command's text is part of it", "SEND: 01 SEND: 02 WAIT:", {ScriptScan::kCommand},
       {"01SEND:02"}},
      {"text running into the end of the file", "SEND: 01 02\r\nEND>", {ScriptScan::kUnended}, {""}},
      {"SEND: as the very last bytes", "x SEND:", {ScriptScan::kUnended}, {""}},
      {"SEND at the end, cut short", "SEND", {}, {}},
      {"keyword cut short at the end", "SEND:01 WAI", {ScriptScan::kUnended}, {""}},
      {"exactly the text buffer", "SEND:" + strFull + "WAIT", {ScriptScan::kCommand}, {strFull}},
      {"one character more", "SEND:" + strFull + "B\r\nWAIT", {ScriptScan::kTooLong}, {""}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto got = ScanAll(r.script);
    ASSERT_EQ(got.size(), r.scans.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].scan, r.scans[i]);
      EXPECT_EQ(got[i].text, r.texts[i]);
    }
  }
  // The end position is the keyword's first byte; scanning goes on one past it.
  const std::string s = "ab SEND: 0102 WAIT: 3 SEND:SLEEP";
  std::size_t pos = 0, end = 0;
  int n = 0;
  const BYTE* p = reinterpret_cast<const BYTE*>(s.data());
  ASSERT_EQ(ScanScriptCommand(p, s.size(), &pos, nullptr, &n, &end), ScriptScan::kCommand);
  EXPECT_EQ(end, s.find("WAIT"));
  EXPECT_EQ(pos, end + 1);
  EXPECT_EQ(n, 4);
  ASSERT_EQ(ScanScriptCommand(p, s.size(), &pos, nullptr, &n, &end), ScriptScan::kCommand);
  EXPECT_EQ(end, s.find("SLEEP"));
  EXPECT_EQ(ScanScriptCommand(p, s.size(), &pos, nullptr, &n, &end), ScriptScan::kNone);
}

TEST(IsValidScriptFile, NameHeaderAndEnd) {
  const std::string body = "\r\nReader\r\nSEND: 01 WAIT\r\n";
  struct Row {
    const char* name;
    const char* path;
    std::string data;
    bool rs232, usb;
  } rows[] = {
      {"RS-232 script", "C:\\s\\update.txt", "#RS232 version" + body + "END>\r\n", true, false},
      {"USB HID script", "update.txt", "#USBHID version" + body + "END>", false, true},
      {"header in any case, end> in lower case", "u.TXT", "#rs232 VERSION" + body + "end>", true, false},
      {"two CR LF after END>", "u.txt", "#RS232 version" + body + "END>\r\n\r\n", false, false},
      {"LF alone after END>", "u.txt", "#RS232 version" + body + "END>\n", false, false},
      {"no END>", "u.txt", "#RS232 version" + body, false, false},
      {"name without .txt", "update.bin", "#RS232 version" + body + "END>", false, false},
      {"name .txt.bin", "update.txt.bin", "#RS232 version" + body + "END>", false, false},
      {"name of four characters", ".txt", "#RS232 version" + body + "END>", false, false},
      {"shortest name", "a.txt", "#RS232 version" + body + "END>", true, false},
      {"header cut short", "u.txt", "#RS232 versio", false, false},
      {"header only, END> missing", "u.txt", "#USBHID version", false, false},
      {"END> only", "u.txt", "END>\r\n", false, false},
      {"empty file", "u.txt", "", false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<BYTE> data(r.data.begin(), r.data.end());
    data.push_back(0);  // as the file read hands it out
    const int n = static_cast<int>(r.data.size());
    EXPECT_EQ(IsRs232Script(r.path, data.data(), n), r.rs232);
    EXPECT_EQ(IsUsbHidScript(r.path, data.data(), n), r.usb);
  }
  const BYTE data[] = "#RS232 version\r\nEND>";
  EXPECT_FALSE(IsRs232Script(nullptr, data, 20));
  EXPECT_FALSE(IsRs232Script("u.txt", nullptr, 20));
  EXPECT_FALSE(IsValidScriptFile("u.txt", data, 20, 2));
  EXPECT_FALSE(IsRs232Script("u.txt", data, -5));
}

TEST(LogFailedExchange, CommandBytesAndBothDumps) {
  RecordingView view;
  CTAVDownloadApDlg dlg;
  dlg.AttachView(&view);
  std::vector<BYTE> req = MakeFrame(0xC7, 0x03, {0x00, 0x00, 0x00, 0x00, 0x11, 0x22});
  std::vector<BYTE> resp = MakeFrame(0xC7, 0x01);
  LogFailedExchange(&dlg, req.data(), static_cast<int>(req.size()), resp.data(), static_cast<int>(resp.size()));
  const std::string want = "[Err] Send command fail..Send: Cmd = C7-03 ; Recv: Cmd-Sts = C7-01\r\n\r\n"
                           "=====[Cmd Block]=====\r\n" +
                           FormatHexLine(req.data(), 16) + "\r\n" + FormatHexLine(req.data() + 16, 6) +
                           "\r\n=====[End of Cmd Block]=====\r\n=====[Recv Block]=====\r\n" +
                           FormatHexLine(resp.data(), 16) + "\r\n=====[End of Recv Block]=====\r\n";
  EXPECT_EQ(dlg.m_strLog, want);

  // No answer: the dump has its head and tail only; a negative length is none.
  dlg.m_strLog.clear();
  LogFailedExchange(&dlg, req.data(), -1, resp.data(), 0);
  EXPECT_EQ(dlg.m_strLog,
            "[Err] Send command fail..Send: Cmd = C7-03 ; Recv: Cmd-Sts = C7-01\r\n\r\n"
            "=====[Cmd Block]=====\r\n=====[End of Cmd Block]=====\r\n"
            "=====[Recv Block]=====\r\n=====[End of Recv Block]=====\r\n");
}

// ---- runs against the simulated reader ----

const std::vector<BYTE>& SampleImage() {
  static const std::vector<BYTE> image = [] {
    std::vector<BYTE> v;
    MakeSampleImage(kSimDefaultImageSize, 1, &v, nullptr);
    return v;
  }();
  return image;
}

std::string SampleScript(SimScriptKind kind) {
  return MakeUpdateScript(SampleImage(), kind, kSimDefaultModel, kSimSampleImage, nullptr);
}

std::string Hex(const std::vector<BYTE>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); i += 16) s += FormatHexLine(v.data() + i, std::min<std::size_t>(16, v.size() - i)) + "\r\n";
  return s;
}

// A script of the given frames, each ended by "WAIT: 10".
std::string ScriptOf(const std::vector<std::vector<BYTE>>& frames, const std::string& strHeader = "#RS232 version") {
  std::string s = strHeader + "\r\nTest reader\r\n";
  for (const auto& f : frames) s += "SEND: " + Hex(f) + "WAIT: 10\r\n";
  return s + "END>\r\n";
}

class ScriptRunTest : public VirtualTimeTest {
 protected:
  ScriptRunTest() {
    AttachTestWindow(m_dlg, m_view);
    HidSetTaggedReports(0);
    LoadTxPacingPreset(2);
    m_dir = std::filesystem::temp_directory_path() /
            ("readertool_script_" + std::to_string(::getpid()) + "_" + std::to_string(++s_nDirs));
    std::filesystem::create_directories(m_dir);
  }
  ~ScriptRunTest() override {
    m_view.StopWindowThread();
    ResetProcessState();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }

  std::string WriteScript(const std::string& strName, const std::string& strContent) {
    const std::string path = (m_dir / strName).string();
    std::ofstream(path, std::ios::binary) << strContent;
    return path;
  }

  // Opens the link as "Load" does, then runs the script on this thread.
  int Run(bool bRs232, const std::string& strPath, BYTE bInBootMode = 0) {
    SelectInterface(bRs232);
    EXPECT_TRUE(m_dlg.OpenSelectedInterface(false)) << m_view.LogText();
    m_view.QueueFileChoice(strPath);
    return RunTextScript(&m_dlg, bInBootMode);
  }

  static inline int s_nDirs = 0;
  std::filesystem::path m_dir;
  FakeSerial m_serial;
  fakehid::FakeHidBackend m_hid;
  plat::ScopedHidBackend m_useHid{m_hid};
  TranscriptView m_view;
  CTAVDownloadApDlg m_dlg;
};

// Whole runs as the operator starts them: "Load", the worker, the runner,
// against a reader running its application (or already in its bootloader).
TEST_F(ScriptRunTest, WholeUpdateOnEveryInterface) {
  struct Row {
    const char* name;
    bool bRs232;
    SimHidMode mode;
    SimScriptKind kind;
    bool bChkLegacy;
    bool bInBootloader;
    const char* golden;
  } rows[] = {
      {"RS-232", true, SimHidMode::Interrupt64, SimScriptKind::Rs232, false, false, "script_rs232.log"},
      {"RS-232, /chklegacy", true, SimHidMode::Interrupt64, SimScriptKind::Rs232, true, false,
       "script_rs232_chklegacy.log"},
      {"RS-232, reader in its bootloader", true, SimHidMode::Interrupt64, SimScriptKind::Rs232, true, true,
       "script_rs232_in_bootloader.log"},
      {"USB 64-byte reports, RS-232 script", false, SimHidMode::Interrupt64, SimScriptKind::Rs232, false, false,
       "script_usb_rs232_script.log"},
      {"USB counted reports, RS-232 script", false, SimHidMode::Counted65, SimScriptKind::Rs232, false, false,
       "script_usb_rs232_script.log"},
      {"USB feature reports, RS-232 script", false, SimHidMode::Feature8, SimScriptKind::Rs232, false, false,
       "script_usb_rs232_script.log"},
      {"USB feature-only device, RS-232 script", false, SimHidMode::FeatureOnly, SimScriptKind::Rs232, false, false,
       "script_usb_rs232_script.log"},
      {"USB 64-byte reports, USB HID script", false, SimHidMode::Interrupt64, SimScriptKind::UsbHid, false, false,
       "script_usb_usbhid_script.log"},
      {"USB, USB HID script, /chklegacy", false, SimHidMode::Interrupt64, SimScriptKind::UsbHid, true, false,
       "script_usb_chklegacy.log"},
      {"USB, USB HID script, reader in its bootloader", false, SimHidMode::Interrupt64, SimScriptKind::UsbHid, true,
       true, "script_usb_in_bootloader.log"},
  };
  const std::string rs232 = WriteScript(kSimSampleRs232Script, SampleScript(SimScriptKind::Rs232));
  const std::string usb = WriteScript(kSimSampleUsbHidScript, SampleScript(SimScriptKind::UsbHid));
  m_view.StartWindowThread();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderConfig cfg;
    cfg.strAppVersion = "3.02.007";  // new enough for the script path under /chklegacy
    cfg.bStartInBootloader = r.bInBootloader;
    ReaderModel reader(cfg);
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, r.mode);
    theApp.m_bChkLegacy = r.bChkLegacy;
    HidSetTaggedReports(0);
    m_view.ClearTranscript();
    m_view.QueueFileChoice(r.kind == SimScriptKind::Rs232 ? rs232 : usb);

    m_view.SendToWindowThread([&] {
      SelectInterface(r.bRs232);
      m_dlg.OnLoad();
    });
    ASSERT_TRUE(m_dlg.JoinWorker(Now() + 60'000));
    EXPECT_EQ(m_dlg.GetWorkerExitCode(), 1);
    EXPECT_TRUE(MatchesGolden(r.golden, m_view.Transcript()));

    m_clock.Advance(reader.Config().nRestartMs);
    EXPECT_EQ(reader.State(), SimState::Application);
    EXPECT_EQ(reader.AppVersion(), "3.10.001");
    EXPECT_EQ(reader.ProgrammedBody(), std::vector<BYTE>(SampleImage().begin(), SampleImage().end() - 256));
    EXPECT_EQ(m_view.ProgressPos(), 100);
    // An RS-232 script over USB HID goes out in tagged reports, and the flag
    // stays set after the run; a USB HID script's bytes go out as they stand.
    EXPECT_EQ(HidGetTaggedReports(), !r.bRs232 && r.kind == SimScriptKind::Rs232 ? 1 : 0);
  }
}

// The third command (erase) answered with status 0x01 three times: two retry
// lines, the exchange report, the erase error and the help text, and the
// fourth command never goes out.
TEST_F(ScriptRunTest, RefusedEraseEndsTheRun) {
  ReaderModel reader;
  ReaderFaults f;
  f.nStatusCmd = 0xC702;
  f.byStatus = 0x01;
  reader.SetFaults(f);
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  const std::string path = WriteScript(kSimSampleRs232Script, SampleScript(SimScriptKind::Rs232));
  EXPECT_EQ(Run(true, path), SCRIPT_FAILED);
  EXPECT_EQ(RequestCodes(reader), (std::vector<WORD>{0xC741, 0xC710, 0xC702, 0xC702, 0xC702}));
  EXPECT_TRUE(MatchesGolden("script_erase_refused.log", m_view.Transcript()));
  EXPECT_FALSE(m_view.TimerRunning(kElapsedTimerId)) << "the elapsed timer starts only with an accepted erase";
}

TEST_F(ScriptRunTest, WrongScriptForTheInterfaceIsRefused) {
  const std::string body = "\r\nReader\r\nSEND: " + Hex(MakeFrame(0xC7, 0x41)) + "WAIT\r\n";
  struct Row {
    const char* name;
    bool bRs232;
    const char* file;
    std::string content;
    int nRow;
  } rows[] = {
      {"USB HID script on RS-232", true, "u.txt", "#USBHID version" + body + "END>\r\n", STS_SELECT_RS232_SCRIPT},
      {"no header", true, "u.txt", "#RS485 version" + body + "END>\r\n", STS_SELECT_CORRECT_SCRIPT},
      {"not a .txt name", false, "u.scr", "#RS232 version" + body + "END>\r\n", STS_SELECT_CORRECT_SCRIPT},
      {"two line breaks after END>", false, "u.txt", "#RS232 version" + body + "END>\r\n\r\n",
       STS_SELECT_CORRECT_SCRIPT},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel reader;
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    const std::size_t nBoxes = m_view.MessageBoxes().size();
    EXPECT_EQ(Run(r.bRs232, WriteScript(r.file, r.content)), SCRIPT_FILE_REFUSED);
    ASSERT_EQ(m_view.MessageBoxes().size(), nBoxes + 1);
    EXPECT_EQ(m_view.MessageBoxes().back().strText, GetStatusText(r.nRow));
    EXPECT_EQ(m_dlg.m_strLog, std::string("Opening File.....\r\n") + r.file + "\r\n" + GetStatusText(r.nRow) + "\r\n");
    EXPECT_EQ(reader.RequestsSeen(), 0);
  }
}

// What the scan cannot carry out to its end is refused before the first
// command goes out, and the run's tagged-report flag is not set either.
TEST_F(ScriptRunTest, MalformedCommandsAreRefusedBeforeAnythingIsSent) {
  const std::string enter = Hex(MakeFrame(0xC7, 0x41));
  const std::string head = "#RS232 version\r\nReader\r\nSEND: " + enter + "SLEEP: 5000\r\n";
  struct Row {
    const char* name;
    std::string content;
    const char* line;
  } rows[] = {
      {"last command not ended", head + "SEND: " + Hex(MakeFrame(0xC7, 0x10)) + "END>\r\n",
       "[Err] Script command 2 is not ended by SLEEP or WAIT"},
      {"command text too long", head + "SEND: " + std::string(kScriptTextCap + 2, '0') + "\r\nWAIT\r\nEND>",
       "[Err] Script command 2 holds more than 16384 characters"},
      {"no command at all", "#RS232 version\r\nReader\r\n; nothing here\r\nEND>", "[Err] Script holds no SEND: command"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel reader;
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    HidSetTaggedReports(0);
    EXPECT_EQ(Run(false, WriteScript("bad.txt", r.content)), SCRIPT_FILE_REFUSED);
    EXPECT_EQ(reader.RequestsSeen(), 0);
    EXPECT_EQ(m_dlg.m_strLog, std::string("Opening File.....\r\nbad.txt\r\n") + r.line + "\r\n");
    EXPECT_EQ(HidGetTaggedReports(), 0);
  }
}

// Progress by the place of the command's keyword in the file, in whole
// percent, written only when it rises.
TEST_F(ScriptRunTest, ProgressFollowsThePlaceInTheFile) {
  ReaderModel reader;
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  const std::vector<std::vector<BYTE>> head = {MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x10),
                                               MakeFrame(0xC7, 0x02, {0x00})};
  std::string s = ScriptOf(head);
  s.resize(s.size() - 6);  // without "END>\r\n"
  // The fourth command's keyword at byte 50,000, the fifth's a few bytes on
  // (same percentage: no line), the sixth's at 100,000 of 200,000. Any
  // command the bootloader accepts serves as a loading frame here.
  const std::vector<BYTE> block = MakeFrame(0xC7, 0x10);
  auto addAt = [&](std::size_t nKeyword) {
    const std::string cmd = "SEND: " + Hex(block);
    s += std::string(nKeyword - s.size() - cmd.size(), ';') + cmd + "WAIT\r\n";
  };
  addAt(50000);
  addAt(50100);
  addAt(100000);
  s += std::string(200000 - s.size() - 4, ';') + "END>";
  ASSERT_EQ(s.size(), 200000u);
  EXPECT_EQ(Run(true, WriteScript("p.txt", s)), 0) << m_dlg.m_strLog;
  const std::string log = m_dlg.m_strLog;
  EXPECT_NE(log.find("Loading firmware ... 25% Done\r\nLoading firmware ... 50% Done\r\n100% Done and Rebooting\r\np.txt\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(m_view.CallsStartingWith("SetProgressPos(").back(), "SetProgressPos(50)");
}

TEST_F(ScriptRunTest, FrameOffsetFollowsTheScriptNotThePreviousRun) {
  // The C7-15 pacing line shows whether the runner found the frame at
  // offset 0. An RS-232 script over USB HID goes out as tagged reports cut by
  // the device, so its frames start at 0 on the first run after start-up
  // (flag still 0) just as on the second (flag left at 1).
  const std::string path =
      WriteScript("t.txt", ScriptOf({MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x10), MakeFrame(0xC7, 0x02, {0x00}),
                                     MakeFrame(0xC7, 0x15)}));
  const std::string strPaced = "Before Tx C715, Waiting 5.000 sec..";
  for (int nRun = 1; nRun <= 2; ++nRun) {
    SCOPED_TRACE(nRun);
    ReaderConfig cfg;
    cfg.bStartInBootloader = true;
    ReaderModel reader(cfg);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    m_view.ClearTranscript();
    ASSERT_EQ(Run(false, path, 1), 0) << m_dlg.m_strLog;
    EXPECT_NE(m_view.Transcript().find(strPaced), std::string::npos);
    EXPECT_EQ(HidGetTaggedReports(), 1);
    // Every request went out as tagged reports (tag 1: the whole frame).
    for (const auto& out : device.Device().outputs) EXPECT_EQ(out.bytes[0], 1);
  }
  // On RS-232 the offset is 0 whatever the flag says, and the flag becomes 0.
  ReaderConfig cfg;
  cfg.bStartInBootloader = true;
  ReaderModel reader(cfg);
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  ASSERT_EQ(Run(true, path, 1), 0);
  EXPECT_NE(m_dlg.m_strLog.find(strPaced), std::string::npos);
  EXPECT_EQ(HidGetTaggedReports(), 0);
}

// With the reader already in its bootloader the first answer is followed at
// once by the second command: no 5-second wait, no reconnect.
TEST_F(ScriptRunTest, ReaderInItsBootloaderNeedsNoWaitAfterTheFirstCommand) {
  for (BYTE bInBootMode : {0, 1}) {
    SCOPED_TRACE(int(bInBootMode));
    ReaderConfig cfg;
    cfg.bStartInBootloader = true;
    ReaderModel reader(cfg);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice device(backend, reader, SimHidMode::Interrupt64);
    const std::string path = WriteScript("b.txt", ScriptOf({MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x10),
                                                            MakeFrame(0xC7, 0x02, {0x00})}));
    ASSERT_EQ(Run(false, path, bInBootMode), 0) << m_dlg.m_strLog;
    const auto t = reader.Transcript();
    std::vector<std::uint64_t> at;
    for (const auto& e : t)
      if (e.kind == TranscriptEntry::Request) at.push_back(e.tMs);
    ASSERT_EQ(at.size(), 3u);
    const std::uint64_t gap = at[1] - at[0];
    if (bInBootMode) {
      EXPECT_LT(gap, 1000u) << "only the 450 ms pause before the attempt";
      EXPECT_EQ(device.Device().opens, 1);
    } else {
      EXPECT_GE(gap, 5450u);
      EXPECT_EQ(device.Device().opens, 2) << "reconnected after the first command";
    }
  }
}

// The bootloader version step: silent without "/chklegacy", one C7-10 query
// and its line with it, and a failed query is the second command's failure.
TEST_F(ScriptRunTest, BootloaderVersionLineOnlyWithChkLegacy) {
  const std::string path = WriteScript(
      "v.txt", ScriptOf({MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x01), MakeFrame(0xC7, 0x02, {0x00})}));
  struct Row {
    bool bChkLegacy;
    bool bVersionRefused;
    int nResult;
    std::vector<WORD> codes;
  } rows[] = {
      {false, false, 0, {0xC741, 0xC701, 0xC702}},
      {true, false, 0, {0xC741, 0xC701, 0xC710, 0xC702}},
      {true, true, SCRIPT_FAILED, {0xC741, 0xC701, 0xC710, 0xC701, 0xC710, 0xC701, 0xC710}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.bChkLegacy) + std::to_string(r.bVersionRefused));
    ReaderModel reader;
    if (r.bVersionRefused) {
      ReaderFaults f;
      f.nStatusCmd = 0xC710;
      f.byStatus = 0x01;
      reader.SetFaults(f);
    }
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    theApp.m_bChkLegacy = r.bChkLegacy;
    EXPECT_EQ(Run(true, path), r.nResult);
    EXPECT_EQ(RequestCodes(reader), r.codes);
    const std::string log = m_dlg.m_strLog;
    EXPECT_NE(log.find("Start Bootloader Update Process.\r\n"), std::string::npos);
    EXPECT_EQ(log.find("BL Version:") != std::string::npos, r.bChkLegacy && !r.bVersionRefused);
    if (r.bChkLegacy && !r.bVersionRefused) {
      EXPECT_NE(log.find("Start Bootloader Update Process.\r\nBL Version:Boot Ldr: 2.10.005\r\n"), std::string::npos)
          << log;
    }
    if (r.bVersionRefused) {
      EXPECT_NE(log.find("[Err] Get BL Version Failed\r\n==============[Error Help]"), std::string::npos);
    }
  }
}

// The first command unanswered on USB HID: each failed attempt reconnects,
// and the reconnect starts a fresh log.
TEST_F(ScriptRunTest, UnansweredFirstCommandOnUsbReconnects) {
  ReaderModel reader;
  ReaderFaults f;
  f.bSilent = true;
  f.nFaultCmd = 0xC741;
  reader.SetFaults(f);
  SimHidDevice device(m_hid, reader, SimHidMode::Interrupt64);
  const std::string path = WriteScript("r.txt", ScriptOf({MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x10)}));
  EXPECT_EQ(Run(false, path), SCRIPT_FAILED);
  EXPECT_EQ(RequestCodes(reader), (std::vector<WORD>{0xC741, 0xC741, 0xC741}));
  EXPECT_EQ(device.Device().opens, 4) << "the run's open and one reconnect per failed attempt";
  EXPECT_TRUE(MatchesGolden("script_usb_enter_unanswered.log", m_view.Transcript()));
}

// A stop request (the window is being closed) ends the run after the
// exchange in progress: nothing more is sent and nothing more is logged.
TEST_F(ScriptRunTest, StopRequestEndsTheRunAtOnce) {
  ReaderModel reader;
  int nRequests = 0;
  reader.SetTranscriptSink([&nRequests](const TranscriptEntry& e) {
    if (e.kind == TranscriptEntry::Request && ++nRequests == 10) plat::Stop().Request();
  });
  SimSerialLink line(m_serial.AddPort("COM1"), reader, 115200);
  const std::string path = WriteScript(kSimSampleRs232Script, SampleScript(SimScriptKind::Rs232));
  SelectInterface(true);
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(false));
  m_view.QueueFileChoice(path);
  EXPECT_EQ(RunTextScript(&m_dlg, 0), SCRIPT_FAILED);
  EXPECT_EQ(reader.RequestsSeen(), 10);
  EXPECT_EQ(m_dlg.m_strLog.find("[Err]"), std::string::npos) << m_dlg.m_strLog;
}

}  // namespace
