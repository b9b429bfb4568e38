// The parts of the serial layer that do not depend on the operating system:
// the settings parser, the rate list, the time-out rules and the opener seam.
#include "platform/serial.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace plat {
namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool ParseDecimal(const std::string& s, DWORD* pValue) {
  if (s.empty() || s.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *pValue = static_cast<DWORD>(v);
  return true;
}

std::mutex g_openerMutex;
SerialOpener g_opener;  // empty: the operating system's opener

}  // namespace

bool BuildSerialDcb(const char* pszSettings, SerialDcb* pDcb) {
  if (!pszSettings || !pDcb) return false;
  SerialDcb dcb = *pDcb;
  bool seenBaud = false, seenParity = false, seenData = false, seenStop = false;
  const char* p = pszSettings;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    const std::string item(start, p);
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    if (EqualsNoCase(key, "baud")) {
      DWORD baud = 0;
      if (seenBaud || !ParseDecimal(value, &baud) || baud == 0) return false;
      dcb.BaudRate = baud;
      seenBaud = true;
    } else if (EqualsNoCase(key, "parity")) {
      if (seenParity || value.size() != 1) return false;
      switch (std::toupper(static_cast<unsigned char>(value[0]))) {
        case 'N': dcb.Parity = kParityNone; break;
        case 'O': dcb.Parity = kParityOdd; break;
        case 'E': dcb.Parity = kParityEven; break;
        case 'M': dcb.Parity = kParityMark; break;
        case 'S': dcb.Parity = kParitySpace; break;
        default: return false;
      }
      seenParity = true;
    } else if (EqualsNoCase(key, "data")) {
      DWORD bits = 0;
      if (seenData || !ParseDecimal(value, &bits) || bits < 5 || bits > 8) return false;
      dcb.ByteSize = static_cast<BYTE>(bits);
      seenData = true;
    } else if (EqualsNoCase(key, "stop")) {
      if (seenStop) return false;
      if (value == "1") dcb.StopBits = kStopBitsOne;
      else if (value == "1.5") dcb.StopBits = kStopBitsOneHalf;
      else if (value == "2") dcb.StopBits = kStopBitsTwo;
      else return false;
      seenStop = true;
    } else {
      return false;
    }
  }
  *pDcb = dcb;
  return true;
}

SerialReadPlan PlanSerialRead(const SerialTimeouts& t, DWORD dwToRead) {
  SerialReadPlan plan;
  if (t.ReadIntervalTimeout == kSerialMaxTimeout && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    plan.bImmediate = true;
    return plan;
  }
  if (t.ReadIntervalTimeout == kSerialMaxTimeout && t.ReadTotalTimeoutMultiplier == kSerialMaxTimeout &&
      t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kSerialMaxTimeout) {
    plan.bReturnOnAny = true;
    plan.bHasTotal = true;
    plan.totalMs = t.ReadTotalTimeoutConstant;
    return plan;
  }
  const std::uint64_t total =
      static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * dwToRead + t.ReadTotalTimeoutConstant;
  plan.bHasTotal = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
  plan.totalMs = total;
  plan.intervalMs = t.ReadIntervalTimeout;
  return plan;
}

bool SerialWriteLimit(const SerialTimeouts& t, DWORD dwLen, std::uint64_t* pMs) {
  if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return false;
  *pMs = static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * dwLen + t.WriteTotalTimeoutConstant;
  return true;
}

const char* SerialErrorKindName(SerialErrorKind kind) {
  switch (kind) {
    case SerialErrorKind::kNone: return "none";
    case SerialErrorKind::kInvalidArgument: return "invalid argument";
    case SerialErrorKind::kSystem: return "system error";
    case SerialErrorKind::kTimeout: return "time-out";
    case SerialErrorKind::kUnsupported: return "unsupported";
    case SerialErrorKind::kStopped: return "stopped";
  }
  return "unknown";
}

std::unique_ptr<ISerialLine> OpenSerialLine(const char* pszDevice, SerialError* pErr) {
  SerialOpener opener;
  {
    std::lock_guard<std::mutex> lock(g_openerMutex);
    opener = g_opener;
  }
  SerialError err;
  std::unique_ptr<ISerialLine> line;
  if (!pszDevice) {
    err = CallerError("no device name");
  } else {
    line = opener ? opener(pszDevice, &err) : OpenSystemSerialLine(pszDevice, &err);
    if (!line && err.kind == SerialErrorKind::kNone) err = {SerialErrorKind::kSystem, 0, "the port could not be opened"};
  }
  if (line) err = {};
  if (pErr) *pErr = err;
  return line;
}

SerialOpener SetSerialOpener(SerialOpener opener) {
  std::lock_guard<std::mutex> lock(g_openerMutex);
  SerialOpener previous = std::move(g_opener);
  g_opener = std::move(opener);
  return previous;
}

}  // namespace plat
