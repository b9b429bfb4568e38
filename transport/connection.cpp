#include "transport/connection.h"

#include <cstdio>
#include <string>

#include "link/commands.h"
#include "link/dispatch.h"
#include "link/trace.h"
#include "platform/com_map.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {

void MakeComDefinition(char (&buf)[128], int nPort, int nBaud) {
  std::snprintf(buf, sizeof buf, "\\\\.\\COM%d/baud=%d/parity=N/stop=1/data=8", nPort, nBaud);
}

}  // namespace

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
    TRACE_EVENT(trace::Link::Rs232, "open COM%d (%s) at %d baud failed (%s, errno %d)", nPort,
                plat::ComPortPath(nPort).c_str(), nBaud, plat::SerialErrorKindName(g_Rs232Port.LastError().kind),
                g_Rs232Port.LastError().sysErrno);
    return false;
  }
  TRACE_EVENT(trace::Link::Rs232, "open COM%d (%s), %s", nPort, plat::ComPortPath(nPort).c_str(),
              g_Rs232Port.CommDef());
  g_nInterface = 0;
  if (!bCheck) return true;
  if (PingReader()) return true;
  TRACE_EVENT(trace::Link::Rs232, "close: no answer to the check");
  g_Rs232Port.Close();
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
  if (trace::On()) {
    std::string strPorts;
    for (int i = 0; i < *pnCount; ++i) strPorts += " COM" + std::to_string(pnPorts[i]);
    TRACE_EVENT(trace::Link::Rs232, "port scan at %d baud: %d port%s open%s", nBaud, *pnCount,
                *pnCount == 1 ? "" : "s", strPorts.empty() ? "" : (":" + strPorts).c_str());
  }
  return *pnCount > 0;
}

bool OpenUsbHid(bool bCheck, int nVid, int nPid) {
  bool bExclusive = true;
  if (!g_HidDevice.Open(nVid, nPid)) {
    bExclusive = false;
    if (!g_HidDevice.OpenFeatureOnly(nVid, nPid)) {
      TRACE_EVENT(trace::Link::Usb, "no reader %04X:%04X to open", nVid, nPid);
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
  return PingReader();
}

BYTE HidSetTaggedReports(BYTE value) { return g_HidDevice.SetTaggedReports(value); }
