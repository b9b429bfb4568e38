// readertool: the operator window.
//
// Start-up as the application object does it: read the command line into
// the two switches, run the one main window modally, and end the process
// when it closes. Closing the window during a run raises the stop request,
// which ends the run's waits and transfers at once; the process waits a
// moment for the worker to leave and then ends either way.
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app/file_version_info.h"
#include "link/trace.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/std_streams.h"
#include "platform/stop.h"
#include "ui/main_dialog.h"
#include "ui/qt/dialog_metrics.h"
#include "ui/qt/qt_dialog_view.h"
#include "ui/qt/qt_event_pump.h"
#include "ui/qt/test_hooks.h"

namespace {

constexpr char kDesktopFileName[] = "io.github.readertool.ReaderTool";
constexpr char kApplicationName[] = "readertool";
// How long the process gives a stopped run to leave after the window closed.
constexpr std::uint64_t kWorkerLeaveMs = 300;

void OnTerminateSignal(int) { plat::Stop().Request(); }

// SIGTERM (logout, kill), SIGINT and SIGHUP close the window as its close box
// does; the signal handler only raises the stop request.
void InstallTerminateSignals() {
  struct sigaction action = {};
  action.sa_handler = OnTerminateSignal;
  sigemptyset(&action.sa_mask);
  for (int nSignal : {SIGTERM, SIGINT, SIGHUP}) sigaction(nSignal, &action, nullptr);
}

// READERTOOL_TRACE=FILE (or "-" for standard error) turns the link trace on.
// A file that cannot be opened is reported and the window runs without it.
void StartTraceFromEnvironment() {
  const char* pszTarget = std::getenv("READERTOOL_TRACE");
  if (!pszTarget || !*pszTarget) return;
  std::string strError;
  if (!trace::EnableTo(pszTarget, kApplicationName, &strError))
    std::fprintf(stderr, "readertool: READERTOOL_TRACE: %s: %s\n", pszTarget, strError.c_str());
}

// "--version": the version of the program's own version resource (the one
// the caption shows), printed before Qt starts, so that no display is needed.
int PrintVersion() {
  const std::string strVersion = OwnVersionText();
  if (strVersion.empty()) {
    std::fprintf(stderr, "readertool: the program's version information cannot be read\n");
    return 1;
  }
  std::printf("%s %s\n", kApplicationName, strVersion.c_str());
  return 0;
}

// The main window; returns FALSE, so that the process ends instead of
// running a message loop after the window has closed.
BOOL InitInstance() {
  static CTAVDownloadApDlg dlg;  // constructed on first use
  QtDialogView view(dlg);
  dlg.AttachView(&view);
  theApp.SetMainDialog(&dlg);

  // Waits on the window thread ("Reset Default", the connect step) run the
  // Qt event loop.
  QtEventPump pump;
  plat::ScopedThreadPump usePump(pump);
  QObject::connect(&pump, &QtEventPump::StopRequested, &view, [&] {
    if (!view.HasEnded()) dlg.OnCancel();
  });

  TestHooks hooks(view);
  dlg.OnInitDialog();
  if (!view.HasEnded()) view.Run();
  dlg.OnDestroy();

  if (!dlg.JoinWorker(plat::NowMs() + kWorkerLeaveMs)) {
    // The run has not left yet: end without it. Its link is released with
    // the process.
    std::fflush(nullptr);
    _exit(0);
  }
  theApp.SetMainDialog(nullptr);
  dlg.AttachView(nullptr);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  plat::KeepStandardStreamsTaken();
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--version") == 0) return PrintVersion();

  // The switches are searched in the whole command line, before Qt takes
  // its own options out of it.
  theApp.SetCommandLine(argc, argv);
  theApp.ReadCommandLine();
  InstallTerminateSignals();
  StartTraceFromEnvironment();

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
  QApplication::setWindowIcon(QtDialogView::ProgramIcon());
  InstallFontSubstitutions();

  InitInstance();
  trace::Disable();
  return 0;
}
