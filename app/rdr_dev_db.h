// The known reader list: the (vendor ID, product ID) pairs that the USB
// connect step tries in order. One process-wide object, made on first
// request and destroyed with the main window.
#pragma once
#include "platform/types.h"

struct RdrDevItem {
  WORD wVid;
  WORD wPid;
};

class CRdrDevDB {
 public:
  // The list, made on the first call; null only when memory runs out.
  static CRdrDevDB* Instance();
  // Frees the list; a later Instance() builds a new one.
  static void Destroy();

  // -1 for null pItems, -2 for nMax <= 0; otherwise copies the first
  // min(nMax, count) pairs in list order, stores that number in *pnCount
  // (when pnCount is not null) and returns 0.
  int GetDevices(RdrDevItem* pItems, int nMax, int* pnCount) const;

  CRdrDevDB(const CRdrDevDB&) = delete;
  CRdrDevDB& operator=(const CRdrDevDB&) = delete;

 private:
  CRdrDevDB() = default;
  ~CRdrDevDB();
  bool Build();

  RdrDevItem* m_pItems = nullptr;
  int m_nCount = 0;
};
