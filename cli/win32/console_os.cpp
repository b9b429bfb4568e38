#include "cli/console_os.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "cli/outcome.h"
#include "platform/stop.h"

namespace console {
namespace {

// WriteConsoleW takes at most this many UTF-16 units a call on some
// consoles; longer texts go in pieces.
constexpr DWORD kConsoleChunk = 8192;

bool IsConsole(HANDLE h) {
  DWORD dwMode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &dwMode);
}

// A console shows UTF-16; the program's texts are UTF-8. Converting here
// shows them right whatever the console's code page is.
void WriteConsoleText(HANDLE h, std::string_view text) {
  const int nWide = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (nWide <= 0) return;
  std::wstring wide(static_cast<std::size_t>(nWide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), nWide);
  const wchar_t* p = wide.data();
  std::size_t nLeft = wide.size();
  while (nLeft > 0) {
    const DWORD nAsk = nLeft > kConsoleChunk ? kConsoleChunk : static_cast<DWORD>(nLeft);
    DWORD nDone = 0;
    if (!WriteConsoleW(h, p, nAsk, &nDone, nullptr) || nDone == 0) return;
    p += nDone;
    nLeft -= nDone;
  }
}

// A file or a pipe gets the UTF-8 bytes as they are.
void WriteBytes(HANDLE h, std::string_view text) {
  while (!text.empty()) {
    DWORD nDone = 0;
    const DWORD nAsk = text.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(text.size());
    // A closed pipe (ERROR_NO_DATA, ERROR_BROKEN_PIPE) must not end an
    // update: the output is lost, the run goes on.
    if (!WriteFile(h, text.data(), nAsk, &nDone, nullptr) || nDone == 0) return;
    text.remove_prefix(nDone);
  }
}

void WriteTo(DWORD dwStd, std::string_view text) {
  const HANDLE h = GetStdHandle(dwStd);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
  if (IsConsole(h))
    WriteConsoleText(h, text);
  else
    WriteBytes(h, text);
}

std::atomic<int> g_nStopEvents{0};

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD dwEvent) {
  switch (dwEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  if (g_nStopEvents.fetch_add(1) > 0) {
    // The second one ends the process at once, as a second Ctrl-C does on
    // Linux.
    TerminateProcess(GetCurrentProcess(), kExitInterrupted);
    return TRUE;
  }
  plat::Stop().Request();
  if (dwEvent == CTRL_C_EVENT || dwEvent == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console (or logging off) ends the process as soon as this
  // handler returns. Holding this thread gives the run the system's grace
  // time to close the link; the process ends when main returns, or when the
  // system's time-out passes.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void WriteOut(std::string_view text) { WriteTo(STD_OUTPUT_HANDLE, text); }
void WriteErr(std::string_view text) { WriteTo(STD_ERROR_HANDLE, text); }

void InstallStopHandlers() {
  (void)plat::Stop();  // made here, not first inside the handler
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StderrIsTerminal() {
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD dwMode = 0;
  if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &dwMode)) return false;
  // The progress line is redrawn with "\r" and the erase-line sequence: a
  // console that cannot take terminal sequences gets plain lines instead.
  if (dwMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(h, dwMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    const int nColumns = info.srWindow.Right - info.srWindow.Left + 1;
    if (nColumns > 0) return nColumns;
  }
  return 80;
}

void ExitNow(int nStatus) {
  // No destructors, no library clean-up that a hung thread could block.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(nStatus));
  ExitProcess(static_cast<UINT>(nStatus));  // not reached
}

}  // namespace console
