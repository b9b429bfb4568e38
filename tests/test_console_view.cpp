// readerctl's console side without a reader: the JSON writer, the log
// diffing and printing of the console view, its progress line, the main
// thread's event queue, the command line, and the exit status and closing
// sentence that a run's outcome record gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/args.h"
#include "cli/console_pump.h"
#include "cli/console_view.h"
#include "cli/json_writer.h"
#include "cli/link_advice.h"
#include "cli/outcome.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/stop.h"

namespace {

// ---- JSON ----

TEST(JsonWriter, EscapesEveryStringSoThatTheLineStaysValidJsonAndUtf8) {
  struct Row {
    const char* pszName;
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"plain", "Open USB interface success.", "\"Open USB interface success.\""},
      {"CR LF of a two-line append", "a\r\nb", "\"a\\r\\nb\""},
      {"quote and backslash", "say \"\\\\.\\COM1\"", "\"say \\\"\\\\\\\\.\\\\COM1\\\"\""},
      {"tab, backspace, form feed", "\t\b\f", "\"\\t\\b\\f\""},
      {"other control bytes and DEL", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001F\\u007F\""},
      {"NUL inside the text", std::string("a\0b", 3), "\"a\\u0000b\""},
      {"valid UTF-8 passes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"a lone high byte", "BL Version:\xFF", "\"BL Version:\\u00FF\""},
      {"a cut sequence at the end", "x\xE2\x82", "\"x\\u00E2\\u0082\""},
      {"overlong form", "\xC0\xAF", "\"\\u00C0\\u00AF\""},
      {"surrogate half", "\xED\xA0\x80", "\"\\u00ED\\u00A0\\u0080\""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\u00F4\\u0090\\u0080\\u0080\""},
  };
  for (const Row& row : rows) {
    std::string out;
    AppendJsonString(&out, row.in);
    EXPECT_EQ(out, row.out) << row.pszName;
  }
}

TEST(JsonWriter, BuildsOneObjectPerLineInFieldOrder) {
  EXPECT_EQ(JsonObject().Add("event", "result").Add("ok", false).Add("code", 3).Add("log", "x\r\n").Line(),
            "{\"event\":\"result\",\"ok\":false,\"code\":3,\"log\":\"x\\r\\n\"}\n");
  EXPECT_EQ(JsonObject().Text(), "{}");
}

// ---- log diffing ----

TEST(LogDiff, TellsAppendsFromReplacements) {
  struct Row {
    const char* pszName;
    std::string shown, now;
    LogChange change;
    std::string text;
  };
  const Row rows[] = {
      {"first append", "", "Open USB interface success.\r\n", LogChange::Append, "Open USB interface success.\r\n"},
      {"one more line", "a\r\n", "a\r\nb\r\n", LogChange::Append, "b\r\n"},
      {"two-line append", "a\r\n", "a\r\nb\r\nc\r\n", LogChange::Append, "b\r\nc\r\n"},
      {"unchanged", "a\r\n", "a\r\n", LogChange::None, ""},
      {"connect step: fresh log", "a\r\nb\r\n", "Open USB interface success.\r\n", LogChange::Replace,
       "Open USB interface success.\r\n"},
      {"same start, shorter", "abc\r\n", "ab", LogChange::Replace, "ab"},
      {"cleared", "a\r\n", "", LogChange::Replace, ""},
      {"replaced by a longer text with another start", "a\r\n", "b\r\na\r\n", LogChange::Replace, "b\r\na\r\n"},
  };
  for (const Row& row : rows) {
    const LogDiff diff = DiffLog(row.shown, row.now);
    EXPECT_EQ(diff.change, row.change) << row.pszName;
    EXPECT_EQ(diff.strText, row.text) << row.pszName;
  }
  EXPECT_EQ(WithoutFinalLineEnd("a\r\nb\r\n"), "a\r\nb");
  EXPECT_EQ(WithoutFinalLineEnd("a\n"), "a\n");
}

// Everything the view writes, in order, with the stream it went to.
struct Capture {
  struct Write {
    bool bErr;
    std::string text;
  };
  std::mutex mutex;
  std::vector<Write> writes;

  ConsoleOutput Output(bool bTerminal) {
    ConsoleOutput out;
    out.fnOut = [this](std::string_view t) { Add(false, t); };
    out.fnErr = [this](std::string_view t) { Add(true, t); };
    out.bErrIsTerminal = bTerminal;
    out.nColumns = 60;
    return out;
  }
  void Add(bool bErr, std::string_view t) {
    std::lock_guard<std::mutex> lock(mutex);
    writes.push_back({bErr, std::string(t)});
  }
  std::string Joined(bool bErr) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string all;
    for (const Write& w : writes)
      if (w.bErr == bErr) all += w.text;
    return all;
  }
};

TEST(ConsoleView, PrintsAppendsAsTheyComeAndMarksAReplacement) {
  Capture cap;
  ConsoleView view(cap.Output(false), false, nullptr);
  view.SetLogText("");  // the window's first refresh: nothing to print
  view.SetLogText("Open USB interface success.\r\n");
  view.SetLogText("Open USB interface success.\r\nEnter bootloader mode success!\r\nPlease wait\r\n");
  view.SetLogText("Open USB interface success.\r\n");  // a reconnect starts a fresh log
  view.SetLogText("Open USB interface success.\r\nDone");

  EXPECT_EQ(cap.Joined(false),
            "Open USB interface success.\n"
            "Enter bootloader mode success!\nPlease wait\n"
            "---- log replaced ----\nOpen USB interface success.\n"
            "Done\n");
  EXPECT_EQ(view.GetLogText(), "Open USB interface success.\r\nDone");
  EXPECT_EQ(cap.Joined(true), "");
}

TEST(ConsoleView, JsonStreamHasOneEventPerChange) {
  Capture cap;
  ConsoleView view(cap.Output(true), true, nullptr);
  view.SetLogText("a\r\n");
  view.SetLogText("a\r\nb\r\nc\r\n");
  view.SetLogText("x\r\n");
  view.ShowControl(IDC_PROGRESS, true);
  view.SetProgressMarquee(true);
  view.SetProgressMarquee(true);  // no change, no event
  view.SetProgressMarquee(false);
  view.SetProgressPos(0);  // the bar's start: no change
  view.SetProgressRange(100);
  view.SetProgressPos(42);
  view.SetProgressPos(42);
  view.SetElapsedText("00:00");  // as it starts: no change
  view.SetElapsedText("00:01");
  view.ShowMessageBox("No COM Port Available", "Warning", MsgIcon::Exclamation);

  EXPECT_EQ(cap.Joined(false),
            "{\"event\":\"log\",\"replace\":false,\"text\":\"a\"}\n"
            "{\"event\":\"log\",\"replace\":false,\"text\":\"b\\r\\nc\"}\n"
            "{\"event\":\"log\",\"replace\":true,\"text\":\"x\"}\n"
            "{\"event\":\"marquee\",\"on\":true}\n"
            "{\"event\":\"marquee\",\"on\":false}\n"
            "{\"event\":\"progress\",\"pos\":42,\"max\":100}\n"
            "{\"event\":\"elapsed\",\"text\":\"00:01\"}\n"
            "{\"event\":\"message_box\",\"text\":\"No COM Port Available\"}\n");
  // JSON draws no progress line, but a message box still reaches standard error.
  EXPECT_EQ(cap.Joined(true), "Warning: No COM Port Available\n");
}

TEST(ConsoleView, ProgressLineIsDrawnOnlyOnATerminalAndStepsAsideForLogText) {
  {
    Capture cap;
    ConsoleView view(cap.Output(false), false, nullptr);
    view.ShowControl(IDC_PROGRESS, true);
    view.SetProgressRange(100);
    view.SetProgressPos(50);
    view.SetLogText("a\r\n");
    view.Finish();
    EXPECT_EQ(cap.Joined(true), "") << "no redraws off a terminal";
    EXPECT_EQ(cap.Joined(false), "a\n");
  }
  Capture cap;
  ConsoleView view(cap.Output(true), false, nullptr);
  view.SetProgressPos(10);
  EXPECT_TRUE(cap.writes.empty()) << "nothing is drawn before the bar is shown";
  view.ShowControl(IDC_PROGRESS, true);
  view.SetProgressRange(100);
  view.SetProgressPos(50);
  view.SetLogText("line\r\n");
  view.Finish();

  ASSERT_GE(cap.writes.size(), 4u);
  const std::size_t nLog = [&] {
    for (std::size_t i = 0; i < cap.writes.size(); ++i)
      if (!cap.writes[i].bErr) return i;
    return cap.writes.size();
  }();
  ASSERT_LT(nLog, cap.writes.size());
  ASSERT_GT(nLog, 0u);
  // The bar is erased before the log line and drawn again after it.
  EXPECT_EQ(cap.writes[nLog - 1].text, "\r\033[K");
  EXPECT_EQ(cap.writes[nLog].text, "line\n");
  ASSERT_GT(cap.writes.size(), nLog + 1);
  EXPECT_NE(cap.writes[nLog + 1].text.find(" 50%"), std::string::npos);
  EXPECT_EQ(cap.writes.back().text, "\n") << "the last drawn line is closed";
}

TEST(ProgressLine, ShowsBarPercentageAndTimeOrAMovingBlock) {
  ProgressState state;
  state.nMax = 100;
  state.nPos = 50;
  state.strElapsed = "01:05";
  const std::string half = FormatProgressLine(state, 60);
  EXPECT_EQ(half.front(), '[');
  EXPECT_NE(half.find("]  50%  01:05"), std::string::npos) << half;
  EXPECT_LT(half.size(), 60u);
  const std::size_t nBar = half.find(']') - 1;
  EXPECT_EQ(std::count(half.begin(), half.end(), '#'), static_cast<long>(nBar / 2));

  // Out-of-range positions and an empty range never draw past the bar.
  for (const auto& [nPos, nMax, pszPercent] :
       {std::tuple{150, 100, "100%"}, std::tuple{-3, 100, "  0%"}, std::tuple{5, 0, "  0%"}}) {
    state.nPos = nPos;
    state.nMax = nMax;
    const std::string line = FormatProgressLine(state, 60);
    EXPECT_NE(line.find(pszPercent), std::string::npos) << line;
    EXPECT_EQ(line.size(), half.size()) << line;
  }

  state.bMarquee = true;
  std::vector<std::string> frames;
  for (unsigned f = 0; f < 200; ++f) {
    state.nFrame = f;
    const std::string line = FormatProgressLine(state, 60);
    EXPECT_EQ(std::count(line.begin(), line.end(), '#'), 3) << line;
    EXPECT_EQ(line.size(), half.size());
    frames.push_back(line);
  }
  EXPECT_NE(frames[0], frames[1]) << "the block moves";
  // A narrow terminal still gets a usable bar.
  EXPECT_FALSE(FormatProgressLine(state, 5).empty());
}

// ---- the main thread's event queue ----

class ConsolePumpTest : public ::testing::Test {
 protected:
  void TearDown() override { plat::Stop().Clear(); }
  // Long enough never to be reached unless the pump is broken.
  static std::uint64_t Far() { return plat::NowMs() + 20000; }
};

TEST_F(ConsolePumpTest, ServesAWorkersCallsOnTheWindowThreadWhileItWaits) {
  ConsolePump pump;
  ConsoleView view(ConsoleOutput{}, false, &pump);
  const std::thread::id mainId = std::this_thread::get_id();
  std::vector<std::thread::id> ranOn;
  std::atomic<bool> bDone{false};
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) view.SendToWindowThread([&] { ranOn.push_back(std::this_thread::get_id()); });
    bDone = true;
    pump.Wake();
  });
  EXPECT_EQ(pump.Serve([&] { return bDone.load(); }, Far(), true), ConsolePump::ServeEnd::Done);
  worker.join();
  ASSERT_EQ(ranOn.size(), 3u) << "each call returned only after it had run";
  for (const auto& id : ranOn) EXPECT_EQ(id, mainId);

  // On the window thread itself the call runs inline.
  bool bInline = false;
  view.SendToWindowThread([&] { bInline = true; });
  EXPECT_TRUE(bInline);
}

struct CountingSink : IDialogEvents {
  std::atomic<int> nFired{0};
  std::thread::id firedOn;
  void OnTimer(UINT_PTR nIDEvent) override {
    if (nIDEvent != 1) return;
    firedOn = std::this_thread::get_id();
    ++nFired;
  }
};

TEST_F(ConsolePumpTest, TimersSetFromAnyThreadFireOnTheWindowThreadUntilKilled) {
  ConsolePump pump;
  ConsoleView view(ConsoleOutput{}, false, &pump);
  CountingSink sink;
  view.SetEventSink(&sink);
  std::thread([&] { view.SetTimer(1, 1); }).join();
  EXPECT_EQ(pump.Serve([&] { return sink.nFired >= 3; }, Far(), true), ConsolePump::ServeEnd::Done);
  EXPECT_EQ(sink.firedOn, std::this_thread::get_id());
  view.KillTimer(1);
  EXPECT_FALSE(pump.IsTimerSet(1));
  view.SetEventSink(nullptr);
}

TEST_F(ConsolePumpTest, AWaitEndsOnAStopButServingAWorkerOnItsWayOutGoesOn) {
  ConsolePump pump;
  plat::ScopedThreadPump scoped(pump);
  ConsoleView view(ConsoleOutput{}, false, &pump);
  plat::Stop().Request();
  // The procedures' waits on the window thread end at once.
  plat::ThreadPump().WaitUntil(Far());
  EXPECT_EQ(pump.Serve(nullptr, Far(), true), ConsolePump::ServeEnd::Stopped);

  // A worker that still reports after the stop is served to its end.
  std::atomic<bool> bDone{false};
  int nServed = 0;
  std::thread worker([&] {
    view.SendToWindowThread([&] { ++nServed; });
    bDone = true;
    pump.Wake();
  });
  EXPECT_EQ(pump.Serve([&] { return bDone.load(); }, Far(), false), ConsolePump::ServeEnd::Done);
  worker.join();
  EXPECT_EQ(nServed, 1);
}

TEST_F(ConsolePumpTest, DispatchOneNeverBlocks) {
  ConsolePump pump;
  int nRan = 0;
  pump.DispatchOne();  // nothing queued: returns
  pump.Post([&] { ++nRan; });
  pump.Post([&] { ++nRan; });
  pump.DispatchOne();
  EXPECT_EQ(nRan, 1);
  pump.DispatchOne();
  EXPECT_EQ(nRan, 2);
}

// ---- command line ----

TEST(CommandLine, ReadsCommandsOptionsAndTheWindowsSwitches) {
  CliParse p = ParseCommandLine({"--interface", "rs232", "--port", "COM7", "--baud=115200", "load", "a.txt", "--json"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.command, CliCommand::Load);
  EXPECT_EQ(p.options.strFile, "a.txt");
  EXPECT_TRUE(p.options.bRs232);
  EXPECT_EQ(p.options.strPort, "COM7");
  EXPECT_EQ(p.options.nBaudIndex, 4);
  EXPECT_TRUE(p.options.bJson);
  EXPECT_EQ(SwitchCommandText(p.options), "");

  p = ParseCommandLine({"/chklegacy", "/R2Def_04F0_NoEncKeys", "reset-default"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(SwitchCommandText(p.options), "/chklegacy /R2Def_04F0_NoEncKeys");
  EXPECT_FALSE(p.options.bRs232) << "USB by default, as in the window";
  EXPECT_EQ(p.options.nBaudIndex, 0) << "9600 by default";

  p = ParseCommandLine({"--chklegacy", "--r2def-04f0", "--interface=USB", "load", "--", "-odd.txt"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.strFile, "-odd.txt");
  EXPECT_EQ(SwitchCommandText(p.options), "/chklegacy /R2Def_04F0_NoEncKeys");

  // A file whose name holds a switch's letters does not set the switch.
  p = ParseCommandLine({"load", "/tmp/x/chklegacy.txt"});
  ASSERT_TRUE(p.bOk);
  EXPECT_EQ(SwitchCommandText(p.options), "");

  p = ParseCommandLine({"--interface", "rs232", "--port", "/dev/ttyUSB0", "list-ports"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.strPort, "/dev/ttyUSB0");
  EXPECT_EQ(ParseCommandLine({"--help"}).options.command, CliCommand::Help);
  EXPECT_EQ(p.options.strTrace, "") << "no trace unless asked for";

  // The trace: standard error, or a file given only as --trace=FILE, so the
  // word after a plain --trace stays the command.
  p = ParseCommandLine({"--trace", "load", "a.txt"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.strTrace, "-");
  EXPECT_EQ(p.options.strFile, "a.txt");
  p = ParseCommandLine({"reset-default", "--trace=/tmp/reader trace.txt"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.strTrace, "/tmp/reader trace.txt");

  // Several readers: each --device and --port kept in order; a batch.
  p = ParseCommandLine({"--device", "/dev/hidraw3", "--device=/dev/hidraw1", "--wait", "30", "load", "a.txt"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.devices, (std::vector<std::string>{"/dev/hidraw3", "/dev/hidraw1"}));
  EXPECT_EQ(p.options.nWaitSeconds, 30);
  EXPECT_TRUE(IsBatch(p.options));
  p = ParseCommandLine({"--interface", "rs232", "--port", "COM2", "--port", "COM3", "info"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.strPort, "COM2");
  EXPECT_EQ(p.options.ports.size(), 2u);
  EXPECT_TRUE(IsBatch(p.options));
  EXPECT_FALSE(IsBatch(ParseCommandLine({"--device", "/dev/hidraw3", "reset-default"}).options));
  EXPECT_TRUE(IsBatch(ParseCommandLine({"--all", "load", "a.txt"}).options));
  EXPECT_EQ(ParseCommandLine({"--version"}).options.command, CliCommand::Version);
  p = ParseCommandLine({"check", "a.txt"});
  ASSERT_TRUE(p.bOk) << p.strError;
  EXPECT_EQ(p.options.command, CliCommand::Check);
  EXPECT_EQ(p.options.strFile, "a.txt");
}

TEST(CommandLine, RefusesWhatItCannotCarryOut) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"load"},
      {"load", ""},
      {"load", "a.txt", "b.txt"},
      {"version-info"},
      {"--baud", "1200", "load", "a.txt"},
      {"--baud"},
      {"--interface", "serial", "reset-default"},
      {"--port", "ttyUSB0", "--interface", "rs232", "reset-default"},
      {"--port", "COM0", "--interface", "rs232", "reset-default"},
      {"--port", "COM7", "load", "a.txt"},  // a port for a USB run
      {"--json=yes", "version"},
      {"--trace=", "reset-default"},
      {"--verbose", "version"},
      {"/CHKLEGACY", "version"},  // not a switch, so an extra argument
      {"--version", "load", "a.txt"},
      {"check"},
      {"--device", "/dev/hidraw0", "--interface", "rs232", "load", "a.txt"},
      {"--all", "--interface", "rs232", "load", "a.txt"},
      {"--all", "--device", "/dev/hidraw0", "info"},
      {"--device", "/dev/hidraw0", "--device", "/dev/hidraw0", "info"},
      {"--interface", "rs232", "--port", "COM2", "--port", "COM2", "info"},
      {"--device", "/dev/hidraw0", "check", "a.txt"},
      {"--wait", "0", "info"},
      {"--wait", "5s", "info"},
      {"--wait", "99999999999", "info"},
      {"--device=", "info"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    const CliParse p = ParseCommandLine(args);
    EXPECT_FALSE(p.bOk) << joined;
    EXPECT_FALSE(p.strError.empty()) << joined;
  }
}

// ---- outcome ----

TEST(Outcome, ExitStatusComesFromTheFailedStepAndAStopWins) {
  struct Row {
    const char* pszName;
    RunOutcome outcome;
    bool bInterrupted;
    int nStatus;
  };
  const Row rows[] = {
      {"success", {}, false, kExitOk},
      {"updated, reader restarting", {RunFailure::kNone, ReaderStage::kRestarting}, false, kExitOk},
      {"no link", {RunFailure::kConnect}, false, kExitNoLink},
      {"file refused", {RunFailure::kFileRefused}, false, kExitFileRefused},
      {"procedure failed", {RunFailure::kProcedure}, false, kExitFailed},
      {"failed in the bootloader", {RunFailure::kProcedure, ReaderStage::kInBootloader}, false, kExitFailed},
      {"reset not accepted", {RunFailure::kProcedure, ReaderStage::kNotEntered, true}, false, kExitFailed},
      {"reset not accepted, recorded alone", {RunFailure::kNone, ReaderStage::kNotEntered, true}, false, kExitFailed},
      {"interrupted wins over a failure", {RunFailure::kFileRefused}, true, kExitInterrupted},
      {"interrupted while connecting", {RunFailure::kConnect}, true, kExitInterrupted},
      {"interrupted after the update finished", {RunFailure::kNone, ReaderStage::kRestarting}, true,
       kExitInterrupted},
  };
  for (const Row& row : rows) EXPECT_EQ(ExitStatusOf(row.outcome, row.bInterrupted), row.nStatus) << row.pszName;
}

TEST(Outcome, WhereAnInterruptedReaderIsLeft) {
  const std::string strBoot = "reader may be left in its bootloader";
  const std::string strRestarting = "the reader was restarting with its new firmware";
  struct Row {
    ReaderStage stage;
    bool bBoot;
    bool bRestarting;
  };
  const Row rows[] = {
      {ReaderStage::kNotEntered, false, false},
      {ReaderStage::kInBootloader, true, false},
      {ReaderStage::kRestarting, false, true},
  };
  for (const Row& row : rows) {
    const std::string strText = ReaderStateAfterInterrupt({RunFailure::kProcedure, row.stage});
    EXPECT_EQ(strText.find(strBoot) != std::string::npos, row.bBoot) << strText;
    EXPECT_EQ(strText.find(strRestarting) != std::string::npos, row.bRestarting) << strText;
  }
}

TEST(Outcome, TheReasonALinkDidNotOpenNamesTheFixForARefusedPortOrDevice) {
  // Both systems have a fix for a refused serial port; this one's words.
  const std::string strSerialFix = AccessDeniedFix(true, "");
  ASSERT_FALSE(strSerialFix.empty());
  const std::string strUsbFix = AccessDeniedFix(false, "/dev/hidraw0");
  const std::string strUsbTail = strUsbFix.empty() ? std::string() : "; " + strUsbFix;
  struct Row {
    LinkOpenFailure failure;
    bool bSerial;
    std::string strReason;
  };
  // Without a device to look at, what this system says of a busy one.
  const std::string strBusy = BusyHolder("");
  const std::string strBusyTail = strBusy.empty() ? std::string() : "; " + strBusy;
  const Row rows[] = {
      {{}, true, ""},
      {{LinkOpenFailureKind::NotFound, "COM7: No such file or directory", ""}, true,
       "COM7: No such file or directory"},
      {{LinkOpenFailureKind::Busy, "COM7: Device or resource busy", ""}, true,
       "COM7: Device or resource busy" + strBusyTail},
      {{LinkOpenFailureKind::NoAnswer, "COM1: no reader answered at 115200 baud", ""}, true,
       "COM1: no reader answered at 115200 baud"},
      {{LinkOpenFailureKind::AccessDenied, "COM7: Permission denied", ""}, true,
       "COM7: Permission denied; " + strSerialFix},
      {{LinkOpenFailureKind::AccessDenied, "COM7: Access is denied.", ""}, true,
       "COM7: Access is denied; " + strSerialFix},
      {{LinkOpenFailureKind::AccessDenied, "USB reader F3A5:0A02: Permission denied (/dev/hidraw0)", "/dev/hidraw0"},
       false, "USB reader F3A5:0A02: Permission denied (/dev/hidraw0)" + strUsbTail},
      {{LinkOpenFailureKind::Other, "USB reader F3A5:0A02: cannot be opened (/dev/hidraw0)", "/dev/hidraw0"}, false,
       "USB reader F3A5:0A02: cannot be opened (/dev/hidraw0)"},
  };
  for (const Row& row : rows) EXPECT_EQ(LinkFailureReason(row.failure, row.bSerial), row.strReason);
}

}  // namespace
