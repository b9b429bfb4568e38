// The one way every run, every mid-run reconnect and the default-settings
// reset open the reader link: close what is open, open the interface chosen
// in the window, and start a fresh log with the outcome. Over USB the first
// known reader opens that the reader choice allows: any, the pinned one, or
// the one this run opened before (transport/reader_choice.h).
#include <string>

#include "app/rdr_dev_db.h"
#include "link/interface_select.h"
#include "transport/connection.h"
#include "ui/connect_step.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

// Room for the pairs of the known reader list.
constexpr int kMaxKnownPairs = 100;

}  // namespace

bool OpenFirstKnownReader(bool bProbe) {
  const CRdrDevDB* pDb = CRdrDevDB::Instance();
  if (!pDb) return false;
  RdrDevItem items[kMaxKnownPairs];
  int nCount = 0;
  if (pDb->GetDevices(items, kMaxKnownPairs, &nCount) != 0) return false;
  for (int i = 0; i < nCount; ++i) {
    if (OpenUsbHid(bProbe, items[i].wVid, items[i].wPid)) return true;
  }
  return false;
}

bool CTAVDownloadApDlg::OpenSelectedInterface(bool bProbe) {
  CloseInterface();
  ClearLinkOpenFailure();

  bool bOk = false;
  if (IsRs232()) {
    UpdateData(TRUE);
    bOk = OpenRs232(GetSelectedPortNumber(), BaudRateAt(m_nBaudSel), bProbe);
  } else if (IsUsbHid()) {
    bOk = OpenFirstKnownReader(bProbe);
  }

  const bool bUsb = IsUsbHid();
  std::string strReport = GetStatusText(bUsb ? STS_OPEN_USB : STS_OPEN_RS232);
  if (bOk) {
    strReport += " success.";
  } else {
    strReport += " fail.\r\n";
    strReport += GetStatusText(bUsb ? STS_HELP_USB : STS_HELP_RS232);
  }
  AppendLog(&strReport, true);
  return bOk;
}
