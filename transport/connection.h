// Opening and closing the reader link on the selected interface, and
// finding the machine's serial ports.
#pragma once
#include <string>

#include "link/interface_select.h"
#include "platform/com_port.h"
#include "platform/types.h"

// Port numbers of the serial ports run from 1 to this.
using plat::kMaxComPort;

// Why the last opening of the link failed, for the operator: what kind of
// failure, and one line in the system's words ("COM7: Permission denied").
// The connect step clears it before it starts; each failed open notes its
// reason, and a reason the system gave is never replaced by a later "not
// found" of another reader of the list.
enum class LinkOpenFailureKind { None, NotFound, AccessDenied, Busy, NoAnswer, Other };
struct LinkOpenFailure {
  LinkOpenFailureKind kind = LinkOpenFailureKind::None;
  std::string text;
  // The device the system refused (the port's device path or COM name, the
  // USB reader's device path), for finding out more about it; may be empty.
  std::string device;
};
const LinkOpenFailure& LastLinkOpenFailure();
void ClearLinkOpenFailure();

void CloseInterface();
bool OpenRs232(int nPort, int nBaud, bool bCheck);
// Lists the serial ports the machine has (plat::ListComPorts), numbers 1 to
// 255 in ascending order, without opening any. nBaud is not used: a port
// is listed whatever rate it runs at. pnPorts must have room for 255 entries.
bool EnumComPorts(int nBaud, int* pnCount, int* pnPorts);
bool OpenUsbHid(bool bCheck, int nVid, int nPid);
BYTE HidSetTaggedReports(BYTE value);
