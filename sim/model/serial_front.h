// The simulated reader on a serial line: bytes from the host in any pieces,
// answers out on a schedule that keeps the model's answer delay and, when a
// baud rate is set, the wire time of 10 bits per byte.
//
// The front owns no descriptor: readersim moves the bytes between it and a
// pseudo-terminal, tests between it and a fake line.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/model/reader_model.h"
#include "sim/model/request_assembler.h"

class SerialFront {
 public:
  // nBaud 0: an answer goes out whole at its due time.
  explicit SerialFront(ReaderModel& model, std::uint32_t nBaud = 0);

  void SetBaud(std::uint32_t nBaud);
  // The rate the host has set on the line (0: unknown), and the one rate the
  // reader runs at (0: any). While they differ, a request reaches the reader
  // only as noise: it is recorded in the transcript and not answered, so a
  // host that sets the wrong rate gets nothing back, as from a real reader.
  void SetLineBaud(std::uint32_t nBaud);
  void ExpectBaud(std::uint32_t nBaud);
  // A partial request that sees no new byte for this long is dropped, as a
  // reader's receive time-out would.
  void SetInterByteTimeout(std::uint32_t nMs);

  // Bytes the host wrote, as they came off the line.
  void OnReceive(const BYTE* p, std::size_t n);
  // The answer bytes whose time has come, in order.
  std::vector<BYTE> TakeDue(std::uint64_t nowMs);
  // When the next answer byte is due; UINT64_MAX when nothing is queued.
  std::uint64_t NextDueMs() const;
  std::size_t Pending() const;
  bool Disconnected() const { return m_model.Disconnected(); }

 private:
  void Queue(const ReaderReply& r);

  ReaderModel& m_model;
  mutable std::mutex m_mutex;
  std::uint32_t m_nBaud;
  std::uint32_t m_nLineBaud = 0;
  std::uint32_t m_nExpectBaud = 0;
  std::uint32_t m_nGapMs = 1000;
  RequestAssembler m_asm;
  std::uint64_t m_lastRxMs = 0;
  std::uint64_t m_lineFreeUs = 0;  // when the last queued byte has left the line
  struct OutByte {
    BYTE b;
    std::uint64_t dueMs;
  };
  std::deque<OutByte> m_out;
};
