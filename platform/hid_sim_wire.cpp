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

}  // namespace plat::hidsim
