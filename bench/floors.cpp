// The protocol floor: every wait and read time-out that the tool's
// procedures are bound to, counted over the exchanges a run really made.
//
// What counts, and why:
//
// Serial exchange (SendRecvFrame over CRs232Port), per answered request:
//   Sending      the request is written, then the exchange waits 100 ms and
//                ends the pass with another 100 ms: 200 ms after the write.
//   Seeking      one Read. The answer is already in when it starts (see
//                below), so its first read call gets the whole answer and
//                returns once the line has been quiet for the read interval
//                time-out, 50 ms; Read then calls again, and that empty call
//                lasts the read total time-out, 200 ms. The header is found:
//                wait 100 ms.
//   Collecting   one Read, whose only call is empty (the frame came whole
//                with the header): 200 ms. The frame checks: wait 100 ms.
//   Together 850 ms. The answer itself — the simulated reader's delay plus
//   its bytes at 10 bits a byte — runs during the 200 ms after the write, so
//   it adds only what outlasts them (nothing at any of the tool's baud rates
//   for the short answers of a download). The model stops being exact when
//   an answer is still arriving as the first read starts; such a run is
//   marked invalid rather than given a guessed floor.
//   Requests: bytes written to a pseudo-terminal are not paced by the
//   kernel, so readersim has a request as soon as it is written and the
//   request's wire time is 0 in the measured set-up. On a real line whose
//   driver queues the write (the 4096-byte queues of the port) it would
//   overlap the same 200 ms: the longest request of a download, 2068 bytes,
//   takes 179.5 ms at 115200 baud.
//
// Binary download (DownloadFirmware): after the reader accepted C7-41 the
//   procedure waits 5000 ms before it reconnects. Reconnecting opens the port
//   again and sends nothing, so it is the tool's time, not the protocol's.
//
// Text script (RunTextScript), whatever the interface:
//   after the first command, 5000 ms for the bootloader to start (the runs
//   measured begin in the application, bInBootMode 0);
//   before each C7-15, the transmit pacing table's 5000 ms.
//
// USB HID exchange (SendAndGetResponseUSBHID), per attempt of the runner:
//   450 ms pause before the attempt.
//   Tagged 64-byte reports: the reports go out and come back as fast as the
//   device takes them (the simulator socket has no USB frame timing), so the
//   exchange itself adds only the reader's answer delay, which no wait of
//   the tool overlaps: the read starts right after the write.
//   Feature reports: each report of the request is followed by a 5 ms
//   pause, the last one by 25 ms more; the reader's answer delay runs from
//   the last report, under those 30 ms. The answer is then fetched report by
//   report without pause.
#include "bench/floors.h"

#include <algorithm>

namespace bench {
namespace {

// Serial exchange.
constexpr double kSerialAfterWriteMs = 100 + 100;  // wait, then the end of the pass
constexpr double kReadIntervalMs = 50;              // ReadIntervalTimeout
constexpr double kReadTotalMs = 200;                // ReadTotalTimeoutConstant: an empty read call
constexpr double kAfterHeaderMs = 100;
constexpr double kAfterFrameMs = 100;

// Procedures.
constexpr double kBootEntryWaitMs = 5000;    // download, after C7-41
constexpr double kFirstCommandWaitMs = 5000; // script, after its first command
constexpr double kPacingC715Ms = 5000;       // transmit pacing table
constexpr double kHidAttemptPauseMs = 450;   // script on USB HID, before each attempt

// Feature reports.
constexpr double kFeatureReportPauseMs = 5;
constexpr double kFeatureTailMs = 25;

constexpr std::uint16_t kCodeBootMode = 0xC741;
constexpr std::uint16_t kCodePaced = 0xC715;

class FloorBuilder {
 public:
  explicit FloorBuilder(std::size_t nExchanges) {
    m_floor.lead.assign(nExchanges, 0);
    m_floor.tail.assign(nExchanges, 0);
  }
  // A share of the floor before request i reaches the reader, or after.
  void Lead(std::size_t i, const std::string& strName, double dMs, std::size_t nTimes = 1) {
    m_floor.lead[i] += Add(strName, dMs, nTimes);
  }
  void Tail(std::size_t i, const std::string& strName, double dMs, std::size_t nTimes = 1) {
    m_floor.tail[i] += Add(strName, dMs, nTimes);
  }
  void Hidden(double dMs) { m_floor.dHiddenMs += dMs; }
  void Invalid(const std::string& strWhy) {
    if (m_floor.strInvalid.empty()) m_floor.strInvalid = strWhy;
  }
  Floor Take() { return std::move(m_floor); }

 private:
  double Add(const std::string& strName, double dMs, std::size_t nTimes) {
    auto it = std::find_if(m_floor.terms.begin(), m_floor.terms.end(),
                           [&](const FloorTerm& t) { return t.strName == strName; });
    if (it == m_floor.terms.end()) {
      m_floor.terms.push_back({strName, 0, 0});
      it = m_floor.terms.end() - 1;
    }
    const double d = dMs * static_cast<double>(nTimes);
    it->dMs += d;
    it->nCount += nTimes;
    m_floor.dTotalMs += d;
    return d;
  }

  Floor m_floor;
};

std::string CodeText(std::uint16_t w) {
  char sz[8];
  static const char kHex[] = "0123456789ABCDEF";
  sz[0] = kHex[(w >> 12) & 15];
  sz[1] = kHex[(w >> 8) & 15];
  sz[2] = '-';
  sz[3] = kHex[(w >> 4) & 15];
  sz[4] = kHex[w & 15];
  sz[5] = 0;
  return sz;
}

// The request is not paced on the pseudo-terminal: the exchange's whole
// floor follows the moment the reader has it.
void AddSerialExchange(FloorBuilder& b, const Exchange& e, const FloorParams& p, std::size_t i) {
  b.Tail(i, "serial: 2 x 100 ms after the write", kSerialAfterWriteMs);
  b.Tail(i, "serial: 50 ms read interval after the answer", kReadIntervalMs);
  b.Tail(i, "serial: 200 ms empty read ending the seek", kReadTotalMs);
  b.Tail(i, "serial: 100 ms after the header", kAfterHeaderMs);
  b.Tail(i, "serial: 200 ms empty read ending the frame", kReadTotalMs);
  b.Tail(i, "serial: 100 ms after the frame", kAfterFrameMs);
  const double dArrive = p.nReaderDelayMs + WireMs(e.nAnswerBytes, p.nBaud);
  if (dArrive > kSerialAfterWriteMs)
    b.Invalid("answer " + std::to_string(i + 1) + " arrives " + std::to_string(dArrive) +
              " ms after the write, after the first read has begun");
  b.Hidden(dArrive);
}

// The pause comes first; in feature mode the reader has the request once
// its last report is in, the pauses after the others come before that.
void AddHidAttempt(FloorBuilder& b, RunKind kind, const Exchange& e, const FloorParams& p, std::size_t i) {
  b.Lead(i, "USB: 450 ms before each attempt", kHidAttemptPauseMs);
  if (kind == RunKind::kHidTaggedScript) {
    b.Tail(i, "USB: reader's answer delay", p.nReaderDelayMs);
    return;
  }
  const std::size_t nPayload = p.nFeatureReportLen > 1 ? p.nFeatureReportLen - 1 : 1;
  const std::size_t nReports = std::max<std::size_t>(1, (e.nRequestBytes + nPayload - 1) / nPayload);
  b.Lead(i, "USB: 5 ms after each feature report", kFeatureReportPauseMs, nReports - 1);
  b.Tail(i, "USB: 5 ms after each feature report", kFeatureReportPauseMs);
  b.Tail(i, "USB: 25 ms after the last feature report", kFeatureTailMs);
  const double dCover = kFeatureReportPauseMs + kFeatureTailMs;
  b.Tail(i, "USB: reader's answer delay beyond those 30 ms", std::max(0.0, p.nReaderDelayMs - dCover));
  b.Hidden(std::min<double>(p.nReaderDelayMs, dCover));
}

}  // namespace

double WireMs(std::size_t nBytes, unsigned nBaud) {
  if (nBaud == 0) return 0;
  return static_cast<double>(nBytes) * 10.0 * 1000.0 / static_cast<double>(nBaud);
}

Floor ComputeFloor(RunKind kind, const std::vector<Exchange>& exchanges, const FloorParams& params) {
  FloorBuilder b(exchanges.size());
  if (exchanges.empty()) b.Invalid("no exchange");
  const bool bSerial = kind == RunKind::kSerialDownload || kind == RunKind::kSerialScript;
  for (std::size_t i = 0; i < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    if (!e.bAnswered) {
      b.Invalid("request " + std::to_string(i + 1) + " (" + CodeText(e.wCode) + ") was not answered");
      continue;
    }
    if (kind == RunKind::kSerialDownload) {
      AddSerialExchange(b, e, params, i);
      if (e.wCode == kCodeBootMode) b.Tail(i, "download: 5000 ms after boot-mode entry", kBootEntryWaitMs);
      continue;
    }
    if (e.wCode == kCodePaced) b.Lead(i, "script: 5000 ms pacing before C7-15", kPacingC715Ms);
    if (bSerial)
      AddSerialExchange(b, e, params, i);
    else
      AddHidAttempt(b, kind, e, params, i);
    if (i == 0) b.Tail(i, "script: 5000 ms after the first command", kFirstCommandWaitMs);
  }
  return b.Take();
}

}  // namespace bench
