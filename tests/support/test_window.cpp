#include "support/test_window.h"

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
