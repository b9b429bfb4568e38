// The main window's start-up and its own handlers: the serial port list,
// the interface choice, the caption with the program's version, the About
// item, ending the window and its destruction. The controls themselves, the
// icon, the fonts, the tooltip and the system menu belong to the view.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/file_version_info.h"
#include "app/rdr_dev_db.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/stop.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"

namespace {

// The pacing preset the window loads at start-up.
constexpr int kStartupPacingPreset = 2;
// Room for the port numbers EnumComPorts finds.
constexpr int kPortNumberRoom = 256;
constexpr int kCaptionCap = 64;

// The four controls that only RS-232 needs.
constexpr int kRs232Controls[] = {IDC_BAUD_LABEL, IDC_PORT_BUTTON, IDC_BAUD_LIST, IDC_PORT_LIST};

// Sorted as the port list sorts its items: as text, ignoring case, so that
// COM10 comes before COM2.
bool ItemTextLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; };
    return static_cast<unsigned char>(lower(x)) < static_cast<unsigned char>(lower(y));
  });
}

void EndWindow(CTAVDownloadApDlg* pDialog, int nResult) {
  // Closing the window ends whatever is in progress: a worker's run, or the
  // waits of "Reset Default", which run on the window thread itself. Nothing
  // is killed: the stop ends waits and transfers at once.
  plat::Stop().Request();
  // A worker still reads the pacing table until it leaves, so then it empties
  // the table on its way out.
  if (!pDialog->IsRunInProgress()) ClearTxPacing();
  if (IDialogView* pView = pDialog->GetView()) pView->EndDialog(nResult);
}

}  // namespace

BOOL CTAVDownloadApDlg::OnInitDialog() {
  // The view has made the controls from the window template, the system
  // menu's About item (g_pszAboutMenuText), the icon and the fonts.
  UpdateData(FALSE);
  TakeControlReferences();
  if (m_pElapsed) m_pElapsed->SetElapsedText("00:00");
  RefreshComPortList();
  UpdateWindowTitle();
  LoadTxPacingPreset(kStartupPacingPreset);
  // USB is the default; the RS-232 controls stay hidden as the template has
  // them, and the selection-change handler does not run.
  if (m_pView) m_pView->SetListSelection(IDC_INTERFACE_LIST, kInterfaceItemUsb);
  SelectInterface(false);
  return TRUE;
}

bool CTAVDownloadApDlg::RefreshComPortList() {
  if (!m_pView) return false;
  if (!m_pBaudList) {
    m_pBaudList = m_pView;
    m_pBaudList->SetListSelection(IDC_BAUD_LIST, 0);
  }
  if (m_pPortList) {
    m_pPortList->ResetList(IDC_PORT_LIST);
  } else {
    m_pPortList = m_pView;
  }

  int ports[kPortNumberRoom] = {};
  int nCount = 0;
  EnumComPorts(BaudRateAt(m_pBaudList->GetListSelection(IDC_BAUD_LIST)), &nCount, ports);
  if (nCount <= 0) {
    m_pView->MessageBeep(MsgIcon::Exclamation);
    m_pView->ShowMessageBox("No COM Port Available", "Warning", MsgIcon::Exclamation);
    return false;
  }

  std::vector<std::string> items;
  for (int i = 0; i < nCount && i < kPortNumberRoom; ++i) {
    char szItem[16];
    std::snprintf(szItem, sizeof szItem, "COM%d", ports[i]);
    items.emplace_back(szItem);
  }
  std::stable_sort(items.begin(), items.end(), ItemTextLess);
  for (const std::string& strItem : items) m_pPortList->AddListItem(IDC_PORT_LIST, strItem);
  m_pPortList->SetListSelection(IDC_PORT_LIST, 0);
  m_pPortList->EnableControl(IDC_PORT_LIST, true);
  return true;
}

void CTAVDownloadApDlg::OnInterfaceChange() {
  UpdateData(TRUE);
  const bool bRs232 = m_nInterfaceSel == kInterfaceItemRs232;
  SelectInterface(bRs232);
  // The port list keeps what the last refresh found.
  if (!m_pView) return;
  for (int nId : kRs232Controls) m_pView->ShowControl(nId, bRs232);
}

void CTAVDownloadApDlg::UpdateWindowTitle() {
  CFileVersionInfo info;
  const bool bRead = m_strVersionFile.empty() ? info.Create() : info.Create(m_strVersionFile.c_str());
  char szCaption[kCaptionCap];
  if (bRead) {
    std::snprintf(szCaption, sizeof szCaption, "%s V%d.%d%d.%03d %s", g_pszCaptionName, info.GetFileVersion(3),
                  info.GetFileVersion(2), info.GetFileVersion(1), info.GetFileVersion(0), "");
  } else {
    std::snprintf(szCaption, sizeof szCaption, "%s V1.00.000", g_pszCaptionName);
  }
  if (m_pView) m_pView->SetCaption(szCaption);
}

void CTAVDownloadApDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  const UINT nCommand = nID & 0xFFF0;
  if (nCommand == IDM_ABOUTBOX) {
    if (m_pView) m_pView->ShowAboutBox();
  } else if (nCommand == kScClose) {
    OnCancel();
  }
}

void CTAVDownloadApDlg::OnOK() { EndWindow(this, kIdOk); }

void CTAVDownloadApDlg::OnCancel() { EndWindow(this, kIdCancel); }

void CTAVDownloadApDlg::OnDestroy() { CRdrDevDB::Destroy(); }
