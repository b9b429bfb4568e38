#include "transport/connection.h"

#include <cstdio>

#include "link/commands.h"
#include "link/dispatch.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {

void MakeComDefinition(char (&buf)[128], int nPort, int nBaud) {
  std::snprintf(buf, sizeof buf, "\\\\.\\COM%d/baud=%d/parity=N/stop=1/data=8", nPort, nBaud);
}

LinkOpenFailure g_lastOpenFailure;

void NoteFailure(LinkOpenFailureKind kind, std::string text) {
  // A reader that is there but cannot be had says more than one that is not.
  const LinkOpenFailureKind prev = g_lastOpenFailure.kind;
  if (kind == LinkOpenFailureKind::NotFound && prev != LinkOpenFailureKind::None) return;
  g_lastOpenFailure = {kind, std::move(text)};
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

}  // namespace

const LinkOpenFailure& LastLinkOpenFailure() { return g_lastOpenFailure; }

void ClearLinkOpenFailure() { g_lastOpenFailure = {}; }

void CloseInterface() {
  if (g_nInterface != 0)
    g_HidDevice.Close();
  else
    g_Rs232Port.Close();
}

bool OpenRs232(int nPort, int nBaud, bool bCheck) {
  if (nPort < 1 || nPort > kMaxComPort) return false;
  char def[128];
  MakeComDefinition(def, nPort, nBaud);
  if (!g_Rs232Port.Open(def)) {
    const plat::SerialError& err = g_Rs232Port.LastError();
    const std::string strWhy = err.sysMessage.empty() ? plat::SerialErrorKindName(err.kind) : err.sysMessage;
    NoteFailure(LinkOpenFailureKind::Other, "COM" + std::to_string(nPort) + ": " + strWhy);
    return false;
  }
  g_nInterface = 0;
  if (!bCheck) return true;
  if (PingReader()) return true;
  g_Rs232Port.Close();
  NoteFailure(LinkOpenFailureKind::NoAnswer,
              "COM" + std::to_string(nPort) + ": no reader answered at " + std::to_string(nBaud) + " baud");
  return false;
}

bool EnumComPorts(int nBaud, int* pnCount, int* pnPorts) {
  if (!pnCount || !pnPorts) return false;
  *pnCount = 0;
  for (int port = 1; port <= kMaxComPort; ++port) {
    char def[128];
    MakeComDefinition(def, port, nBaud);
    if (g_Rs232Port.Open(def)) {
      g_nInterface = 0;
      pnPorts[(*pnCount)++] = port;
      g_Rs232Port.Close();
    }
    PumpOneMessage();
  }
  return *pnCount > 0;
}

bool OpenUsbHid(bool bCheck, int nVid, int nPid) {
  if (!g_HidDevice.Open(nVid, nPid) && !g_HidDevice.OpenFeatureOnly(nVid, nPid)) {
    const plat::HidOpenStatus& st = g_HidDevice.LastOpenStatus();
    char szId[32];
    std::snprintf(szId, sizeof szId, "%04X:%04X", nVid & 0xFFFF, nPid & 0xFFFF);
    std::string strText = std::string("USB reader ") + szId + ": ";
    strText += st.kind == plat::HidOpenError::None || st.kind == plat::HidOpenError::NotFound ? "not connected"
               : st.sysMessage.empty()                                                      ? "cannot be opened"
                                                                                             : st.sysMessage;
    if (!g_HidDevice.LastOpenPath().empty()) strText += " (" + g_HidDevice.LastOpenPath() + ")";
    NoteFailure(KindOfHidOpen(st.kind), std::move(strText));
    return false;
  }
  g_nInterface = 1;
  if (!bCheck) return true;
  if (PingReader()) return true;
  NoteFailure(LinkOpenFailureKind::NoAnswer, "the USB reader did not answer");
  return false;
}

BYTE HidSetTaggedReports(BYTE value) { return g_HidDevice.SetTaggedReports(value); }
