// Which interface carries the reader link. Every exchange reads the selector
// at the moment it happens; nothing caches it.
#pragma once

// 0 = RS-232, 1 = USB HID. 0 at program start.
extern int g_nInterface;

constexpr int kInterfaceRs232 = 0;
constexpr int kInterfaceUsbHid = 1;

// Selects RS-232 (true) or USB HID (false). Opens and closes nothing.
void SelectInterface(bool bRs232);
bool IsRs232();
bool IsUsbHid();
