#include "link/interface_select.h"

int g_nInterface = kInterfaceRs232;

void SelectInterface(bool bRs232) { g_nInterface = bRs232 ? kInterfaceRs232 : kInterfaceUsbHid; }

bool IsRs232() { return g_nInterface == kInterfaceRs232; }

bool IsUsbHid() { return g_nInterface == kInterfaceUsbHid; }
