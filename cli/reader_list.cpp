#include "cli/reader_list.h"

bool ConnectedKnownReaders(std::vector<ConnectedReader>* pOut) {
  pOut->clear();
  std::vector<plat::HidInterfaceInfo> interfaces;
  if (!plat::HidBackend().Enumerate(&interfaces)) return false;
  for (plat::HidInterfaceInfo& info : interfaces) {
    for (const KnownReader& r : g_KnownReaders) {
      if (r.wVid == info.vendorId && r.wPid == info.productId) {
        pOut->push_back({std::move(info), &r});
        break;
      }
    }
  }
  return true;
}
