// On Windows a serial port is reached by its COM name only: the connect step
// opens "\\.\COMn" itself, so there is nothing to link and no folder to make.
#include "cli/port_alias.h"

#include "platform/com_port.h"

ComPortAlias::~ComPortAlias() = default;

int ComPortAlias::Resolve(const std::string& strPort, std::string* pstrError) {
  if (const int nPort = plat::ParseComName(strPort.c_str())) return nPort;
  if (pstrError)
    *pstrError = "'" + strPort + "' is not a serial port: give its COM name, such as COM7 or \\\\.\\COM7 " +
                 "(readerctl list-ports shows them)";
  return 0;
}
