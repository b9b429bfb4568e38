// Fault injection: whole runs ("Load" on the window thread, the worker, the
// outcome) against the simulated reader, in virtual time, with one fault per
// row of a table: a line that garbles, cuts or pads the answers, a reader
// that stays silent, refuses a block or a command, answers in the other frame
// version, loses power in the middle of the download, or leaves the bus.
//
// Each row runs for both update paths (the bootloader download of a binary
// image with "/chklegacy" on a legacy reader, and the text script) and both
// interfaces where the fault makes sense there. For every run the same
// invariants are checked:
//   - success is reported only when the reader really took the new firmware
//     (body programmed, verified, restarted into the new version);
//   - the run ends within a bound computed from the link's time-outs;
//   - a failure is named by its step's line, followed by the interface's help
//     text and "Error, Download Failed" (a failed version check: no such line);
//   - the link is closed afterwards and can be opened again;
//   - a reader left half-updated is updated by a following run with
//     "/chklegacy".
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/frame.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/hid.h"
#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "sim/model/serial_front.h"
#include "support/test_window.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/recording_view.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

enum class Iface { Rs232, Usb };
enum class Proc { Binary, Script };

const char* Name(Iface i) { return i == Iface::Usb ? "USB HID" : "RS-232"; }
const char* Name(Proc p) { return p == Proc::Binary ? "binary download" : "text script"; }

// ---- what the runs are measured against ------------------------------------

// Time-outs and waits of the link and the procedures (milliseconds).
constexpr std::uint64_t kExchangeTimeoutMs = 65000;  // every exchange
// The longest a serial exchange takes when it ends by its error count rather
// than its deadline: 5 failed steps, each a 200 ms read and 300 ms of waits,
// plus the 400 ms of waits of its regular steps and one more read.
constexpr std::uint64_t kFailedStepsMs = 5 * (200 + 300) + 400 + 200;
constexpr std::uint64_t kUsbPauseMs = 450;           // before every script attempt on USB HID
constexpr std::uint64_t kBootEntryWaitMs = 5000;     // after the enter-bootloader command
constexpr std::uint64_t kPacingWaitMs = 5000;        // before C7-15 (pacing preset)
constexpr std::uint64_t kVersionPausesMs = 3 * 300;  // USB settling and the query pauses
constexpr int kScriptAttempts = 3;

// Frames of a whole run of the 300,000-byte sample: 147 blocks plus the
// commands around them (version queries, ping, boot entry, C7-10/C7-01,
// erase, C7-15, verify, reset).
constexpr int kRunFrames = 147 + 8;

// A bound for one run: every frame may take a failed exchange's time and, on
// USB HID, the script's pause; a failing command is tried three times; the
// fixed waits; and each exchange the fault silences costs a whole time-out.
std::uint64_t RunBoundMs(int nSilentExchanges) {
  const std::uint64_t perFrame = kFailedStepsMs + kUsbPauseMs;
  return (kRunFrames + 2 * kScriptAttempts) * perFrame + kBootEntryWaitMs + kPacingWaitMs + kVersionPausesMs +
         static_cast<std::uint64_t>(nSilentExchanges) * (kExchangeTimeoutMs + perFrame);
}

// ---- the sample files --------------------------------------------------------

struct Files {
  Files() {
    dir = std::filesystem::temp_directory_path() / ("readertool_faults_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string err;
    EXPECT_TRUE(MakeSampleImage(kSimDefaultImageSize, 1, &image, &err)) << err;
    imagePath = Write(kSimSampleImage, image);
    const std::string rs = MakeUpdateScript(image, SimScriptKind::Rs232, kSimDefaultModel, kSimSampleImage, &err);
    const std::string usb = MakeUpdateScript(image, SimScriptKind::UsbHid, kSimDefaultModel, kSimSampleImage, &err);
    rs232ScriptPath = Write(kSimSampleRs232Script, std::vector<BYTE>(rs.begin(), rs.end()));
    usbScriptPath = Write(kSimSampleUsbHidScript, std::vector<BYTE>(usb.begin(), usb.end()));
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string Write(const std::string& name, const std::vector<BYTE>& data) {
    const std::string path = (dir / name).string();
    std::string err;
    EXPECT_TRUE(WriteWholeFile(path, data.data(), data.size(), &err)) << err;
    return path;
  }
  // What the operator picks for a run of this path on this interface.
  std::string For(Proc proc, Iface iface) const {
    if (proc == Proc::Binary) return imagePath;
    return iface == Iface::Usb ? usbScriptPath : rs232ScriptPath;
  }

  std::filesystem::path dir;
  std::vector<BYTE> image;
  std::string imagePath, rs232ScriptPath, usbScriptPath;
};

// ---- the reader on a line that can misbehave ----------------------------------

// The reader behind the fake serial port or the fake HID device, like the
// SimSerialLink and SimHidDevice helpers, with two more seams: each answer
// passes a mangler (the line garbling, cutting or padding it) on its way to
// the host, and the port or device can be unplugged.
class Line {
 public:
  // Serial: the answer's bytes (noise included). USB: the answer's input reports.
  using SerialMangler = std::function<void(WORD code, std::vector<BYTE>& answer)>;
  using UsbMangler = std::function<void(WORD code, std::vector<fakehid::Report>& reports)>;

  Line(ReaderModel& reader, Iface iface) : m_reader(reader), m_iface(iface) {
    if (iface == Iface::Rs232) {
      m_port = &m_serial.AddPort("COM1");
      m_serialFront = std::make_unique<SerialFront>(reader);
      m_port->OnWrite([this](const std::vector<BYTE>& written) { OnSerialWrite(written); });
    } else {
      m_usbFront = std::make_unique<HidFront>(reader, SimHidMode::Interrupt64, kSimReaderVendorId, kSimReaderProductId);
      m_dev = &m_hid.AddDeviceWithDescriptor(kSimReaderVendorId, kSimReaderProductId,
                                             SimHidReportDescriptor(SimHidMode::Interrupt64));
      m_dev->onOutput = [this](const fakehid::Report& r) {
        m_usbFront->OnOutputReport(r);
        DeliverUsb();
      };
    }
    // The reader's own unplug fault takes the port or the device away.
    reader.SetDisconnectHandler([this] { Unplug(); });
    // The command each answer belongs to, for the manglers.
    reader.SetTranscriptSink([this](const TranscriptEntry& e) {
      if (e.kind == TranscriptEntry::Request) m_lastRequest = e.wCode;
    });
  }
  ~Line() {
    m_reader.SetDisconnectHandler(nullptr);
    m_reader.SetTranscriptSink(nullptr);
    if (m_port) m_port->OnWrite(nullptr);
  }

  // The port or the device leaves the machine: the open handle fails from
  // its next write (serial) or at once (USB), and no new open succeeds.
  void Unplug() {
    m_bUnplugged = true;
    if (m_port) {
      m_port->RefuseOpens(ENOENT);
      m_port->FailCall(SerialOp::kWrite, m_port->Calls(SerialOp::kWrite) + 1, EIO, 1 << 24);
      m_port->FailCall(SerialOp::kRead, m_port->Calls(SerialOp::kRead) + 1, EIO, 1 << 24);
    } else {
      m_dev->Disconnect();
    }
  }
  // The reader leaves the bus once its answer to this command is on its way:
  // that answer still reaches the host, then the port or device is gone.
  void UnplugAfterAnswerTo(WORD code) { m_unplugAfter = code; }

  bool Unplugged() const { return m_bUnplugged; }
  // The tool holds no handle on the port or device.
  bool Released() const { return m_port ? !m_port->IsOpen() : m_dev->openHandles == 0; }

  SerialMangler mangleSerial;
  UsbMangler mangleUsb;

 private:
  void OnSerialWrite(const std::vector<BYTE>& written) {
    const int nBefore = m_reader.RequestsSeen();
    m_serialFront->OnReceive(written.data(), written.size());
    const WORD code = m_reader.RequestsSeen() != nBefore ? m_lastRequest.load() : 0;
    for (std::uint64_t t = m_serialFront->NextDueMs(); t != UINT64_MAX; t = m_serialFront->NextDueMs()) {
      std::vector<BYTE> bytes = m_serialFront->TakeDue(t);
      if (mangleSerial) mangleSerial(code, bytes);
      if (!bytes.empty()) m_port->ArriveAt(t, std::move(bytes));
    }
    if (code && code == m_unplugAfter) {
      // The answer is in the driver's queue; the line is dead from now on.
      m_bUnplugged = true;
      m_port->RefuseOpens(ENOENT);
      m_port->FailCall(SerialOp::kWrite, m_port->Calls(SerialOp::kWrite) + 1, EIO, 1 << 24);
    }
  }

  void DeliverUsb() {
    std::vector<fakehid::Report> reports;
    std::vector<std::uint64_t> due;
    std::vector<std::uint8_t> r;
    std::uint64_t t = 0;
    while (m_usbFront->NextInputReport(&r, &t)) {
      reports.push_back(std::move(r));
      due.push_back(t);
    }
    if (reports.empty()) return;
    const WORD code = m_lastRequest.load();
    if (mangleUsb) mangleUsb(code, reports);
    for (std::size_t i = 0; i < reports.size(); ++i)
      m_dev->QueueInput(std::move(reports[i]), i < due.size() ? due[i] : due.back());
    if (code == m_unplugAfter) {
      // The handle in use still reads this answer; a new open finds nothing.
      m_bUnplugged = true;
      m_dev->refuseExclusive = plat::HidOpenError::Busy;
      m_dev->refuseFeatureOnly = true;
    }
  }

  ReaderModel& m_reader;
  Iface m_iface;
  FakeSerial m_serial;
  FakeSerialPort* m_port = nullptr;
  std::unique_ptr<SerialFront> m_serialFront;
  fakehid::FakeHidBackend m_hid;
  plat::ScopedHidBackend m_useHid{m_hid};
  fakehid::FakeHidDevice* m_dev = nullptr;
  std::unique_ptr<HidFront> m_usbFront;
  std::atomic<WORD> m_lastRequest{0};
  WORD m_unplugAfter = 0;
  bool m_bUnplugged = false;
};

// The main window on a recording view whose own thread plays the window
// thread, with the reader on a line: what "Load" sees in the application.
class Station {
 public:
  Station(ReaderModel& reader, Iface iface) : line(reader, iface), m_iface(iface) {
    dlg.AttachView(&view);
    dlg.TakeControlReferences();
    dlg.m_pPortList = &view;
    dlg.m_pBaudList = &view;
    view.AddListItem(IDC_PORT_LIST, "COM1");
    view.SetListSelection(IDC_PORT_LIST, 0);
    view.SetListSelection(IDC_BAUD_LIST, 4);
    theApp.SetMainDialog(&dlg);
    view.StartWindowThread();
  }
  ~Station() {
    EXPECT_TRUE(dlg.JoinWorker(plat::NowMs() + 120'000));
    view.StopWindowThread();
    ResetProcessState();
  }

  // "Load" with this file chosen; false when no worker started or it did not end.
  bool Load(const std::string& strFile) {
    view.QueueFileChoice(strFile);
    const int nRunsBefore = static_cast<int>(view.CallsStartingWith("EnableControl(1000, false)").size());
    view.SendToWindowThread([this] {
      SelectInterface(m_iface == Iface::Rs232);
      dlg.OnLoad();
    });
    // A safety net on the real clock only: the run itself moves the virtual one.
    if (!dlg.JoinWorker(plat::NowMs() + 120'000)) return false;
    return static_cast<int>(view.CallsStartingWith("EnableControl(1000, false)").size()) > nRunsBefore;
  }

  // The connect step once more, as the next "Load" would begin.
  bool CanOpenAgain() {
    bool bOk = false;
    view.SendToWindowThread([&] {
      SelectInterface(m_iface == Iface::Rs232);
      bOk = dlg.OpenSelectedInterface(false);
      CloseInterface();
    });
    return bOk;
  }

  Line line;
  RecordingView view;
  CTAVDownloadApDlg dlg;

 private:
  Iface m_iface;
};

// ---- the table -------------------------------------------------------------

// Each procedure's closing step lines.
constexpr char kOk[] = "";                         // the run succeeds
const char* const kNotRun = nullptr;               // the fault does not apply to this path or interface
constexpr char kVersionCheck[] = "version check";  // the run's version check fails
constexpr char kSendFail[] = "[Err] Send command fail.";
constexpr char kPingFail[] = "[Err] Ping Failed";
constexpr char kReconnectFail[] = "[Err] Can't Connect to Reader after BootMode Entry";
constexpr char kEraseFail[] = "[Err] Erase Flash Failed";
constexpr char kProgramFail[] = "[Err] Program Flash Failed";
constexpr char kVerifyFail[] = "[Err] Verify Flash Failed";
constexpr char kResetFail[] = "[Err] Reset Bootloader Failed";
constexpr char kBlVersionFail[] = "[Err] Get BL Version Failed";

struct Expect {
  const char* binaryRs232;
  const char* binaryUsb;
  const char* scriptRs232;
  const char* scriptUsb;
  const char* For(Proc p, Iface i) const {
    if (p == Proc::Binary) return i == Iface::Rs232 ? binaryRs232 : binaryUsb;
    return i == Iface::Rs232 ? scriptRs232 : scriptUsb;
  }
};
// The same step on both interfaces.
constexpr Expect Both(const char* binary, const char* script) { return {binary, binary, script, script}; }

struct FaultRow {
  std::string name;
  std::function<void(ReaderConfig&)> config;        // the reader as it is built (may be null)
  std::function<void(ReaderModel&, Line&)> inject;  // the fault, set before "Load" (may be null)
  Expect expect;
  int nSilent;           // exchanges the fault may make run out their whole time-out
  bool bRecover = true;  // a following "/chklegacy" run can update this reader
};

ReaderFaults With(const std::function<void(ReaderFaults&)>& set) {
  ReaderFaults f;
  set(f);
  return f;
}

std::function<void(ReaderModel&, Line&)> Faults(std::function<void(ReaderFaults&)> set) {
  return [set](ReaderModel& r, Line&) { r.SetFaults(With(set)); };
}

// Where the answer's frame begins among the bytes (noise may come first).
std::size_t FrameStart(const std::vector<BYTE>& bytes) {
  for (std::size_t i = 0; i + kFrameHeaderLen <= bytes.size(); ++i)
    if (IsFrameHeader(bytes.data() + i, static_cast<DWORD>(bytes.size() - i))) return i;
  return bytes.size();
}

std::vector<FaultRow> Rows() {
  std::vector<FaultRow> rows = {
      {"no fault", nullptr, nullptr, Both(kOk, kOk), 0},
      // Noise is dropped by the serial header search; in HID reports it makes
      // no frame at all, so nothing is understood over USB.
      {"noise before every answer",
       nullptr,
       Faults([](ReaderFaults& f) { f.nNoiseBytes = 40; }),
       {kOk, kVersionCheck, kOk, kSendFail},
       0},
      // The HID path does not check frame CRCs (the USB link has its own).
      {"wrong CRC on the erase answer",
       nullptr,
       Faults([](ReaderFaults& f) {
         f.bBadCrc = true;
         f.nFaultCmd = 0xC702;
       }),
       {kEraseFail, kOk, kSendFail, kOk},
       0},
      // A refused verification whose status byte the line turned into 00: the
      // CRC no longer fits, so the answer must not count as an acceptance.
      {"refused verification with a corrupted status",
       nullptr,
       [](ReaderModel& r, Line& l) {
         r.SetFaults(With([](ReaderFaults& f) {
           f.nStatusCmd = 0xC704;
           f.byStatus = kSimStatusVerifyFailed;
         }));
         l.mangleSerial = [](WORD code, std::vector<BYTE>& a) {
           const std::size_t at = FrameStart(a);
           if (code == 0xC704 && at + 12 <= a.size()) a[at + 11] = 0x00;
         };
       },
       {kVerifyFail, kNotRun, kSendFail, kNotRun},
       0},
      {"silent reader", nullptr, Faults([](ReaderFaults& f) { f.bSilent = true; }), Both(kVersionCheck, kSendFail), 3},
      {"silent on every block", nullptr, Faults([](ReaderFaults& f) {
         f.bSilent = true;
         f.nFaultCmd = 0xC703;
       }),
       Both(kProgramFail, kSendFail), 3},
      // The answer to a block stops after its status byte.
      {"truncated answer to a block", nullptr,
       [](ReaderModel&, Line& l) {
         l.mangleSerial = [](WORD code, std::vector<BYTE>& a) {
           if (code == 0xC703) a.resize(std::min<std::size_t>(a.size(), FrameStart(a) + 12));
         };
         // A whole-frame report retagged as the first of several: the rest never comes.
         l.mangleUsb = [](WORD code, std::vector<fakehid::Report>& reps) {
           if (code == 0xC703 && !reps.empty()) reps.front()[0] = 2;
         };
       },
       Both(kProgramFail, kSendFail), 3},
      // The length field claims far more data than the answer carries.
      {"oversized length in the answer to a block", nullptr,
       [](ReaderModel&, Line& l) {
         l.mangleSerial = [](WORD code, std::vector<BYTE>& a) {
           const std::size_t at = FrameStart(a);
           if (code == 0xC703 && at + 14 <= a.size()) a[at + 12] = a[at + 13] = 0xFF;
         };
         l.mangleUsb = [](WORD code, std::vector<fakehid::Report>& reps) {
           if (code == 0xC703 && !reps.empty() && reps.front().size() > 14) reps.front()[13] = reps.front()[14] = 0xFF;
         };
       },
       Both(kProgramFail, kSendFail), 3},
      {"block refused at the start", nullptr, Faults([](ReaderFaults& f) { f.nRejectBlock = 0; }),
       Both(kProgramFail, kSendFail), 0},
      {"block refused in the middle", nullptr, Faults([](ReaderFaults& f) { f.nRejectBlock = 73; }),
       Both(kProgramFail, kSendFail), 0},
      {"last block refused", nullptr, Faults([](ReaderFaults& f) { f.nRejectBlock = 146; }),
       Both(kProgramFail, kSendFail), 0},
      // A V3 frame is never found by the serial header search; over USB HID it
      // is read, and its status byte must be looked for where V3 keeps it.
      {"V3 answers",
       [](ReaderConfig& c) { c.frameVersion = SimFrameVersion::V3; },
       nullptr,
       {kVersionCheck, kOk, kSendFail, kOk},
       3,
       false},
      {"V3 answers, a block refused",
       [](ReaderConfig& c) { c.frameVersion = SimFrameVersion::V3; },
       Faults([](ReaderFaults& f) { f.nRejectBlock = 5; }),
       {kNotRun, kProgramFail, kNotRun, kSendFail},
       0},
      // Power lost when block 70 arrives: no answer, then the bootloader with
      // an erased application, which refuses the same block out of sequence.
      {"reader restarts in the middle of the download", nullptr,
       Faults([](ReaderFaults& f) { f.nRestartAtBlock = 70; }), Both(kProgramFail, kSendFail), 1},
      {"port or device unplugged in the middle of the download", nullptr,
       Faults([](ReaderFaults& f) { f.nDisconnectAfter = 80; }), Both(kProgramFail, kSendFail), 0},
      // The reader leaves for its bootloader and never comes back on the bus:
      // the download's reconnect fails; the script sends C7-10 into nothing.
      {"port or device gone after boot-mode entry", nullptr,
       [](ReaderModel&, Line& l) { l.UnplugAfterAnswerTo(0xC741); }, Both(kReconnectFail, kSendFail), 0},
      // A reader that answers the enter-bootloader command with 0xF2 and starts
      // its bootloader: the one place where 0xF2 means success.
      {"status F2 on C7-41 from a reader that enters its bootloader",
       [](ReaderConfig& c) { c.byBootEntryStatus = 0xF2; }, nullptr, Both(kOk, kOk), 0},
  };

  // Every command answered with an error status, then with 0xF2, which only
  // the enter-bootloader command may carry (and not carried out: a reader
  // that says F2 to C7-41 but stays in its application is met by the next
  // command).
  struct Command {
    WORD code;
    const char* binary;  // the binary download's step on an error status
    const char* script;  // the script's
  } commands[] = {
      {0x2904, kVersionCheck, kOk},         // the script path asks nothing
      {0x1801, kOk, kOk},                   // any answer to a ping will do
      {0xC741, kPingFail, kBlVersionFail},  // the script takes any answer, then C7-10 meets the application
      {0xC710, kOk, kBlVersionFail},
      {0xC701, kEraseFail, kOk},
      {0xC702, kEraseFail, kEraseFail},
      {0xC703, kProgramFail, kSendFail},
      {0xC715, kOk, kSendFail},
      {0xC704, kVerifyFail, kSendFail},
      {0xC705, kResetFail, kSendFail},
  };
  for (BYTE status : {kSimStatusUnknownCommand, BYTE{0xF2}}) {
    for (const Command& c : commands) {
      char name[64];
      std::snprintf(name, sizeof name, "status %02X on %02X-%02X", status, c.code >> 8, c.code & 0xFF);
      const WORD code = c.code;
      rows.push_back({name, nullptr, Faults([code, status](ReaderFaults& f) {
                        f.nStatusCmd = code;
                        f.byStatus = status;
                      }),
                      status == 0xF2 && code == 0xC741 ? Both(kEraseFail, kBlVersionFail) : Both(c.binary, c.script),
                      0});
    }
  }
  return rows;
}

// ---- the checks ---------------------------------------------------------------

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string LogTail(const std::string& log) { return log.substr(log.size() > 1200 ? log.size() - 1200 : 0); }

std::string Help(Iface iface) { return GetStatusText(iface == Iface::Usb ? STS_HELP_USB : STS_HELP_RS232); }

constexpr char kNewVersion[] = "3.10.001";

class FaultInjectionTest : public VirtualTimeTest {
 protected:
  FaultInjectionTest() {
    HidSetTaggedReports(0);
    LoadTxPacingPreset(2);
  }
  ~FaultInjectionTest() override {
    HidSetTaggedReports(0);
    SelectInterface(true);
    ClearTxPacing();
    theApp.m_bChkLegacy = false;
  }

  // The reader took the new firmware: verified, restarted, running it.
  bool Updated(ReaderModel& reader) {
    m_clock.Advance(10'000);  // past any restart
    return reader.State() == SimState::Application && reader.AppValid() && reader.AppVersion() == kNewVersion;
  }

  void RunRow(const FaultRow& row, Proc proc, Iface iface, const char* step);

  Files m_files;
};

void FaultInjectionTest::RunRow(const FaultRow& row, Proc proc, Iface iface, const char* step) {
  ReaderConfig cfg;  // a legacy reader (2.10.005) running its application
  if (row.config) row.config(cfg);
  ReaderModel reader(cfg);
  theApp.m_bChkLegacy = proc == Proc::Binary;
  HidSetTaggedReports(0);
  {
    Station st(reader, iface);
    if (row.inject) row.inject(reader, st.line);

    const std::uint64_t t0 = Now();
    ASSERT_TRUE(st.Load(m_files.For(proc, iface))) << "the run did not start or did not end";
    const std::uint64_t tookMs = Now() - t0;
    const std::string log = st.view.LogText();
    const bool bReported = st.dlg.GetWorkerExitCode() == 1;
    const bool bUpdated = Updated(reader);

    // Never a false success, and the outcome the row expects.
    if (bReported) {
      EXPECT_TRUE(bUpdated) << "success reported for a reader that was not updated\n" << LogTail(log);
    }
    EXPECT_EQ(bReported, *step == '\0') << LogTail(log);
    if (bReported) {
      EXPECT_TRUE(EndsWith(log, std::string("100% Done and Rebooting\r\n") +
                                    (proc == Proc::Binary  ? kSimSampleImage
                                     : iface == Iface::Usb ? kSimSampleUsbHidScript
                                                           : kSimSampleRs232Script) +
                                    "\r\n"))
          << LogTail(log);
    } else if (*step) {
      // The failed step's line, the help text, and the worker's closing line
      // (a failed version check ends the run before any procedure).
      std::string tail = std::string(step == kVersionCheck ? kSendFail : step) + "\r\n" + Help(iface) + "\r\n";
      if (step != kVersionCheck) tail += "Error, Download Failed\r\n";
      EXPECT_TRUE(EndsWith(log, tail)) << "expected the log to end with\n"
                                       << tail << "\nbut it ends with\n"
                                       << LogTail(log);
      EXPECT_EQ(log.find("100% Done and Rebooting"), std::string::npos) << LogTail(log);
    }

    // Within the deadlines.
    EXPECT_LE(tookMs, RunBoundMs(row.nSilent)) << "the run took " << tookMs << " ms";

    // The link is closed and the port or device can be opened again.
    EXPECT_FALSE(g_Rs232Port.IsOpen());
    EXPECT_FALSE(g_HidDevice.IsOpen());
    EXPECT_TRUE(st.line.Released());
    EXPECT_FALSE(st.dlg.IsRunInProgress());
    if (!st.line.Unplugged()) {
      EXPECT_TRUE(st.CanOpenAgain());
    }

    if (bUpdated || !row.bRecover) return;
  }

  // A following run with "/chklegacy", the fault gone (a pulled cable
  // plugged in again), updates the reader from wherever the run left it.
  SCOPED_TRACE("the following run");
  reader.SetFaults({});
  reader.Reconnect();
  theApp.m_bChkLegacy = true;
  Station again(reader, iface);
  ASSERT_TRUE(again.Load(m_files.imagePath));
  const std::string log = again.view.LogText();
  EXPECT_EQ(again.dlg.GetWorkerExitCode(), 1) << LogTail(log);
  EXPECT_TRUE(EndsWith(log, std::string("100% Done and Rebooting\r\n") + kSimSampleImage + "\r\n")) << LogTail(log);
  EXPECT_TRUE(Updated(reader));
  EXPECT_TRUE(again.line.Released());
}

TEST_F(FaultInjectionTest, EveryFaultEndsInTheTruthWithinTheDeadlines) {
  for (const FaultRow& row : Rows()) {
    for (Proc proc : {Proc::Binary, Proc::Script}) {
      for (Iface iface : {Iface::Rs232, Iface::Usb}) {
        const char* step = row.expect.For(proc, iface);
        if (step == kNotRun) continue;
        SCOPED_TRACE(row.name + ", " + Name(proc) + " over " + Name(iface));
        RunRow(row, proc, iface, step);
        plat::Stop().Clear();
      }
    }
  }
}

}  // namespace
