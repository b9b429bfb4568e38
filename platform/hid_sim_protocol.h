// The device end of a simulated USB HID reader, as the HID simulator socket
// (READERTOOL_HID_SIM) and in-process tests see it.
//
// Reports are always in the host's form: byte 0 is the report-ID position
// (0 for a device without numbered reports), and a report is as long as the
// device's input/output/feature report byte length (the longest report of
// that kind plus one).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace plat::hidsim {

struct DeviceInfo {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::vector<std::uint8_t> reportDescriptor;
  // True for a device that only the shared, query-only open reaches.
  bool featureOnly = false;
  // The USB serial number; empty when the device has none.
  std::string serialNumber = {};
};

class IDeviceSide {
 public:
  virtual ~IDeviceSide() = default;
  virtual DeviceInfo Info() = 0;
  virtual void OnOutputReport(const std::vector<std::uint8_t>& report) = 0;
  virtual void OnSetFeature(const std::vector<std::uint8_t>& report) = 0;
  virtual std::vector<std::uint8_t> OnGetFeature(std::uint8_t reportId, std::size_t length) = 0;
  // The next input report for the host, if one is queued, and the time on the
  // process clock before which it must not be delivered (answer delays).
  virtual bool NextInputReport(std::vector<std::uint8_t>* report, std::uint64_t* notBeforeMs) = 0;
};

}  // namespace plat::hidsim
