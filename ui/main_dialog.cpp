#include "ui/main_dialog.h"

#include <climits>
#include <cstdio>
#include <initializer_list>

#include "app/app.h"
#include "link/hex_format.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "ui/status_texts.h"

CTAVDownloadApDlg::CTAVDownloadApDlg() = default;

CTAVDownloadApDlg::~CTAVDownloadApDlg() {
  if (m_pView) m_pView->SetEventSink(nullptr);
  if (theApp.GetMainDialog() == this) theApp.SetMainDialog(nullptr);
}

void CTAVDownloadApDlg::AttachView(IDialogView* pView) {
  if (m_pView) m_pView->SetEventSink(nullptr);
  m_pView = pView;
  if (m_pView) m_pView->SetEventSink(this);
}

RunOutcome CTAVDownloadApDlg::GetRunOutcome() const {
  std::lock_guard<std::mutex> lock(m_outcomeMutex);
  return m_outcome;
}

void CTAVDownloadApDlg::StartOutcome() {
  std::lock_guard<std::mutex> lock(m_outcomeMutex);
  m_outcome = RunOutcome();
}

void CTAVDownloadApDlg::SetRunFailure(RunFailure failure) {
  std::lock_guard<std::mutex> lock(m_outcomeMutex);
  m_outcome.failure = failure;
}

void CTAVDownloadApDlg::SetReaderStage(ReaderStage stage) {
  std::lock_guard<std::mutex> lock(m_outcomeMutex);
  m_outcome.stage = stage;
}

void CTAVDownloadApDlg::SetResetNotAccepted() {
  std::lock_guard<std::mutex> lock(m_outcomeMutex);
  m_outcome.bResetNotAccepted = true;
}

void CTAVDownloadApDlg::TakeControlReferences() {
  m_pProgress = m_pView;
  m_pElapsed = m_pView;
}

BOOL CTAVDownloadApDlg::UpdateData(BOOL bSaveAndValidate) {
  if (!m_pView) return FALSE;
  if (bSaveAndValidate) {
    m_strLog = m_pView->GetLogText();
    m_nInterfaceSel = m_pView->GetListSelection(IDC_INTERFACE_LIST);
    m_nBaudSel = m_pView->GetListSelection(IDC_BAUD_LIST);
    m_nPortSel = m_pView->GetListSelection(IDC_PORT_LIST);
  } else {
    m_pView->SetLogText(m_strLog);
  }
  return TRUE;
}

LRESULT CTAVDownloadApDlg::SendWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_LOG_REFRESH || !m_pView) return 0;
  LRESULT lResult = 0;
  m_pView->SendToWindowThread([&] { lResult = OnLogRefresh(wParam, lParam); });
  return lResult;
}

LRESULT CTAVDownloadApDlg::OnLogRefresh(WPARAM, LPARAM) {
  UpdateData(FALSE);
  if (m_pView) m_pView->ScrollLogToEnd();
  return 0;
}

void CTAVDownloadApDlg::AppendLog(const char* pszText, bool bReplace) {
  const char* psz = pszText ? pszText : g_pszNoMsg;
  if (bReplace) {
    m_strLog = psz;
  } else {
    m_strLog += psz;
  }
  m_strLog += "\r\n";
  SendWindowMessage(WM_LOG_REFRESH);
}

void CTAVDownloadApDlg::AppendLog(const std::string* pText, bool bReplace) {
  if (!pText) return;
  if (bReplace) {
    m_strLog = *pText;
  } else {
    m_strLog += *pText;
  }
  m_strLog += "\r\n";
  SendWindowMessage(WM_LOG_REFRESH);
}

void CTAVDownloadApDlg::AppendErrorHelp() { AppendLog(GetStatusText(IsUsbHid() ? STS_HELP_USB : STS_HELP_RS232)); }

void CTAVDownloadApDlg::InitProgress(int nMax, int nPos) {
  if (!m_pProgress) return;
  m_pProgress->SetProgressMarquee(false);
  m_pProgress->SetProgressPos(0);
  m_pProgress->ShowControl(IDC_PROGRESS, true);
  m_nProgressMax = nMax;
  m_pProgress->SetProgressRange(nMax);
  // The bar cannot show a position outside its range.
  m_pProgress->SetProgressPos(nPos < 0 ? 0 : (nPos > nMax ? (nMax < 0 ? 0 : nMax) : nPos));
}

void CTAVDownloadApDlg::SetProgress(int nPos) {
  if (!m_pProgress) return;
  if (nPos == -1) nPos = m_nProgressMax;
  if (nPos > m_nProgressMax) nPos = m_nProgressMax;
  if (nPos < 0) nPos = 0;
  m_pProgress->SetProgressPos(nPos);
}

void CTAVDownloadApDlg::ResetProgress() {
  if (!m_pProgress) return;
  m_pProgress->SetProgressMarquee(false);
  m_pProgress->SetProgressPos(0);
}

void CTAVDownloadApDlg::StartMarquee() {
  if (!m_pProgress) return;
  m_pProgress->ShowControl(IDC_PROGRESS, true);
  m_pProgress->SetProgressMarquee(true);
}

void CTAVDownloadApDlg::StartElapsedTimer() {
  m_dwStartSec = static_cast<DWORD>(plat::NowMs() / 1000);
  if (m_pProgress && m_pElapsed) m_pElapsed->SetElapsedText("00:00");
  SetTimer(kElapsedTimerId, kElapsedTimerMs);
}

void CTAVDownloadApDlg::SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) {
  if (m_pView) m_pView->SetTimer(nIDEvent, nElapseMs);
}

void CTAVDownloadApDlg::KillTimer(UINT_PTR nIDEvent) {
  if (m_pView) m_pView->KillTimer(nIDEvent);
}

void CTAVDownloadApDlg::OnTimer(UINT_PTR nIDEvent) {
  if (nIDEvent != kElapsedTimerId || !m_pProgress || !m_pElapsed) return;
  const DWORD dwSec = static_cast<DWORD>(plat::NowMs() / 1000) - m_dwStartSec;
  char szText[32];
  std::snprintf(szText, sizeof szText, "%02d:%02d", static_cast<int>(dwSec / 60), static_cast<int>(dwSec % 60));
  m_pElapsed->SetElapsedText(szText);
}

void CTAVDownloadApDlg::EnableRunControls(bool bEnable) {
  if (!m_pView) return;
  for (int nId : {IDC_LOAD, IDC_RESET_DEFAULT, IDC_PORT_BUTTON, IDC_INTERFACE_LIST, IDC_BAUD_LIST, IDC_PORT_LIST})
    m_pView->EnableControl(nId, bEnable);
}

int CTAVDownloadApDlg::GetSelectedPortNumber() {
  if (!m_pPortList) return 0;
  const int nSel = m_pPortList->GetListSelection(IDC_PORT_LIST);
  if (nSel < 0) return 0;
  const std::string strItem = m_pPortList->GetListItemText(IDC_PORT_LIST, nSel);
  // The digits after "COM"; an item too short to hold them names no port.
  if (strItem.size() <= 3) return 0;
  long long nPort = 0;
  for (std::size_t i = 3; i < strItem.size() && strItem[i] >= '0' && strItem[i] <= '9'; ++i) {
    nPort = nPort * 10 + (strItem[i] - '0');
    if (nPort > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(nPort);
}

void LogHexDump(CTAVDownloadApDlg* pDialog, const BYTE* pData, DWORD nCount, const char* pszHead,
                const char* pszTail) {
  if (!pDialog) return;
  if (pszHead) pDialog->AppendLog(pszHead);
  if (pData) {
    for (DWORD nDone = 0; nDone < nCount;) {
      const DWORD nLine = nCount - nDone < 16 ? nCount - nDone : 16;
      const std::string strLine = FormatHexLine(pData + nDone, nLine);
      pDialog->AppendLog(&strLine);
      nDone += nLine;
    }
  }
  if (pszTail) pDialog->AppendLog(pszTail);
}

void LogAndProgress(const char* pszText, int nPos) {
  CTAVDownloadApDlg* pDialog = GetMainDialog();
  if (!pDialog) return;
  pDialog->AppendLog(pszText);
  pDialog->SetProgress(nPos);
}
