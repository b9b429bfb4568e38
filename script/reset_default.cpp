// "Reset Default": restores the reader's default settings with one command,
// 04-F0 with "/R2Def_04F0_NoEncKeys", 04-0A otherwise. Runs whole on the
// window's thread; its waits pump that thread's events (PumpWait), so the
// window keeps painting and its timer keeps ticking. The window's outcome
// record says which step failed. Both replies are judged: a refused 04-F0
// ends the reset at once; a 04-0A that was refused or not answered still
// gets the waits and the closing line (a reader may restart before it
// answers), and then the failure line, so the reset is not reported done.
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
  int nFailureRow;
  bool bWaitWhenRefused;  // a reset not accepted still gets the waits and the closing line
  bool (*pfnSend)();      // true when the reader accepted the reset
};

bool SendResetF0() { return ResetDefaultF0(); }
bool SendReset0A() { return ResetDefault0A(false); }

const ResetVariant kResetF0 = {
    "===[ Preparing Load Default Setting (04-F0) ]===\r\nPlease wait 5 seconds or later",
    "===[ End of Load Default Setting ( 04-F0) ]===",
    STS_RESET_DEFAULT_04F0_FAILED,
    false,
    SendResetF0,
};
const ResetVariant kReset0A = {
    "===[ Preparing Load Default Setting (04-0A) ]===\r\nPlease wait 5 seconds or later",
    "===[ End of Load Default Setting ( 04-0A) ]===",
    STS_RESET_DEFAULT_040A_FAILED,
    true,
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
      if (!bAccepted) pszFailure = GetStatusText(v.nFailureRow);
      if (bAccepted || v.bWaitWhenRefused) {
        AppendLog("Waiting to System Up and Ready...");
        trace::WaitBecause("the reader restarts");
        PumpWait(kResetSettleMs, FALSE);
        PumpWait(kResetPingMs, TRUE);
        AppendLog(v.pszClosing);
      }
      if (bAccepted)
        failure = RunFailure::kNone;
      else
        SetResetNotAccepted();
    }
  }
  SetRunFailure(failure);
  if (failure != RunFailure::kNone) AppendLog(pszFailure);  // null logs "No Msg"

  CloseInterface();
  EnableRunControls(true);
  ResetProgress();
}
