// Opening and closing the reader link on the selected interface, and
// finding the machine's serial ports.
#pragma once
#include "link/interface_select.h"
#include "platform/com_port.h"
#include "platform/types.h"

// Port numbers of the serial ports run from 1 to this.
using plat::kMaxComPort;

void CloseInterface();
bool OpenRs232(int nPort, int nBaud, bool bCheck);
// Lists the ports 1..255 that open exclusively and configure at nBaud.
// pnPorts must have room for 255 entries.
bool EnumComPorts(int nBaud, int* pnCount, int* pnPorts);
bool OpenUsbHid(bool bCheck, int nVid, int nPid);
BYTE HidSetTaggedReports(BYTE value);
