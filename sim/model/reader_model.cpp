#include "sim/model/reader_model.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/clock.h"
#include "sim/model/image_rule.h"

namespace {

constexpr char kAppLabel[] = "Firmware: ";
constexpr char kBootLabel[] = "Boot Ldr: ";

WORD Code(BYTE cmd, BYTE sub) { return static_cast<WORD>((cmd << 8) | sub); }

std::string CodeText(WORD code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X-%02X", code >> 8, code & 0xFF);
  return buf;
}

// Line noise that can never be mistaken for the start of a frame.
std::vector<BYTE> Noise(int n) {
  static const BYTE kPattern[] = {0xA5, 0x00, 0xFF, 0x5A, 0x13, 0x80, 0x7E, 0x01};
  std::vector<BYTE> v;
  for (int i = 0; i < n; ++i) v.push_back(kPattern[i % sizeof kPattern]);
  return v;
}

}  // namespace

ReaderModel::ReaderModel(ReaderConfig cfg) : m_cfg(std::move(cfg)) {
  m_strAppVersion = m_cfg.strAppVersion;
  m_state = m_cfg.bStartInBootloader ? SimState::Bootloader : SimState::Application;
  m_stateAfterRestart = m_state;
}

std::vector<BYTE> ReaderModel::VersionText(const char* label, const std::string& version) {
  std::vector<BYTE> v(label, label + std::strlen(label));
  v.resize(10, ' ');
  for (std::size_t i = 0; i < 8; ++i) v.push_back(i < version.size() ? static_cast<BYTE>(version[i]) : '0');
  return v;
}

bool ReaderModel::IsVersionText(const std::string& s) {
  static const char kForm[] = "9.99.999";
  if (s.size() != 8) return false;
  for (std::size_t i = 0; i < 8; ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9';
    if (kForm[i] == '.' ? s[i] != '.' : !digit) return false;
  }
  return true;
}

void ReaderModel::Record(TranscriptEntry e) {
  if (m_sink) m_sink(e);
  if (m_bKeepTranscript) m_transcript.push_back(std::move(e));
}

void ReaderModel::Note(std::uint64_t now, const std::string& text) {
  TranscriptEntry e;
  e.kind = TranscriptEntry::Note;
  e.tMs = now;
  e.text = text;
  Record(std::move(e));
}

bool ReaderModel::FaultHits(WORD code) const { return m_faults.nFaultCmd < 0 || m_faults.nFaultCmd == code; }

void ReaderModel::Restart(std::uint64_t fromMs, std::uint32_t nMs, SimState after) {
  m_restartUntil = fromMs + nMs;
  m_state = after;
  m_stateAfterRestart = after;
  // Whatever the bootloader was doing is lost with the restart; the flash keeps what it holds.
  m_bErased = false;
  m_bShortBlockSeen = false;
  m_bVerified = false;
  m_nBlocks = 0;
  m_lastBlock.clear();
  Note(fromMs, std::string("restart: silent for ") + std::to_string(nMs) + " ms, then " +
                   (after == SimState::Application ? "application" : "bootloader"));
}

ReaderReply ReaderModel::Answer(BYTE cmd, BYTE status, const std::vector<BYTE>& data, std::uint64_t now) {
  ReaderReply r;
  r.bAnswer = true;
  r.dueMs = now + m_cfg.nAnswerDelayMs;
  if (m_cfg.frameVersion == SimFrameVersion::V3) {
    r.bytes = MakeFrameV3(cmd, status, data);
    if (m_cfg.crcOrder == CrcOrder::LowFirst) std::swap(r.bytes[r.bytes.size() - 2], r.bytes[r.bytes.size() - 1]);
  } else {
    r.bytes = MakeFrame(cmd, status, data, m_cfg.crcOrder);
  }
  return r;
}

void ReaderModel::RecordRequest(const BYTE* p, std::size_t n, std::uint64_t now) {
  TranscriptEntry req;
  req.kind = TranscriptEntry::Request;
  req.tMs = now;
  if (p && n >= 12) req.wCode = Code(p[10], p[11]);
  const DWORD len = (p && n >= 14) ? static_cast<DWORD>(p[12]) * 256u + p[13] : 0;
  const std::size_t frameLen = len + kFrameOverheadV2;
  if (p) req.bytes.assign(p, p + (n < frameLen ? n : frameLen));
  Record(std::move(req));
}

void ReaderModel::Unanswered(const BYTE* p, std::size_t n, const std::string& why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t now = plat::NowMs();
  RecordRequest(p, n, now);
  Note(now, "no answer: " + why);
}

ReaderReply ReaderModel::HandleRequest(const BYTE* p, std::size_t n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t now = plat::NowMs();
  ReaderReply none;
  RecordRequest(p, n, now);
  const DWORD len = (p && n >= 14) ? static_cast<DWORD>(p[12]) * 256u + p[13] : 0;
  const std::size_t frameLen = len + kFrameOverheadV2;

  // A request the reader cannot trust (no header, a length beyond its buffer,
  // missing bytes, a CRC that fits neither order) gets no answer at all.
  if (m_bDisconnected) {
    Note(now, "no answer: disconnected");
    return none;
  }
  if (!p || n < 14 || !IsFrameHeader(p, static_cast<DWORD>(n))) {
    Note(now, "no answer: not a frame");
    return none;
  }
  if (len > kSimMaxRequestData) {
    Note(now, "no answer: data length " + std::to_string(len) + " too large");
    return none;
  }
  if (n < frameLen) {
    Note(now, "no answer: truncated frame, " + std::to_string(n) + " of " + std::to_string(frameLen) + " bytes");
    return none;
  }
  if (CheckRxFrame(p, static_cast<DWORD>(frameLen)) != static_cast<int>(frameLen)) {
    Note(now, "no answer: bad CRC");
    return none;
  }
  if (now < m_restartUntil) {
    Note(now, "no answer: restarting");
    return none;
  }
  ++m_nRequests;
  const BYTE cmd = p[10], sub = p[11];
  const WORD code = Code(cmd, sub);
  if (m_faults.nStopAfter >= 0 && m_nAnswered >= m_faults.nStopAfter) {
    Note(now, "no answer: stopped answering (fault)");
    return none;
  }
  if (m_faults.bSilent && FaultHits(code)) {
    Note(now, "no answer: silent (fault)");
    return none;
  }

  bool bRestartAfter = false, bPowerLoss = false;
  ReaderReply r;
  if (m_faults.nStatusCmd == code) {
    r = Answer(cmd, m_faults.byStatus, {}, now);
    Note(now, "status fault: " + CodeText(code) + " answered with status " + CodeText(m_faults.byStatus).substr(3));
  } else {
    r = Dispatch(cmd, sub, p + 14, len, now, &bRestartAfter, &bPowerLoss);
  }
  if (bPowerLoss) {
    Restart(now, m_cfg.nRestartMs, SimState::Bootloader);
    Note(now, "no answer: power lost during the download (fault)");
    return none;
  }
  if (!r.bAnswer) return r;

  const WORD respCode = Code(cmd, r.bytes[m_cfg.frameVersion == SimFrameVersion::V3 ? 12 : 11]);
  if (m_faults.bBadCrc && FaultHits(code)) {
    r.bytes[r.bytes.size() - 2] ^= 0x5A;
    r.bytes[r.bytes.size() - 1] ^= 0xA5;
  }
  if (m_faults.nNoiseBytes > 0 && FaultHits(code)) {
    std::vector<BYTE> v = Noise(m_faults.nNoiseBytes);
    v.insert(v.end(), r.bytes.begin(), r.bytes.end());
    r.bytes.swap(v);
  }
  ++m_nAnswered;
  TranscriptEntry resp;
  resp.kind = TranscriptEntry::Response;
  resp.tMs = r.dueMs;
  resp.wCode = respCode;
  resp.bytes = r.bytes;
  Record(std::move(resp));

  if (bRestartAfter) {
    if (cmd == 0xC7 && sub == 0x41) {
      Restart(r.dueMs, m_cfg.nBootEntryMs, SimState::Bootloader);
    } else {
      Restart(r.dueMs, m_cfg.nRestartMs, m_bAppValid ? SimState::Application : SimState::Bootloader);
    }
  }
  if (m_faults.nDisconnectAfter >= 0 && m_nAnswered >= m_faults.nDisconnectAfter)
    Unplug(r.dueMs, "disconnected (fault)");
  return r;
}

ReaderReply ReaderModel::Dispatch(BYTE cmd, BYTE sub, const BYTE* data, DWORD len, std::uint64_t now,
                                  bool* pbRestartAfter, bool* pbPowerLoss) {
  if (cmd == 0x18 && sub == 0x01) return Answer(cmd, kSimStatusOk, {}, now);

  if (m_state == SimState::Application) {
    if (cmd == 0x29 && (sub == 0x00 || sub == 0x04))
      return Answer(cmd, kSimStatusOk, VersionText(kAppLabel, m_strAppVersion), now);
    if (cmd == 0x04 && (sub == 0xF0 || sub == 0x0A)) {
      *pbRestartAfter = true;
      return Answer(cmd, kSimStatusOk, {}, now);
    }
    if (cmd == 0xC7 && sub == 0x41) {
      const BYTE st = m_cfg.byBootEntryStatus;
      *pbRestartAfter = (st == 0x00 || st == 0xF2);
      return Answer(cmd, st, {}, now);
    }
    return Answer(cmd, kSimStatusUnknownCommand, {}, now);
  }

  // Bootloader.
  if (cmd != 0xC7) return Answer(cmd, kSimStatusUnknownCommand, {}, now);
  switch (sub) {
    case 0x01:
    case 0x10: {
      const std::string& v = m_cfg.strBootVersion.empty() ? m_strAppVersion : m_cfg.strBootVersion;
      return Answer(cmd, kSimStatusOk, VersionText(kBootLabel, v), now);
    }
    case 0x02:
      if (len != 1 || data[0] != 0x00) return Answer(cmd, kSimStatusBadParameter, {}, now);
      m_bErased = true;
      m_bAppValid = false;
      m_bVerified = false;
      m_bShortBlockSeen = false;
      m_nBlocks = 0;
      m_body.clear();
      m_lastBlock.clear();
      return Answer(cmd, kSimStatusOk, {}, now);
    case 0x03: {
      const BYTE st = ProgramBlock(data, len, pbPowerLoss);
      if (*pbPowerLoss) return {};
      return Answer(cmd, st, {}, now);
    }
    case 0x04:
      return Answer(cmd, Verify(data, len), {}, now);
    case 0x05:
      if (m_bVerified && !m_cfg.strUpdatedVersion.empty()) m_strAppVersion = m_cfg.strUpdatedVersion;
      *pbRestartAfter = true;
      return Answer(cmd, kSimStatusOk, {}, now);
    default:
      // Every other bootloader command (C7-15, C7-41 again, ...) is accepted.
      return Answer(cmd, kSimStatusOk, {}, now);
  }
}

BYTE ReaderModel::ProgramBlock(const BYTE* data, DWORD len, bool* pbPowerLoss) {
  if (!m_bErased) return kSimStatusSequence;
  if (len < 5 || len - 4 > kSimBlockSize) return kSimStatusBadParameter;
  // A host that lost our answer sends the same block again: take it as done.
  if (m_lastBlock.size() == len && std::memcmp(m_lastBlock.data(), data, len) == 0) return kSimStatusOk;
  if (m_faults.nRestartAtBlock == m_nBlocks) {
    m_faults.nRestartAtBlock = -1;
    *pbPowerLoss = true;
    return kSimStatusOk;
  }
  if (m_faults.nRejectBlock == m_nBlocks) return kSimStatusFlashError;
  const DWORD address = (static_cast<DWORD>(data[0]) << 24) | (static_cast<DWORD>(data[1]) << 16) |
                        (static_cast<DWORD>(data[2]) << 8) | data[3];
  if (m_bShortBlockSeen || address != static_cast<DWORD>(m_nBlocks) * kSimBlockAddressStep) return kSimStatusSequence;
  const DWORD blockLen = len - 4;
  if (m_body.size() + blockLen > kSimMaxBody) return kSimStatusBadParameter;
  m_body.insert(m_body.end(), data + 4, data + len);
  m_lastBlock.assign(data, data + len);
  if (blockLen < kSimBlockSize) m_bShortBlockSeen = true;
  ++m_nBlocks;
  return kSimStatusOk;
}

BYTE ReaderModel::Verify(const BYTE* data, DWORD len) {
  static const BYTE kPrefix[4] = {0x00, 0x03, 0xFF, 0xF0};
  if (len != 4 + kSimTrailerSize || std::memcmp(data, kPrefix, 4) != 0) return kSimStatusBadParameter;
  if (!m_bErased || m_body.empty() || !SimTrailerMatches(data + 4, m_body.data(), m_body.size()))
    return kSimStatusVerifyFailed;
  m_bVerified = true;
  m_bAppValid = true;
  return kSimStatusOk;
}

void ReaderModel::SetFaults(const ReaderFaults& f) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults = f;
}

ReaderFaults ReaderModel::Faults() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_faults;
}

ReaderConfig ReaderModel::Config() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_cfg;
}

void ReaderModel::PowerCycle() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Restart(plat::NowMs(), m_cfg.nRestartMs, m_bAppValid ? SimState::Application : SimState::Bootloader);
}

void ReaderModel::Unplug(std::uint64_t now, const char* why) {
  if (m_bDisconnected) return;
  m_bDisconnected = true;
  Note(now, why);
  if (m_onDisconnect) m_onDisconnect();
}

void ReaderModel::Disconnect() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Unplug(plat::NowMs(), "disconnected");
}

void ReaderModel::SetDisconnectHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_onDisconnect = std::move(handler);
}

void ReaderModel::Reconnect() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bDisconnected) Note(plat::NowMs(), "reconnected");
  m_bDisconnected = false;
}

bool ReaderModel::Disconnected() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bDisconnected;
}

SimState ReaderModel::State() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state;
}

bool ReaderModel::Restarting() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return plat::NowMs() < m_restartUntil;
}

std::string ReaderModel::AppVersion() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strAppVersion;
}

bool ReaderModel::AppValid() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bAppValid;
}

std::vector<BYTE> ReaderModel::ProgrammedBody() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_body;
}

int ReaderModel::BlocksProgrammed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nBlocks;
}

int ReaderModel::RequestsSeen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nRequests;
}

std::vector<TranscriptEntry> ReaderModel::Transcript() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_transcript;
}

void ReaderModel::ClearTranscript() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_transcript.clear();
}

void ReaderModel::KeepTranscript(bool bKeep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bKeepTranscript = bKeep;
  if (!bKeep) m_transcript.clear();
}

void ReaderModel::SetTranscriptSink(std::function<void(const TranscriptEntry&)> sink) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sink = std::move(sink);
}
