// The connected readers of the known reader list, as list-readers shows
// them and as a batch's --all takes them: every HID interface whose vendor
// and product ID are in the list, in the backend's order. Nothing is opened
// beyond what listing the interfaces takes.
#pragma once
#include <vector>

#include "app/known_readers.h"
#include "platform/hid.h"

struct ConnectedReader {
  plat::HidInterfaceInfo info;
  const KnownReader* pKnown = nullptr;
};

// False when the HID interfaces cannot be listed at all.
bool ConnectedKnownReaders(std::vector<ConnectedReader>* pOut);
