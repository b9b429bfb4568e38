// readertool.exe: the operator window on Windows.
//
// Start-up as the application object does it: register the common controls,
// read the command line into the two switches, run the one main window
// modally, and end the process when it closes. Closing the window during a
// run raises the stop request, which ends the run's waits and transfers at
// once; the process waits a moment for the worker to leave and then ends
// either way.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/file_version_info.h"
#include "link/trace.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/std_streams.h"
#include "platform/stop.h"
#include "ui/main_dialog.h"
#include "ui/win32/wide_text.h"
#include "ui/win32/win32_dialog_view.h"
#include "ui/win32/win32_event_pump.h"
#ifdef READERTOOL_WINDOW_TEST_HOOKS
#include "ui/win32/test_hooks.h"
#endif

namespace {

constexpr char kApplicationName[] = "readertool";
// How long the process gives a stopped run to leave after the window closed.
constexpr std::uint64_t kWorkerLeaveMs = 300;

// The command line's arguments, the program's name first, as UTF-8.
std::vector<std::string> CommandLineArgs() {
  int nArgs = 0;
  LPWSTR* ppArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs);
  std::vector<std::string> args;
  for (int i = 0; ppArgs && i < nArgs; ++i) args.push_back(Utf8FromWide(ppArgs[i]));
  if (ppArgs) LocalFree(ppArgs);
  return args;
}

// The arguments, for the switch search.
void ReadCommandLine(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& strArg : args) argv.push_back(strArg.c_str());
  theApp.SetCommandLine(static_cast<int>(argv.size()), argv.data());
  theApp.ReadCommandLine();
}

// READERTOOL_TRACE=FILE (or "-" for standard error) turns the link trace on.
// A file that cannot be opened is reported and the window runs without it.
void StartTraceFromEnvironment() {
  const wchar_t* pszTarget = _wgetenv(L"READERTOOL_TRACE");
  if (!pszTarget || !*pszTarget) return;
  const std::string strTarget = Utf8FromWide(pszTarget);
  std::string strError;
  if (!trace::EnableTo(strTarget, kApplicationName, &strError))
    std::fprintf(stderr, "readertool: READERTOOL_TRACE: %s: %s\n", strTarget.c_str(), strError.c_str());
}

// "--version": the version of the program's own version resource (the one
// the caption shows). The program is a GUI program without a console of its
// own: the line goes to standard output when the caller handed one over (a
// redirection or a pipe), else to the console of the program that started
// it (a Command Prompt), else into a message box.
int ShowVersion() {
  const std::string strVersion = OwnVersionText();
  const std::string strLine = strVersion.empty()
                                  ? std::string("readertool: the program's version information cannot be read")
                                  : std::string(kApplicationName) + " " + strVersion;
  const HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
  const DWORD dwType = hOut && hOut != INVALID_HANDLE_VALUE ? GetFileType(hOut) : FILE_TYPE_UNKNOWN;
  bool bShown = false;
  if (dwType == FILE_TYPE_DISK || dwType == FILE_TYPE_PIPE) {
    const std::string strText = strLine + "\n";
    DWORD dwWritten = 0;
    bShown = WriteFile(hOut, strText.data(), static_cast<DWORD>(strText.size()), &dwWritten, nullptr) != FALSE;
  } else if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    const HANDLE hConsole = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (hConsole != INVALID_HANDLE_VALUE) {
      const std::wstring strText = WideFromUtf8(strLine + "\r\n");
      DWORD dwWritten = 0;
      bShown =
          WriteConsoleW(hConsole, strText.data(), static_cast<DWORD>(strText.size()), &dwWritten, nullptr) != FALSE;
      CloseHandle(hConsole);
    }
    FreeConsole();
  }
  if (!bShown)
    MessageBoxW(nullptr, WideFromUtf8(strLine).c_str(), WideFromUtf8(kApplicationName).c_str(),
                MB_OK | (strVersion.empty() ? MB_ICONERROR : MB_ICONINFORMATION));
  return strVersion.empty() ? 1 : 0;
}

// The main window; returns FALSE, so that the process ends instead of
// running a message loop after the window has closed.
BOOL InitInstance(HINSTANCE hInstance) {
  static CTAVDownloadApDlg dlg;  // constructed on first use
  Win32DialogView view(dlg, hInstance);
  dlg.AttachView(&view);
  theApp.SetMainDialog(&dlg);

  // Waits on the window thread ("Reset Default", the connect step) keep
  // dispatching the window's messages.
  Win32EventPump pump;
  plat::ScopedThreadPump usePump(pump);

#ifdef READERTOOL_WINDOW_TEST_HOOKS
  TestHooks hooks(view);
#endif
  // The window's start-up (WM_INITDIALOG) runs the logic's OnInitDialog.
  view.RunModal();
  dlg.OnDestroy();

  if (!dlg.JoinWorker(plat::NowMs() + kWorkerLeaveMs)) {
    // The run has not left yet: end without it. Its link is released with
    // the process.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  theApp.SetMainDialog(nullptr);
  dlg.AttachView(nullptr);
  return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int) {
  plat::KeepStandardStreamsTaken();
  const std::vector<std::string> args = CommandLineArgs();
  for (std::size_t i = 1; i < args.size(); ++i)
    if (args[i] == "--version") return ShowVersion();
  ReadCommandLine(args);
  StartTraceFromEnvironment();

  // The classes of the common controls the window uses (progress bar,
  // tooltip among them).
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  InitInstance(hInstance);
  trace::Disable();
  return 0;
}
