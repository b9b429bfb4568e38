#include "cli/link_advice.h"

// Windows refuses a second open of a COM port with "access denied": another
// program has it. A USB reader needs no driver and no rights, so there is
// nothing general to suggest for it.
const char* AccessDeniedFix(bool bSerialPort) {
  return bSerialPort ? "close the program that holds the port" : nullptr;
}
