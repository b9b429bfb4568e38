#include "cli/link_advice.h"

// Windows refuses a second open of a COM port with "access denied": another
// program has it. A USB reader needs no driver and no rights, so there is
// nothing general to suggest for it.
std::string AccessDeniedFix(bool bSerialPort, const std::string&) {
  return bSerialPort ? "another program holds the port: close it" : std::string();
}

// Which program holds a device Windows does not tell an ordinary program:
// only a walk through every process's handles (with the debug privilege)
// would. So the operator hears that another program holds it.
std::string BusyHolder(const std::string&) { return "another program holds it"; }
