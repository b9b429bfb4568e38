#include "transport/rs232_port.h"

#include <cerrno>
#include <climits>
#include <cstring>

CRs232Port g_Rs232Port;

CRs232Port::CRs232Port() = default;

CRs232Port::~CRs232Port() { Close(); }

void CRs232Port::Fail(const plat::SerialError& err) { m_lastError = err; }

BOOL CRs232Port::Open(const char* pszDef) {
  // Refusals leave everything as it was, an open port included.
  if (m_bOpen || m_hComm) {
    Fail(plat::CallerError("the port is already open"));
    return FALSE;
  }
  if (!pszDef) {
    Fail(plat::CallerError("no port definition"));
    return FALSE;
  }
  const std::size_t len = std::strlen(pszDef);
  if (len < 10 || len + 1 > sizeof m_szCommDef) {
    Fail(plat::CallerError("malformed port definition"));
    return FALSE;
  }

  // Blanks and tabs go, slashes become the blanks that separate the
  // device name and the settings.
  char work[sizeof m_szCommDef];
  std::size_t w = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const char c = pszDef[i];
    if (c == ' ' || c == '\t') continue;
    work[w++] = c == '/' ? ' ' : c;
  }
  work[w] = '\0';
  char* blank = std::strchr(work, ' ');
  if (blank) {
    *blank = '\0';
    std::strcpy(m_szCommDef, blank + 1);  // fits: shorter than work
  } else {
    m_szCommDef[0] = '\0';
  }

  plat::SerialError err;
  m_hComm = plat::OpenSerialLine(work, &err);
  if (!m_hComm) {
    Fail(err);
    Close();
    return FALSE;
  }
  auto fail = [this]() {
    Fail(m_hComm->LastError());
    Close();
    return FALSE;
  };

  plat::SerialDcb dcb;
  if (!m_hComm->GetState(&dcb)) return fail();
  if (!plat::BuildSerialDcb(m_szCommDef, &dcb)) {
    Fail(plat::CallerError("malformed line settings"));
    Close();
    return FALSE;
  }
  dcb.Flags = (dcb.Flags & kFlagsKeepMask) | kFlagsForce;
  if (!m_hComm->SetState(dcb)) return fail();

  m_hComm->SetQueues(kQueueSize, kQueueSize);  // advisory; the result does not matter

  plat::SerialTimeouts to;
  to.ReadIntervalTimeout = kOpenReadInterval;
  to.ReadTotalTimeoutMultiplier = 0;
  to.ReadTotalTimeoutConstant = kOpenReadTotal;
  to.WriteTotalTimeoutMultiplier = 0;
  to.WriteTotalTimeoutConstant = kOpenWriteTotal;
  if (!m_hComm->SetTimeouts(to)) return fail();

  // Start from empty queues; a line that cannot purge is still usable.
  m_hComm->Purge(plat::kPurgeTxAbort | plat::kPurgeRxAbort | plat::kPurgeTxClear | plat::kPurgeRxClear);

  m_lastError = {};
  m_bOpen = TRUE;
  return TRUE;
}

int CRs232Port::Read(BYTE* pBuf, DWORD dwMax) {
  if (!IsOpen()) return 0;
  if (!pBuf && dwMax) {
    Fail(plat::CallerError("no buffer"));
    return -1;
  }
  if (dwMax > static_cast<DWORD>(INT_MAX)) dwMax = INT_MAX;  // the count must fit the result
  BYTE chunk[kChunkSize];
  DWORD gathered = 0;
  for (bool first = true;; first = false) {
    DWORD got = 0;
    if (!m_hComm->Read(chunk, sizeof chunk, &got)) {
      Fail(m_hComm->LastError());
      return -1;
    }
    // A lone first byte (an acknowledge, say) is handed over at once, except
    // 0x03, which starts longer answers; it needs room for that one byte.
    if (first && got == 1 && chunk[0] != 0x03 && dwMax >= 1) {
      pBuf[0] = chunk[0];
      return 1;
    }
    // A chunk that does not fit is dropped whole.
    if (got > dwMax - gathered) return static_cast<int>(gathered);
    if (got == 0) return static_cast<int>(gathered);
    std::memcpy(pBuf + gathered, chunk, got);
    gathered += got;
  }
}

DWORD CRs232Port::Write(const BYTE* pBuf, DWORD dwLen) {
  if (!IsOpen()) return 0;
  DWORD written = 0;
  if (!m_hComm->Write(pBuf, dwLen, &written)) {
    Fail(m_hComm->LastError());
    return 0;
  }
  if (written < dwLen) Fail(m_hComm->LastError());
  return written;
}

BOOL CRs232Port::SetTimeouts(int nWriteTotal, int nReadTotal) {
  if (!IsOpen()) return FALSE;
  plat::SerialTimeouts to;
  if (!m_hComm->GetTimeouts(&to)) {
    Fail(m_hComm->LastError());
    return FALSE;
  }
  if (nWriteTotal >= 0) to.WriteTotalTimeoutConstant = static_cast<DWORD>(nWriteTotal);
  if (nReadTotal >= 0) to.ReadTotalTimeoutConstant = static_cast<DWORD>(nReadTotal);
  if (!m_hComm->SetTimeouts(to)) {
    Fail(m_hComm->LastError());
    return FALSE;
  }
  return TRUE;
}

BOOL CRs232Port::ResetTimeouts() {
  if (!IsOpen()) return FALSE;
  plat::SerialTimeouts to;
  if (!m_hComm->GetTimeouts(&to)) {
    Fail(m_hComm->LastError());
    return FALSE;
  }
  to.WriteTotalTimeoutConstant = kResetWriteTotal;
  to.ReadTotalTimeoutConstant = kResetReadTotal;
  if (!m_hComm->SetTimeouts(to)) {
    Fail(m_hComm->LastError());
    return FALSE;
  }
  return TRUE;
}

void CRs232Port::Close() {
  if (m_hComm) {
    m_hComm->Close();
    m_hComm.reset();
  }
  m_bOpen = FALSE;
}
