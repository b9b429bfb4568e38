// bench_parse: the script runner's own cost, with the reader's time taken
// out. The runner (RunScriptCommands) goes through scripts of 1 to 16 MiB in
// virtual time, against a USB reader that answers every request at once, so
// what is left is the scan for "SEND:", the hex reading and the handing of
// each frame to the link. Two micro-benchmarks split that cost: the scan and
// hex reading alone over the whole file, and the hex reading of one block.
//
// The scripts are the simulated reader's own: an image's "#RS232 version"
// script from readersim's generator, its block commands repeated until the
// wanted size.
//
// Usage: bench_parse [--summary] [Google Benchmark options]
//   --summary  also prints "PARSE <bytes> <cpu ms> <wall ms>" for each size
//              of the runner benchmark on standard output, the benchmark
//              table on stderr. The runner is single-threaded: its CPU time
//              is the time it takes on a core of its own, whatever else the
//              machine runs; the wall time says how busy the machine was.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/known_readers.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/stop.h"
#include "script/text_script.h"
#include "sim/model/samples.h"
#include "support/fake_hid.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "ui/main_dialog.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// An "#RS232 version" script of at least nBytes: the generator's script of
// the smallest image, with its block commands (C7-03, one C7-15 among them)
// repeated in turn before C7-04 until the size is reached.
const std::string& ScriptOfSize(std::size_t nBytes) {
  static std::map<std::size_t, std::string> cache;
  auto it = cache.find(nBytes);
  if (it != cache.end()) return it->second;

  std::vector<BYTE> image;
  std::string strErr;
  if (!MakeSampleImage(kSimImageMin, 1, &image, &strErr)) {
    std::fprintf(stderr, "bench_parse: %s\n", strErr.c_str());
    std::exit(1);
  }
  const std::string strBase = MakeUpdateScript(image, SimScriptKind::Rs232, kSimDefaultModel, "image.bin", &strErr);
  // The fourth "SEND:" starts the blocks; the second to last is C7-04.
  std::vector<std::size_t> sends;
  for (std::size_t at = strBase.find("SEND:"); at != std::string::npos; at = strBase.find("SEND:", at + 1))
    sends.push_back(at);
  if (strBase.empty() || sends.size() < 6) {
    std::fprintf(stderr, "bench_parse: no script: %s\n", strErr.c_str());
    std::exit(1);
  }
  const std::size_t nVerify = sends.size() - 2;
  std::string s = strBase.substr(0, sends[nVerify]);
  const std::string strTail = strBase.substr(sends[nVerify]);
  for (std::size_t k = 3; s.size() + strTail.size() < nBytes; k = k + 1 < nVerify ? k + 1 : 3)
    s += strBase.substr(sends[k], sends[k + 1] - sends[k]);
  s += strTail;
  return cache.emplace(nBytes, std::move(s)).first->second;
}

// One tagged input report holding the whole answer C7-00.
fakehid::Report AcceptAnswer() {
  const std::vector<BYTE> frame = MakeFrame(0xC7, 0x00);
  fakehid::Report r(64, 0);
  r[0] = 1;
  std::memcpy(r.data() + 1, frame.data(), frame.size());
  return r;
}

// The runner over a script of state.range(0) bytes or a little more.
void BM_RunScript(benchmark::State& state) {
  const std::string& strScript = ScriptOfSize(static_cast<std::size_t>(state.range(0)));
  std::unique_ptr<BYTE[]> data(new BYTE[strScript.size() + 1]);
  std::memcpy(data.get(), strScript.data(), strScript.size());
  data[strScript.size()] = 0;
  const int nLen = static_cast<int>(strScript.size());

  plat::VirtualClock clock(1000);
  plat::ScopedClock useClock(clock);
  plat::Stop().Clear();
  LoadTxPacingPreset(2);
  fakehid::FakeHidBackend backend;
  plat::ScopedHidBackend useBackend(backend);
  const WORD wVid = g_KnownReaders[0].wVid, wPid = g_KnownReaders[0].wPid;
  fakehid::FakeHidDevice& dev = backend.AddDevice(wVid, wPid, 64, 64, 0);
  const fakehid::Report answer = AcceptAnswer();
  dev.inputSource = [&answer](fakehid::Report* r) {
    *r = answer;
    return true;
  };
  // The record of what the host sent is not wanted here: keep it empty.
  dev.onOutput = [&dev](const fakehid::Report&) { dev.outputs.clear(); };

  for (auto _ : state) {
    state.PauseTiming();
    CTAVDownloadApDlg dlg;
    SelectInterface(false);
    const bool bOpen = OpenUsbHid(false, wVid, wPid);
    state.ResumeTiming();
    // An "#RS232 version" script over USB HID: the device cuts each frame
    // into tagged reports.
    const int nResult = bOpen ? RunScriptCommands(&dlg, data.get(), nLen, 1, 0) : -1;
    state.PauseTiming();
    if (nResult != 0) state.SkipWithError("the runner did not accept the script");
    CloseInterface();
    g_HidDevice.Close();
    state.ResumeTiming();
  }
  ClearTxPacing();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * nLen);
  state.counters["bytes"] = nLen;
}
BENCHMARK(BM_RunScript)->RangeMultiplier(2)->Range(1 * kMiB, 16 * kMiB)->Unit(benchmark::kMillisecond);

// The scan and the hex reading alone, over the whole file.
void BM_ScanAndConvert(benchmark::State& state) {
  const std::string& strScript = ScriptOfSize(static_cast<std::size_t>(state.range(0)));
  const BYTE* p = reinterpret_cast<const BYTE*>(strScript.data());
  std::unique_ptr<char[]> text(new char[kScriptTextCap]);
  std::vector<BYTE> bytes(kScriptBytesCap);
  for (auto _ : state) {
    std::size_t nPos = 0, nEnd = 0, nCommands = 0;
    int nText = 0, nCount = 0;
    while (ScanScriptCommand(p, strScript.size(), &nPos, text.get(), &nText, &nEnd) == ScriptScan::kCommand) {
      HexTextToBytes(text.get(), nText, bytes.data(), &nCount);
      ++nCommands;
    }
    benchmark::DoNotOptimize(nCommands);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(strScript.size()));
}
BENCHMARK(BM_ScanAndConvert)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);

// The hex reading of one block command: 2068 bytes, 4136 characters.
void BM_HexTextToBytes(benchmark::State& state) {
  std::string strText;
  for (int i = 0; i < 2068; ++i) {
    char sz[3];
    std::snprintf(sz, sizeof sz, "%02X", (i * 37) & 0xFF);
    strText += sz;
  }
  std::vector<BYTE> bytes(kScriptBytesCap);
  for (auto _ : state) {
    int nCount = 0;
    HexTextToBytes(strText.data(), static_cast<int>(strText.size()), bytes.data(), &nCount);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(strText.size()));
}
BENCHMARK(BM_HexTextToBytes);

// Keeps the runner's results for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      if (r.benchmark_name().rfind("BM_RunScript/", 0) != 0) continue;
      auto it = r.counters.find("bytes");
      if (it == r.counters.end()) continue;
      // Adjusted times are in the benchmark's unit, milliseconds.
      m_lines.push_back("PARSE " + std::to_string(static_cast<long long>(it->second.value)) + " " +
                        std::to_string(r.GetAdjustedCPUTime()) + " " + std::to_string(r.GetAdjustedRealTime()));
    }
  }
  const std::vector<std::string>& Lines() const { return m_lines; }

 private:
  std::vector<std::string> m_lines;
};

}  // namespace

int main(int argc, char** argv) {
  bool bSummary = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--summary") == 0) bSummary = true;
    else args.push_back(argv[i]);
  }
  int nArgs = static_cast<int>(args.size());
  benchmark::Initialize(&nArgs, args.data());
  if (benchmark::ReportUnrecognizedArguments(nArgs, args.data())) return 64;
  SummaryReporter reporter;
  if (bSummary) reporter.SetOutputStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (bSummary)
    for (const std::string& s : reporter.Lines()) std::printf("%s\n", s.c_str());
  return 0;
}
