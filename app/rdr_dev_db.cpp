#include "app/rdr_dev_db.h"

#include <mutex>
#include <new>

#include "app/known_readers.h"

namespace {
std::mutex g_dbMutex;
CRdrDevDB* g_pDb = nullptr;
}  // namespace

CRdrDevDB::~CRdrDevDB() { delete[] m_pItems; }

bool CRdrDevDB::Build() {
  m_pItems = new (std::nothrow) RdrDevItem[kKnownReaderCount];
  if (!m_pItems) return false;
  for (std::size_t i = 0; i < kKnownReaderCount; ++i) m_pItems[i] = {g_KnownReaders[i].wVid, g_KnownReaders[i].wPid};
  m_nCount = static_cast<int>(kKnownReaderCount);
  return true;
}

CRdrDevDB* CRdrDevDB::Instance() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (!g_pDb) {
    CRdrDevDB* pDb = new (std::nothrow) CRdrDevDB;
    if (!pDb) return nullptr;
    if (!pDb->Build()) {
      delete pDb;
      return nullptr;
    }
    g_pDb = pDb;
  }
  return g_pDb;
}

void CRdrDevDB::Destroy() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  delete g_pDb;
  g_pDb = nullptr;
}

int CRdrDevDB::GetDevices(RdrDevItem* pItems, int nMax, int* pnCount) const {
  if (!pItems) return -1;
  if (nMax <= 0) return -2;
  const int nCount = nMax < m_nCount ? nMax : m_nCount;
  if (pnCount) *pnCount = nCount;
  for (int i = 0; i < nCount; ++i) pItems[i] = m_pItems[i];
  return 0;
}
