// The reader's USB HID interface: finding it by vendor and product ID among
// the interfaces the reader choice offers (transport/reader_choice.h),
// opening it, choosing its report mode from its report sizes, and moving one
// request frame out and one response frame back in the report format of that
// mode (raw, counted, tagged or feature reports; hid_exchange.cpp).
//
// One global object, g_HidDevice, used by one thread at a time. Transfers go
// through the platform's HID backend (platform/hid.h): every wait blocks in
// poll() against a deadline from the process clock and ends early on a stop
// request.
#pragma once
#include <memory>
#include <string>

#include "platform/hid.h"
#include "platform/types.h"

// Called once per polling pass of a timed report transfer (the window's
// thread pumps its events through it); nonzero ends the transfer.
typedef int (*PFN_EXCHANGE_CALLBACK)(void);

// Our counterpart of a manual-reset event. Transfers block inside the
// backend, so nothing waits on it; it records that a transfer completed and
// follows the lifecycle of the transfer context: made by the first
// interrupt-mode open, dropped by Close. The serial tells one making from the next.
struct CHidEvent {
  unsigned nSerial = 0;
  bool bSignalled = false;
};

// Our counterpart of the overlapped record: the running byte count of the
// transfer in progress and the event it completes.
struct CHidOverlapped {
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  CHidEvent* hEvent = nullptr;
};

class CHidDevice {
 public:
  CHidDevice();
  ~CHidDevice();
  CHidDevice(const CHidDevice&) = delete;
  CHidDevice& operator=(const CHidDevice&) = delete;

  BOOL Open(int nVid, int nPid);
  BOOL OpenFeatureOnly(int nVid, int nPid);
  void Close();
  BYTE SetTaggedReports(BYTE bTagged);
  BYTE GetTaggedReports() const { return m_bTaggedReports; }
  bool IsOpen() const { return m_hDevice != nullptr; }
  // Why the last Open or OpenFeatureOnly found no usable interface, and the
  // interface it concerns: NotFound with no path when no interface showed
  // the identity; a feature-only open that finds nothing keeps the reason
  // of the exclusive open before it.
  const plat::HidOpenStatus& LastOpenStatus() const { return m_lastOpenStatus; }
  const std::string& LastOpenPath() const { return m_strLastOpenPath; }

  // One request frame out, one response frame back. Returns the response
  // length (0: no response).
  DWORD SendAndGetResponseUSBHID(const BYTE* pSendData, DWORD dwSendDataSize, BYTE* pResponseData, DWORD dwResponseSize,
                                 DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);

  int WriteRawReports(const BYTE* pFrame, DWORD dwLen);
  int WriteCountedReports(const BYTE* pFrame, DWORD dwLen);
  DWORD WriteTaggedReports(const BYTE* pFrame, DWORD dwLen, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);
  DWORD WriteReportTimed(const BYTE* pReport, DWORD dwLen, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);
  DWORD WriteFeatureReports(const BYTE* pFrame, DWORD dwLen, PFN_EXCHANGE_CALLBACK pfnCallback);
  // dwCap bounds what is stored; dwWaitMs is the wait for each report.
  DWORD ReadCountedReports(BYTE* pResp, DWORD dwCap, DWORD dwWaitMs);
  void ReadTaggedFrame(BYTE* pResp, DWORD* pdwSize, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);
  // Copies the payload of one taken tagged report. *pdwCount: capacity left
  // in, bytes copied out. False when the frame cannot be taken whole (longer
  // than the capacity, or announcing more than a report holds).
  bool TakeTaggedPayload(const BYTE* pReport, BYTE* pDest, DWORD* pdwCount);
  int ReadReportTimed(BYTE* pReport, DWORD* pdwLen, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);
  int ReadFeatureFrame(BYTE* pResp, DWORD dwCap, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback);
  void NoteOpenFailure(const plat::HidOpenStatus& status, const std::string& strPath);
  void SetV2Layout();
  void SetV3Layout();

  // State, in the order the transport keeps it. Public so that the
  // connection layer and the tests can see the mode and the frame layout.
  int m_nVendorID = 0;
  int m_nProductID = 0;
  CHidOverlapped m_ov;
  std::unique_ptr<CHidEvent> m_hIoEvent;
  std::unique_ptr<CHidEvent> m_hWriteEvent;
  plat::HidCaps m_caps;
  std::unique_ptr<plat::IHidHandle> m_hDevice;  // null when closed
  plat::HidOpenStatus m_lastOpenStatus;
  std::string m_strLastOpenPath;
  char m_szDevicePath[1024] = {};
  DWORD m_dwFrameRemain = 0;
  BYTE m_bTaggedReports = 0;
  int m_nFrameOverhead = 0;
  int m_nVerIdx = 9;
  int m_nHdrBase = 11;
  int m_nStatusIdx = 0;
  int m_nLenHiIdx = 0;
  int m_nLenLoIdx = 0;
  int m_nReportMode = -1;

 private:
  void SetLayout(bool bV3);
  void CreateEvents();
};

extern CHidDevice g_HidDevice;
