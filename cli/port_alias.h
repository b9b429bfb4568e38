// Makes readerctl's --port reachable as a COM number. One source per OS.
//
// On Windows a port is its COM name ("COM7" or "\\.\COM7"); anything else
// is refused with a message that says so (cli/win32/port_alias.cpp).
//
// On Linux (cli/posix/port_alias.cpp) a device path is accepted too. The
// connect step opens the port the window's port list names ("COMn"), and
// the serial port's definition string ("\\.\COMn/baud=...") has no room for
// a device path: its '/' separates the settings. So a port given as a path
// is turned into a COM number:
//   - when the COM map already gives the path a number (a fixed name such as
//     /dev/ttyUSB0 = COM33, or an entry of $READERTOOL_COM_DIR), that one;
//   - otherwise a private folder with a single entry "com255" linked to the
//     path becomes this process's READERTOOL_COM_DIR. COM255 lies in the
//     range that exists only through that folder, so no fixed name is hidden,
//     and the environment of nothing but this process changes. The folder is
//     removed again when the object goes.
#pragma once
#include <string>

class ComPortAlias {
 public:
  ComPortAlias() = default;
  ~ComPortAlias();
  ComPortAlias(const ComPortAlias&) = delete;
  ComPortAlias& operator=(const ComPortAlias&) = delete;

  // The COM number for strPort (a COM name or a path); 0 with *pstrError set
  // when none can be had.
  int Resolve(const std::string& strPort, std::string* pstrError);
  // The private folder, empty when none was made.
  const std::string& Folder() const { return m_strDir; }

 private:
  std::string m_strDir;
  std::string m_strLink;
};
