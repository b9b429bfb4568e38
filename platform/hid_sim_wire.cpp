#include "platform/hid_sim_wire.h"

namespace plat::hidsim {

bool AppendMessage(std::vector<std::uint8_t>* out, std::uint8_t type, const std::uint8_t* payload, std::size_t n) {
  if (n > kMaxPayload || (n && !payload)) return false;
  out->push_back(type);
  PutLe16(out, static_cast<std::uint16_t>(n));
  out->insert(out->end(), payload, payload + n);
  return true;
}

bool MessageReader::Next(std::uint8_t* type, std::vector<std::uint8_t>* payload) {
  if (m_buf.size() < kMsgHeaderLen) return false;
  const std::size_t n = GetLe16(&m_buf[1]);
  if (m_buf.size() - kMsgHeaderLen < n) return false;
  *type = m_buf[0];
  payload->assign(m_buf.begin() + kMsgHeaderLen, m_buf.begin() + kMsgHeaderLen + n);
  m_buf.erase(m_buf.begin(), m_buf.begin() + kMsgHeaderLen + n);
  return true;
}

std::vector<std::uint8_t> EncodeDeviceInfo(const DeviceInfoMessage& info) {
  std::vector<std::uint8_t> p{info.version};
  PutLe16(&p, info.vendorId);
  PutLe16(&p, info.productId);
  p.push_back(info.flags);
  if (info.version >= 2) {
    const std::size_t n = info.serial.size() < kMaxSerialLen ? info.serial.size() : kMaxSerialLen;
    p.push_back(static_cast<std::uint8_t>(n));
    p.insert(p.end(), info.serial.begin(), info.serial.begin() + static_cast<std::ptrdiff_t>(n));
  }
  p.insert(p.end(), info.descriptor.begin(), info.descriptor.end());
  return p;
}

bool DecodeDeviceInfo(const std::vector<std::uint8_t>& p, DeviceInfoMessage* info) {
  if (p.size() < 6) return false;
  info->version = p[0];
  info->vendorId = GetLe16(&p[1]);
  info->productId = GetLe16(&p[3]);
  info->flags = p[5];
  std::size_t at = 6;
  info->serial.clear();
  if (info->version >= 2) {
    if (p.size() < at + 1 || p.size() < at + 1 + p[at]) return false;
    info->serial.assign(p.begin() + static_cast<std::ptrdiff_t>(at + 1),
                        p.begin() + static_cast<std::ptrdiff_t>(at + 1 + p[at]));
    at += 1 + p[at];
  }
  info->descriptor.assign(p.begin() + static_cast<std::ptrdiff_t>(at), p.end());
  return true;
}

}  // namespace plat::hidsim
