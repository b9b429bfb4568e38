// "Reset Default": restores the reader's default settings with one command,
// 04-F0 with "/R2Def_04F0_NoEncKeys", 04-0A otherwise. Runs whole on the
// window's thread; its waits pump that thread's events (PumpWait), so the
// window keeps painting and its timer keeps ticking. The window's outcome
// record says which step failed; the 04-0A reply is not judged, so a reader
// that did not accept it only marks the record.
#include "app/app.h"
#include "link/commands.h"
#include "link/dispatch.h"
#include "link/trace.h"
#include "transport/connection.h"
#include "transport/reader_choice.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

// The 29-00 answer is taken into this much room and not looked at.
constexpr int kFwVersionCap = 1024;
// After the reset: plain waiting, then pinging until the reader answers.
constexpr DWORD kResetSettleMs = 5000;
constexpr DWORD kResetPingMs = 5000;

struct ResetVariant {
  const char* pszOpening;
  const char* pszClosing;
  int nFailureRow;  // -1: the reply is not judged, so there is no failure line
  bool (*pfnSend)();  // true when the reader accepted the reset
};

bool SendResetF0() { return ResetDefaultF0(); }
bool SendReset0A() { return ResetDefault0A(false); }

const ResetVariant kResetF0 = {
    "===[ Preparing Load Default Setting (04-F0) ]===\r\nPlease wait 5 seconds or later",
    "===[ End of Load Default Setting ( 04-F0) ]===",
    STS_RESET_DEFAULT_04F0_FAILED,
    SendResetF0,
};
const ResetVariant kReset0A = {
    "===[ Preparing Load Default Setting (04-0A) ]===\r\nPlease wait 5 seconds or later",
    "===[ End of Load Default Setting ( 04-0A) ]===",
    -1,
    SendReset0A,
};

}  // namespace

void CTAVDownloadApDlg::OnResetDefault() {
  StartOutcome();
  g_ReaderChoice.StartRun();  // every open of this run takes the reader it opens first
  EnableRunControls(false);
  CloseInterface();
  UpdateData(TRUE);
  StartMarquee();

  // Null until a step fails with a line of its own; a failed connect or
  // version query leaves it null and the log gets the fallback text.
  const char* pszFailure = nullptr;
  RunFailure failure = RunFailure::kProcedure;
  if (!OpenSelectedInterface(true)) {
    failure = RunFailure::kConnect;
  } else {
    BYTE fwVersion[kFwVersionCap];
    int nLen = kFwVersionCap;
    if (GetFwVersion(fwVersion, &nLen)) {
      const ResetVariant& v = IsR2DefNoEncKeys() ? kResetF0 : kReset0A;
      AppendLog(v.pszOpening);
      const bool bAccepted = v.pfnSend();
      if (bAccepted || v.nFailureRow < 0) {
        // A reply that is not judged is only noted in the outcome.
        if (!bAccepted) SetResetNotAccepted();
        AppendLog("Waiting to System Up and Ready...");
        trace::WaitBecause("the reader restarts");
        PumpWait(kResetSettleMs, FALSE);
        PumpWait(kResetPingMs, TRUE);
        AppendLog(v.pszClosing);
        failure = RunFailure::kNone;
      } else {
        pszFailure = GetStatusText(v.nFailureRow);
      }
    }
  }
  SetRunFailure(failure);
  if (failure != RunFailure::kNone) AppendLog(pszFailure);  // null logs "No Msg"

  CloseInterface();
  EnableRunControls(true);
  ResetProgress();
}
