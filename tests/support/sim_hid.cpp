#include "support/sim_hid.h"

SimHidDevice::SimHidDevice(fakehid::FakeHidBackend& backend, ReaderModel& model, SimHidMode mode, std::uint16_t vid,
                           std::uint16_t pid)
    : m_front(model, mode, vid, pid), m_dev(backend.AddDeviceWithDescriptor(vid, pid, SimHidReportDescriptor(mode))) {
  if (mode == SimHidMode::FeatureOnly) m_dev.refuseExclusive = plat::HidOpenError::Refused;
  m_dev.onOutput = [this](const fakehid::Report& r) {
    m_front.OnOutputReport(r);
    Deliver();
  };
  m_dev.onSetFeature = [this](const fakehid::Report& r) { m_front.OnSetFeature(r); };
  m_dev.onGetFeature = [this](std::size_t len) { return m_front.OnGetFeature(0, len); };
}

void SimHidDevice::Deliver() {
  std::vector<std::uint8_t> r;
  std::uint64_t due = 0;
  while (m_front.NextInputReport(&r, &due)) m_dev.QueueInput(std::move(r), due);
}
