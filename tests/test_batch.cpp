// Several readers at once: the batch's pieces (its children's command lines,
// the exit status, the summary, the display of the children's events, the
// reading of their JSON lines) and, end to end, a batch of simulated readers
// over pseudo-terminals where one reader fails and the others are updated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/batch.h"
#include "cli/json_reader.h"
#include "cli/outcome.h"
#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

TEST(JsonEventReading, ReadsTheStreamsFlatObjectsAndRefusesTheRest) {
  const std::optional<JsonEvent> ev = JsonEvent::Parse(
      "{\"event\":\"log\",\"replace\":false,\"pos\":-42,\"text\":\"a\\\"b\\\\c\\r\\n\\u00E9\\u20AC\\uD83D\\uDE00\","
      "\"none\":null}\n");
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->String("event"), "log");
  EXPECT_FALSE(ev->Bool("replace", true));
  EXPECT_EQ(ev->Int("pos"), -42);
  // \u00XX comes back as the byte the writer escaped; others as UTF-8.
  EXPECT_EQ(ev->String("text"), "a\"b\\c\r\n\xE9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_TRUE(ev->Has("none"));
  EXPECT_EQ(ev->String("pos", "x"), "x") << "a field of another kind gives the fallback";
  EXPECT_TRUE(JsonEvent::Parse("{}"));

  for (const char* pszBad : {"", "{", "}", "[]", "{\"a\":1,}", "{\"a\" 1}", "{\"a\":{}}", "{\"a\":[1]}",
                             "{\"a\":1.5}", "{\"a\":1e3}", "{\"a\":\"\\x\"}", "{\"a\":\"\\uD800\"}",
                             "{\"a\":\"\\uDC00\"}", "{\"a\":\"tab\there\"}", "{\"a\":1} x", "{\"a\":tru}",
                             "{\"a\":12345678901234567890}", "readerctl: plain text"}) {
    EXPECT_FALSE(JsonEvent::Parse(pszBad)) << pszBad;
  }
}

TEST(BatchPieces, EachChildRunsTheCommandOnItsOneReader) {
  const CliParse parse = ParseCommandLine({"--interface", "rs232", "--baud", "57600", "--port", "COM2", "--port",
                                           "/dev/ttyUSB1", "--chklegacy", "--trace=/tmp/t.txt", "--wait", "9",
                                           "load", "--", "-dash.txt"});
  ASSERT_TRUE(parse.bOk) << parse.strError;
  std::string strError;
  const std::vector<BatchReader> readers = BatchReaders(parse.options, &strError);
  ASSERT_EQ(readers.size(), 2u);
  EXPECT_EQ(readers[1].strName, "/dev/ttyUSB1");

  // Read back, each child's command line is the single-reader command.
  for (CliCommand command : {CliCommand::Load, CliCommand::Info}) {
    const CliParse child = ParseCommandLine(ChildArgs(parse.options, readers[1], command, 30));
    ASSERT_TRUE(child.bOk) << child.strError;
    const CliOptions& o = child.options;
    EXPECT_FALSE(IsBatch(o));
    EXPECT_EQ(o.command, command);
    EXPECT_TRUE(o.bJson);
    EXPECT_TRUE(o.bRs232);
    EXPECT_EQ(o.nBaudIndex, parse.options.nBaudIndex);
    EXPECT_EQ(o.strPort, "/dev/ttyUSB1");
    EXPECT_TRUE(o.bChkLegacy);
    EXPECT_EQ(o.strTrace, "/tmp/t.txt");
    EXPECT_EQ(o.nWaitSeconds, 30);
    EXPECT_EQ(o.strFile, command == CliCommand::Load ? "-dash.txt" : "");
  }
  const CliParse usb = ParseCommandLine({"--device", "/s/a", "--device", "/s/b", "reset-default"});
  const std::vector<std::string> args = ChildArgs(usb.options, BatchReaders(usb.options, &strError)[0],
                                                  CliCommand::ResetDefault, 0);
  EXPECT_EQ(args, (std::vector<std::string>{"--json", "--device", "/s/a", "reset-default"}));
}

TEST(BatchPieces, ExitStatusAndSummary) {
  auto result = [](const char* pszName, int nStatus, bool bRan = true) {
    ReaderResult r;
    r.strName = pszName;
    r.nStatus = nStatus;
    r.bRan = bRan;
    return r;
  };
  struct Row {
    std::vector<ReaderResult> results;
    bool bInterrupted;
    int nStatus;
  };
  const Row rows[] = {
      {{result("a", 0), result("b", 0)}, false, kExitOk},
      {{result("a", 0), result("b", 2)}, false, kExitNoLink},
      {{result("a", 3), result("b", 3)}, false, kExitFileRefused},
      {{result("a", 2), result("b", 3)}, false, kExitFailed},
      {{result("a", 0), result("b", -1, false)}, false, kExitFailed},
      {{result("a", 0), result("b", 0)}, true, kExitInterrupted},
  };
  for (const Row& row : rows) EXPECT_EQ(BatchExitStatus(row.results, row.bInterrupted), row.nStatus);

  ReaderResult updated = result("/dev/hidraw3", 0);
  updated.nMs = 83'400;
  updated.strBefore = "2.10.005";
  updated.strAfter = "3.10.001";
  EXPECT_EQ(SummaryTable({updated, result("COM12", 2), result("COM13", -1, false)}),
            "reader        result                        status  time  firmware before  after\n"
            "/dev/hidraw3  success                       0       1:23  2.10.005         3.10.001\n"
            "COM12         the link could not be opened  2       0:00  -                -\n"
            "COM13         not started                   1       -     -                -\n");
}

TEST(BatchPieces, TheDisplayNamesEveryReadersLinesAndTagsEveryEvent) {
  std::string out, err;
  ConsoleOutput o{[&](std::string_view t) { out += t; }, [&](std::string_view t) { err += t; }, false, 80};
  auto event = [](const char* psz) { return *JsonEvent::Parse(psz); };

  BatchDisplay text(o, false, {"COM2", "/dev/hidraw1"});
  const char* pszLog = "{\"event\":\"log\",\"replace\":false,\"text\":\"Open USB interface success.\\r\\nnext\"}";
  JsonEvent log = event(pszLog);
  text.ChildEvent(1, pszLog, &log);
  const char* pszResult = "{\"event\":\"result\",\"ok\":false,\"code\":2,\"reason\":\"COM2: No such file\"}";
  JsonEvent result = event(pszResult);
  text.ChildEvent(0, pszResult, &result);
  text.ChildEvent(0, "not an event", nullptr);
  text.Finish();
  EXPECT_EQ(out, "[/dev/hidraw1] Open USB interface success.\n[/dev/hidraw1] next\n");
  EXPECT_EQ(err, "[COM2] not an event\n") << "no progress off a terminal";

  out.clear();
  BatchDisplay json(o, true, {"/s/a \"q\""});
  json.ChildEvent(0, pszLog, &log);
  json.ChildEvent(0, "{}", &result);
  json.ChildEvent(0, "garbage", nullptr);
  EXPECT_EQ(out,
            "{\"device\":\"/s/a \\\"q\\\"\"," + std::string(pszLog + 1) + "\n" +
                "{\"device\":\"/s/a \\\"q\\\"\"}\n"
                "{\"device\":\"/s/a \\\"q\\\"\",\"event\":\"output\",\"text\":\"garbage\"}\n");
}

TEST(BatchPieces, ProgressLinesOnATerminalAreRedrawnInPlace) {
  std::string err;
  ConsoleOutput o{[](std::string_view) {}, [&](std::string_view t) { err += t; }, true, 60};
  BatchDisplay d(o, false, {"A", "BB"});
  const char* pszProgress = "{\"event\":\"progress\",\"pos\":50,\"max\":100}";
  JsonEvent progress = *JsonEvent::Parse(pszProgress);
  d.ChildEvent(1, pszProgress, &progress);
  d.Refresh();
  const std::string strFirst = err;
  EXPECT_NE(strFirst.find("BB  ["), std::string::npos) << strFirst;
  EXPECT_NE(strFirst.find(" 50%"), std::string::npos) << strFirst;
  for (std::size_t b = 0, e; (e = strFirst.find('\n', b)) != std::string::npos; b = e + 1)
    EXPECT_LT(e - b - 3, 60u) << "a line that wraps breaks the redraw";  // "\033[K" takes no cell
  d.Refresh();
  EXPECT_EQ(err, strFirst) << "nothing changed, nothing drawn";
  d.Note("readerctl: a note");
  EXPECT_EQ(err.substr(strFirst.size()), "\r\033[2A\033[Jreaderctl: a note\n") << "the lines go, the note stays";
}

// ---- end to end ----

class BatchTest : public ReaderctlTest {
 protected:
  bool StartSerialSimAt(SimProcess* sim, int nCom, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--com", std::to_string(nCom), "--com-dir", m_dir, "--restart-ms", "100",
                                     "--boot-entry-ms", "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return sim->Start(args);
  }
};

TEST_F(BatchTest, OneReaderFailsAndTheOthersAreUpdated) {
  SimProcess good1(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  SimProcess good2(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  SimProcess bad(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSimAt(&good1, 211)) << good1.Output();
  ASSERT_TRUE(StartSerialSimAt(&good2, 212)) << good2.Output();
  ASSERT_TRUE(StartSerialSimAt(&bad, 213, {"--status", "C7-10=01"})) << bad.Output();

  const CtlRun run = RunCtl({"--interface", "rs232", "--baud", "115200", "--port", "COM211", "--port", "COM212",
                             "--port", "COM213", "load", m_script},
                            SerialEnv());
  EXPECT_EQ(run.nStatus, kExitFailed) << run.out << run.err;
  // Each reader's log under its name, the failing one's failure among them.
  for (const char* pszPort : {"COM211", "COM212", "COM213"})
    EXPECT_NE(run.out.find(std::string("[") + pszPort + "] Open RS232 interface success.\n"), std::string::npos)
        << run.out;
  EXPECT_NE(run.out.find("[COM213] Error, Download Failed\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("[COM211] 100% Done and Rebooting\n"), std::string::npos) << run.out;
  // The summary: a line per reader with its result and status.
  const std::size_t nTable = run.out.find("\nreader  ");
  ASSERT_NE(nTable, std::string::npos) << run.out;
  const std::string strTable = run.out.substr(nTable + 1);
  std::vector<std::string> rows;
  for (std::size_t b = 0, e; (e = strTable.find('\n', b)) != std::string::npos; b = e + 1)
    rows.push_back(strTable.substr(b, e - b));
  ASSERT_EQ(rows.size(), 4u) << strTable;
  EXPECT_EQ(rows[1].rfind("COM211  success", 0), 0u) << rows[1];
  // Versions read before and after: the simulated reader's own and the one
  // its verified download gives it.
  EXPECT_NE(rows[1].find("  2.10.005         3.10.001"), std::string::npos) << rows[1];
  EXPECT_NE(rows[3].find("  2.10.005         -"), std::string::npos) << rows[3];
  EXPECT_EQ(rows[2].rfind("COM212  success", 0), 0u) << rows[2];
  EXPECT_EQ(rows[3].rfind("COM213  failed   1 ", 0), 0u) << rows[3];
  EXPECT_NE(run.err.find("readerctl: load on 3 readers: failed (exit status 1)"), std::string::npos) << run.err;
  for (SimProcess* s : {&good1, &good2, &bad}) EXPECT_EQ(s->Stop(), 0);
}

TEST_F(BatchTest, AllTakesEveryConnectedReaderAndFindsEachAgainAfterItsUpdate) {
  // Two simulated USB readers as sockets in one folder.
  const std::string strDir = m_dir + "/readers";
  std::filesystem::create_directories(strDir);
  SimProcess a(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  SimProcess b(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  for (auto [pSim, pszName] : {std::pair{&a, "a.sock"}, std::pair{&b, "b.sock"}}) {
    ASSERT_TRUE(pSim->Start({"--hid", "int64", "--hid-socket", strDir + "/" + pszName, "--restart-ms", "300",
                             "--boot-entry-ms", "100"}))
        << pSim->Output();
  }
  const CtlRun run = RunCtl({"--all", "load", m_script}, {"READERTOOL_HID_SIM=" + strDir});
  EXPECT_EQ(run.nStatus, 0) << run.out << run.err;
  // Each reader's version before its update and, read again once it is
  // back at its place, after.
  for (const char* pszName : {"a.sock", "b.sock"}) {
    const std::string strRow = strDir + "/" + pszName + "  success";
    const std::size_t nAt = run.out.find(strRow);
    ASSERT_NE(nAt, std::string::npos) << run.out;
    const std::string strLine = run.out.substr(nAt, run.out.find('\n', nAt) - nAt);
    EXPECT_NE(strLine.find("  2.10.005         3.10.001"), std::string::npos) << strLine;
  }
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(b.Stop(), 0);
}

TEST_F(BatchTest, AStopReachesEveryReadersRunAndEachSaysWhereItsReaderIs) {
  SimProcess a(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  SimProcess b(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSimAt(&a, 231)) << a.Output();
  ASSERT_TRUE(StartSerialSimAt(&b, 232)) << b.Output();
  CtlProcess ctl;
  ASSERT_TRUE(ctl.Start({"--interface", "rs232", "--baud", "115200", "--port", "COM231", "--port", "COM232", "load",
                         m_script},
                        SerialEnv()));
  // Both runs wait five seconds for the bootloader after this text's first
  // line.
  const std::string strText = GetStatusText(STS_ENTER_BOOTLOADER_OK);
  const std::string strEntered = "] " + strText.substr(0, strText.find("\r\n")) + "\n";
  ASSERT_TRUE(ctl.ReadUntil("[COM231" + strEntered, 30000)) << ctl.out << ctl.err;
  ASSERT_TRUE(ctl.ReadUntil("[COM232" + strEntered, 30000)) << ctl.out << ctl.err;
  ctl.Signal(SIGTERM);
  EXPECT_EQ(ctl.Wait(), kExitInterrupted) << ctl.out << ctl.err;
  for (const char* pszPort : {"COM231", "COM232"}) {
    EXPECT_NE(ctl.err.find(std::string("[") + pszPort + "] readerctl: interrupted; reader may be left in its bootloader"),
              std::string::npos)
        << ctl.err;
    EXPECT_NE(ctl.out.find(std::string(pszPort) + "  interrupted"), std::string::npos) << ctl.out;
  }
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(b.Stop(), 0);
}

TEST_F(BatchTest, JsonTagsEveryEventWithItsReaderAndEndsWithTheSummary) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSimAt(&sim, 221)) << sim.Output();
  const CtlRun run = RunCtl(
      {"--json", "--interface", "rs232", "--port", "COM221", "--port", "COM222", "reset-default"}, SerialEnv());
  EXPECT_EQ(run.nStatus, kExitNoLink) << run.out << run.err;
  ASSERT_GE(run.lines.size(), 3u) << run.out;
  for (std::size_t i = 0; i + 3 < run.lines.size(); ++i) {
    const std::optional<JsonEvent> ev = JsonEvent::Parse(run.lines[i]);
    ASSERT_TRUE(ev) << run.lines[i];
    const std::string strDevice = ev->String("device");
    EXPECT_TRUE(strDevice == "COM221" || strDevice == "COM222") << run.lines[i];
  }
  const std::optional<JsonEvent> first = JsonEvent::Parse(run.lines[run.lines.size() - 3]);
  const std::optional<JsonEvent> second = JsonEvent::Parse(run.lines[run.lines.size() - 2]);
  const std::optional<JsonEvent> end = JsonEvent::Parse(run.lines.back());
  ASSERT_TRUE(first && second && end) << run.out;
  EXPECT_EQ(first->String("event"), "summary");
  EXPECT_EQ(first->String("device"), "COM221");
  EXPECT_EQ(first->Int("code", -1), 0);
  EXPECT_EQ(second->String("device"), "COM222");
  EXPECT_EQ(second->Int("code", -1), kExitNoLink);
  EXPECT_FALSE(second->String("reason").empty()) << run.out;
  EXPECT_EQ(end->String("event"), "result");
  EXPECT_EQ(end->Int("code", -1), kExitNoLink);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
