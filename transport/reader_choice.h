// Which USB reader the link may open.
//
// Several readers may hang on one PC. Left alone, an open takes the first
// known reader that opens, as the connect step always has. Two things narrow
// that down:
//   - a pin: the operator names the reader by its path (readerctl --device);
//     only that interface is ever looked at and opened, not even listed
//     beside others;
//   - following: once a run has opened a reader, every later open of the same
//     run (the reconnect after boot-mode entry, after a restart) takes the
//     same physical reader. Entering its bootloader, a reader drops off the
//     bus and comes back as another USB device, often with another product
//     ID and a new path, so it is found again by where it is plugged in (USB
//     location), then by its serial number; another reader is never taken.
//     When neither is known, the same path is the only match.
// A run starts free again (StartRun), held to the pin when there is one.
//
// CHidDevice::Open and OpenFeatureOnly ask Candidates() for the interfaces
// they may try, in the backend's order, and report the one they opened with
// NoteOpened(). One global object, g_ReaderChoice, used like g_HidDevice by
// the thread that opens the link, one at a time: the window's thread starts a
// run and opens the link, its worker reconnects after it.
#pragma once
#include <string>
#include <vector>

#include "platform/hid.h"

class CReaderChoice {
 public:
  // Only the interface at strPath is opened from now on (until the first open
  // of a run, which is then followed). Empty: any known reader.
  void Pin(const std::string& strPath);
  const std::string& PinnedPath() const { return m_strPin; }

  // A run ("Load", "Reset Default") starts: the reader of the last run is
  // forgotten, and the first reader this run opens is followed.
  void StartRun();
  // Neither pinned nor in a run: as at program start.
  void Reset();

  // The interfaces an open may try now, in the backend's order. False when
  // they cannot be listed at all.
  bool Candidates(plat::IHidBackend& backend, std::vector<plat::HidInterfaceInfo>* pOut) const;
  // The interface an open took. In a run, later opens follow its reader.
  void NoteOpened(const plat::HidInterfaceInfo& itf);

  bool IsFollowing() const { return m_bFollowing; }
  const plat::HidInterfaceInfo& Followed() const { return m_followed; }
  // The reader the opens are held to, for a reason line ("/dev/hidraw3",
  // "at USB location 1-1.4"); empty when any known reader will do.
  std::string Wanted() const;

  // Whether `itf` is the physical reader `known` was, by location, serial
  // number or (knowing neither) path; ranks: 3 location, 2 serial, 1 path, 0 not.
  static int Sameness(const plat::HidInterfaceInfo& known, const plat::HidInterfaceInfo& itf);

 private:
  std::string m_strPin;
  bool m_bInRun = false;
  bool m_bFollowing = false;
  plat::HidInterfaceInfo m_followed;
};

extern CReaderChoice g_ReaderChoice;
