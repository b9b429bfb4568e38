// A simulated reader behind an in-process fake HID device, in virtual time:
// what the host writes (output and set-feature reports) goes to the reader's
// HID front, its answers come back as input reports due at their times, and
// get-feature reports are fetched from it. The device is enumerated with the
// mode's report descriptor; a feature-only device refuses the exclusive open.
//
//   fakehid::FakeHidBackend backend;
//   plat::ScopedHidBackend use(backend);
//   ReaderModel reader;
//   SimHidDevice usb(backend, reader, SimHidMode::Interrupt64);
//   g_HidDevice.Open(kSimReaderVendorId, kSimReaderProductId);
#pragma once
#include <cstdint>

#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "support/fake_hid.h"

class SimHidDevice {
 public:
  SimHidDevice(fakehid::FakeHidBackend& backend, ReaderModel& model, SimHidMode mode,
               std::uint16_t vid = kSimReaderVendorId, std::uint16_t pid = kSimReaderProductId);
  SimHidDevice(const SimHidDevice&) = delete;
  SimHidDevice& operator=(const SimHidDevice&) = delete;

  HidFront& Front() { return m_front; }
  fakehid::FakeHidDevice& Device() { return m_dev; }

 private:
  void Deliver();

  HidFront m_front;
  fakehid::FakeHidDevice& m_dev;
};
