#include "app/app.h"

CTAVDownloadApp theApp;

CTAVDownloadApp::CTAVDownloadApp() : m_bChkLegacy(false), m_bR2DefNoEncKeys(false) {}

std::string CTAVDownloadApp::JoinCommandLine(int argc, const char* const* argv) {
  std::string strCmdLine;
  for (int i = 1; argv && i < argc; ++i) {
    if (i > 1) strCmdLine += ' ';
    if (argv[i]) strCmdLine += argv[i];
  }
  return strCmdLine;
}

void CTAVDownloadApp::ReadCommandLine() {
  if (m_strCmdLine.empty()) return;
  m_bChkLegacy = m_strCmdLine.find(kSwitchChkLegacy) != std::string::npos;
  m_bR2DefNoEncKeys = m_strCmdLine.find(kSwitchR2DefNoEncKeys) != std::string::npos;
}

CTAVDownloadApDlg* GetMainDialog() { return theApp.GetMainDialog(); }

bool IsChkLegacy() { return theApp.m_bChkLegacy; }

bool IsR2DefNoEncKeys() { return theApp.m_bR2DefNoEncKeys; }
