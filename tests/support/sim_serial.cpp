#include "support/sim_serial.h"

SimSerialLink::SimSerialLink(FakeSerialPort& port, ReaderModel& model, std::uint32_t nBaud)
    : m_port(port), m_front(model, nBaud) {
  m_port.OnWrite([this](const std::vector<BYTE>& written) {
    m_front.OnReceive(written.data(), written.size());
    // Hand every queued answer byte to the line at its due time, one chunk
    // per millisecond.
    for (std::uint64_t t = m_front.NextDueMs(); t != UINT64_MAX; t = m_front.NextDueMs())
      m_port.ArriveAt(t, m_front.TakeDue(t));
  });
}

SimSerialLink::~SimSerialLink() { m_port.OnWrite(nullptr); }
