#include "platform/os_error.h"

#include <cerrno>

namespace plat {

OsErrorClass ClassifyOsError(long nCode) {
  switch (nCode) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OsErrorClass::kNotFound;
    case EACCES:
    case EPERM:
      return OsErrorClass::kAccessDenied;
    case EBUSY:
      return OsErrorClass::kBusy;
    default:
      return OsErrorClass::kOther;
  }
}

}  // namespace plat
