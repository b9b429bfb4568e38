// The RS-232 transport of the reader link: one serial port, opened with a
// definition string "\\.\COMn/baud=B/parity=N/stop=1/data=8", read and
// written synchronously under the port's time-outs, and the whole serial
// exchange of one request frame and one response frame (SendRecvFrame, in
// link/serial_exchange.cpp).
//
// Results only, never messages: Open and the time-out calls return 1/0,
// Read a byte count or -1, Write a byte count (0 on failure). LastError()
// keeps the cause of the last failure for whoever words it for the operator.
#pragma once
#include <memory>

#include "platform/serial.h"
#include "platform/types.h"

// The wait between the steps of an exchange: dwMs milliseconds while the
// calling thread's events flow; with bPing, ping the reader until it answers.
typedef void (*PFN_WAIT)(DWORD dwMs, BOOL bPing);

class CRs232Port {
 public:
  // Line settings forced at every open, whatever the settings string or the
  // driver left: everything off but fBinary (kept), DTR and RTS enabled.
  static constexpr DWORD kFlagsKeepMask = 0xFFFF9011u;
  static constexpr DWORD kFlagsForce = 0x1010u;
  static constexpr DWORD kQueueSize = 4096;
  static constexpr DWORD kChunkSize = 512;
  // Time-outs in force after Open (ms).
  static constexpr DWORD kOpenReadInterval = 50;
  static constexpr DWORD kOpenReadTotal = 200;
  static constexpr DWORD kOpenWriteTotal = 5000;
  // What ResetTimeouts restores (ms).
  static constexpr DWORD kResetWriteTotal = 10000;
  static constexpr DWORD kResetReadTotal = 200;
  // SendRecvFrame: the seek buffer and the most a response may take.
  static constexpr DWORD kSeekBufferSize = 256;
  static constexpr DWORD kMaxResponse = 512;
  static constexpr int kMaxErrors = 5;

  CRs232Port();
  ~CRs232Port();
  CRs232Port(const CRs232Port&) = delete;
  CRs232Port& operator=(const CRs232Port&) = delete;

  BOOL Open(const char* pszDef);
  int Read(BYTE* pBuf, DWORD dwMax);
  DWORD Write(const BYTE* pBuf, DWORD dwLen);
  BOOL SetTimeouts(int nWriteTotal, int nReadTotal);
  BOOL ResetTimeouts();
  void Close();

  // Writes the request, finds the response by its header, gathers it and
  // checks its length and CRC. *pdwRespLen: capacity in, frame length out
  // (0 when no valid frame came within dwTimeout ms or 5 failed steps).
  void SendRecvFrame(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen, DWORD dwTimeout,
                     PFN_WAIT pfnWait);

  bool IsOpen() const { return m_bOpen && m_hComm != nullptr; }
  const char* CommDef() const { return m_szCommDef; }
  const plat::SerialError& LastError() const { return m_lastError; }

 private:
  void Fail(const plat::SerialError& err);

  BOOL m_bOpen = FALSE;
  std::unique_ptr<plat::ISerialLine> m_hComm;  // null while closed
  char m_szCommDef[256] = {};
  plat::SerialError m_lastError;
};

// The one serial port of the tool; closed until connection management opens it.
extern CRs232Port g_Rs232Port;
