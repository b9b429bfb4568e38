// A run: "Load" connects on the window's thread, then a worker thread runs
// the chosen update path (text script or bootloader download), reports the
// outcome, puts the window back into its idle state and closes the link.
//
// Ending the window during a run does not kill the worker: OnOK / OnCancel
// raise the process-wide stop request, every wait and transfer of the run
// ends at once, and the worker leaves without touching the window again; it
// only closes the link. The front end may end the process without waiting
// for it (JoinWorker with a short deadline).
#include <algorithm>
#include <chrono>

#include "link/pacing.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "script/text_script.h"
#include "transport/connection.h"
#include "transport/reader_choice.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/download.h"

// ---- CWorkerThread ----

CWorkerThread::CWorkerThread(std::function<void()> fnRun) {
  m_thread = std::thread([this, fn = std::move(fnRun)] {
    fn();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRunning = false;
    m_done.notify_all();
  });
}

CWorkerThread::~CWorkerThread() {
  if (IsRunning()) plat::Stop().Request();
  if (m_thread.joinable()) m_thread.join();
}

bool CWorkerThread::IsRunning() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bRunning;
}

bool CWorkerThread::Join(std::uint64_t nDeadlineMs) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    // One wait for the time left on the process clock; the worker's end
    // wakes it at once.
    const std::uint64_t nLeftMs = plat::RemainingMs(nDeadlineMs);
    if (!m_done.wait_for(lock, std::chrono::milliseconds(nLeftMs), [this] { return !m_bRunning; })) return false;
  }
  if (m_thread.joinable()) m_thread.join();
  return true;
}

// ---- the window's side ----

bool CTAVDownloadApDlg::IsRunInProgress() const { return m_pWorkerThread && m_pWorkerThread->IsRunning(); }

bool CTAVDownloadApDlg::JoinWorker(std::uint64_t nDeadlineMs) {
  return !m_pWorkerThread || m_pWorkerThread->Join(nDeadlineMs);
}

void CTAVDownloadApDlg::OnLoad() {
  // The run controls are disabled while a worker runs; a click that still
  // arrives (or a front end that calls this directly) starts no second run.
  if (IsRunInProgress()) return;
  StartOutcome();
  g_ReaderChoice.StartRun();  // every open of this run takes the reader it opens first
  CloseInterface();
  UpdateData(TRUE);
  if (!OpenSelectedInterface(false)) {  // the log shows the failure and its help text
    SetRunFailure(RunFailure::kConnect);
    return;
  }
  m_pWorkerThread.reset();                    // the previous run's thread has ended: join it
  m_pWorkerThread = std::make_unique<CWorkerThread>([this] { m_nWorkerExitCode = static_cast<int>(DownloadThreadProc(this)); });
}

namespace {

// The run ends because the window is being closed: leave the window alone,
// release the link, and empty the pacing table that the window left to us
// while we could still read it.
void LeaveAfterStop() {
  CloseInterface();
  ClearTxPacing();
}

// The failed step, from the procedure's result: the file step of either
// path reports a refused or unreadable file with a code of its own.
RunFailure FailureOf(bool bScript, int nResult) {
  if (nResult >= 0) return RunFailure::kNone;
  const bool bFileRefused = bScript ? nResult == SCRIPT_FILE_REFUSED : nResult == DL_LOAD_FILE_FAILED;
  return bFileRefused ? RunFailure::kFileRefused : RunFailure::kProcedure;
}

}  // namespace

UINT DownloadThreadProc(void* pParam) {
  CTAVDownloadApDlg* pDialog = static_cast<CTAVDownloadApDlg*>(pParam);
  if (!pDialog) return 0;

  pDialog->EnableRunControls(false);
  int bNewVersion = 0;
  BYTE bInBootMode = 0;
  if (!PrepareRun(pDialog, &bNewVersion, &bInBootMode)) {
    pDialog->SetRunFailure(RunFailure::kProcedure);
    if (plat::Stop().Requested()) {
      LeaveAfterStop();
      return 0;
    }
    pDialog->AppendLog(GetStatusText(STS_SEND_COMMAND_FAIL));
    pDialog->AppendErrorHelp();
    pDialog->EnableRunControls(true);
    pDialog->ResetProgress();
    CloseInterface();
    return 0;
  }

  const int nResult = bNewVersion ? RunTextScript(pDialog, bInBootMode) : DownloadFirmware(pDialog, bInBootMode);
  pDialog->SetRunFailure(FailureOf(bNewVersion != 0, nResult));
  if (plat::Stop().Requested()) {
    LeaveAfterStop();
    return nResult >= 0 ? 1 : 0;
  }

  if (nResult < 0) {
    pDialog->AppendLog("Error, Download Failed");
    pDialog->ResetProgress();
  }
  pDialog->KillTimer(kElapsedTimerId);
  // The bar ends full after every run, whatever range the procedure set.
  if (pDialog->m_pProgress) pDialog->m_pProgress->SetProgressPos(std::max(pDialog->m_nProgressMax, 0));
  CloseInterface();
  pDialog->EnableRunControls(true);
  return nResult >= 0 ? 1 : 0;
}
