// The main window's controls as the window template makes them, for every
// view to start from: the items of the interface and baud lists and the
// controls that start hidden. A view fills its lists from here and keeps no
// copy of its own.
#pragma once
#include <iterator>
#include <string>
#include <vector>

#include "ui/dialog_view.h"

// The interface list, by index.
constexpr int kInterfaceItemRs232 = 0;
constexpr int kInterfaceItemUsb = 1;
inline constexpr const char* kInterfaceItems[] = {"RS232", "USB"};

// The baud list's rates, by index; each item is its rate in decimal.
inline constexpr int kBaudTable[] = {9600, 19200, 38400, 57600, 115200};
inline constexpr int kBaudCount = static_cast<int>(std::size(kBaudTable));

// The rate of baud list item nIndex; 0 for an index outside the list (-1:
// no selection).
constexpr int BaudRateAt(int nIndex) { return nIndex >= 0 && nIndex < kBaudCount ? kBaudTable[nIndex] : 0; }

// The items a list holds when the view makes it: the interface names, the
// baud rates as text, nothing for the port list (or any other ID).
std::vector<std::string> TemplateListItems(int nId);

// Hidden until the logic shows them: the progress bar and the RS-232 controls.
inline constexpr int kTemplateHiddenControls[] = {IDC_PROGRESS, IDC_PORT_BUTTON, IDC_PORT_LIST, IDC_BAUD_LABEL,
                                                  IDC_BAUD_LIST};
