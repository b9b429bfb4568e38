#include "support/fake_hid.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/hid_descriptor.h"

namespace fakehid {

void FakeHidDevice::QueueInput(Report r, std::uint64_t atMs) { m_inputs.push_back({atMs, std::move(r)}); }

void FakeHidDevice::QueueInputs(const std::vector<Report>& reports, std::uint64_t atMs) {
  for (const Report& r : reports) QueueInput(r, atMs);
}

void FakeHidDevice::FailNth(Op op, int nth, plat::HidIo result) { m_faults.push_back({op, nth, result}); }

bool FakeHidDevice::TakeFault(Op op, plat::HidIo* result) {
  bool hit = false;
  for (Fault& f : m_faults) {
    if (f.left <= 0 || (f.op != Op::Any && f.op != op)) continue;
    if (--f.left == 0 && !hit) {
      hit = true;
      *result = f.result;
    }
  }
  return hit;
}

bool FakeHidDevice::PopInput(std::uint64_t deadlineMs, Report* r, std::uint64_t* atMs) {
  if (m_inputs.empty() && inputSource) {
    Report gen;
    if (inputSource(&gen)) m_inputs.push_back({0, std::move(gen)});
  }
  if (m_inputs.empty() || m_inputs.front().atMs > deadlineMs) return false;
  *atMs = m_inputs.front().atMs;
  *r = std::move(m_inputs.front().bytes);
  m_inputs.pop_front();
  return true;
}

Report FakeHidDevice::NextFeature(std::size_t len) {
  Report r;
  if (!m_features.empty()) {
    r = std::move(m_features.front());
    m_features.pop_front();
  } else if (onGetFeature) {
    r = onGetFeature(len);
  }
  r.resize(len, 0);
  return r;
}

namespace {

class FakeHidHandle final : public plat::IHidHandle {
 public:
  FakeHidHandle(std::shared_ptr<FakeHidDevice> dev, bool exclusive) : m_dev(std::move(dev)), m_exclusive(exclusive) {
    ++m_dev->openHandles;
    if (m_exclusive)
      m_dev->exclusiveHeld = true;
    else
      ++m_dev->sharedHandles;
  }
  ~FakeHidHandle() override {
    --m_dev->openHandles;
    if (m_exclusive)
      m_dev->exclusiveHeld = false;
    else
      --m_dev->sharedHandles;
  }

  bool GetAttributes(std::uint16_t* vid, std::uint16_t* pid) override {
    if (m_dev->failAttributes) return false;
    *vid = m_dev->attrVendorId;
    *pid = m_dev->attrProductId;
    return true;
  }

  bool GetCaps(plat::HidCaps* caps) override {
    if (m_dev->failCaps) return false;
    *caps = m_dev->caps;
    return true;
  }

  plat::HidIo ReadReport(std::uint8_t* buf, std::size_t len, std::size_t* got, std::uint64_t deadlineMs) override {
    *got = 0;
    ++m_dev->reads;
    if (!m_exclusive) return plat::HidIo::Error;
    if (!m_dev->present) return plat::HidIo::Gone;
    plat::HidIo fault;
    if (m_dev->TakeFault(Op::Read, &fault) || m_dev->TakeFault(Op::Any, &fault)) return Fault(fault, deadlineMs);
    Report r;
    std::uint64_t at = 0;
    if (!m_dev->PopInput(deadlineMs, &r, &at)) {
      if (!plat::Clock().SleepUntil(deadlineMs)) return plat::HidIo::Stopped;
      return plat::HidIo::Timeout;
    }
    if (!plat::Clock().SleepUntil(at)) {
      m_dev->QueueInput(std::move(r), at);  // not delivered; keep it (at the back: tests do not stop mid-stream)
      return plat::HidIo::Stopped;
    }
    const std::size_t n = std::min(r.size(), len);
    std::memcpy(buf, r.data(), n);
    std::memset(buf + n, 0, len - n);
    *got = len;
    return plat::HidIo::Ok;
  }

  plat::HidIo WriteReport(const std::uint8_t* buf, std::size_t len, std::size_t* written,
                          std::uint64_t deadlineMs) override {
    *written = 0;
    ++m_dev->writes;
    if (!m_exclusive || len == 0) return plat::HidIo::Error;
    if (!m_dev->present) return plat::HidIo::Gone;
    plat::HidIo fault;
    if (m_dev->TakeFault(Op::Write, &fault) || m_dev->TakeFault(Op::Any, &fault)) return Fault(fault, deadlineMs);
    Report r(buf, buf + len);
    m_dev->outputs.push_back({plat::NowMs(), r});
    *written = len;
    if (m_dev->onOutput) m_dev->onOutput(r);
    return plat::HidIo::Ok;
  }

  bool SetFeature(const std::uint8_t* buf, std::size_t len) override {
    if (!m_dev->present) return false;
    plat::HidIo fault;
    if (m_dev->TakeFault(Op::SetFeature, &fault) || m_dev->TakeFault(Op::Any, &fault)) return false;
    Report r(buf, buf + len);
    m_dev->setFeatures.push_back({plat::NowMs(), r});
    if (m_dev->onSetFeature) m_dev->onSetFeature(r);
    return true;
  }

  bool GetFeature(std::uint8_t* buf, std::size_t len) override {
    ++m_dev->getFeatures;
    if (!m_dev->present) return false;
    plat::HidIo fault;
    if (m_dev->TakeFault(Op::GetFeature, &fault) || m_dev->TakeFault(Op::Any, &fault)) return false;
    Report r = m_dev->NextFeature(len);
    std::memcpy(buf, r.data(), len);
    return true;
  }

  int LastError() const override { return 0; }

 private:
  // A scripted failure; a time-out first lets the time run out.
  plat::HidIo Fault(plat::HidIo result, std::uint64_t deadlineMs) {
    if (result == plat::HidIo::Timeout && !plat::Clock().SleepUntil(deadlineMs)) return plat::HidIo::Stopped;
    return result;
  }

  std::shared_ptr<FakeHidDevice> m_dev;
  bool m_exclusive;
};

}  // namespace

FakeHidDevice& FakeHidBackend::AddDevice(std::uint16_t vid, std::uint16_t pid, std::uint16_t inLen,
                                         std::uint16_t outLen, std::uint16_t featureLen) {
  auto d = std::make_shared<FakeHidDevice>();
  d->path = "/dev/hidraw" + std::to_string(m_devices.size());
  d->vendorId = d->attrVendorId = vid;
  d->productId = d->attrProductId = pid;
  d->caps.InputReportByteLength = inLen;
  d->caps.OutputReportByteLength = outLen;
  d->caps.FeatureReportByteLength = featureLen;
  m_devices.push_back(d);
  return *d;
}

FakeHidDevice& FakeHidBackend::AddDeviceWithDescriptor(std::uint16_t vid, std::uint16_t pid,
                                                       const std::vector<std::uint8_t>& descriptor) {
  FakeHidDevice& d = AddDevice(vid, pid, 0, 0, 0);
  if (!plat::ParseReportDescriptor(descriptor.data(), descriptor.size(), &d.caps)) d.failCaps = true;
  return d;
}

bool FakeHidBackend::Enumerate(std::vector<plat::HidInterfaceInfo>* out) {
  ++enumerations;
  out->clear();
  if (failEnumerate) return false;
  for (const auto& d : m_devices)
    if (d->present) out->push_back({d->path, d->vendorId, d->productId, d->serial, d->location});
  return true;
}

std::unique_ptr<plat::IHidHandle> FakeHidBackend::Open(const std::string& path, plat::HidOpenMode mode,
                                                       plat::HidOpenStatus* status) {
  plat::HidOpenStatus dummy;
  plat::HidOpenError* err = &(status ? *status : dummy).kind;
  *err = plat::HidOpenError::None;
  for (const auto& d : m_devices) {
    if (d->path != path || !d->present) continue;
    ++d->opens;
    if (mode == plat::HidOpenMode::Exclusive) {
      if (d->refuseExclusive != plat::HidOpenError::None) {
        *err = d->refuseExclusive;
        return nullptr;
      }
      if (d->exclusiveHeld || d->sharedHandles > 0) {
        *err = plat::HidOpenError::Busy;
        return nullptr;
      }
      return std::make_unique<FakeHidHandle>(d, true);
    }
    if (d->refuseFeatureOnly) {
      *err = plat::HidOpenError::AccessDenied;
      return nullptr;
    }
    if (d->exclusiveHeld) {
      *err = plat::HidOpenError::Busy;
      return nullptr;
    }
    return std::make_unique<FakeHidHandle>(d, false);
  }
  *err = plat::HidOpenError::NotFound;
  return nullptr;
}

std::vector<Report> TaggedReports(const std::vector<std::uint8_t>& frame) {
  std::vector<Report> out;
  const std::size_t n = (frame.size() + 62) / 63;
  for (std::size_t i = 0; i < n; ++i) {
    Report r(64, 0);
    r[0] = n == 1 ? 1 : i == 0 ? 2 : i + 1 == n ? 4 : 3;
    const std::size_t off = i * 63;
    std::copy_n(frame.begin() + off, std::min<std::size_t>(63, frame.size() - off), r.begin() + 1);
    out.push_back(r);
  }
  return out;
}

std::vector<Report> CountedReports(const std::vector<std::uint8_t>& frame) {
  std::vector<Report> out;
  const std::size_t n = (frame.size() + 62) / 63;
  for (std::size_t i = 0; i < n; ++i) {
    Report r(65, 0);
    const std::size_t off = i * 63;
    const std::size_t k = std::min<std::size_t>(63, frame.size() - off);
    r[1] = static_cast<std::uint8_t>(i + 1 < n ? 0x80 | 63 : k);
    std::copy_n(frame.begin() + off, k, r.begin() + 2);
    out.push_back(r);
  }
  return out;
}

std::vector<Report> FeatureReports(const std::vector<std::uint8_t>& frame, std::size_t L) {
  std::vector<Report> out;
  for (std::size_t off = 0; off < frame.size(); off += L - 1) {
    Report r(L, 0);
    std::copy_n(frame.begin() + off, std::min(L - 1, frame.size() - off), r.begin() + 1);
    out.push_back(r);
  }
  return out;
}

}  // namespace fakehid
