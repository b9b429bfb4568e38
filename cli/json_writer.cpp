#include "cli/json_writer.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence that starts at p (at most n bytes
// available), or 0 when the bytes there are not one. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t n) {
  const unsigned char c = p[0];
  std::size_t nLen = 0;
  std::uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    nLen = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    nLen = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    nLen = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < nLen) return 0;
  for (std::size_t i = 1; i < nLen; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (nLen == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (nLen == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return nLen;
}

void AppendEscapedByte(std::string* pOut, unsigned char c) {
  char sz[8];
  std::snprintf(sz, sizeof sz, "\\u%04X", static_cast<unsigned>(c));
  *pOut += sz;
}

}  // namespace

void AppendJsonString(std::string* pOut, std::string_view strText) {
  *pOut += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(strText.data());
  const std::size_t n = strText.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          *pOut += "\\\"";
          break;
        case '\\':
          *pOut += "\\\\";
          break;
        case '\b':
          *pOut += "\\b";
          break;
        case '\f':
          *pOut += "\\f";
          break;
        case '\n':
          *pOut += "\\n";
          break;
        case '\r':
          *pOut += "\\r";
          break;
        case '\t':
          *pOut += "\\t";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            AppendEscapedByte(pOut, c);
          } else {
            *pOut += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const std::size_t nSeq = Utf8SequenceLength(p + i, n - i);
    if (nSeq == 0) {
      AppendEscapedByte(pOut, c);
      ++i;
    } else {
      pOut->append(reinterpret_cast<const char*>(p + i), nSeq);
      i += nSeq;
    }
  }
  *pOut += '"';
}

void JsonObject::Key(std::string_view strKey) {
  if (m_strBody.size() > 1) m_strBody += ',';
  AppendJsonString(&m_strBody, strKey);
  m_strBody += ':';
}

JsonObject& JsonObject::Add(std::string_view strKey, std::string_view strValue) {
  Key(strKey);
  AppendJsonString(&m_strBody, strValue);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view strKey, bool bValue) {
  Key(strKey);
  m_strBody += bValue ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Add(std::string_view strKey, std::int64_t nValue) {
  Key(strKey);
  m_strBody += std::to_string(nValue);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view strKey, const std::vector<std::string>& values) {
  Key(strKey);
  m_strBody += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) m_strBody += ',';
    AppendJsonString(&m_strBody, values[i]);
  }
  m_strBody += ']';
  return *this;
}
