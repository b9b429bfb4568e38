// The benchmark's protocol floors (bench/floors.*) and its reading of the
// simulated reader's trace (bench/trace.*): a floor that is too low makes
// the tool look slow, one that is too high hides time the tool wastes.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "bench/floors.h"
#include "bench/trace.h"

namespace {

using bench::ComputeFloor;
using bench::Exchange;
using bench::FloorParams;
using bench::RunKind;

// As readersim --trace writes it: requests, answers, an event, hex lines.
constexpr char kTrace[] =
    "[1000 ms] host -> reader 29-04, 16 bytes\n"
    "    4B 65 73 74 72 75 6C 61 32 00 29 04 00 00 4E CC \n"
    "[1005 ms] reader -> host 29-00, 34 bytes\n"
    "    4B 65 73 74 72 75 6C 61 32 00 29 00 00 12 46 69 \n"
    "[1855 ms] host -> reader C7-41, 16 bytes\n"
    "[1860 ms] reader -> host C7-00, 16 bytes\n"
    "[1860 ms] event: restart: silent for 1000 ms, then bootloader\n"
    "[7710 ms] host -> reader C7-03, 2068 bytes\n"
    "    ... 2004 more bytes\n"
    "[7715 ms] reader -> host C7-00, 16 bytes\n"
    "[8600 ms] host -> reader C7-05, 16 bytes\n";

Exchange Answered(std::uint16_t wCode, std::size_t nRequest, std::size_t nAnswer = 16) {
  Exchange e;
  e.wCode = wCode;
  e.nRequestBytes = nRequest;
  e.nAnswerBytes = nAnswer;
  e.bAnswered = true;
  return e;
}

TEST(BenchTrace, PairsEachAnswerWithItsRequest) {
  const std::vector<Exchange> ex = bench::ParseTrace(kTrace);
  ASSERT_EQ(ex.size(), 4u);
  const struct {
    std::uint64_t tMs;
    std::uint16_t wCode;
    std::size_t nRequest, nAnswer;
    bool bAnswered;
  } kWant[] = {{1000, 0x2904, 16, 34, true},
               {1855, 0xC741, 16, 16, true},
               {7710, 0xC703, 2068, 16, true},
               {8600, 0xC705, 16, 0, false}};
  for (std::size_t i = 0; i < ex.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ex[i].tMs, kWant[i].tMs);
    EXPECT_EQ(ex[i].wCode, kWant[i].wCode);
    EXPECT_EQ(ex[i].nRequestBytes, kWant[i].nRequest);
    EXPECT_EQ(ex[i].nAnswerBytes, kWant[i].nAnswer);
    EXPECT_EQ(ex[i].bAnswered, kWant[i].bAnswered);
  }
}

// Floors worked out by hand from the waits and read time-outs: 850 ms per
// serial exchange (2 x 100 after the write, 50 + 200 for the seek's read,
// 100 after the header, 200 for the frame's read, 100 after the frame).
TEST(BenchFloors, EachRunKindCountsItsWaits) {
  const std::vector<Exchange> download = {Answered(0x2904, 16, 34), Answered(0x1801, 16), Answered(0xC741, 16),
                                          Answered(0xC703, 2068), Answered(0xC705, 16)};
  const std::vector<Exchange> script = {Answered(0xC741, 16), Answered(0xC710, 16, 34), Answered(0xC703, 2068),
                                        Answered(0xC715, 16), Answered(0xC704, 276)};
  const struct {
    const char* name;
    RunKind kind;
    const std::vector<Exchange>& ex;
    double dWantMs;
  } kRows[] = {
      {"download: 5 exchanges, 5 s after C7-41", RunKind::kSerialDownload, download, 5 * 850.0 + 5000},
      {"serial script: 5 exchanges, 5 s after the first, 5 s before C7-15", RunKind::kSerialScript, script,
       5 * 850.0 + 5000 + 5000},
      {"tagged: 450 ms and the 5 ms answer delay per attempt", RunKind::kHidTaggedScript, script,
       5 * (450.0 + 5) + 5000 + 5000},
      // Requests of 16, 16, 2068, 16 and 276 bytes: 3, 3, 296, 3 and 40
      // feature reports of 7 bytes, 5 ms after each and 25 after the last;
      // the 5 ms answer delay runs under those.
      {"feature: 450 ms, 5 ms a report, 25 ms after the last", RunKind::kHidFeatureScript, script,
       5 * (450.0 + 25) + (3 + 3 + 296 + 3 + 40) * 5.0 + 5000 + 5000},
  };
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.name);
    const bench::Floor f = ComputeFloor(r.kind, r.ex, FloorParams{});
    EXPECT_TRUE(f.Valid()) << f.strInvalid;
    EXPECT_DOUBLE_EQ(f.dTotalMs, r.dWantMs);
    double dTerms = 0;
    for (const auto& t : f.terms) dTerms += t.dMs;
    EXPECT_DOUBLE_EQ(dTerms, f.dTotalMs);
    // Placed around the requests, the shares add up to the same total.
    ASSERT_EQ(f.lead.size(), r.ex.size());
    const double dPlaced = std::accumulate(f.lead.begin(), f.lead.end(), 0.0) +
                           std::accumulate(f.tail.begin(), f.tail.end(), 0.0);
    EXPECT_DOUBLE_EQ(dPlaced, f.dTotalMs);
  }
  // Where the fixed waits stand: after the first command, before C7-15.
  const bench::Floor f = ComputeFloor(RunKind::kSerialScript, script, FloorParams{});
  EXPECT_DOUBLE_EQ(f.tail[0], 850.0 + 5000);
  EXPECT_DOUBLE_EQ(f.lead[3], 5000.0);
}

TEST(BenchFloors, RunsTheModelDoesNotCoverHaveNoFloor) {
  Exchange silent;
  silent.wCode = 0xC705;
  silent.nRequestBytes = 16;
  EXPECT_FALSE(ComputeFloor(RunKind::kSerialScript, {Answered(0xC741, 16), silent}, FloorParams{}).Valid());
  EXPECT_FALSE(ComputeFloor(RunKind::kHidTaggedScript, {}, FloorParams{}).Valid());
  // 300 bytes at 9600 baud take 312.5 ms: the answer is still coming when
  // the first read starts, which the serial model does not describe.
  FloorParams slow;
  slow.nBaud = 9600;
  EXPECT_FALSE(ComputeFloor(RunKind::kSerialDownload, {Answered(0x2904, 16, 300)}, slow).Valid());
  EXPECT_TRUE(ComputeFloor(RunKind::kSerialDownload, {Answered(0x2904, 16, 34)}, slow).Valid());
}

}  // namespace
