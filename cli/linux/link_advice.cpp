#include "cli/link_advice.h"

// Serial devices belong to the group "dialout"; the hidraw devices of the
// readers are opened to their users by the udev rule the package installs.
const char* AccessDeniedFix(bool bSerialPort) {
  return bSerialPort ? "add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in again"
                     : "install the udev rule (see README)";
}
