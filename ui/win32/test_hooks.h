// Test hooks of readertool.exe, for automated tests and the screenshot
// script only; compiled in only when READERTOOL_WINDOW_TEST_HOOKS is on
// (never in a package). None does anything unless its environment variable
// is set:
//
//   READERTOOL_TEST_PORT=COMn          chooses RS232 in the interface list
//       and port COMn in the port list, as the operator would, once the
//       window is up (before any click).
//   READERTOOL_TEST_CLICK=load|reset   clicks "Load" or "Reset Default" once
//       the window is up, and prints "readertool: run started" when the run
//       controls go off and "readertool: run ended" when they are back on
//       (standard output, one line each).
//   READERTOOL_TEST_GRAB=FILE.bmp      saves a picture of the window, frame
//       included, as a 24-bit BMP file ("readertool: grabbed FILE.bmp"), then
//       closes the window as its close box does: after the clicked run has
//       ended, or at once when nothing is clicked.
//
// The file dialog's hook, READERTOOL_TEST_CHOOSE_FILE, is the view's
// (ui/win32/win32_dialog_view.h).
#pragma once
#include <windows.h>

#include <string>

class Win32DialogView;

constexpr char kTestPortEnv[] = "READERTOOL_TEST_PORT";
constexpr char kTestClickEnv[] = "READERTOOL_TEST_CLICK";
constexpr char kTestGrabEnv[] = "READERTOOL_TEST_GRAB";

class TestHooks {
 public:
  // Reads the environment; call before the window runs.
  explicit TestHooks(Win32DialogView& view);

  bool Active() const { return !m_strPort.empty() || !m_strClick.empty() || !m_strGrab.empty(); }

 private:
  void OnWindowUp();
  void OnEnable(int nId, bool bEnable);
  void GrabAndClose();

  Win32DialogView& m_view;
  std::string m_strPort;
  std::string m_strClick;
  std::string m_strGrab;
  bool m_bRunStarted = false;
};

// Writes what the screen shows of hWnd (frame included) into a 24-bit BMP
// file; false when it could not.
bool SaveWindowPicture(HWND hWnd, const std::string& strPath);
