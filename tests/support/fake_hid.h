// In-process HID backend for tests, in virtual time: devices with an identity
// and capabilities (or a report descriptor), scripted input and feature
// reports, responder hooks that answer output reports and set features, a
// record of everything the host sent, faults on the Nth operation, refused
// opens and unplugging.
//
// Reads block on the process clock: a queued report due at time T is handed
// out at T (the virtual clock jumps there); with nothing due before the
// deadline the clock jumps to the deadline and the read times out.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace fakehid {

using Report = std::vector<std::uint8_t>;

enum class Op { Any, Read, Write, SetFeature, GetFeature };

struct SentReport {
  std::uint64_t atMs;
  Report bytes;
};

class FakeHidDevice {
 public:
  // Identity the interface is enumerated with and the one its open handle
  // reports (they differ only when a test sets them apart).
  std::string path;
  std::uint16_t vendorId = 0, productId = 0;
  std::uint16_t attrVendorId = 0, attrProductId = 0;
  // Which physical reader it is, as the listing shows it (empty: unknown).
  std::string serial;
  std::string location;
  plat::HidCaps caps;

  // Open behaviour.
  plat::HidOpenError refuseExclusive = plat::HidOpenError::None;  // Busy: held elsewhere; Refused: query-only device
  bool refuseFeatureOnly = false;
  bool failAttributes = false;
  bool failCaps = false;

  // Input reports (host form), each due at a time on the process clock.
  void QueueInput(Report r, std::uint64_t atMs = 0);
  void QueueInputs(const std::vector<Report>& reports, std::uint64_t atMs = 0);
  void ClearInputs() { m_inputs.clear(); }
  std::size_t QueuedInputs() const { return m_inputs.size(); }
  // Called for a report when the queue is empty: an endless source.
  std::function<bool(Report*)> inputSource;

  // Feature reports handed out by GetFeature, in order; when none is queued
  // the hook answers, else zeros.
  void QueueFeature(Report r) { m_features.push_back(std::move(r)); }
  void ClearFeatures() { m_features.clear(); }
  std::function<Report(std::size_t len)> onGetFeature;

  // Hooks run for every report the host sends (after it is recorded).
  std::function<void(const Report&)> onOutput;
  std::function<void(const Report&)> onSetFeature;

  // Makes the nth operation of a kind (1-based, counted from now) end with `result`.
  void FailNth(Op op, int nth, plat::HidIo result);

  // Unplugs the device: gone from enumeration, every handle's I/O fails.
  void Disconnect() { present = false; }

  // What the host did.
  std::vector<SentReport> outputs;
  std::vector<SentReport> setFeatures;
  int reads = 0, writes = 0, getFeatures = 0;
  int opens = 0, openHandles = 0;
  // Locks as on a hidraw node: one exclusive holder or any number of
  // feature-only handles.
  bool exclusiveHeld = false;
  int sharedHandles = 0;
  bool present = true;

  // Internals for the handle.
  bool TakeFault(Op op, plat::HidIo* result);
  bool PopInput(std::uint64_t deadlineMs, Report* r, std::uint64_t* atMs);
  Report NextFeature(std::size_t len);

 private:
  struct Queued {
    std::uint64_t atMs;
    Report bytes;
  };
  struct Fault {
    Op op;
    int left;
    plat::HidIo result;
  };
  std::deque<Queued> m_inputs;
  std::deque<Report> m_features;
  std::vector<Fault> m_faults;
};

class FakeHidBackend final : public plat::IHidBackend {
 public:
  // A device with given capabilities (path "/dev/hidraw<N>").
  FakeHidDevice& AddDevice(std::uint16_t vid, std::uint16_t pid, std::uint16_t inLen, std::uint16_t outLen,
                           std::uint16_t featureLen);
  // A device whose capabilities come from a report descriptor.
  FakeHidDevice& AddDeviceWithDescriptor(std::uint16_t vid, std::uint16_t pid,
                                         const std::vector<std::uint8_t>& descriptor);
  FakeHidDevice& Device(std::size_t i) { return *m_devices.at(i); }

  bool failEnumerate = false;
  int enumerations = 0;

  bool Enumerate(std::vector<plat::HidInterfaceInfo>* out) override;
  std::unique_ptr<plat::IHidHandle> Open(const std::string& path, plat::HidOpenMode mode,
                                         plat::HidOpenStatus* status) override;

 private:
  std::vector<std::shared_ptr<FakeHidDevice>> m_devices;
};

// Device-side report builders, for scripting what a reader sends.
// Tagged 64-byte reports: tag, up to 63 frame bytes.
std::vector<Report> TaggedReports(const std::vector<std::uint8_t>& frame);
// Counted 65-byte reports: ID 0, count byte, up to 63 frame bytes.
std::vector<Report> CountedReports(const std::vector<std::uint8_t>& frame);
// Feature reports of length L: ID 0, L - 1 frame bytes.
std::vector<Report> FeatureReports(const std::vector<std::uint8_t>& frame, std::size_t L);

}  // namespace fakehid
