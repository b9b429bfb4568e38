// readerbench: runs the benchmark rows and prints one table, each row beside
// its protocol floor or its goal.
//
//   1  serial download: readerctl --chklegacy, binary image, readersim on a
//      pseudo-terminal pacing its answers
//   2  serial script: the image's "#RS232 version" script, same line
//   3  USB HID script on the HID simulator socket: 64-byte tagged reports
//      ("#USBHID version" script) and 8-byte feature reports ("#RS232
//      version" script, which the tool cuts into feature reports itself)
//   4  CPU time of readerctl over its wall time, in each run of rows 1-3
//   5  window thread: longest gap between ticks of a 10 ms timer during
//      "Reset Default" and during a run (bench_window)
//   6  peak resident set of readerctl in row 1
//   7  the script runner over a 16 MiB script in virtual time (bench_parse)
//   8  eight readers at once: a batch of four over pseudo-terminals and a
//      batch of four over the HID simulator, side by side, against the
//      same work done for one reader alone; and the CPU of every process
//
// Usage: readerbench --bin BUILD_DIR --data DIR --work DIR [--rows 1,2,...]
//                    [--baud N]
// DIR holds image.bin, update_rs232.txt and update_usbhid.txt (made by
// readersim gen-image and gen-script; scripts/run-benchmarks.sh does that).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child.h"
#include "bench/floors.h"
#include "bench/trace.h"

namespace {

using bench::Child;
using bench::ChildResult;
using bench::ChildSpec;

// Goals of the rows.
constexpr double kGoalRatio = 1.03;       // rows 1-3: measured / floor
constexpr double kGoalCpuShare = 0.02;    // row 4: CPU time / wall time
constexpr double kGoalGapMs = 50;         // row 5: longest gap between timer ticks
constexpr double kGoalRssMiB = 16;        // row 6
constexpr double kGoalParseMs = 100;      // row 7: 16 MiB script
constexpr double kGoalLinear = 1.5;       // row 7: cost per MiB at 16 MiB over that at 1 MiB
constexpr double kGoalBatchRatio = 1.05;  // row 8: a batch's time over one reader's alone
constexpr int kBatchReaders = 4;          // row 8: readers of each kind

constexpr int kReadyTimeoutMs = 10000;

struct Options {
  std::string strBin, strData, strWork;
  std::set<int> rows;
  unsigned nBaud = 115200;
};

struct Row {
  std::string strId, strWhat, strMeasured, strFloor, strRatio, strGoal;
  int nPass = -1;  // 1 pass, 0 fail, -1 not judged (the run failed)
};

std::vector<Row> g_rows;
std::vector<std::string> g_notes;

std::string Fmt(const char* pszFormat, double d) {
  char sz[256];
  std::snprintf(sz, sizeof sz, pszFormat, d);
  return sz;
}

void Note(const std::string& s) { g_notes.push_back(s); }

void Progress(const std::string& s) {
  std::fprintf(stderr, "readerbench: %s\n", s.c_str());
  std::fflush(stderr);
}

std::string Program(const Options& o, const char* pszRelative) { return o.strBin + "/" + pszRelative; }

// ---------------------------------------------------------------------------
// Rows 1-4 and 6: readerctl against readersim.

struct ProtocolRun {
  std::string strId;       // "1", "2", "3a", "3b"
  std::string strWhat;
  bench::RunKind kind;
  bool bSerial;
  std::vector<std::string> simArgs;  // the reader's line and mode
  std::vector<std::string> ctlArgs;  // without the port (added for serial)
  std::string strFile;
};

struct ProtocolResult {
  bool bOk = false;
  std::string strError;
  ChildResult ctl;
  bench::Floor floor;
  std::vector<bench::Exchange> exchanges;
};

ProtocolResult RunProtocol(const Options& o, const ProtocolRun& run) {
  ProtocolResult res;
  const std::string strBase = o.strWork + "/row" + run.strId;
  const std::string strSocket = strBase + ".sock";
  ::unlink(strSocket.c_str());

  Child sim;
  ChildSpec simSpec;
  simSpec.strProgram = Program(o, "sim/readersim");
  simSpec.args = run.simArgs;
  simSpec.args.push_back("--trace");
  if (!run.bSerial) {
    simSpec.args.push_back("--hid-socket");
    simSpec.args.push_back(strSocket);
  }
  simSpec.strStderr = strBase + ".trace";
  std::string strErr, strSeen;
  if (!sim.Start(simSpec, &strErr)) {
    res.strError = strErr;
    return res;
  }
  if (!sim.ReadLineUntil("readersim: ready", kReadyTimeoutMs, &strSeen)) {
    res.strError = "readersim did not start: " + strSeen;
    return res;
  }

  ChildSpec ctlSpec;
  ctlSpec.strProgram = Program(o, "cli/readerctl");
  ctlSpec.args = run.ctlArgs;
  if (run.bSerial) {
    const std::size_t at = strSeen.find("/dev/pts/");
    if (at == std::string::npos) {
      res.strError = "readersim named no pseudo-terminal: " + strSeen;
      return res;
    }
    const std::string strPty = strSeen.substr(at, strSeen.find_first_of(" \n", at) - at);
    ctlSpec.args.insert(ctlSpec.args.begin(), {"--interface", "rs232", "--port", strPty, "--baud",
                                               std::to_string(o.nBaud)});
  } else {
    ctlSpec.args.insert(ctlSpec.args.begin(), {"--interface", "usb"});
    ctlSpec.env.push_back({"READERTOOL_HID_SIM", strSocket});
  }
  ctlSpec.args.push_back("--json");
  ctlSpec.args.push_back("load");
  ctlSpec.args.push_back(run.strFile);
  ctlSpec.strStdout = strBase + ".json";
  ctlSpec.strStderr = strBase + ".stderr";

  Child ctl;
  if (!ctl.Start(ctlSpec, &strErr)) {
    res.strError = strErr;
    return res;
  }
  res.ctl = ctl.Wait();
  sim.Stop();
  ::unlink(strSocket.c_str());

  const std::string strJson = bench::ReadTextFile(ctlSpec.strStdout);
  const bool bResultOk = strJson.find("{\"event\":\"result\",\"ok\":true") != std::string::npos;
  if (!res.ctl.bExited || res.ctl.nStatus != 0 || !bResultOk) {
    res.strError = "readerctl failed (exit status " + std::to_string(res.ctl.nStatus) + "); see " +
                   ctlSpec.strStdout + " and " + simSpec.strStderr;
    return res;
  }
  res.exchanges = bench::ParseTrace(bench::ReadTextFile(simSpec.strStderr));
  bench::FloorParams params;
  params.nBaud = run.bSerial ? o.nBaud : 0;
  res.floor = bench::ComputeFloor(run.kind, res.exchanges, params);
  if (!res.floor.Valid()) {
    res.strError = "no floor: " + res.floor.strInvalid;
    return res;
  }
  res.bOk = true;
  return res;
}

void ReportProtocol(const ProtocolRun& run, const ProtocolResult& r, std::map<std::string, ProtocolResult>* pDone) {
  Row row;
  row.strId = run.strId;
  row.strWhat = run.strWhat;
  row.strGoal = Fmt("<= %.2f", kGoalRatio);
  if (!r.bOk) {
    row.strMeasured = "failed";
    row.nPass = 0;
    Note("row " + run.strId + ": " + r.strError);
    g_rows.push_back(row);
    return;
  }
  const double dRatio = r.ctl.dWallMs / r.floor.dTotalMs;
  row.strMeasured = Fmt("%.2f s", r.ctl.dWallMs / 1000.0);
  row.strFloor = Fmt("%.2f s", r.floor.dTotalMs / 1000.0);
  row.strRatio = Fmt("%.4f", dRatio);
  row.nPass = dRatio <= kGoalRatio;
  g_rows.push_back(row);

  std::ostringstream ss;
  ss << "row " << run.strId << " floor, " << r.exchanges.size() << " exchanges:";
  for (const auto& t : r.floor.terms) {
    char sz[160];
    std::snprintf(sz, sizeof sz, "\n    %-50s %6zu x  %10.1f ms", t.strName.c_str(), t.nCount, t.dMs);
    ss << sz;
  }
  ss << Fmt("\n    reader's time under the tool's waits (not counted): %.1f ms", r.floor.dHiddenMs);
  // Where the tool's own time went: before the reader had the first request
  // (start-up, connect step), from there to the last request, and after it
  // (last answer, closing). The reader stamps the requests on the same
  // monotonic clock.
  const std::vector<bench::Exchange>& ex = r.exchanges;
  const std::size_t n = ex.size();
  double dBetweenFloor = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) dBetweenFloor += r.floor.tail[i] + r.floor.lead[i + 1];
  const double dBefore = static_cast<double>(ex.front().tMs) - r.ctl.dStartMs - r.floor.lead.front();
  const double dBetween = static_cast<double>(ex.back().tMs - ex.front().tMs) - dBetweenFloor;
  const double dAfter = r.ctl.dEndMs - static_cast<double>(ex.back().tMs) - r.floor.tail.back();
  ss << Fmt("\n    tool's time beyond the floor: %.0f ms = ", r.ctl.dWallMs - r.floor.dTotalMs)
     << Fmt("%.0f ms before the first request (start-up, connect)", dBefore)
     << Fmt(" + %.0f ms between the first and the last request", dBetween)
     << Fmt(" (%.2f ms an exchange)", n > 1 ? dBetween / static_cast<double>(n - 1) : 0.0)
     << Fmt(" + %.0f ms after the last (closing)", dAfter);
  Note(ss.str());
  (*pDone)[run.strId] = r;
}

// ---------------------------------------------------------------------------
// Row 5: the window (bench_window prints "GAP <phase> <ms> <ticks> <ok>").

void RunWindowRow(const Options& o) {
  const std::string strProgram = Program(o, "bench/bench_window");
  struct stat st{};
  if (::stat(strProgram.c_str(), &st) != 0) {
    g_rows.push_back({"5", "window thread: longest tick gap", "not built", "", "", Fmt("<= %.0f ms", kGoalGapMs), 0});
    Note("row 5: bench_window was not built (the Qt window is off in this build)");
    return;
  }
  const std::string strBase = o.strWork + "/row5";
  const std::string strComDir = strBase + "-com";
  const std::string strSocket = strBase + ".sock";
  ::mkdir(strComDir.c_str(), 0755);
  ::unlink(strSocket.c_str());

  Child sim;
  ChildSpec simSpec;
  simSpec.strProgram = Program(o, "sim/readersim");
  simSpec.args = {"--pty", "--com", "7", "--com-dir", strComDir, "--baud", std::to_string(o.nBaud),
                  "--hid", "int64", "--hid-socket", strSocket};
  simSpec.strStderr = strBase + ".sim";
  std::string strErr, strSeen;
  if (!sim.Start(simSpec, &strErr) || !sim.ReadLineUntil("readersim: ready", kReadyTimeoutMs, &strSeen)) {
    g_rows.push_back({"5", "window thread: longest tick gap", "failed", "", "", "", 0});
    Note("row 5: readersim did not start: " + strErr + strSeen);
    return;
  }
  ChildSpec winSpec;
  winSpec.strProgram = strProgram;
  winSpec.args = {"--com", "7", "--baud", std::to_string(o.nBaud), "--script", o.strData + "/update_usbhid.txt"};
  winSpec.env = {{"QT_QPA_PLATFORM", "offscreen"},
                 {"READERTOOL_COM_DIR", strComDir},
                 {"READERTOOL_HID_SIM", strSocket}};
  winSpec.strStdout = strBase + ".out";
  winSpec.strStderr = strBase + ".stderr";
  Child win;
  ChildResult res;
  if (win.Start(winSpec, &strErr)) res = win.Wait();
  sim.Stop();
  ::unlink(strSocket.c_str());

  static const std::map<std::string, std::string> kPhases = {
      {"reset-rs232", "window: Reset Default over RS-232"},
      {"reset-usb", "window: Reset Default over USB HID"},
      {"run-usb", "window: during a USB HID script run"}};
  std::istringstream in(bench::ReadTextFile(winSpec.strStdout));
  std::string strLine;
  int nRows = 0;
  char szId[] = "5a";
  while (std::getline(in, strLine)) {
    char szPhase[32] = {};
    double dGap = 0;
    int nTicks = 0, nOk = 0;
    if (std::sscanf(strLine.c_str(), "GAP %31s %lf %d %d", szPhase, &dGap, &nTicks, &nOk) != 4) continue;
    auto it = kPhases.find(szPhase);
    Row row;
    szId[1] = static_cast<char>('a' + nRows++);
    row.strId = szId;
    row.strWhat = it != kPhases.end() ? it->second : szPhase;
    row.strGoal = Fmt("<= %.0f ms", kGoalGapMs);
    if (!nOk) {
      row.strMeasured = "failed";
      row.nPass = 0;
      Note(std::string("row 5 (") + szPhase + "): the procedure did not succeed; see " + winSpec.strStderr);
    } else {
      row.strMeasured = Fmt("%.1f ms", dGap);
      row.nPass = dGap <= kGoalGapMs;
      Note(std::string("row 5 (") + szPhase + "): " + std::to_string(nTicks) + " ticks of a 10 ms timer");
    }
    g_rows.push_back(row);
  }
  if (nRows == 0) {
    g_rows.push_back({"5", "window thread: longest tick gap", "failed", "", "", Fmt("<= %.0f ms", kGoalGapMs), 0});
    Note("row 5: bench_window reported nothing (exit status " + std::to_string(res.nStatus) + "); see " +
         winSpec.strStderr);
  }
}

// ---------------------------------------------------------------------------
// Row 7: the script runner (bench_parse prints "PARSE <bytes> <ms>").

void RunParseRow(const Options& o) {
  const std::string strBase = o.strWork + "/row7";
  ChildSpec spec;
  spec.strProgram = Program(o, "bench/bench_parse");
  spec.args = {"--summary"};
  spec.strStdout = strBase + ".out";
  spec.strStderr = strBase + ".benchmark";
  Child child;
  std::string strErr;
  ChildResult res;
  if (child.Start(spec, &strErr)) res = child.Wait();
  // Bytes -> (CPU ms, wall ms). The runner is single-threaded: its CPU time
  // is its time on a core of its own, whatever else the machine runs.
  std::map<double, std::pair<double, double>> bySize;
  std::istringstream in(bench::ReadTextFile(spec.strStdout));
  std::string strLine;
  while (std::getline(in, strLine)) {
    double dBytes = 0, dCpuMs = 0, dWallMs = 0;
    if (std::sscanf(strLine.c_str(), "PARSE %lf %lf %lf", &dBytes, &dCpuMs, &dWallMs) == 3)
      bySize[dBytes] = {dCpuMs, dWallMs};
  }
  constexpr double kMiB = 1024.0 * 1024.0;
  if (bySize.size() < 2 || bySize.rbegin()->first < 16 * kMiB) {
    g_rows.push_back({"7", "script runner, 16 MiB script, virtual time", "failed", "", "", "", 0});
    Note("row 7: bench_parse reported no sizes (exit status " + std::to_string(res.nStatus) + "); see " +
         spec.strStderr);
    return;
  }
  const double dBig = bySize.rbegin()->first, dBigMs = bySize.rbegin()->second.first;
  const double dSmall = bySize.begin()->first, dSmallMs = bySize.begin()->second.first;
  Row time;
  time.strId = "7a";
  time.strWhat = "script runner, 16 MiB script, CPU time";
  time.strMeasured = Fmt("%.1f ms", dBigMs);
  time.strGoal = Fmt("< %.0f ms", kGoalParseMs);
  time.nPass = dBigMs < kGoalParseMs;
  g_rows.push_back(time);
  const double dGrowth = (dBigMs / dBig) / (dSmallMs / dSmall);
  Row lin;
  lin.strId = "7b";
  lin.strWhat = Fmt("script runner, time per MiB: 16 MiB / %.0f MiB", dSmall / kMiB);
  lin.strMeasured = Fmt("%.2f", dGrowth);
  lin.strRatio = lin.strMeasured;
  lin.strGoal = Fmt("<= %.1f (linear)", kGoalLinear);
  lin.nPass = dGrowth <= kGoalLinear;
  g_rows.push_back(lin);
  std::ostringstream ss;
  ss << "row 7: CPU (wall) milliseconds by script size:";
  for (const auto& [dBytes, ms] : bySize) ss << Fmt(" %.2f MB", dBytes / 1e6) << Fmt(" %.1f", ms.first) << Fmt(" (%.1f);", ms.second);
  ss << " Google Benchmark's table in " << spec.strStderr;
  Note(ss.str());
}

// ---------------------------------------------------------------------------
// Row 8: eight readers at once. Each reader of a batch gets its version read
// before and after its update ("info", "load", "info --wait"); one reader
// alone does the same work as three commands in turn.

struct SimSet {
  std::vector<std::unique_ptr<Child>> sims;
  std::vector<std::string> selections;  // a pseudo-terminal or a socket each
  std::string strError;
};

// n readers of one kind, started and ready; serial ones on pseudo-terminals
// at the benchmark's rate, USB ones as sockets in one folder.
SimSet StartSims(const Options& o, bool bSerial, int n, const std::string& strBase) {
  SimSet set;
  const std::string strDir = strBase + ".hid";
  if (!bSerial) {
    ::mkdir(strDir.c_str(), 0755);
  }
  for (int i = 0; i < n; ++i) {
    ChildSpec spec;
    spec.strProgram = Program(o, "sim/readersim");
    const std::string strSocket = strDir + "/reader" + std::to_string(i) + ".sock";
    if (bSerial) {
      spec.args = {"--pty", "--baud", std::to_string(o.nBaud)};
    } else {
      ::unlink(strSocket.c_str());
      spec.args = {"--hid", "int64", "--hid-socket", strSocket};
    }
    spec.strStderr = strBase + ".sim" + std::to_string(i) + ".log";
    auto sim = std::make_unique<Child>();
    std::string strErr, strSeen;
    if (!sim->Start(spec, &strErr)) {
      set.strError = strErr;
      return set;
    }
    if (!sim->ReadLineUntil("readersim: ready", kReadyTimeoutMs, &strSeen)) {
      set.strError = "readersim did not start: " + strSeen;
      return set;
    }
    if (bSerial) {
      const std::size_t at = strSeen.find("/dev/pts/");
      if (at == std::string::npos) {
        set.strError = "readersim named no pseudo-terminal: " + strSeen;
        return set;
      }
      set.selections.push_back(strSeen.substr(at, strSeen.find_first_of(" \n", at) - at));
    } else {
      set.selections.push_back(strSocket);
    }
    set.sims.push_back(std::move(sim));
  }
  return set;
}

ChildSpec BatchCtl(const Options& o, bool bSerial, const std::vector<std::string>& selections,
                   const std::string& strBase, const std::string& strFile) {
  ChildSpec spec;
  spec.strProgram = Program(o, "cli/readerctl");
  if (bSerial) {
    spec.args = {"--interface", "rs232", "--baud", std::to_string(o.nBaud)};
  } else {
    spec.args = {"--interface", "usb"};
    spec.env.push_back({"READERTOOL_HID_SIM", strBase + ".hid"});
  }
  for (const std::string& s : selections) {
    spec.args.push_back(bSerial ? "--port" : "--device");
    spec.args.push_back(s);
  }
  spec.args.insert(spec.args.end(), {"--json", "load", strFile});
  spec.strStdout = strBase + ".json";
  spec.strStderr = strBase + ".stderr";
  return spec;
}

struct AloneResult {
  bool bOk = false;
  std::string strError;
  double dWallMs = 0;
  double dCpuMs = 0;
};

// One reader alone: "info", "load", "info --wait 30" in turn.
AloneResult RunAlone(const Options& o, bool bSerial, const std::string& strFile) {
  AloneResult res;
  const std::string strBase = o.strWork + "/row8-alone-" + (bSerial ? "serial" : "usb");
  SimSet set = StartSims(o, bSerial, 1, strBase);
  if (!set.strError.empty()) {
    res.strError = set.strError;
    return res;
  }
  const std::vector<std::vector<std::string>> commands = {{"info"}, {"load", strFile}, {"--wait", "30", "info"}};
  for (std::size_t i = 0; i < commands.size(); ++i) {
    ChildSpec spec = BatchCtl(o, bSerial, set.selections, strBase + "." + std::to_string(i), strFile);
    spec.args.resize(spec.args.size() - 2);  // the batch's "load FILE"
    spec.args.insert(spec.args.end(), commands[i].begin(), commands[i].end());
    Child ctl;
    std::string strErr;
    if (!ctl.Start(spec, &strErr)) {
      res.strError = strErr;
      return res;
    }
    const ChildResult r = ctl.Wait();
    res.dWallMs += r.dWallMs;
    res.dCpuMs += r.dCpuMs;
    if (!r.bExited || r.nStatus != 0) {
      res.strError = "readerctl " + commands[i].front() + " failed (exit status " + std::to_string(r.nStatus) +
                     "); see " + spec.strStdout;
      return res;
    }
  }
  for (auto& sim : set.sims) sim->Stop();
  res.bOk = true;
  return res;
}

void RunBatchRow(const Options& o, const std::string& strRs232, const std::string& strUsbHid) {
  auto failed = [](const std::string& strId, const std::string& strWhat, const std::string& strWhy) {
    g_rows.push_back({strId, strWhat, "failed", "", "", Fmt("<= %.2f", kGoalBatchRatio), 0});
    Note("row " + strId + ": " + strWhy);
  };
  const AloneResult serialAlone = RunAlone(o, true, strRs232);
  if (!serialAlone.bOk) return failed("8", "eight readers at once", "serial reader alone: " + serialAlone.strError);
  Progress(Fmt("  one serial reader alone: %.1f s", serialAlone.dWallMs / 1000.0));
  const AloneResult usbAlone = RunAlone(o, false, strUsbHid);
  if (!usbAlone.bOk) return failed("8", "eight readers at once", "USB reader alone: " + usbAlone.strError);
  Progress(Fmt("  one USB reader alone: %.1f s", usbAlone.dWallMs / 1000.0));

  const std::string strBase = o.strWork + "/row8-batch";
  SimSet serial = StartSims(o, true, kBatchReaders, strBase + "-serial");
  SimSet usb = StartSims(o, false, kBatchReaders, strBase + "-usb");
  if (!serial.strError.empty() || !usb.strError.empty())
    return failed("8", "eight readers at once", serial.strError + usb.strError);
  const ChildSpec serialSpec = BatchCtl(o, true, serial.selections, strBase + "-serial", strRs232);
  const ChildSpec usbSpec = BatchCtl(o, false, usb.selections, strBase + "-usb", strUsbHid);
  Child serialCtl, usbCtl;
  std::string strErr;
  if (!serialCtl.Start(serialSpec, &strErr) || !usbCtl.Start(usbSpec, &strErr))
    return failed("8", "eight readers at once", strErr);
  // wait4 reports a batch parent's CPU together with that of the children it
  // reaped: every process of the batch. Each batch is waited for on a thread
  // of its own, so that each one's end is taken when it comes.
  ChildResult serialRes, usbRes;
  std::thread serialWait([&] { serialRes = serialCtl.Wait(); });
  usbRes = usbCtl.Wait();
  serialWait.join();
  for (SimSet* set : {&serial, &usb})
    for (auto& sim : set->sims) sim->Stop();

  struct Kind {
    const char* pszId;
    const char* pszWhat;
    const ChildResult& res;
    const AloneResult& alone;
    const ChildSpec& spec;
  };
  const Kind kinds[] = {
      {"8a", "4 serial readers at once (with 4 USB) / 1 alone", serialRes, serialAlone, serialSpec},
      {"8b", "4 USB readers at once (with 4 serial) / 1 alone", usbRes, usbAlone, usbSpec},
  };
  for (const Kind& k : kinds) {
    if (!k.res.bExited || k.res.nStatus != 0) {
      failed(k.pszId, k.pszWhat, "the batch failed (exit status " + std::to_string(k.res.nStatus) + "); see " +
                                     k.spec.strStdout + " and " + k.spec.strStderr);
      continue;
    }
    const double dRatio = k.res.dWallMs / k.alone.dWallMs;
    Row row;
    row.strId = k.pszId;
    row.strWhat = k.pszWhat;
    row.strMeasured = Fmt("%.2f s", k.res.dWallMs / 1000.0);
    row.strFloor = Fmt("%.2f s", k.alone.dWallMs / 1000.0);
    row.strRatio = Fmt("%.4f", dRatio);
    row.strGoal = Fmt("<= %.2f", kGoalBatchRatio);
    row.nPass = dRatio <= kGoalBatchRatio;
    g_rows.push_back(row);
  }
  const double dWallMs = std::max(serialRes.dWallMs, usbRes.dWallMs);
  const double dCpuMs = serialRes.dCpuMs + usbRes.dCpuMs;
  Row cpu;
  cpu.strId = "8c";
  cpu.strWhat = "CPU of every process / wall, 8 readers at once";
  cpu.strMeasured = Fmt("%.4f", dCpuMs / dWallMs);
  cpu.strRatio = cpu.strMeasured;
  cpu.strGoal = Fmt("<= %.2f", kGoalCpuShare);
  cpu.nPass = dCpuMs / dWallMs <= kGoalCpuShare;
  g_rows.push_back(cpu);
  Note(Fmt("row 8: %.0f ms CPU of the two batches and their 24 children", dCpuMs) +
       Fmt(" in %.1f s; one reader alone (info, load, info --wait) used", dWallMs / 1000.0) +
       Fmt(" %.0f ms (serial)", serialAlone.dCpuMs) + Fmt(" and %.0f ms (USB)", usbAlone.dCpuMs));
}

// ---------------------------------------------------------------------------

void PrintTable() {
  std::printf("%-4s %-48s %12s %12s %8s %18s  %s\n", "row", "what", "measured", "floor", "ratio", "goal", "result");
  for (const Row& r : g_rows) {
    const char* pszResult = r.nPass == 1 ? "pass" : r.nPass == 0 ? "FAIL" : "-";
    std::printf("%-4s %-48s %12s %12s %8s %18s  %s\n", r.strId.c_str(), r.strWhat.c_str(), r.strMeasured.c_str(),
                r.strFloor.empty() ? "-" : r.strFloor.c_str(), r.strRatio.empty() ? "-" : r.strRatio.c_str(),
                r.strGoal.c_str(), pszResult);
  }
  std::printf("\n");
  for (const std::string& s : g_notes) std::printf("%s\n", s.c_str());
}

int Usage(const char* pszWhy) {
  std::fprintf(stderr,
               "readerbench: %s\n"
               "usage: readerbench --bin BUILD_DIR --data DIR --work DIR [--rows 1,2,3,4,5,6,7,8] [--baud N]\n",
               pszWhy);
  return 64;
}

bool ParseRows(const std::string& s, std::set<int>* pRows) {
  std::istringstream in(s);
  std::string strItem;
  while (std::getline(in, strItem, ',')) {
    const int n = std::atoi(strItem.c_str());
    if (n < 1 || n > 8) return false;
    pRows->insert(n);
  }
  return !pRows->empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return Usage(("missing value after " + a).c_str());
    if (a == "--bin") o.strBin = v;
    else if (a == "--data") o.strData = v;
    else if (a == "--work") o.strWork = v;
    else if (a == "--baud") o.nBaud = static_cast<unsigned>(std::atoi(v));
    else if (a == "--rows") {
      if (!ParseRows(v, &o.rows)) return Usage("--rows takes numbers 1 to 8, comma-separated");
    } else {
      return Usage(("unknown option " + a).c_str());
    }
    ++i;
  }
  if (o.strBin.empty() || o.strData.empty() || o.strWork.empty()) return Usage("--bin, --data and --work are needed");
  if (o.rows.empty()) o.rows = {1, 2, 3, 4, 5, 6, 7, 8};
  ::mkdir(o.strWork.c_str(), 0755);
  // Row 4 is measured in the runs of rows 1-3, row 6 in that of row 1.
  std::set<int> runs = o.rows;
  if (o.rows.count(4)) runs.insert({1, 2, 3});
  if (o.rows.count(6)) runs.insert(1);

  const std::string strImage = o.strData + "/image.bin";
  const std::string strRs232 = o.strData + "/update_rs232.txt";
  const std::string strUsbHid = o.strData + "/update_usbhid.txt";
  const std::string strBaud = std::to_string(o.nBaud);
  const std::vector<ProtocolRun> protocolRuns = {
      {"1", "serial download (--chklegacy), pty, " + strBaud, bench::RunKind::kSerialDownload, true,
       {"--pty", "--baud", strBaud}, {"--chklegacy"}, strImage},
      {"2", "serial script (#RS232), pty, " + strBaud, bench::RunKind::kSerialScript, true,
       {"--pty", "--baud", strBaud}, {}, strRs232},
      {"3a", "USB HID script (#USBHID), tagged reports", bench::RunKind::kHidTaggedScript, false,
       {"--hid", "int64"}, {}, strUsbHid},
      {"3b", "USB HID script (#RS232), feature reports", bench::RunKind::kHidFeatureScript, false,
       {"--hid", "feature8"}, {}, strRs232},
  };

  std::map<std::string, ProtocolResult> done;
  for (const ProtocolRun& run : protocolRuns) {
    if (!runs.count(run.strId[0] - '0')) continue;
    Progress("row " + run.strId + ": " + run.strWhat + " ...");
    const ProtocolResult r = RunProtocol(o, run);
    const bool bShown = o.rows.count(run.strId[0] - '0') != 0;
    if (bShown) ReportProtocol(run, r, &done);
    else if (r.bOk) done[run.strId] = r;
    else Note("row " + run.strId + " (for rows 4/6): " + r.strError);
    if (r.bOk) Progress(Fmt("  %.1f s", r.ctl.dWallMs / 1000.0) + Fmt(" (floor %.1f s)", r.floor.dTotalMs / 1000.0));
  }

  if (o.rows.count(4)) {
    for (const ProtocolRun& run : protocolRuns) {
      auto it = done.find(run.strId);
      Row row;
      row.strId = "4";
      row.strWhat = "CPU / wall of readerctl, row " + run.strId;
      row.strGoal = Fmt("<= %.2f", kGoalCpuShare);
      if (it == done.end()) {
        row.strMeasured = "no run";
        row.nPass = 0;
      } else {
        const double d = it->second.ctl.dCpuMs / it->second.ctl.dWallMs;
        row.strMeasured = Fmt("%.4f", d);
        row.strRatio = row.strMeasured;
        row.nPass = d <= kGoalCpuShare;
        Note("row 4, run " + run.strId + Fmt(": %.0f ms CPU", it->second.ctl.dCpuMs) +
             Fmt(" in %.1f s", it->second.ctl.dWallMs / 1000.0));
      }
      g_rows.push_back(row);
    }
  }
  if (o.rows.count(5)) {
    Progress("row 5: window thread during Reset Default and a run ...");
    RunWindowRow(o);
  }
  if (o.rows.count(6)) {
    auto it = done.find("1");
    Row row;
    row.strId = "6";
    row.strWhat = "peak resident set of readerctl, row 1";
    row.strGoal = Fmt("<= %.0f MiB", kGoalRssMiB);
    if (it == done.end()) {
      row.strMeasured = "no run";
      row.nPass = 0;
    } else {
      const double dMiB = it->second.ctl.nMaxRssKiB / 1024.0;
      row.strMeasured = Fmt("%.1f MiB", dMiB);
      row.nPass = dMiB <= kGoalRssMiB;
    }
    g_rows.push_back(row);
  }
  if (o.rows.count(7)) {
    Progress("row 7: script runner over growing scripts ...");
    RunParseRow(o);
  }
  if (o.rows.count(8)) {
    Progress("row 8: eight readers at once ...");
    RunBatchRow(o, strRs232, strUsbHid);
  }

  // Rows in their numbers' order, whatever order they were measured in.
  std::stable_sort(g_rows.begin(), g_rows.end(), [](const Row& a, const Row& b) { return a.strId[0] < b.strId[0]; });
  PrintTable();
  const bool bAllPass = std::all_of(g_rows.begin(), g_rows.end(), [](const Row& r) { return r.nPass == 1; });
  return bAllPass ? 0 : 1;
}
