// The system's HID backend on Windows: interfaces found through SetupAPI
// (the HID class's device interfaces that are present), reports moved with
// the HID class driver. Every buffer is sized from the device's HIDP_CAPS
// and short reports are padded to that length: the driver refuses reports
// of any other size. Input reports are read overlapped with one OVERLAPPED
// and manual-reset event per direction; a read that is still pending when
// its deadline passes stays pending (the next ReadReport waits for it
// instead of issuing a second one) and is cancelled before the handle closes.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
// The HID headers of the cross compiler declare C functions without
// extern "C"; without it the HidD_* and HidP_* calls do not link.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace plat {
namespace {

using win32::IoWait;

bool IsGoneError(DWORD e) {
  return e == ERROR_DEVICE_NOT_CONNECTED || e == ERROR_DEV_NOT_EXIST || e == ERROR_FILE_NOT_FOUND;
}

HidOpenStatus StatusFromError(DWORD e) {
  HidOpenError kind = HidOpenError::Other;
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
      kind = HidOpenError::NotFound;
      break;
    case ERROR_ACCESS_DENIED: kind = HidOpenError::AccessDenied; break;
    case ERROR_SHARING_VIOLATION: kind = HidOpenError::Busy; break;
    default: break;
  }
  return {kind, static_cast<long>(e), win32::SystemMessage(e)};
}

// Whether any report of the device carries a report ID.
bool HasReportIds(PHIDP_PREPARSED_DATA pData, const HIDP_CAPS& caps) {
  struct Kind {
    HIDP_REPORT_TYPE type;
    USHORT nButtons, nValues;
  };
  const Kind kinds[] = {{HidP_Input, caps.NumberInputButtonCaps, caps.NumberInputValueCaps},
                        {HidP_Output, caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps},
                        {HidP_Feature, caps.NumberFeatureButtonCaps, caps.NumberFeatureValueCaps}};
  for (const Kind& k : kinds) {
    if (k.nButtons) {
      std::vector<HIDP_BUTTON_CAPS> b(k.nButtons);
      USHORT n = k.nButtons;
      if (HidP_GetButtonCaps(k.type, b.data(), &n, pData) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < n; ++i)
          if (b[i].ReportID) return true;
    }
    if (k.nValues) {
      std::vector<HIDP_VALUE_CAPS> v(k.nValues);
      USHORT n = k.nValues;
      if (HidP_GetValueCaps(k.type, v.data(), &n, pData) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < n; ++i)
          if (v[i].ReportID) return true;
    }
  }
  return false;
}

class Win32HidHandle final : public IHidHandle {
 public:
  Win32HidHandle(HANDLE h, bool featureOnly) : m_h(h), m_featureOnly(featureOnly) {
    m_ovRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_ovWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Win32HidHandle() override {
    // The driver owns the read buffer while a read is pending: cancel it and
    // wait for it to let go before the buffer and the handle go.
    if (m_readPending) win32::CancelAndCollect(m_h, &m_ovRead, nullptr);
    CloseHandle(m_h);
    if (m_ovRead.hEvent) CloseHandle(m_ovRead.hEvent);
    if (m_ovWrite.hEvent) CloseHandle(m_ovWrite.hEvent);
  }
  Win32HidHandle(const Win32HidHandle&) = delete;
  Win32HidHandle& operator=(const Win32HidHandle&) = delete;

  bool GetAttributes(std::uint16_t* vid, std::uint16_t* pid) override {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!HidD_GetAttributes(m_h, &a)) return FailLast();
    *vid = a.VendorID;
    *pid = a.ProductID;
    return true;
  }

  bool GetCaps(HidCaps* caps) override {
    if (!LoadCaps()) return false;
    *caps = m_caps;
    return true;
  }

  HidIo ReadReport(std::uint8_t* buf, std::size_t len, std::size_t* got, std::uint64_t deadlineMs) override {
    *got = 0;
    if (m_featureOnly || !buf || len == 0) return FailIo(ERROR_INVALID_HANDLE);
    if (!LoadCaps()) return HidIo::Error;
    if (m_caps.InputReportByteLength == 0 || !m_ovRead.hEvent) return FailIo(ERROR_INVALID_FUNCTION);
    if (!m_readPending) {
      m_readBuf.assign(m_caps.InputReportByteLength, 0);
      ResetEvent(m_ovRead.hEvent);
      if (!ReadFile(m_h, m_readBuf.data(), static_cast<DWORD>(m_readBuf.size()), nullptr, &m_ovRead)) {
        const DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) return FailIo(e);
      }
      m_readPending = true;
    }
    DWORD dwWaitError = 0;
    switch (win32::WaitForEvent(m_ovRead.hEvent, deadlineMs, &dwWaitError)) {
      case IoWait::Ready: break;
      case IoWait::Timeout: return HidIo::Timeout;  // the read stays pending for the next call
      case IoWait::Stopped: return HidIo::Stopped;
      case IoWait::Error: return FailIo(dwWaitError);
    }
    m_readPending = false;
    DWORD n = 0;
    if (!GetOverlappedResult(m_h, &m_ovRead, &n, FALSE)) return FailIo(GetLastError());
    // Whole reports of the asked length, as the layer above expects: a short
    // one is filled up with zeros, a long one is cut.
    const std::size_t have = std::min<std::size_t>(n, len);
    std::memcpy(buf, m_readBuf.data(), have);
    std::memset(buf + have, 0, len - have);
    *got = len;
    return HidIo::Ok;
  }

  HidIo WriteReport(const std::uint8_t* buf, std::size_t len, std::size_t* written, std::uint64_t deadlineMs) override {
    *written = 0;
    if (m_featureOnly || !buf || len == 0) return FailIo(ERROR_INVALID_HANDLE);
    if (!LoadCaps()) return HidIo::Error;
    if (!m_ovWrite.hEvent || len > m_caps.OutputReportByteLength) return FailIo(ERROR_INVALID_PARAMETER);
    std::vector<std::uint8_t> report(m_caps.OutputReportByteLength, 0);
    std::memcpy(report.data(), buf, len);
    ResetEvent(m_ovWrite.hEvent);
    if (!WriteFile(m_h, report.data(), static_cast<DWORD>(report.size()), nullptr, &m_ovWrite)) {
      const DWORD e = GetLastError();
      if (e != ERROR_IO_PENDING) return FailIo(e);
    }
    DWORD dwWaitError = 0;
    const IoWait w = win32::WaitForEvent(m_ovWrite.hEvent, deadlineMs, &dwWaitError);
    if (w != IoWait::Ready) {
      // The report buffer is this call's: the write may not outlive it.
      win32::CancelAndCollect(m_h, &m_ovWrite, nullptr);
      if (w == IoWait::Timeout) return HidIo::Timeout;
      if (w == IoWait::Stopped) return HidIo::Stopped;
      return FailIo(dwWaitError);
    }
    DWORD n = 0;
    if (!GetOverlappedResult(m_h, &m_ovWrite, &n, FALSE)) return FailIo(GetLastError());
    *written = std::min<std::size_t>(n, len);
    return HidIo::Ok;
  }

  bool SetFeature(const std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0 || !LoadCaps()) return Fail(ERROR_INVALID_PARAMETER);
    if (len > m_caps.FeatureReportByteLength) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::uint8_t> report(m_caps.FeatureReportByteLength, 0);
    std::memcpy(report.data(), buf, len);
    if (!HidD_SetFeature(m_h, report.data(), static_cast<ULONG>(report.size()))) return FailLast();
    return true;
  }

  bool GetFeature(std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0 || !LoadCaps()) return Fail(ERROR_INVALID_PARAMETER);
    if (m_caps.FeatureReportByteLength == 0) return Fail(ERROR_INVALID_FUNCTION);
    // Byte 0 names the report; the driver fills in the rest, ID included,
    // into a buffer of exactly the device's feature report length.
    std::vector<std::uint8_t> report(m_caps.FeatureReportByteLength, 0);
    report[0] = buf[0];
    if (!HidD_GetFeature(m_h, report.data(), static_cast<ULONG>(report.size()))) return FailLast();
    const std::size_t n = std::min(len, report.size());
    std::memcpy(buf, report.data(), n);
    std::memset(buf + n, 0, len - n);
    return true;
  }

  int LastError() const override { return static_cast<int>(m_err); }

 private:
  bool Fail(DWORD e) {
    m_err = e;
    return false;
  }
  bool FailLast() { return Fail(GetLastError()); }
  HidIo FailIo(DWORD e) {
    m_err = e;
    return IsGoneError(e) ? HidIo::Gone : HidIo::Error;
  }

  bool LoadCaps() {
    if (m_capsKnown) return true;
    PHIDP_PREPARSED_DATA pData = nullptr;
    if (!HidD_GetPreparsedData(m_h, &pData)) return FailLast();
    HIDP_CAPS caps{};
    const NTSTATUS status = HidP_GetCaps(pData, &caps);
    if (status != HIDP_STATUS_SUCCESS) {
      HidD_FreePreparsedData(pData);
      return Fail(ERROR_INVALID_DATA);
    }
    // The class driver's lengths already count the report-ID byte.
    m_caps.InputReportByteLength = caps.InputReportByteLength;
    m_caps.OutputReportByteLength = caps.OutputReportByteLength;
    m_caps.FeatureReportByteLength = caps.FeatureReportByteLength;
    m_caps.bReportIds = HasReportIds(pData, caps);
    HidD_FreePreparsedData(pData);
    m_capsKnown = true;
    return true;
  }

  HANDLE m_h;
  bool m_featureOnly;
  OVERLAPPED m_ovRead{};
  OVERLAPPED m_ovWrite{};
  bool m_readPending = false;
  std::vector<std::uint8_t> m_readBuf;
  bool m_capsKnown = false;
  HidCaps m_caps;
  DWORD m_err = 0;
};

// Opens an interface path for a query: no access rights, shared with anyone.
HANDLE OpenForQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Where the USB device that a HID interface belongs to is plugged in: the
// first location path of that device ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)"),
// which names the ports and not the device, so a reader that comes back as
// its bootloader keeps it. The HID device's parent is the USB device, or for
// a composite device its interface ("USB\VID_..&MI_00"), whose parent is.
// Empty when the interface has no USB device above it.
std::string UsbLocationOf(DEVINST inst) {
  for (int up = 0; up < 3; ++up) {
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, inst, 0) != CR_SUCCESS) return {};
    inst = parent;
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Device_IDW(inst, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    if (_wcsnicmp(id, L"USB\\", 4) != 0 || wcsstr(id, L"&MI_")) continue;
    wchar_t paths[1024] = {};
    ULONG len = sizeof paths - sizeof(wchar_t);  // room for the list's closing zero
    if (CM_Get_DevNode_Registry_PropertyW(inst, CM_DRP_LOCATION_PATHS, nullptr, paths, &len, 0) == CR_SUCCESS &&
        paths[0])
      return win32::Narrow(paths);
    // Without location paths (older systems): the instance ID, which names
    // the device rather than the port; better than nothing.
    return win32::Narrow(id);
  }
  return {};
}

// The device's serial number string; empty when it has none.
std::string SerialOf(HANDLE h) {
  wchar_t serial[128] = {};  // the longest USB string descriptor is 126 characters
  if (!HidD_GetSerialNumberString(h, serial, sizeof serial - sizeof(wchar_t))) return {};
  return win32::Narrow(serial);
}

class Win32HidBackend final : public IHidBackend {
 public:
  bool Enumerate(std::vector<HidInterfaceInfo>* out) override {
    if (!List(nullptr, out)) return false;
    std::sort(out->begin(), out->end(),
              [](const HidInterfaceInfo& a, const HidInterfaceInfo& b) { return a.path < b.path; });
    return true;
  }

  // The interface set is walked as for the listing, but only the interface
  // with this path is opened for its attributes.
  bool Describe(const std::string& path, HidInterfaceInfo* out) override {
    std::vector<HidInterfaceInfo> one;
    if (!List(&path, &one) || one.empty()) return false;
    *out = std::move(one.front());
    return true;
  }

  std::unique_ptr<IHidHandle> Open(const std::string& path, HidOpenMode mode, HidOpenStatus* status) override {
    HidOpenStatus dummy;
    HidOpenStatus& err = status ? *status : dummy;
    err = {};
    const std::wstring wpath = win32::Widen(path);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (mode == HidOpenMode::Exclusive) {
      // Share mode 0: nobody else may read or write the device while we do.
      h = CreateFileW(wpath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                      nullptr);
    } else {
      // Capabilities and feature reports need no access rights to the device.
      h = OpenForQuery(wpath);
    }
    if (h == INVALID_HANDLE_VALUE) {
      err = StatusFromError(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32HidHandle>(h, mode == HidOpenMode::FeatureOnly);
  }

 private:
  // The present HID interfaces (only the one at *pOnly when given), each
  // opened for a query to read its identity and serial number.
  static bool List(const std::string* pOnly, std::vector<HidInterfaceInfo>* out) {
    out->clear();
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO devs = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devs == INVALID_HANDLE_VALUE) return false;
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA ifData{};
      ifData.cbSize = sizeof ifData;
      if (!SetupDiEnumDeviceInterfaces(devs, nullptr, &guid, i, &ifData)) break;  // ERROR_NO_MORE_ITEMS
      DWORD dwNeeded = 0;
      SetupDiGetDeviceInterfaceDetailW(devs, &ifData, nullptr, 0, &dwNeeded, nullptr);
      if (dwNeeded < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
      std::vector<BYTE> detailBuf(dwNeeded);
      auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuf.data());
      pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      SP_DEVINFO_DATA devData{};
      devData.cbSize = sizeof devData;
      if (!SetupDiGetDeviceInterfaceDetailW(devs, &ifData, pDetail, dwNeeded, nullptr, &devData)) continue;
      const std::wstring path = pDetail->DevicePath;
      const std::string narrowPath = win32::Narrow(path.c_str());
      // Interface paths differ in case only from what the system returned before.
      if (pOnly && _stricmp(narrowPath.c_str(), pOnly->c_str()) != 0) continue;
      // An interface that cannot even be queried (gone since the list was
      // made, or a keyboard the system keeps to itself) is left out.
      HANDLE h = OpenForQuery(path);
      if (h == INVALID_HANDLE_VALUE) continue;
      HIDD_ATTRIBUTES a{};
      a.Size = sizeof a;
      const bool bAttr = HidD_GetAttributes(h, &a);
      const std::string serial = bAttr ? SerialOf(h) : std::string();
      CloseHandle(h);
      if (!bAttr) continue;
      out->push_back({narrowPath, a.VendorID, a.ProductID, serial, UsbLocationOf(devData.DevInst)});
    }
    SetupDiDestroyDeviceInfoList(devs);
    return true;
  }
};

}  // namespace

IHidBackend& SystemHidBackend() {
  static Win32HidBackend backend;
  return backend;
}

}  // namespace plat
