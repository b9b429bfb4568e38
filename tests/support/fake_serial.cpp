#include "support/fake_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cerrno>

#include "platform/clock.h"
#include "platform/com_port.h"
#include "platform/stop.h"

namespace {
constexpr std::uint64_t kNoDeadline = UINT64_MAX;
}

// --- FakeSerialPort ---------------------------------------------------------

FakeSerialPort::FakeSerialPort(std::string name) : m_name(std::move(name)) {
  m_driverDcb.BaudRate = 9600;
  m_driverDcb.Flags = plat::kDcbBinary | (plat::kDtrControlEnable << plat::kDcbDtrControlShift) |
                      (plat::kRtsControlEnable << plat::kDcbRtsControlShift);
  m_dcb = m_driverDcb;
}

void FakeSerialPort::ArriveAt(std::uint64_t atMs, std::vector<BYTE> bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto pos = std::upper_bound(m_schedule.begin(), m_schedule.end(), atMs,
                              [](std::uint64_t t, const Chunk& c) { return t < c.atMs; });
  m_schedule.insert(pos, Chunk{atMs, std::move(bytes)});
}

void FakeSerialPort::ArriveAfter(std::uint64_t delayMs, std::vector<BYTE> bytes) {
  ArriveAt(plat::NowMs() + delayMs, std::move(bytes));
}

void FakeSerialPort::OnWrite(WriteHook hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = std::move(hook);
}

void FakeSerialPort::AnswerWrites(std::vector<BYTE> answer, std::uint64_t delayMs) {
  OnWrite([this, answer = std::move(answer), delayMs](const std::vector<BYTE>&) { ArriveAfter(delayMs, answer); });
}

std::size_t FakeSerialPort::Pending() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t now = plat::NowMs();
  std::size_t n = m_queue.size();
  for (const auto& c : m_schedule)
    if (c.atMs <= now) n += c.bytes.size();
  return n;
}

std::size_t FakeSerialPort::Scheduled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t now = plat::NowMs();
  std::size_t n = 0;
  for (const auto& c : m_schedule)
    if (c.atMs > now) n += c.bytes.size();
  return n;
}

std::vector<FakeSerialPort::WriteRecord> FakeSerialPort::Writes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_writes;
}

std::vector<BYTE> FakeSerialPort::WrittenBytes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<BYTE> all;
  for (const auto& w : m_writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

int FakeSerialPort::Calls(SerialOp op) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls[static_cast<int>(op)];
}

bool FakeSerialPort::IsOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bOpen;
}

plat::SerialDcb FakeSerialPort::Dcb() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_dcb;
}

plat::SerialTimeouts FakeSerialPort::Timeouts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_timeouts;
}

DWORD FakeSerialPort::LastPurge() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastPurge;
}

DWORD FakeSerialPort::InQueue() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inQueue;
}

DWORD FakeSerialPort::OutQueue() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_outQueue;
}

void FakeSerialPort::SetDriverDcb(const plat::SerialDcb& dcb) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_driverDcb = dcb;
}

void FakeSerialPort::FailCall(SerialOp op, int nth, int sysErrno, int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failures.push_back({op, nth, nth + count - 1, sysErrno});
}

void FakeSerialPort::RefuseOpens(int sysErrno) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_refuseErrno = sysErrno;
}

void FakeSerialPort::SetWriteLimit(DWORD perCall) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_writeLimit = perCall;
}

bool FakeSerialPort::ShouldFail(SerialOp op, int* pErrno) {
  const int n = ++m_calls[static_cast<int>(op)];
  for (const auto& f : m_failures) {
    if (f.op == op && n >= f.first && n <= f.last) {
      *pErrno = f.err;
      return true;
    }
  }
  return false;
}

void FakeSerialPort::Deliver(std::uint64_t nowMs) {
  while (!m_schedule.empty() && m_schedule.front().atMs <= nowMs) {
    m_queue.insert(m_queue.end(), m_schedule.front().bytes.begin(), m_schedule.front().bytes.end());
    m_schedule.pop_front();
  }
}

// --- the line handed to the code under test ----------------------------------

class FakeSerialLine final : public plat::ISerialLine {
 public:
  explicit FakeSerialLine(std::shared_ptr<FakeSerialPort> port) : m_port(std::move(port)) {}
  ~FakeSerialLine() override { Close(); }

  bool GetState(plat::SerialDcb* pDcb) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kGetState)) return false;
    if (!pDcb) return Failed(plat::SerialErrorKind::kInvalidArgument, EINVAL);
    *pDcb = m_port->m_dcb;
    return Ok();
  }

  bool SetState(const plat::SerialDcb& dcb) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kSetState)) return false;
    if (!plat::IsStandardBaud(dcb.BaudRate) || dcb.StopBits == plat::kStopBitsOneHalf)
      return Failed(plat::SerialErrorKind::kUnsupported, EINVAL);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return Failed(plat::SerialErrorKind::kInvalidArgument, EINVAL);
    m_port->m_dcb = dcb;
    return Ok();
  }

  bool SetQueues(DWORD dwIn, DWORD dwOut) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kSetQueues)) return false;
    m_port->m_inQueue = dwIn;
    m_port->m_outQueue = dwOut;
    return Ok();
  }

  bool GetTimeouts(plat::SerialTimeouts* pTimeouts) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kGetTimeouts)) return false;
    if (!pTimeouts) return Failed(plat::SerialErrorKind::kInvalidArgument, EINVAL);
    *pTimeouts = m_port->m_timeouts;
    return Ok();
  }

  bool SetTimeouts(const plat::SerialTimeouts& timeouts) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kSetTimeouts)) return false;
    m_port->m_timeouts = timeouts;
    return Ok();
  }

  bool Purge(DWORD dwFlags) override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (!Begin(SerialOp::kPurge)) return false;
    m_port->m_lastPurge = dwFlags;
    if (dwFlags & plat::kPurgeRxClear) {
      // What has arrived is in the driver's queue and goes; what is still
      // on its way comes later.
      m_port->Deliver(plat::NowMs());
      m_port->m_queue.clear();
    }
    return Ok();
  }

  bool Read(BYTE* pBuf, DWORD dwMax, DWORD* pdwRead) override {
    if (pdwRead) *pdwRead = 0;
    plat::SerialReadPlan plan;
    {
      std::lock_guard<std::mutex> lock(m_port->m_mutex);
      if (!Begin(SerialOp::kRead)) return false;
      if (!pdwRead || (!pBuf && dwMax)) return Failed(plat::SerialErrorKind::kInvalidArgument, EINVAL);
      plan = plat::PlanSerialRead(m_port->m_timeouts, dwMax);
    }
    if (dwMax == 0) return Ok();
    const std::uint64_t start = plat::NowMs();
    const std::uint64_t total = plan.bHasTotal ? start + plan.totalMs : kNoDeadline;
    std::uint64_t lastByte = start;
    DWORD got = 0;
    for (;;) {
      if (plat::Stop().Requested()) return Failed(plat::SerialErrorKind::kStopped, EINTR);
      const std::uint64_t now = plat::NowMs();
      std::uint64_t next = kNoDeadline;
      {
        std::lock_guard<std::mutex> lock(m_port->m_mutex);
        m_port->Deliver(now);
        const DWORD take = static_cast<DWORD>(std::min<std::size_t>(m_port->m_queue.size(), dwMax - got));
        if (take) {
          std::copy_n(m_port->m_queue.begin(), take, pBuf + got);
          m_port->m_queue.erase(m_port->m_queue.begin(), m_port->m_queue.begin() + take);
          got += take;
          *pdwRead = got;
          lastByte = now;
        }
        if (!m_port->m_schedule.empty()) next = m_port->m_schedule.front().atMs;
      }
      if (got == dwMax || (got > 0 && plan.bReturnOnAny) || plan.bImmediate) return Ok();
      std::uint64_t deadline = total;
      if (got > 0 && plan.intervalMs > 0) deadline = std::min<std::uint64_t>(deadline, lastByte + plan.intervalMs);
      if (next != kNoDeadline && (deadline == kNoDeadline || next < deadline)) {
        if (!plat::Clock().SleepUntil(next)) return Failed(plat::SerialErrorKind::kStopped, EINTR);
        continue;
      }
      if (deadline == kNoDeadline) {
        ADD_FAILURE() << "read on fake port " << m_port->m_name << " would wait forever";
        return Failed(plat::SerialErrorKind::kTimeout, ETIMEDOUT);
      }
      if (!plat::Clock().SleepUntil(deadline)) return Failed(plat::SerialErrorKind::kStopped, EINTR);
      return Ok();
    }
  }

  bool Write(const BYTE* pBuf, DWORD dwLen, DWORD* pdwWritten) override {
    if (pdwWritten) *pdwWritten = 0;
    FakeSerialPort::WriteHook hook;
    std::vector<BYTE> accepted;
    std::uint64_t limit = 0;
    bool hasLimit = false;
    const std::uint64_t start = plat::NowMs();
    {
      std::lock_guard<std::mutex> lock(m_port->m_mutex);
      if (!Begin(SerialOp::kWrite)) return false;
      if (!pdwWritten || (!pBuf && dwLen)) return Failed(plat::SerialErrorKind::kInvalidArgument, EINVAL);
      if (plat::Stop().Requested()) return Failed(plat::SerialErrorKind::kStopped, EINTR);
      const DWORD n = std::min(dwLen, m_port->m_writeLimit);
      if (n) {
        accepted.assign(pBuf, pBuf + n);
        m_port->m_writes.push_back({start, accepted});
        hook = m_port->m_hook;
      }
      *pdwWritten = n;
      hasLimit = plat::SerialWriteLimit(m_port->m_timeouts, dwLen, &limit);
    }
    if (hook) hook(accepted);
    if (accepted.size() == dwLen) return Ok();
    // The line takes no more: the write lasts its whole time-out.
    if (!hasLimit) {
      ADD_FAILURE() << "write on fake port " << m_port->m_name << " would wait forever";
      return Failed(plat::SerialErrorKind::kTimeout, ETIMEDOUT);
    }
    if (!plat::Clock().SleepUntil(start + limit)) return Failed(plat::SerialErrorKind::kStopped, EINTR);
    m_lastError = {plat::SerialErrorKind::kTimeout, ETIMEDOUT, std::strerror(ETIMEDOUT)};
    return true;
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(m_port->m_mutex);
    if (m_bClosed) return;
    m_bClosed = true;
    m_port->m_bOpen = false;
  }

  plat::SerialError LastError() const override { return m_lastError; }

 private:
  // Called with the port locked: refuses calls on a closed line and applies
  // the injected failures.
  bool Begin(SerialOp op) {
    if (m_bClosed) return Failed(plat::SerialErrorKind::kInvalidArgument, EBADF);
    int err = 0;
    if (m_port->ShouldFail(op, &err)) return Failed(plat::SerialErrorKind::kSystem, err);
    return true;
  }
  bool Ok() {
    m_lastError = {};
    return true;
  }
  bool Failed(plat::SerialErrorKind kind, int err) {
    m_lastError = {kind, err, std::strerror(err)};
    return false;
  }

  std::shared_ptr<FakeSerialPort> m_port;
  bool m_bClosed = false;
  plat::SerialError m_lastError;
};

// --- FakeSerial -----------------------------------------------------------

FakeSerial::FakeSerial() {
  m_previous = plat::SetSerialOpener(
      [this](const char* pszDevice, plat::SerialError* pErr) { return Open(pszDevice, pErr); });
  m_previousLister = plat::SetComPortLister([this] { return List(); });
}

FakeSerial::~FakeSerial() {
  plat::SetComPortLister(std::move(m_previousLister));
  plat::SetSerialOpener(std::move(m_previous));
}

std::vector<plat::ComPortEntry> FakeSerial::List() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<plat::ComPortEntry> ports;
  for (const auto& [key, port] : m_ports)
    if (const int n = plat::ParseComName(key.c_str())) ports.push_back({n, port->Name()});
  std::sort(ports.begin(), ports.end(),
            [](const plat::ComPortEntry& a, const plat::ComPortEntry& b) { return a.nPort < b.nPort; });
  return ports;
}

std::string FakeSerial::Key(const std::string& name) {
  const int n = plat::ParseComName(name.c_str());
  return n ? "COM" + std::to_string(n) : name;
}

FakeSerialPort& FakeSerial::AddPort(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto& slot = m_ports[Key(name)];
  if (!slot) slot = std::make_shared<FakeSerialPort>(name);
  return *slot;
}

FakeSerialPort* FakeSerial::Port(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_ports.find(Key(name));
  return it == m_ports.end() ? nullptr : it->second.get();
}

std::vector<std::string> FakeSerial::OpenAttempts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_attempts;
}

std::unique_ptr<plat::ISerialLine> FakeSerial::Open(const char* pszDevice, plat::SerialError* pErr) {
  std::shared_ptr<FakeSerialPort> port;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attempts.push_back(pszDevice);
    auto it = m_ports.find(Key(pszDevice));
    if (it != m_ports.end()) port = it->second;
  }
  auto fail = [pErr](int err) {
    if (pErr) *pErr = {plat::SerialErrorKind::kSystem, err, std::strerror(err)};
    return nullptr;
  };
  if (!port) return fail(ENOENT);
  std::lock_guard<std::mutex> lock(port->m_mutex);
  int err = 0;
  if (port->ShouldFail(SerialOp::kOpen, &err)) return fail(err);
  if (port->m_refuseErrno) return fail(port->m_refuseErrno);
  if (port->m_bOpen) return fail(EBUSY);
  port->m_bOpen = true;
  port->m_dcb = port->m_driverDcb;
  port->m_timeouts = {};
  return std::make_unique<FakeSerialLine>(port);
}
