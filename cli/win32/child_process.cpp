#include "cli/child_process.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/stop.h"
#include "platform/version_resource.h"
#include "platform/win32/win32_text.h"

namespace {

// One argument as the C runtime's command-line parser reads it back:
// quoted when it holds a space, a tab or a quote, or is empty; a quote gets
// a backslash, and backslashes before a quote (or the closing quote) double.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t nBackslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++nBackslashes;
      continue;
    }
    if (c == L'"') {
      out.append(nBackslashes * 2 + 1, L'\\');
    } else {
      out.append(nBackslashes, L'\\');
    }
    nBackslashes = 0;
    out += c;
  }
  out.append(nBackslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

struct ChildGroup::Impl {
  struct Child {
    HANDLE hProcess = nullptr;
    DWORD dwPid = 0;
    int nOpenPipes = 0;  // under the mutex
    bool bReported = false;
  };

  std::mutex mutex;
  std::deque<Event> pending;  // output that the readers have taken, not yet handed over
  std::vector<Child> children;
  std::vector<std::thread> readers;
  HANDLE hWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);

  // Reads one pipe to its end on a thread of its own: anonymous pipes have
  // no overlapped reads.
  void Read(HANDLE hPipe, int nChild, bool bErr) {
    char buf[8192];
    for (;;) {
      DWORD nGot = 0;
      if (!ReadFile(hPipe, buf, sizeof buf, &nGot, nullptr) || nGot == 0) break;
      Event e;
      e.kind = bErr ? Event::Kind::Err : Event::Kind::Out;
      e.nChild = nChild;
      e.text.assign(buf, nGot);
      std::lock_guard<std::mutex> lock(mutex);
      pending.push_back(std::move(e));
      SetEvent(hWake);
    }
    CloseHandle(hPipe);
    std::lock_guard<std::mutex> lock(mutex);
    --children[static_cast<std::size_t>(nChild)].nOpenPipes;
    SetEvent(hWake);
  }
};

ChildGroup::ChildGroup() : m(std::make_unique<Impl>()) {}

ChildGroup::~ChildGroup() {
  for (Impl::Child& c : m->children)
    if (c.hProcess && !c.bReported) TerminateProcess(c.hProcess, 1);
  for (std::thread& t : m->readers) t.join();
  for (Impl::Child& c : m->children)
    if (c.hProcess) CloseHandle(c.hProcess);
  if (m->hWake) CloseHandle(m->hWake);
}

int ChildGroup::Start(const std::vector<std::string>& args, std::string* pstrError) {
  const std::string strSelf = plat::ModuleFileName(nullptr);
  if (strSelf.empty() || !m->hWake) {
    *pstrError = "the program's own path cannot be found";
    return -1;
  }
  std::wstring cmd = QuoteArgument(plat::win32::Widen(strSelf));
  for (const std::string& a : args) cmd += L" " + QuoteArgument(plat::win32::Widen(a));

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE hOutRead = nullptr, hOutWrite = nullptr, hErrRead = nullptr, hErrWrite = nullptr;
  if (!CreatePipe(&hOutRead, &hOutWrite, &sa, 0) || !CreatePipe(&hErrRead, &hErrWrite, &sa, 0)) {
    *pstrError = "no pipe for the child: " + plat::win32::SystemMessage(GetLastError());
    for (HANDLE h : {hOutRead, hOutWrite, hErrRead, hErrWrite})
      if (h) CloseHandle(h);
    return -1;
  }
  // Only the child's ends are inherited.
  SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(hErrRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE hNull = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = hNull;
  si.hStdOutput = hOutWrite;
  si.hStdError = hErrWrite;
  PROCESS_INFORMATION pi{};
  // A process group of its own, so that the console's Ctrl-C reaches the
  // parent alone and StopAll can send each child a Ctrl-Break.
  const BOOL bStarted = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                       nullptr, nullptr, &si, &pi);
  const DWORD dwError = GetLastError();
  CloseHandle(hOutWrite);
  CloseHandle(hErrWrite);
  if (hNull != INVALID_HANDLE_VALUE) CloseHandle(hNull);
  if (!bStarted) {
    CloseHandle(hOutRead);
    CloseHandle(hErrRead);
    *pstrError = "the child cannot be started: " + plat::win32::SystemMessage(dwError);
    return -1;
  }
  CloseHandle(pi.hThread);
  const int nChild = static_cast<int>(m->children.size());
  {
    std::lock_guard<std::mutex> lock(m->mutex);
    Impl::Child c;
    c.hProcess = pi.hProcess;
    c.dwPid = pi.dwProcessId;
    c.nOpenPipes = 2;
    m->children.push_back(c);
  }
  m->readers.emplace_back([this, hOutRead, nChild] { m->Read(hOutRead, nChild, false); });
  m->readers.emplace_back([this, hErrRead, nChild] { m->Read(hErrRead, nChild, true); });
  return nChild;
}

ChildGroup::WaitEnd ChildGroup::Wait(std::uint64_t nDeadlineMs, bool bWatchStop, std::vector<Event>* pEvents) {
  for (;;) {
    bool bAnyLeft = false;
    {
      std::lock_guard<std::mutex> lock(m->mutex);
      while (!m->pending.empty()) {
        pEvents->push_back(std::move(m->pending.front()));
        m->pending.pop_front();
      }
      for (std::size_t i = 0; i < m->children.size(); ++i) {
        Impl::Child& c = m->children[i];
        if (c.bReported) continue;
        if (c.nOpenPipes > 0) {
          bAnyLeft = true;
          continue;
        }
        // Both outputs closed: the child has ended or is about to.
        WaitForSingleObject(c.hProcess, INFINITE);
        DWORD dwCode = 255;
        GetExitCodeProcess(c.hProcess, &dwCode);
        Event e;
        e.kind = Event::Kind::Exit;
        e.nChild = static_cast<int>(i);
        e.nStatus = static_cast<int>(dwCode);
        pEvents->push_back(e);
        c.bReported = true;
      }
    }
    if (!pEvents->empty()) return WaitEnd::Events;
    if (!bAnyLeft) return WaitEnd::AllEnded;
    const std::uint64_t nLeft = plat::RemainingMs(nDeadlineMs);
    if (nLeft == 0) return WaitEnd::Deadline;
    HANDLE handles[2] = {m->hWake, nullptr};
    DWORD nHandles = 1;
    const plat::NativeWaitHandle hStop = plat::Stop().NativeHandle();
    if (bWatchStop && hStop != plat::kNoWaitHandle) handles[nHandles++] = reinterpret_cast<HANDLE>(hStop);
    const DWORD dwTimeout = nDeadlineMs == UINT64_MAX ? INFINITE : nLeft >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(nLeft);
    const DWORD r = WaitForMultipleObjects(nHandles, handles, FALSE, dwTimeout);
    if (r == WAIT_OBJECT_0 + 1) return WaitEnd::Stopped;
  }
}

void ChildGroup::StopAll() {
  std::lock_guard<std::mutex> lock(m->mutex);
  for (const Impl::Child& c : m->children)
    if (!c.bReported) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c.dwPid);
}
