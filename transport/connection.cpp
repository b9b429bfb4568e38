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

}  // namespace

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
  if (!g_Rs232Port.Open(def)) return false;
  g_nInterface = 0;
  if (!bCheck) return true;
  if (PingReader()) return true;
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
  return *pnCount > 0;
}

bool OpenUsbHid(bool bCheck, int nVid, int nPid) {
  if (!g_HidDevice.Open(nVid, nPid) && !g_HidDevice.OpenFeatureOnly(nVid, nPid)) return false;
  g_nInterface = 1;
  if (!bCheck) return true;
  return PingReader();
}

BYTE HidSetTaggedReports(BYTE value) { return g_HidDevice.SetTaggedReports(value); }
