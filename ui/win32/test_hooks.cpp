#include "ui/win32/test_hooks.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ui/dialog_template.h"
#include "ui/dialog_view.h"
#include "ui/win32/wide_text.h"
#include "ui/win32/win32_dialog_view.h"

namespace {

std::string Env(const char* pszName) {
  const wchar_t* pszValue = _wgetenv(WideFromUtf8(pszName).c_str());
  return pszValue ? Utf8FromWide(pszValue) : std::string();
}

void Say(const std::string& strLine) {
  std::printf("readertool: %s\n", strLine.c_str());
  std::fflush(stdout);
}

// Chooses item nIndex of a list as a click would: selection, then the
// selection-change notice to the window.
void ChooseItem(HWND hWnd, int nId, int nIndex) {
  const HWND hList = GetDlgItem(hWnd, nId);
  SendMessageW(hList, CB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
  SendMessageW(hWnd, WM_COMMAND, MAKEWPARAM(nId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(hList));
}

}  // namespace

TestHooks::TestHooks(Win32DialogView& view) : m_view(view) {
  m_strPort = Env(kTestPortEnv);
  m_strClick = Env(kTestClickEnv);
  m_strGrab = Env(kTestGrabEnv);
  if (!Active()) return;
  m_view.SetOnShown([this] { OnWindowUp(); });
  // The run controls are switched in a fixed order ending with the port
  // list, so its switch marks the end of the change.
  if (!m_strClick.empty()) m_view.SetEnableObserver([this](int nId, bool bEnable) { OnEnable(nId, bEnable); });
}

void TestHooks::OnWindowUp() {
  if (m_view.HasEnded()) return;
  const HWND hWnd = m_view.Window();
  if (!m_strPort.empty()) {
    ChooseItem(hWnd, IDC_INTERFACE_LIST, kInterfaceItemRs232);
    const std::wstring strPort = WideFromUtf8(m_strPort);
    const LRESULT nIndex = SendDlgItemMessageW(hWnd, IDC_PORT_LIST, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(strPort.c_str()));
    if (nIndex < 0) Say("no port " + m_strPort + " in the port list");
    else ChooseItem(hWnd, IDC_PORT_LIST, static_cast<int>(nIndex));
  }
  int nButton = 0;
  if (m_strClick == "load") nButton = IDC_LOAD;
  if (m_strClick == "reset") nButton = IDC_RESET_DEFAULT;
  if (nButton) {
    SendDlgItemMessageW(hWnd, nButton, BM_CLICK, 0, 0);
  } else if (!m_strGrab.empty()) {
    GrabAndClose();
  }
}

void TestHooks::OnEnable(int nId, bool bEnable) {
  if (nId != IDC_PORT_LIST) return;
  if (!bEnable && !m_bRunStarted) {
    m_bRunStarted = true;
    Say("run started");
  } else if (bEnable && m_bRunStarted) {
    m_bRunStarted = false;
    Say("run ended");
    // After the switch has returned to its caller.
    if (!m_strGrab.empty()) m_view.PostToWindowThread([this] { GrabAndClose(); });
  }
}

void TestHooks::GrabAndClose() {
  if (m_view.HasEnded()) return;
  const HWND hWnd = m_view.Window();
  if (SaveWindowPicture(hWnd, m_strGrab)) {
    Say("grabbed " + m_strGrab);
  } else {
    Say("could not save " + m_strGrab);
  }
  PostMessageW(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool SaveWindowPicture(HWND hWnd, const std::string& strPath) {
  // Everything painted first, so the picture is what the operator sees.
  RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT rc;
  if (!GetWindowRect(hWnd, &rc)) return false;
  const int cx = rc.right - rc.left;
  const int cy = rc.bottom - rc.top;
  if (cx <= 0 || cy <= 0) return false;

  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  header.biWidth = cx;
  header.biHeight = cy;  // bottom-up rows, as a BMP file stores them
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD nStride = (static_cast<DWORD>(cx) * 3 + 3) & ~3u;
  header.biSizeImage = nStride * static_cast<DWORD>(cy);

  void* pBits = nullptr;
  const HDC hScreen = GetDC(nullptr);
  const HDC hMem = CreateCompatibleDC(hScreen);
  const HBITMAP hBitmap =
      CreateDIBSection(hScreen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &pBits, nullptr, 0);
  bool bSaved = false;
  if (hMem && hBitmap && pBits) {
    const HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    SelectObject(hMem, hOld);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    if (FILE* pFile = _wfopen(WideFromUtf8(strPath).c_str(), L"wb")) {
      bSaved = std::fwrite(&file, sizeof file, 1, pFile) == 1 && std::fwrite(&header, sizeof header, 1, pFile) == 1 &&
               std::fwrite(pBits, header.biSizeImage, 1, pFile) == 1;
      bSaved = std::fclose(pFile) == 0 && bSaved;
    }
  }
  if (hBitmap) DeleteObject(hBitmap);
  if (hMem) DeleteDC(hMem);
  ReleaseDC(nullptr, hScreen);
  return bSaved;
}
