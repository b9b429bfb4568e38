// The one blocking wait of the Windows transports: an overlapped transfer's
// event together with the stop event, until the transfer completes, the
// deadline on the process clock passes, or a stop is requested. Nothing
// spins; a stop wakes the wait at once.
#pragma once
#include <windows.h>

#include <cstdint>

namespace plat::win32 {

constexpr std::uint64_t kNoDeadline = UINT64_MAX;

enum class IoWait { Ready, Timeout, Stopped, Error };

// The stop signal's event, or null when it could not be made.
HANDLE StopEvent();

// Waits for hEvent; *pdwError holds GetLastError when the wait itself failed.
IoWait WaitForEvent(HANDLE hEvent, std::uint64_t deadlineMs, DWORD* pdwError = nullptr);

// Ends a pending overlapped transfer: cancels it and waits for the driver to
// let go of the buffer. *pdwDone is what moved before the cancel.
void CancelAndCollect(HANDLE hFile, OVERLAPPED* pOv, DWORD* pdwDone);

}  // namespace plat::win32
