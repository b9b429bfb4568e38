// The application object: the command-line switches and the main window,
// which code without a window argument (the programming progress callback)
// reaches through it.
#pragma once
#include <atomic>
#include <string>

class CTAVDownloadApDlg;

class CTAVDownloadApp {
 public:
  CTAVDownloadApp();

  // The raw command text: the arguments after the program name, joined by
  // single blanks.
  static std::string JoinCommandLine(int argc, const char* const* argv);
  void SetCommandLine(const std::string& strCmdLine) { m_strCmdLine = strCmdLine; }
  void SetCommandLine(int argc, const char* const* argv) { m_strCmdLine = JoinCommandLine(argc, argv); }
  const std::string& GetCommandLine() const { return m_strCmdLine; }

  // Sets the two switches from the command text: plain, case-sensitive
  // substring search, so a switch may stand anywhere, even inside a word.
  void ReadCommandLine();

  // The main window, once the front end has made it (null before and after).
  void SetMainDialog(CTAVDownloadApDlg* pDialog) { m_pMainWnd.store(pDialog, std::memory_order_release); }
  CTAVDownloadApDlg* GetMainDialog() const { return m_pMainWnd.load(std::memory_order_acquire); }

  bool m_bChkLegacy;
  bool m_bR2DefNoEncKeys;

 private:
  std::string m_strCmdLine;
  std::atomic<CTAVDownloadApDlg*> m_pMainWnd{nullptr};
};

// The one application object of the process.
extern CTAVDownloadApp theApp;

CTAVDownloadApDlg* GetMainDialog();

// The switches; they never change after start-up, so any thread may ask.
bool IsChkLegacy();
bool IsR2DefNoEncKeys();

constexpr char kSwitchChkLegacy[] = "/chklegacy";
constexpr char kSwitchR2DefNoEncKeys[] = "/R2Def_04F0_NoEncKeys";
