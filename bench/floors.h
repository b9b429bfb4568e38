// The protocol floor of a run: the time the reader protocol itself demands
// for the exchanges a run actually made, with nothing added by the tool.
//
// The exchanges come from the simulated reader's trace (trace.h): every
// request it received and the answer it gave. The floor is built from them
// and from the waits and read time-outs the tool's procedures are bound to;
// the numbers and why each one counts are in floors.cpp, the one place they
// are written down. A benchmark row compares a run's wall time with it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One request and the reader's answer to it.
struct Exchange {
  std::uint64_t tMs = 0;            // when the reader had the whole request (its clock: CLOCK_MONOTONIC)
  std::uint16_t wCode = 0;          // command and sub-command of the request (CC-SS)
  std::size_t nRequestBytes = 0;    // the request frame
  std::size_t nAnswerBytes = 0;     // the answer as sent (noise included); 0 when none came
  bool bAnswered = false;
};

// How a run reaches the reader.
enum class RunKind {
  kSerialDownload,  // binary download (--chklegacy) over RS-232
  kSerialScript,    // text script over RS-232
  kHidTaggedScript, // text script over USB HID, 64-byte interrupt reports
  kHidFeatureScript // text script over USB HID, 8-byte feature reports
};

struct FloorParams {
  // Baud rate at which the simulated reader paces its answers (10 bits a
  // byte: start bit, 8 data bits, stop bit).
  unsigned nBaud = 115200;
  // Time the simulated reader takes before it starts its answer (readersim
  // --delay). Not the tool's time, so it belongs to the floor where it is not
  // hidden under a wait of the tool.
  unsigned nReaderDelayMs = 5;
  // FeatureReportByteLength of the feature-report device: each report carries
  // one byte less of the frame.
  unsigned nFeatureReportLen = 8;
};

// One named share of a floor.
struct FloorTerm {
  std::string strName;
  double dMs = 0;
  std::size_t nCount = 0;  // how many times it was counted
};

struct Floor {
  double dTotalMs = 0;
  std::vector<FloorTerm> terms;
  // The reader's own time (answer delay, answers on the wire) that ran under
  // the tool's waits and so is not part of the total.
  double dHiddenMs = 0;
  // The same total placed around each request: lead[i] from the end of the
  // previous exchange until the reader has request i, tail[i] from then until
  // exchange i and the waits that follow it are over. The measured times of
  // the requests can then be set against them.
  std::vector<double> lead, tail;
  // Empty when the model covers the run; otherwise why it does not (an
  // unanswered request, an answer that outlasts the waits it overlaps).
  std::string strInvalid;
  bool Valid() const { return strInvalid.empty(); }
};

// The floor of one run of the given kind over the exchanges it made, in the
// order the reader received them.
Floor ComputeFloor(RunKind kind, const std::vector<Exchange>& exchanges, const FloorParams& params);

// Time in milliseconds that n bytes take on a line at nBaud, 10 bits a byte.
double WireMs(std::size_t nBytes, unsigned nBaud);

}  // namespace bench
