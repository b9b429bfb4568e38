#include "platform/os_error.h"

#include <windows.h>

namespace plat {

OsErrorClass ClassifyOsError(long nCode) {
  switch (static_cast<DWORD>(nCode)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
      return OsErrorClass::kNotFound;
    // A COM port that another program has open refuses a second open with
    // "access denied"; there is no separate "busy" for it.
    case ERROR_ACCESS_DENIED:
      return OsErrorClass::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return OsErrorClass::kBusy;
    default:
      return OsErrorClass::kOther;
  }
}

}  // namespace plat
