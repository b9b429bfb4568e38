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

// The arguments after the program name, as UTF-8, for the switch search.
void ReadCommandLine() {
  int nArgs = 0;
  LPWSTR* ppArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs);
  std::vector<std::string> args;
  for (int i = 0; ppArgs && i < nArgs; ++i) args.push_back(Utf8FromWide(ppArgs[i]));
  if (ppArgs) LocalFree(ppArgs);
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
  ReadCommandLine();
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
