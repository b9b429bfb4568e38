// What an operating-system error code means to the operator, the same way on
// every system: the code is an errno value on POSIX and a Windows error code
// on Windows (as plat::SerialError::sysCode carries it). One source per OS.
#pragma once

namespace plat {

enum class OsErrorClass {
  kOther,
  kNotFound,      // no such device or file
  kAccessDenied,  // the user may not open it (on Windows also: another program holds it)
  kBusy,          // held by another program
};

OsErrorClass ClassifyOsError(long nCode);

}  // namespace plat
