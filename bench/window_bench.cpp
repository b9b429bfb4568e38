// bench_window: how long the operator window's thread goes without serving
// its events while the logic works on it.
//
// The window is readertool's own (QtDialogView with the window thread's
// QtEventPump), on Qt's offscreen platform, against a running readersim that
// serves a pseudo-terminal as COM<n> and the HID simulator socket. A 10 ms
// timer of the window thread stamps each tick; the longest gap between two
// ticks is what an operator would see as a frozen window. Phases:
//
//   reset-rs232  "Reset Default" over RS-232 (the handler runs on the window
//                thread: connect with a ping, 29-00, 04-0A, 5 s wait, pings)
//   reset-usb    the same over USB HID
//   run-usb      "Load" over USB HID with the given script: the connect step
//                on the window thread, then the worker's run while the window
//                serves its log refreshes, progress and elapsed-time timer
//
// Output, one line a phase: "GAP <phase> <longest gap ms> <ticks> <1 ok|0>".
//
// Usage: bench_window --com N --baud N --script FILE
//        (READERTOOL_COM_DIR and READERTOOL_HID_SIM name readersim's line and
//        socket; QT_QPA_PLATFORM=offscreen)
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "ui/main_dialog.h"
#include "ui/qt/qt_dialog_view.h"
#include "ui/qt/qt_event_pump.h"

namespace {

constexpr int kTickMs = 10;

// Stamps the ticks of a window-thread timer and keeps the longest gap.
class TickWatch {
 public:
  TickWatch() {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kTickMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { OnTick(); });
  }
  void Begin() {
    m_dMaxGapMs = 0;
    m_nTicks = 0;
    m_last = Clock::now();
    m_timer.start();
  }
  void End() {
    OnTick();  // the stretch since the last tick counts too
    m_timer.stop();
  }
  double MaxGapMs() const { return m_dMaxGapMs; }
  int Ticks() const { return m_nTicks; }

 private:
  using Clock = std::chrono::steady_clock;
  void OnTick() {
    const auto now = Clock::now();
    m_dMaxGapMs = std::max(m_dMaxGapMs, std::chrono::duration<double, std::milli>(now - m_last).count());
    m_last = now;
    ++m_nTicks;
  }
  QTimer m_timer;
  Clock::time_point m_last;
  double m_dMaxGapMs = 0;
  int m_nTicks = 0;
};

// Chooses a list item as the operator does; the interface list tells the
// logic through its "activated" signal.
bool Choose(QComboBox* pList, const QString& strItem) {
  const int nIndex = pList->findText(strItem);
  if (nIndex < 0) return false;
  pList->setCurrentIndex(nIndex);
  emit pList->activated(nIndex);
  return true;
}

void Report(const char* pszPhase, const TickWatch& w, bool bOk) {
  std::printf("GAP %s %.1f %d %d\n", pszPhase, w.MaxGapMs(), w.Ticks(), bOk ? 1 : 0);
  std::fflush(stdout);
}

bool LogHas(QtDialogView& view, const char* pszText) { return view.GetLogText().find(pszText) != std::string::npos; }

}  // namespace

int main(int argc, char** argv) {
  int nCom = 0;
  int nBaud = 115200;
  std::string strScript;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--com") nCom = std::atoi(argv[i + 1]);
    else if (a == "--baud") nBaud = std::atoi(argv[i + 1]);
    else if (a == "--script") strScript = argv[i + 1];
  }
  if (nCom <= 0 || strScript.empty()) {
    std::fprintf(stderr, "usage: bench_window --com N --baud N --script FILE\n");
    return 64;
  }
  setenv(kTestChooseFileEnv, strScript.c_str(), 1);

  QApplication app(argc, argv);
  CTAVDownloadApDlg dlg;
  QtDialogView view(dlg);
  dlg.AttachView(&view);
  theApp.SetMainDialog(&dlg);
  QtEventPump pump;
  plat::ScopedThreadPump usePump(pump);
  dlg.OnInitDialog();
  view.show();

  TickWatch watch;
  int nFailed = 0;

  // "Reset Default" over RS-232: the click returns when the handler is done.
  bool bOk = Choose(view.InterfaceList(), QStringLiteral("RS232")) &&
             Choose(view.PortList(), QStringLiteral("COM%1").arg(nCom)) &&
             Choose(view.BaudList(), QString::number(nBaud));
  watch.Begin();
  if (bOk) view.ResetDefaultButton()->click();
  watch.End();
  bOk = bOk && LogHas(view, "===[ End of Load Default Setting ( 04-0A) ]===");
  if (!bOk) std::fprintf(stderr, "reset-rs232 log:\n%s\n", view.GetLogText().c_str());
  nFailed += !bOk;
  Report("reset-rs232", watch, bOk);

  // The same over USB HID.
  bOk = Choose(view.InterfaceList(), QStringLiteral("USB"));
  watch.Begin();
  if (bOk) view.ResetDefaultButton()->click();
  watch.End();
  bOk = bOk && LogHas(view, "===[ End of Load Default Setting ( 04-0A) ]===");
  if (!bOk) std::fprintf(stderr, "reset-usb log:\n%s\n", view.GetLogText().c_str());
  nFailed += !bOk;
  Report("reset-usb", watch, bOk);

  // A run over USB HID: the click runs the connect step and starts the
  // worker; the window thread then serves the run until the worker is done.
  watch.Begin();
  view.LoadButton()->click();
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (!dlg.IsRunInProgress()) loop.quit();
  });
  check.start(100);
  if (dlg.IsRunInProgress()) loop.exec();
  check.stop();
  watch.End();
  dlg.JoinWorker(plat::NowMs() + 5000);
  bOk = dlg.GetWorkerExitCode() == 1 && LogHas(view, "100% Done and Rebooting");
  if (!bOk) std::fprintf(stderr, "run-usb log:\n%s\n", view.GetLogText().c_str());
  nFailed += !bOk;
  Report("run-usb", watch, bOk);

  dlg.OnCancel();
  dlg.OnDestroy();
  theApp.SetMainDialog(nullptr);
  dlg.AttachView(nullptr);
  return nFailed ? 1 : 0;
}
