#include "sim/model/serial_front.h"

#include <limits>
#include <string>

#include "platform/clock.h"

SerialFront::SerialFront(ReaderModel& model, std::uint32_t nBaud) : m_model(model), m_nBaud(nBaud) {}

void SerialFront::SetBaud(std::uint32_t nBaud) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nBaud = nBaud;
}

void SerialFront::SetLineBaud(std::uint32_t nBaud) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nLineBaud = nBaud;
}

void SerialFront::ExpectBaud(std::uint32_t nBaud) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nExpectBaud = nBaud;
}

void SerialFront::SetInterByteTimeout(std::uint32_t nMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nGapMs = nMs;
}

void SerialFront::OnReceive(const BYTE* p, std::size_t n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t now = plat::NowMs();
  if (m_model.Disconnected()) {
    m_asm.Reset();
    return;
  }
  auto sink = [this](const BYTE* f, std::size_t len) {
    if (m_nExpectBaud && m_nLineBaud != m_nExpectBaud) {
      m_model.Unanswered(f, len,
                         "line at " + std::to_string(m_nLineBaud) + " baud, the reader runs at " +
                             std::to_string(m_nExpectBaud));
      return;
    }
    Queue(m_model.HandleRequest(f, len));
  };
  if (m_asm.InFrame() && now - m_lastRxMs > m_nGapMs) m_asm.Flush(sink);
  m_lastRxMs = now;
  m_asm.Feed(p, n, sink);
}

void SerialFront::Queue(const ReaderReply& r) {
  if (!r.bAnswer) return;
  // The answer starts when it is due and the line is free; each byte takes
  // 10 bit times (start, 8 data, stop) at the baud rate.
  std::uint64_t startUs = r.dueMs * 1000;
  if (m_lineFreeUs > startUs) startUs = m_lineFreeUs;
  std::uint64_t t = startUs;
  std::uint64_t i = 0;
  for (BYTE b : r.bytes) {
    ++i;
    if (m_nBaud) t = startUs + (i * 10'000'000ull + m_nBaud - 1) / m_nBaud;
    m_out.push_back({b, (t + 999) / 1000});
  }
  m_lineFreeUs = t;
}

std::vector<BYTE> SerialFront::TakeDue(std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<BYTE> v;
  while (!m_out.empty() && m_out.front().dueMs <= nowMs) {
    v.push_back(m_out.front().b);
    m_out.pop_front();
  }
  return v;
}

std::uint64_t SerialFront::NextDueMs() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_out.empty() ? std::numeric_limits<std::uint64_t>::max() : m_out.front().dueMs;
}

std::size_t SerialFront::Pending() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_out.size();
}
