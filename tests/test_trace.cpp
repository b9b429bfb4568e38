// The link trace in virtual time: a short script run against the simulated
// reader over the fake serial line and the fake HID backend (each report
// mode) with the trace going to memory, read back line by line; why an
// exchange got no answer and what the serial exchange did on the way; and
// the trace file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/dispatch.h"
#include "link/frame.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "link/trace.h"
#include "platform/stop.h"
#include "script/text_script.h"
#include "sim/model/reader_model.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/link_bench.h"
#include "support/recording_view.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/test_window.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"

namespace {

class MemorySink final : public trace::ISink {
 public:
  void Write(const std::string& line) override { text += line; }
  std::string text;
};

// One trace line taken apart: "[    1234 ms] rs232 event".
struct Line {
  std::uint64_t ms;
  std::string link;  // "rs232" or "usb"
  std::string event;
};

// Every line but the first (the title) must be an event line.
std::vector<Line> Parse(const std::string& text) {
  static const std::regex kLine(R"(\[ {0,7}(\d{1,8}) ms\] (rs232|usb  ) (.+))");
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string s;
  bool bFirst = true;
  while (std::getline(in, s)) {
    if (bFirst) {
      EXPECT_EQ(s.rfind("# test_trace", 0), 0u) << s;
      bFirst = false;
      continue;
    }
    std::smatch m;
    if (!std::regex_match(s, m, kLine)) {
      ADD_FAILURE() << "not a trace line: " << s;
      continue;
    }
    std::string link = m[2];
    if (link == "usb  ") link = "usb";
    lines.push_back({std::stoull(m[1]), link, m[3]});
  }
  return lines;
}

// The frame as the trace shows it.
std::string HexOf(const std::vector<BYTE>& b) {
  std::string s = FormatHexLine(b.data(), b.size());
  if (!s.empty()) s.pop_back();
  return s + " (" + std::to_string(b.size()) + " bytes";
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// A short script run: boot-mode entry (answered, then the bootloader's start
// is waited for, and on USB the link opened again), the bootloader's version,
// the erase.
TEST(TraceOfAScriptRun, EveryRequestAndAnswerInHexWithItsLinkAndTimeAndTheWaitsBetween) {
  struct Row {
    const char* name;
    bool bRs232;
    SimHidMode mode;
    std::vector<const char*> shapes;  // patterns of events each exchange shows besides request and answer
  } rows[] = {
      {"RS-232", true, SimHidMode::Interrupt64, {"wait 100 ms: request written", R"(read \d+ bytes)"}},
      {"USB 64-byte reports",
       false,
       SimHidMode::Interrupt64,
       {"out: 1 tagged output report of 64 bytes", "in: 1 tagged input report of 64 bytes: frame complete"}},
      {"USB counted reports",
       false,
       SimHidMode::Counted65,
       {"out: 1 counted output report of 65 bytes", "in: 1 counted input report of 65 bytes: frame complete"}},
      {"USB feature reports",
       false,
       SimHidMode::Feature8,
       {"out: 3 feature reports of 8 bytes, 5 ms apart, 25 ms after the last",
        R"(in: \d feature reports of 8 bytes, frame announced \d+ bytes: frame complete)"}},
  };
  const std::vector<std::vector<BYTE>> frames = {MakeFrame(0xC7, 0x41), MakeFrame(0xC7, 0x10),
                                                 MakeFrame(0xC7, 0x02, {0x00})};
  std::string script = "#RS232 version\r\nTest reader\r\n";
  for (const auto& f : frames) script += "SEND: " + FormatHexLine(f.data(), f.size()) + "WAIT: 10\r\n";

  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    plat::VirtualClock clock(1'000'000);
    plat::ScopedClock useClock(clock);
    plat::Stop().Clear();
    ResetProcessState();
    ReaderModel reader;
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend useHid(backend);
    SimHidDevice device(backend, reader, r.mode);
    RecordingView view;
    CTAVDownloadApDlg dlg;
    AttachTestWindow(dlg, view);

    MemorySink sink;
    trace::Enable(sink, "test_trace");
    const std::uint64_t t0 = clock.NowMs();
    SelectInterface(r.bRs232);
    ASSERT_TRUE(dlg.OpenSelectedInterface(false)) << view.LogText();
    EXPECT_EQ(RunScriptCommands(&dlg, reinterpret_cast<const BYTE*>(script.data()), static_cast<int>(script.size()),
                                r.bRs232 ? 0 : 1, 0),
              0)
        << view.LogText();
    CloseInterface();
    trace::Disable();
    const std::uint64_t elapsed = clock.NowMs() - t0;
    dlg.AttachView(nullptr);
    ResetProcessState();

    const std::vector<Line> lines = Parse(sink.text);
    ASSERT_FALSE(lines.empty());
    const std::string link = r.bRs232 ? "rs232" : "usb";
    std::vector<std::string> requests, answers;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const Line& l = lines[i];
      EXPECT_EQ(l.link, link) << l.event;
      // Time is the process clock's, from the moment the trace was turned on.
      if (i > 0) {
        EXPECT_GE(l.ms, lines[i - 1].ms) << l.event;
      }
      EXPECT_LE(l.ms, elapsed) << l.event;
      if (StartsWith(l.event, "> ")) requests.push_back(l.event.substr(2));
      if (StartsWith(l.event, "< ")) answers.push_back(l.event.substr(2));
      // The wait for the bootloader shows with its reason and takes its time.
      if (l.event == "wait 5000 ms: the bootloader starts") {
        ASSERT_LT(i + 1, lines.size());
        EXPECT_GE(lines[i + 1].ms, l.ms + 5000);
      }
    }

    // Exactly the frames the reader received and sent, in order.
    std::vector<std::string> wantRequests, wantAnswers;
    for (const TranscriptEntry& e : reader.Transcript()) {
      if (e.kind == TranscriptEntry::Request) wantRequests.push_back(HexOf(e.bytes) + ")");
      if (e.kind == TranscriptEntry::Response) wantAnswers.push_back(HexOf(e.bytes) + ", after ");
    }
    ASSERT_EQ(wantRequests.size(), frames.size());
    EXPECT_EQ(requests, wantRequests);
    ASSERT_EQ(answers.size(), wantAnswers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) EXPECT_TRUE(StartsWith(answers[i], wantAnswers[i])) << answers[i];

    auto count = [&](const std::string& event) {
      int n = 0;
      for (const Line& l : lines) n += l.event == event;
      return n;
    };
    auto countPrefix = [&](const std::string& prefix) {
      int n = 0;
      for (const Line& l : lines) n += StartsWith(l.event, prefix);
      return n;
    };
    EXPECT_EQ(count("wait 5000 ms: the bootloader starts"), 1) << sink.text;
    for (const char* pszShape : r.shapes) {
      const std::regex shape(pszShape);
      int n = 0;
      for (const Line& l : lines) n += std::regex_match(l.event, shape);
      EXPECT_EQ(n, 3) << pszShape << "\n" << sink.text;
    }
    if (r.bRs232) {
      EXPECT_EQ(countPrefix("open COM1 ("), 1) << sink.text;
      EXPECT_EQ(count("close"), 1) << sink.text;
    } else {
      // Every command waits first; after the boot-mode entry the link is
      // opened again.
      EXPECT_EQ(count("wait 450 ms: USB HID pause before a command"), 3) << sink.text;
      char szIdentity[48];
      std::snprintf(szIdentity, sizeof szIdentity, "vendor %04X product %04X", kSimReaderVendorId,
                    kSimReaderProductId);
      int nOpens = 0;
      for (const Line& l : lines) nOpens += StartsWith(l.event, "open ") && l.event.find(szIdentity) != std::string::npos;
      EXPECT_EQ(nOpens, 2) << sink.text;
      EXPECT_EQ(countPrefix("close "), 2) << sink.text;
    }
  }
}

// ---------------------------------------------------------------------------
// Exchanges without an answer, and the serial exchange's steps
// ---------------------------------------------------------------------------

class TraceTest : public linkbench::LinkBench {
 protected:
  TraceTest() { trace::Enable(m_sink, "test_trace"); }
  ~TraceTest() override { trace::Disable(); }

  MemorySink m_sink;
};

TEST_F(TraceTest, AnExchangeWithoutAnAnswerSaysWhyAndTheStepsOnTheWay) {
  using linkbench::Bytes;
  struct Row {
    const char* name;
    std::function<void()> run;
    std::vector<const char*> events;  // patterns of events that must show in this order
  } rows[] = {
      {"silent serial reader",
       [this] {
         Use(kInterfaceRs232);
         AnswerNothing();
         PingReader();
       },
       {"> .*", "wait 100 ms: request written", "wait 100 ms: end of a pass", R"(\d+ reads without a byte)",
        R"(< no answer after 65\d\d\d ms \(time-out\))"}},
      {"noise before the answer on the serial line",
       [this] {
         Use(kInterfaceRs232);
         m_responder = [](const linkbench::Request& r) -> std::optional<Bytes> {
           Bytes b = {0x00, 0xFF, 0x13};
           const Bytes f = MakeFrame(r.bytes[10], 0x00);
           b.insert(b.end(), f.begin(), f.end());
           return b;
         };
         EXPECT_TRUE(PingReader());
       },
       {"> .*", "read 19 bytes", "noise skipped: 3 bytes: 00 FF 13", "wait 100 ms: frame header found",
        "wait 100 ms: answer received", R"(< 4B .* \(16 bytes, after \d+ ms\))"}},
      {"silent USB reader",
       [this] {
         Use(kInterfaceUsbHid);
         AnswerNothing();
         PingReader();
       },
       {"> .*", "out: 1 tagged output report of 64 bytes", R"(no input report of 64 bytes \(time-out\))",
        "in: 0 tagged input reports of 64 bytes: no whole report", R"(< no answer after 65000 ms \(time-out\))"}},
      {"stop request during the exchange",
       [this] {
         Use(kInterfaceUsbHid);
         m_responder = [](const linkbench::Request&) -> std::optional<Bytes> {
           plat::Stop().Request();
           return std::nullopt;
         };
         PingReader();
       },
       {"> .*", R"(no input report of 64 bytes \(stop\))", R"(< no answer after 0 ms \(stop\))"}},
      {"pinging wait with the link closed",
       [] {
         g_nInterface = kInterfaceUsbHid;
         PumpWait(100, TRUE);
       },
       {"wait up to 100 ms, pinging until the reader answers", "> .*", R"(< no answer after 0 ms \(link closed\))",
        "> .*", R"(< no answer after 0 ms \(link closed\))", "wait over, no ping answered"}},
      {"transmit pacing",
       [] {
         LoadTxPacingPreset(0);
         const Bytes frame = MakeFrame(0xC7, 0x15);
         WaitBeforeTx(nullptr, frame.data());
       },
       {"wait 5000 ms: transmit pacing before the next request"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ResetLinkGlobals();
    plat::Stop().Clear();
    m_sink.text.clear();
    m_responder = [](const linkbench::Request& req) -> std::optional<Bytes> { return MakeFrame(req.bytes[10], 0); };
    r.run();
    plat::Stop().Clear();

    const std::vector<Line> lines = Parse("# test_trace\n" + m_sink.text);
    std::size_t at = 0;
    for (const char* pszWant : r.events) {
      const std::regex want(pszWant);
      while (at < lines.size() && !std::regex_match(lines[at].event, want)) ++at;
      ASSERT_LT(at, lines.size()) << "no \"" << pszWant << "\" in its place in\n" << m_sink.text;
      ++at;
    }
  }
}

// ---------------------------------------------------------------------------
// The trace file
// ---------------------------------------------------------------------------

TEST(TraceFile, IsAppendedToLineByLineAndRefusedWithAReasonWhenItCannotBeOpened) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("readertool_trace_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "trace.txt").string();
  const BYTE frame[] = {0x4B, 0x65, 0x00, 0xFF};
  // Virtual time: the times in the file are exact, however slow the machine.
  plat::VirtualClock clock(1'000'000);
  plat::ScopedClock useClock(clock);
  std::string err;
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(trace::EnableTo(path, "test_trace", &err)) << err;
    trace::Request(trace::Link::Usb, frame, sizeof frame);
    // Flushed at once: the line is in the file before the trace ends.
    std::ifstream now(path);
    const std::string text((std::istreambuf_iterator<char>(now)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("] usb   > 4B 65 00 FF (4 bytes)\n"), std::string::npos) << text;
    trace::Disable();
  }
  trace::Request(trace::Link::Usb, frame, sizeof frame);  // off: nothing more

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string s; std::getline(in, s);) lines.push_back(s);
  ASSERT_EQ(lines.size(), 4u);
  for (int i : {0, 2}) EXPECT_TRUE(StartsWith(lines[i], "# test_trace ")) << lines[i];
  for (int i : {1, 3}) EXPECT_EQ(lines[i], "[       0 ms] usb   > 4B 65 00 FF (4 bytes)");

  err.clear();
  EXPECT_FALSE(trace::EnableTo((dir / "no" / "such" / "dir").string(), "test_trace", &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(trace::On());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
