// The simulated reader as a USB HID device, in one of the four ways a reader
// presents its reports. Reports are in the host's form (byte 0 = report-ID
// position), as plat::hidsim::IDeviceSide carries them.
//
//   Interrupt64  input and output reports of 64 bytes. Requests arrive
//                tagged (byte 0 = 1 whole, 2 first, 3 middle, 4 last; 63
//                payload bytes) or raw (the frame's next 64 bytes); answers
//                go out as tagged input reports.
//   Counted65    input and output reports of 65 bytes: byte 1 counts the
//                payload bytes in bits 0-6, bit 7 set while more follow.
//   Feature8     feature reports of 8 bytes only: requests come in set-feature
//                chunks of 7 bytes, answers are fetched 7 bytes per get-feature.
//   FeatureOnly  a device the host can reach only with the shared, query-only
//                open; it then talks feature reports as Feature8.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid_sim_protocol.h"
#include "sim/model/reader_model.h"
#include "sim/model/request_assembler.h"

enum class SimHidMode { Interrupt64, Counted65, Feature8, FeatureOnly };

// Report descriptor of each mode. Host-form lengths (longest report + 1):
// Interrupt64 in/out 64, no feature; Counted65 in/out 65; Feature8 feature 8
// only; FeatureOnly in/out 64 and feature 8.
std::vector<std::uint8_t> SimHidReportDescriptor(SimHidMode mode);

// A frame cut into 64-byte tagged reports (63 payload bytes each, the last one
// zero-filled), as both ends of the tagged format send it.
std::vector<std::vector<BYTE>> CutTaggedReports(const BYTE* frame, std::size_t n);
// A frame cut into 65-byte counted reports.
std::vector<std::vector<BYTE>> CutCountedReports(const BYTE* frame, std::size_t n);

class HidFront final : public plat::hidsim::IDeviceSide {
 public:
  HidFront(ReaderModel& model, SimHidMode mode, std::uint16_t vid, std::uint16_t pid);

  plat::hidsim::DeviceInfo Info() override;
  void OnOutputReport(const std::vector<std::uint8_t>& report) override;
  void OnSetFeature(const std::vector<std::uint8_t>& report) override;
  std::vector<std::uint8_t> OnGetFeature(std::uint8_t reportId, std::size_t length) override;
  bool NextInputReport(std::vector<std::uint8_t>* report, std::uint64_t* notBeforeMs) override;

  SimHidMode Mode() const { return m_mode; }
  bool Disconnected() const { return m_model.Disconnected(); }
  // A partial request older than this is dropped when the next report comes.
  void SetInterReportTimeout(std::uint32_t nMs);
  // The USB serial number the device info carries (none by default). Set
  // before serving.
  void SetSerialNumber(std::string strSerial) { m_strSerial = std::move(strSerial); }

 private:
  void Feed(const BYTE* p, std::size_t n);
  void Answer(const ReaderReply& r);

  ReaderModel& m_model;
  const SimHidMode m_mode;
  const std::uint16_t m_vid, m_pid;
  std::string m_strSerial;
  std::mutex m_mutex;
  RequestAssembler m_asm;
  bool m_bRawFrame = false;  // the frame being gathered came in raw reports
  std::uint64_t m_lastRxMs = 0;
  std::uint32_t m_nGapMs = 1000;
  struct InReport {
    std::vector<BYTE> report;
    std::uint64_t dueMs;
  };
  std::deque<InReport> m_in;
  // Feature modes: the answer being fetched, and where the next report starts.
  std::vector<BYTE> m_feature;
  std::size_t m_featurePos = 0;
  std::uint64_t m_featureDueMs = 0;
};
