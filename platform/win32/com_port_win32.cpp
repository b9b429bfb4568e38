// COM ports on Windows: port n is the device "\\.\COMn" itself (the prefix
// is needed above COM9), and the ports present are the ones the serial
// drivers have registered under HARDWARE\DEVICEMAP\SERIALCOMM. No port is
// opened to find out: opening one would disturb a program using it.
#include <windows.h>

#include <algorithm>

#include "platform/com_port.h"
#include "platform/win32/win32_text.h"

namespace plat {

std::string ComPortPath(int nPort) {
  if (nPort < kMinComPort || nPort > kMaxComPort) return {};
  return "\\\\.\\COM" + std::to_string(nPort);
}

int ComNumberOfPath(const char* pszPath) { return ParseComName(pszPath); }

std::vector<ComPortEntry> ListSystemComPorts() {
  std::vector<ComPortEntry> ports;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
    return ports;  // no serial driver has registered a port
  for (DWORD i = 0;; ++i) {
    // Value names are driver device names (\Device\Serial0); the data is the
    // port name (COM3).
    wchar_t name[256];
    DWORD nName = ARRAYSIZE(name);
    wchar_t data[64] = {};
    DWORD nData = sizeof data - sizeof(wchar_t);
    DWORD dwType = 0;
    const LONG r = RegEnumValueW(hKey, i, name, &nName, nullptr, &dwType, reinterpret_cast<BYTE*>(data), &nData);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || dwType != REG_SZ) continue;
    data[nData / sizeof(wchar_t)] = L'\0';
    const int n = ParseComName(win32::Narrow(data).c_str());
    if (n && std::none_of(ports.begin(), ports.end(), [n](const ComPortEntry& e) { return e.nPort == n; }))
      ports.push_back({n, ComPortPath(n)});
  }
  RegCloseKey(hKey);
  std::sort(ports.begin(), ports.end(), [](const ComPortEntry& a, const ComPortEntry& b) { return a.nPort < b.nPort; });
  return ports;
}

}  // namespace plat
