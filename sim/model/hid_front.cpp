#include "sim/model/hid_front.h"

#include <algorithm>

#include "platform/clock.h"

namespace {

constexpr std::size_t kPayload = 63;  // frame bytes per tagged or counted report

// Vendor-defined page 0xFF00, application collection, 8-bit fields.
void Field(std::vector<std::uint8_t>* d, std::uint8_t usage, std::uint8_t count, std::uint8_t mainItem) {
  const std::uint8_t f[] = {0x09, usage, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, count, mainItem, 0x02};
  d->insert(d->end(), f, f + sizeof f);
}
constexpr std::uint8_t kInput = 0x81, kOutput = 0x91, kFeature = 0xB1;

}  // namespace

std::vector<std::uint8_t> SimHidReportDescriptor(SimHidMode mode) {
  std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  switch (mode) {
    case SimHidMode::Interrupt64:
      // The segment tags 1 to 4 are the report IDs: the first byte of every
      // 64-byte report, as the host's HID stack hands it over, is the tag.
      for (std::uint8_t tag = 1; tag <= 4; ++tag) {
        d.push_back(0x85);
        d.push_back(tag);
        Field(&d, 0x02, 63, kInput);
        Field(&d, 0x03, 63, kOutput);
      }
      break;
    case SimHidMode::Counted65:
      Field(&d, 0x02, 64, kInput);
      Field(&d, 0x03, 64, kOutput);
      break;
    case SimHidMode::Feature8:
      Field(&d, 0x04, 7, kFeature);
      break;
    case SimHidMode::FeatureOnly:
      Field(&d, 0x02, 63, kInput);
      Field(&d, 0x03, 63, kOutput);
      Field(&d, 0x04, 7, kFeature);
      break;
  }
  d.push_back(0xC0);
  return d;
}

std::vector<std::vector<BYTE>> CutTaggedReports(const BYTE* frame, std::size_t n) {
  std::vector<std::vector<BYTE>> out;
  const std::size_t count = (n + kPayload - 1) / kPayload;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<BYTE> r(64, 0);
    r[0] = count == 1 ? 1 : i == 0 ? 2 : i + 1 == count ? 4 : 3;
    const std::size_t off = i * kPayload, take = std::min(kPayload, n - off);
    std::copy(frame + off, frame + off + take, r.begin() + 1);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::vector<BYTE>> CutCountedReports(const BYTE* frame, std::size_t n) {
  std::vector<std::vector<BYTE>> out;
  for (std::size_t off = 0; off < n; off += kPayload) {
    std::vector<BYTE> r(65, 0);
    const std::size_t take = std::min(kPayload, n - off);
    const bool more = off + take < n;
    r[1] = static_cast<BYTE>(more ? 0x80 | kPayload : take);
    std::copy(frame + off, frame + off + take, r.begin() + 2);
    out.push_back(std::move(r));
  }
  return out;
}

HidFront::HidFront(ReaderModel& model, SimHidMode mode, std::uint16_t vid, std::uint16_t pid)
    : m_model(model), m_mode(mode), m_vid(vid), m_pid(pid) {}

plat::hidsim::DeviceInfo HidFront::Info() {
  plat::hidsim::DeviceInfo info;
  info.vendorId = m_vid;
  info.productId = m_pid;
  info.reportDescriptor = SimHidReportDescriptor(m_mode);
  info.featureOnly = m_mode == SimHidMode::FeatureOnly;
  info.serialNumber = m_strSerial;
  return info;
}

void HidFront::SetInterReportTimeout(std::uint32_t nMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nGapMs = nMs;
}

void HidFront::Answer(const ReaderReply& r) {
  if (!r.bAnswer) return;
  switch (m_mode) {
    case SimHidMode::Interrupt64:
      for (auto& rep : CutTaggedReports(r.bytes.data(), r.bytes.size())) m_in.push_back({std::move(rep), r.dueMs});
      break;
    case SimHidMode::Counted65:
      for (auto& rep : CutCountedReports(r.bytes.data(), r.bytes.size())) m_in.push_back({std::move(rep), r.dueMs});
      break;
    case SimHidMode::Feature8:
    case SimHidMode::FeatureOnly:
      m_feature = r.bytes;
      m_featurePos = 0;
      m_featureDueMs = r.dueMs;
      break;
  }
}

void HidFront::Feed(const BYTE* p, std::size_t n) {
  auto sink = [this](const BYTE* f, std::size_t len) { Answer(m_model.HandleRequest(f, len)); };
  const std::uint64_t now = plat::NowMs();
  if (m_asm.InFrame() && now - m_lastRxMs > m_nGapMs) m_asm.Flush(sink);
  m_lastRxMs = now;
  m_asm.Feed(p, n, sink);
}

void HidFront::OnOutputReport(const std::vector<std::uint8_t>& report) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (report.empty() || m_model.Disconnected()) return;
  auto sink = [this](const BYTE* f, std::size_t len) { Answer(m_model.HandleRequest(f, len)); };
  const std::size_t n = std::min<std::size_t>(report.size(), m_mode == SimHidMode::Counted65 ? 65 : 64);
  if (m_mode == SimHidMode::Counted65) {
    if (n < 2) return;
    const std::size_t count = std::min<std::size_t>({static_cast<std::size_t>(report[1] & 0x7F), kPayload, n - 2});
    Feed(report.data() + 2, count);
    // A last report that leaves the frame unfinished ends it anyway.
    if (!(report[1] & 0x80)) m_asm.Flush(sink);
    return;
  }
  if (m_mode != SimHidMode::Interrupt64) return;  // the feature devices take no output reports

  const BYTE tag = report[0];
  if (m_asm.InFrame() && m_bRawFrame) {
    Feed(report.data(), n);
  } else if (tag == 1 || tag == 2) {
    m_asm.Flush(sink);
    m_bRawFrame = false;
    Feed(report.data() + 1, n - 1);
    if (tag == 1) m_asm.Flush(sink);
  } else if (tag == 3 || tag == 4) {
    // Middle and last reports belong to a frame begun by a report tagged 2.
    if (!m_asm.InFrame() || m_bRawFrame) return;
    Feed(report.data() + 1, n - 1);
    if (tag == 4) m_asm.Flush(sink);
  } else {
    // Raw: the report is the frame's next 64 bytes.
    m_asm.Flush(sink);
    m_bRawFrame = true;
    Feed(report.data(), n);
  }
}

void HidFront::OnSetFeature(const std::vector<std::uint8_t>& report) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_mode != SimHidMode::Feature8 && m_mode != SimHidMode::FeatureOnly) return;
  if (report.size() < 2 || m_model.Disconnected()) return;
  // A new request: what is left of the last answer is no longer offered.
  if (!m_asm.InFrame()) {
    m_feature.clear();
    m_featurePos = 0;
  }
  Feed(report.data() + 1, std::min<std::size_t>(report.size(), 8) - 1);
}

std::vector<std::uint8_t> HidFront::OnGetFeature(std::uint8_t reportId, std::size_t length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::uint8_t> r(length, 0);
  if (length == 0) return r;
  r[0] = reportId;
  if (m_mode != SimHidMode::Feature8 && m_mode != SimHidMode::FeatureOnly) return r;
  // Before the answer is ready the reader has nothing but zeros to give.
  if (m_model.Disconnected() || plat::NowMs() < m_featureDueMs) return r;
  for (std::size_t i = 1; i < length && m_featurePos < m_feature.size(); ++i) r[i] = m_feature[m_featurePos++];
  return r;
}

bool HidFront::NextInputReport(std::vector<std::uint8_t>* report, std::uint64_t* notBeforeMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_in.empty() || m_model.Disconnected()) return false;
  if (report) *report = std::move(m_in.front().report);
  if (notBeforeMs) *notBeforeMs = m_in.front().dueMs;
  m_in.pop_front();
  return true;
}
