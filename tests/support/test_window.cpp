#include "support/test_window.h"

#include "app/app.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "transport/hid_device.h"
#include "transport/reader_choice.h"
#include "transport/rs232_port.h"

void AttachTestWindow(CTAVDownloadApDlg& dlg, RecordingView& view, const std::string& port, int nBaudIndex) {
  dlg.AttachView(&view);
  dlg.TakeControlReferences();
  dlg.m_pPortList = &view;
  dlg.m_pBaudList = &view;
  view.AddListItem(IDC_PORT_LIST, port);
  view.SetListSelection(IDC_PORT_LIST, 0);
  view.SetListSelection(IDC_BAUD_LIST, nBaudIndex);
}

std::vector<WORD> RequestCodes(const ReaderModel& reader) {
  std::vector<WORD> codes;
  for (const auto& e : reader.Transcript())
    if (e.kind == TranscriptEntry::Request) codes.push_back(e.wCode);
  return codes;
}

void ResetLinkGlobals() {
  g_Rs232Port.Close();
  g_HidDevice.Close();
  g_HidDevice.SetTaggedReports(0);
  g_nInterface = kInterfaceRs232;
  ClearTxPacing();
  g_ReaderChoice.Reset();
}

void ResetProcessState() {
  ResetLinkGlobals();
  theApp.m_bChkLegacy = false;
  theApp.m_bR2DefNoEncKeys = false;
  theApp.SetMainDialog(nullptr);
}

void PrintTo(const RunOutcome& outcome, std::ostream* pOut) {
  static const char* const kFailures[] = {"none", "connect", "file refused", "procedure"};
  static const char* const kStages[] = {"not entered", "in bootloader", "restarting"};
  *pOut << "{failure " << kFailures[static_cast<int>(outcome.failure)] << ", reader "
        << kStages[static_cast<int>(outcome.stage)] << (outcome.bResetNotAccepted ? ", reset not accepted}" : "}");
}
