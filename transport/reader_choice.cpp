#include "transport/reader_choice.h"

#include <algorithm>

CReaderChoice g_ReaderChoice;

namespace {

// The best rank an interface can reach against a known reader: what its
// identity allows to be compared.
int TopRank(const plat::HidInterfaceInfo& known) {
  if (!known.location.empty()) return 3;
  if (!known.serial.empty()) return 2;
  return 1;
}

}  // namespace

void CReaderChoice::Pin(const std::string& strPath) { m_strPin = strPath; }

void CReaderChoice::StartRun() {
  m_bInRun = true;
  m_bFollowing = false;
  m_followed = {};
}

void CReaderChoice::Reset() {
  m_strPin.clear();
  m_bInRun = false;
  m_bFollowing = false;
  m_followed = {};
}

int CReaderChoice::Sameness(const plat::HidInterfaceInfo& known, const plat::HidInterfaceInfo& itf) {
  if (!known.location.empty() && itf.location == known.location) return 3;
  if (!known.serial.empty() && itf.serial == known.serial) return 2;
  if (known.location.empty() && known.serial.empty() && itf.path == known.path) return 1;
  return 0;
}

bool CReaderChoice::Candidates(plat::IHidBackend& backend, std::vector<plat::HidInterfaceInfo>* pOut) const {
  pOut->clear();
  if (m_bFollowing) {
    // Still where it was: nothing else is looked at.
    plat::HidInterfaceInfo same;
    if (backend.Describe(m_followed.path, &same) && Sameness(m_followed, same) == TopRank(m_followed)) {
      pOut->push_back(std::move(same));
      return true;
    }
    // It came back elsewhere: the interfaces that match it best, location
    // before serial number; none when no interface is that reader.
    std::vector<plat::HidInterfaceInfo> all;
    if (!backend.Enumerate(&all)) return false;
    int nBest = 0;
    for (const plat::HidInterfaceInfo& itf : all) nBest = std::max(nBest, Sameness(m_followed, itf));
    if (nBest == 0) return true;
    for (plat::HidInterfaceInfo& itf : all)
      if (Sameness(m_followed, itf) == nBest) pOut->push_back(std::move(itf));
    return true;
  }
  if (!m_strPin.empty()) {
    plat::HidInterfaceInfo pinned;
    if (backend.Describe(m_strPin, &pinned)) pOut->push_back(std::move(pinned));
    return true;
  }
  return backend.Enumerate(pOut);
}

void CReaderChoice::NoteOpened(const plat::HidInterfaceInfo& itf) {
  if (!m_bInRun) return;
  m_bFollowing = true;
  m_followed = itf;
}

std::string CReaderChoice::Wanted() const {
  if (!m_bFollowing) return m_strPin;
  if (!m_followed.location.empty()) return m_followed.path + " at USB location " + m_followed.location;
  if (!m_followed.serial.empty()) return m_followed.path + " with serial number " + m_followed.serial;
  return m_followed.path;
}
