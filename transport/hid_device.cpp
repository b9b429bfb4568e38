#include "transport/hid_device.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "transport/reader_choice.h"

CHidDevice g_HidDevice;

namespace {

// Every making of an event gets a new serial.
std::atomic<unsigned> g_nEventSerial{0};

std::unique_ptr<CHidEvent> MakeEvent(bool bSignalled) {
  auto e = std::make_unique<CHidEvent>();
  e->nSerial = ++g_nEventSerial;
  e->bSignalled = bSignalled;
  return e;
}

// Report mode from the capabilities; -1 when no row of the table fits.
int ModeFromCaps(const plat::HidCaps& c) {
  const bool featureOk = c.FeatureReportByteLength == 0 || c.FeatureReportByteLength == 8;
  if (featureOk && c.InputReportByteLength == 64 && c.OutputReportByteLength == 64) return 0;
  if (featureOk && c.InputReportByteLength == 65 && c.OutputReportByteLength == 65) return 0;
  if (c.FeatureReportByteLength == 8 && c.InputReportByteLength == 0 && c.OutputReportByteLength == 0) return 1;
  return -1;
}

void CopyPath(char (&dst)[1024], const std::string& src) {
  const size_t n = src.size() < sizeof dst - 1 ? src.size() : sizeof dst - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace

CHidDevice::CHidDevice() = default;

CHidDevice::~CHidDevice() { Close(); }

void CHidDevice::CreateEvents() {
  if (!m_hIoEvent) m_hIoEvent = MakeEvent(true);
  if (!m_hWriteEvent) m_hWriteEvent = MakeEvent(false);
  m_ov.hEvent = m_hIoEvent.get();
  m_ov.Offset = 0;
  m_ov.OffsetHigh = 0;
}

void CHidDevice::NoteOpenFailure(const plat::HidOpenStatus& status, const std::string& strPath) {
  // The first refusal of an interface that is there says the most.
  if (m_lastOpenStatus.kind != plat::HidOpenError::NotFound || status.kind == plat::HidOpenError::None) return;
  m_lastOpenStatus = status;
  m_strLastOpenPath = strPath;
}

BOOL CHidDevice::Open(int nVid, int nPid) {
  if (m_hDevice) {
    if (m_nVendorID == nVid && m_nProductID == nPid) return TRUE;
    Close();
  }

  plat::IHidBackend& backend = plat::HidBackend();
  std::vector<plat::HidInterfaceInfo> list;
  m_lastOpenStatus = {plat::HidOpenError::NotFound, 0, {}};
  m_strLastOpenPath.clear();
  // The interfaces the reader choice allows: all, the pinned one, or the
  // reader this run has opened before.
  if (!g_ReaderChoice.Candidates(backend, &list)) return FALSE;

  std::unique_ptr<plat::IHidHandle> found;
  const plat::HidInterfaceInfo* pFound = nullptr;
  for (const plat::HidInterfaceInfo& itf : list) {
    // The interface path must fit the detail record; a longer one ends the search.
    if (itf.path.size() >= sizeof m_szDevicePath) return FALSE;
    // Only interfaces that present the wanted identity are opened: taking the
    // exclusive lock on every HID node of the machine (keyboards, other
    // tools' devices) just to read its IDs would disturb their users.
    if (itf.vendorId != nVid || itf.productId != nPid) continue;
    plat::HidOpenStatus status;
    std::unique_ptr<plat::IHidHandle> h = backend.Open(itf.path, plat::HidOpenMode::Exclusive, &status);
    if (!h) {
      NoteOpenFailure(status, itf.path);
      continue;
    }
    CopyPath(m_szDevicePath, itf.path);
    std::uint16_t vid = 0, pid = 0;
    if (!h->GetAttributes(&vid, &pid) || vid != nVid || pid != nPid) continue;
    // The identity matches: this is the device, whatever its capabilities.
    if (!h->GetCaps(&m_caps)) return FALSE;
    found = std::move(h);
    pFound = &itf;
    break;
  }
  if (!found) return FALSE;
  g_ReaderChoice.NoteOpened(*pFound);

  const int nMode = ModeFromCaps(m_caps);
  if (nMode >= 0) m_nReportMode = nMode;
  if (nMode == 0) CreateEvents();

  m_nVendorID = nVid;
  m_nProductID = nPid;
  m_hDevice = std::move(found);
  return TRUE;
}

BOOL CHidDevice::OpenFeatureOnly(int nVid, int nPid) {
  plat::IHidBackend& backend = plat::HidBackend();
  std::vector<plat::HidInterfaceInfo> list;
  if (!g_ReaderChoice.Candidates(backend, &list)) return FALSE;

  m_hDevice.reset();
  const plat::HidInterfaceInfo* pFound = nullptr;
  for (const plat::HidInterfaceInfo& itf : list) {
    if (itf.vendorId != nVid || itf.productId != nPid) continue;
    plat::HidOpenStatus status;
    m_hDevice = backend.Open(itf.path, plat::HidOpenMode::FeatureOnly, &status);
    if (!m_hDevice) {
      NoteOpenFailure(status, itf.path);
      continue;
    }
    CopyPath(m_szDevicePath, itf.path);
    std::uint16_t vid = 0, pid = 0;
    if (!m_hDevice->GetAttributes(&vid, &pid) || vid != nVid || pid != nPid) {
      m_hDevice.reset();
      continue;
    }
    if (!m_hDevice->GetCaps(&m_caps)) {
      m_hDevice.reset();
      return FALSE;
    }
    pFound = &itf;
    break;
  }
  if (!m_hDevice) return FALSE;
  g_ReaderChoice.NoteOpened(*pFound);
  // Such a device is only ever asked through feature reports, whatever its
  // capabilities say; its identity is not kept, so the next Open searches again.
  m_nReportMode = 1;
  return TRUE;
}

void CHidDevice::Close() {
  m_hDevice.reset();
  m_nVendorID = 0;
  m_nProductID = 0;
  m_ov.hEvent = nullptr;
  m_hIoEvent.reset();
  m_hWriteEvent.reset();
  m_nReportMode = -1;
}

BYTE CHidDevice::SetTaggedReports(BYTE bTagged) {
  m_bTaggedReports = bTagged;
  return m_bTaggedReports;
}
