#include "transport/connection.h"

#include <cstdio>
#include <string>

#include "link/commands.h"
#include "link/trace.h"
#include "platform/com_port.h"
#include "platform/os_error.h"
#include "transport/hid_device.h"
#include "transport/reader_choice.h"
#include "transport/rs232_port.h"

namespace {

void MakeComDefinition(char (&buf)[128], int nPort, int nBaud) {
  std::snprintf(buf, sizeof buf, "\\\\.\\COM%d/baud=%d/parity=N/stop=1/data=8", nPort, nBaud);
}

LinkOpenFailure g_lastOpenFailure;

void NoteFailure(LinkOpenFailureKind kind, std::string text, std::string device = {}) {
  // A reader that is there but cannot be had says more than one that is not.
  const LinkOpenFailureKind prev = g_lastOpenFailure.kind;
  if (kind == LinkOpenFailureKind::NotFound && prev != LinkOpenFailureKind::None) return;
  g_lastOpenFailure = {kind, std::move(text), std::move(device)};
}

LinkOpenFailureKind KindOfHidOpen(plat::HidOpenError e) {
  switch (e) {
    case plat::HidOpenError::None:
    case plat::HidOpenError::NotFound: return LinkOpenFailureKind::NotFound;
    case plat::HidOpenError::AccessDenied: return LinkOpenFailureKind::AccessDenied;
    case plat::HidOpenError::Busy: return LinkOpenFailureKind::Busy;
    default: return LinkOpenFailureKind::Other;
  }
}

// A serial open fails with the system's code; the caller's own mistakes
// (a bad name or settings) are no reason the operator can act on.
LinkOpenFailureKind KindOfSerialOpen(const plat::SerialError& err) {
  if (err.kind != plat::SerialErrorKind::kSystem) return LinkOpenFailureKind::Other;
  switch (plat::ClassifyOsError(err.sysCode)) {
    case plat::OsErrorClass::kNotFound: return LinkOpenFailureKind::NotFound;
    case plat::OsErrorClass::kAccessDenied: return LinkOpenFailureKind::AccessDenied;
    case plat::OsErrorClass::kBusy: return LinkOpenFailureKind::Busy;
    case plat::OsErrorClass::kOther: break;
  }
  return LinkOpenFailureKind::Other;
}

}  // namespace

const LinkOpenFailure& LastLinkOpenFailure() { return g_lastOpenFailure; }

void ClearLinkOpenFailure() { g_lastOpenFailure = {}; }

void CloseInterface() {
  if (g_nInterface != 0) {
    if (g_HidDevice.IsOpen()) TRACE_EVENT(trace::Link::Usb, "close %s", g_HidDevice.m_szDevicePath);
    g_HidDevice.Close();
  } else {
    if (g_Rs232Port.IsOpen()) TRACE_EVENT(trace::Link::Rs232, "close");
    g_Rs232Port.Close();
  }
}

bool OpenRs232(int nPort, int nBaud, bool bCheck) {
  if (nPort < 1 || nPort > kMaxComPort) return false;
  char def[128];
  MakeComDefinition(def, nPort, nBaud);
  if (!g_Rs232Port.Open(def)) {
    const plat::SerialError& err = g_Rs232Port.LastError();
    TRACE_EVENT(trace::Link::Rs232, "open COM%d (%s) at %d baud failed (%s, code %ld: %s)", nPort,
                plat::ComPortPath(nPort).c_str(), nBaud, plat::SerialErrorKindName(err.kind), err.sysCode,
                err.sysMessage.c_str());
    const std::string strCom = "COM" + std::to_string(nPort) + ": ";
    LinkOpenFailureKind kind = KindOfSerialOpen(err);
    std::string strWhy = err.sysMessage.empty() ? plat::SerialErrorKindName(err.kind) : err.sysMessage;
    // A node with no port behind it (the 8250's placeholders for ttyS ports
    // without a UART) opens or fails in words that do not say so.
    if (kind == LinkOpenFailureKind::Other && !plat::ComPortListed(nPort)) {
      kind = LinkOpenFailureKind::NotFound;
      strWhy = "no such device (" + plat::ComPortPath(nPort) + " has no port behind it)";
    }
    NoteFailure(kind, strCom + strWhy, plat::ComPortPath(nPort));
    return false;
  }
  TRACE_EVENT(trace::Link::Rs232, "open COM%d (%s), %s", nPort, plat::ComPortPath(nPort).c_str(),
              g_Rs232Port.CommDef());
  g_nInterface = 0;
  if (!bCheck) return true;
  if (PingReader()) return true;
  TRACE_EVENT(trace::Link::Rs232, "close: no answer to the check");
  g_Rs232Port.Close();
  NoteFailure(LinkOpenFailureKind::NoAnswer,
              "COM" + std::to_string(nPort) + ": no reader answered at " + std::to_string(nBaud) + " baud");
  return false;
}

bool EnumComPorts(int nBaud, int* pnCount, int* pnPorts) {
  if (!pnCount || !pnPorts) return false;
  *pnCount = 0;
  // The ports the system lists, none of them opened: a port that another
  // program uses keeps its lock, its settings and its modem lines. Whether a
  // port opens, and at which rate a reader answers, the connect step finds
  // out on the one port chosen; nBaud plays no part in the list.
  for (const plat::ComPortEntry& e : plat::ListComPorts())
    if (*pnCount < kMaxComPort) pnPorts[(*pnCount)++] = e.nPort;
  if (trace::On()) {
    std::string strPorts;
    for (int i = 0; i < *pnCount; ++i) strPorts += " COM" + std::to_string(pnPorts[i]);
    TRACE_EVENT(trace::Link::Rs232, "port list: %d port%s%s", *pnCount, *pnCount == 1 ? "" : "s",
                strPorts.empty() ? "" : (":" + strPorts).c_str());
  }
  return *pnCount > 0;
}

bool OpenUsbHid(bool bCheck, int nVid, int nPid) {
  bool bExclusive = true;
  if (!g_HidDevice.Open(nVid, nPid)) {
    bExclusive = false;
    if (!g_HidDevice.OpenFeatureOnly(nVid, nPid)) {
      const plat::HidOpenStatus& st = g_HidDevice.LastOpenStatus();
      const bool bNotThere = st.kind == plat::HidOpenError::None || st.kind == plat::HidOpenError::NotFound;
      char szId[32];
      std::snprintf(szId, sizeof szId, "%04X:%04X", nVid & 0xFFFF, nPid & 0xFFFF);
      // A reader that is missing is named as it was chosen (the pinned path,
      // the reader this run follows); one that is there, by its identity.
      const std::string strWanted = g_ReaderChoice.Wanted();
      std::string strText = "USB reader " + (bNotThere && !strWanted.empty() ? strWanted : std::string(szId)) + ": ";
      strText += bNotThere                ? "not connected"
                 : st.sysMessage.empty() ? "cannot be opened"
                                         : st.sysMessage;
      if (!g_HidDevice.LastOpenPath().empty()) strText += " (" + g_HidDevice.LastOpenPath() + ")";
      TRACE_EVENT(trace::Link::Usb, "%s", strText.c_str());
      NoteFailure(KindOfHidOpen(st.kind), std::move(strText), g_HidDevice.LastOpenPath());
      return false;
    }
  }
  if (trace::On()) {
    const plat::HidCaps& caps = g_HidDevice.m_caps;
    const int nMode = g_HidDevice.m_nReportMode;
    TRACE_EVENT(trace::Link::Usb, "open %s (%s), vendor %04X product %04X, report lengths in %u out %u feature %u: %s",
                g_HidDevice.m_szDevicePath, bExclusive ? "exclusive" : "feature-only", nVid, nPid,
                caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength,
                nMode == 1   ? "feature report mode"
                : nMode == 0 ? "input/output report mode"
                             : "no report mode fits");
  }
  g_nInterface = 1;
  if (!bCheck) return true;
  if (PingReader()) return true;
  NoteFailure(LinkOpenFailureKind::NoAnswer, "the USB reader did not answer");
  return false;
}

BYTE HidSetTaggedReports(BYTE value) { return g_HidDevice.SetTaggedReports(value); }
