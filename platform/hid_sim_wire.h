// Messages between the simulator-socket HID backend and the simulated
// reader's server. The wire format is described in docs/HID_SIM_PROTOCOL.md;
// this header is its only encoding in code, shared by both ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat::hidsim {

// Version 2 adds the USB serial number to the device info. A server answers
// a hello in the version the client asked for, up to its own, so old clients
// and servers keep working with new ones.
constexpr std::uint8_t kProtocolVersion = 2;
constexpr std::size_t kMsgHeaderLen = 3;  // type, payload length (16-bit little-endian)
constexpr std::size_t kMaxPayload = 0xFFFF;

enum MsgType : std::uint8_t {
  kMsgHello = 0x01,
  kMsgOpen = 0x02,
  kMsgOutputReport = 0x03,
  kMsgSetFeature = 0x04,
  kMsgGetFeature = 0x05,

  kMsgDeviceInfo = 0x81,
  kMsgOpenResult = 0x82,
  kMsgSetFeatureDone = 0x84,
  kMsgFeatureReport = 0x85,
  kMsgInputReport = 0x86,
};

// The device info: version, vendor ID, product ID, flags, then (version 2
// on) the serial number's length and bytes, then the report descriptor.
struct DeviceInfoMessage {
  std::uint8_t version = kProtocolVersion;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint8_t flags = 0;
  std::string serial;  // at most kMaxSerialLen bytes
  std::vector<std::uint8_t> descriptor;
};
constexpr std::size_t kMaxSerialLen = 255;
// The payload of a device info in the given version (1 or 2; a longer serial
// number is cut).
std::vector<std::uint8_t> EncodeDeviceInfo(const DeviceInfoMessage& info);
// False when the payload is too short for its version.
bool DecodeDeviceInfo(const std::vector<std::uint8_t>& payload, DeviceInfoMessage* info);

enum OpenMode : std::uint8_t { kOpenExclusive = 0, kOpenFeatureOnly = 1 };
enum OpenStatus : std::uint8_t { kOpenOk = 0, kOpenBusy = 1, kOpenRefused = 2 };
constexpr std::uint8_t kInfoFlagFeatureOnly = 0x01;

// Appends one message; false (nothing appended) when the payload is too long.
bool AppendMessage(std::vector<std::uint8_t>* out, std::uint8_t type, const std::uint8_t* payload, std::size_t n);
inline bool AppendMessage(std::vector<std::uint8_t>* out, std::uint8_t type, const std::vector<std::uint8_t>& p) {
  return AppendMessage(out, type, p.data(), p.size());
}

// Splits a byte stream into messages. Holds at most one incomplete message
// plus what was fed since the last Next().
class MessageReader {
 public:
  void Feed(const std::uint8_t* p, std::size_t n) { m_buf.insert(m_buf.end(), p, p + n); }
  // Takes the next complete message off the stream.
  bool Next(std::uint8_t* type, std::vector<std::uint8_t>* payload);
  void Clear() { m_buf.clear(); }

 private:
  std::vector<std::uint8_t> m_buf;
};

inline void PutLe16(std::vector<std::uint8_t>* v, std::uint16_t x) {
  v->push_back(static_cast<std::uint8_t>(x & 0xFF));
  v->push_back(static_cast<std::uint8_t>(x >> 8));
}
inline std::uint16_t GetLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace plat::hidsim
