// The stop signal on Windows: a manual-reset event, signalled while a stop
// is pending. Request() only stores a flag and sets the event, so a console
// control handler (which runs on a thread of its own) may call it.
#include <windows.h>

#include "platform/stop.h"

namespace plat {

StopSignal::StopSignal() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_handle = h ? reinterpret_cast<NativeWaitHandle>(h) : kNoWaitHandle;
}

StopSignal::~StopSignal() {
  if (m_handle != kNoWaitHandle) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

void StopSignal::Request() {
  __atomic_store_n(&m_requested, 1, __ATOMIC_SEQ_CST);
  if (m_handle != kNoWaitHandle) SetEvent(reinterpret_cast<HANDLE>(m_handle));
}

void StopSignal::Clear() {
  __atomic_store_n(&m_requested, 0, __ATOMIC_SEQ_CST);
  if (m_handle != kNoWaitHandle) ResetEvent(reinterpret_cast<HANDLE>(m_handle));
}

bool StopSignal::Requested() const { return __atomic_load_n(&m_requested, __ATOMIC_SEQ_CST) != 0; }

StopSignal& Stop() {
  static StopSignal s;
  return s;
}

}  // namespace plat
