#include "cli/json_reader.h"

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text) {}

  void SkipSpace() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t')) ++m_at;
  }
  bool Take(char c) {
    SkipSpace();
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipSpace();
    return m_at == m_text.size();
  }
  bool Word(std::string_view word) {
    SkipSpace();
    if (m_text.substr(m_at, word.size()) != word) return false;
    m_at += word.size();
    return true;
  }

  bool String(std::string* pOut) {
    if (!Take('"')) return false;
    for (;;) {
      if (m_at >= m_text.size()) return false;
      const unsigned char c = static_cast<unsigned char>(m_text[m_at++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        *pOut += static_cast<char>(c);
        continue;
      }
      if (m_at >= m_text.size()) return false;
      const char e = m_text[m_at++];
      switch (e) {
        case '"': *pOut += '"'; break;
        case '\\': *pOut += '\\'; break;
        case '/': *pOut += '/'; break;
        case 'b': *pOut += '\b'; break;
        case 'f': *pOut += '\f'; break;
        case 'n': *pOut += '\n'; break;
        case 'r': *pOut += '\r'; break;
        case 't': *pOut += '\t'; break;
        case 'u':
          if (!Unicode(pOut)) return false;
          break;
        default: return false;
      }
    }
  }

  bool Integer(std::int64_t* pOut) {
    SkipSpace();
    bool bNegative = false;
    if (m_at < m_text.size() && m_text[m_at] == '-') {
      bNegative = true;
      ++m_at;
    }
    const std::size_t nStart = m_at;
    std::uint64_t n = 0;
    while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
      if (m_at - nStart >= 18) return false;  // beyond what the stream ever holds
      n = n * 10 + static_cast<unsigned>(m_text[m_at++] - '0');
    }
    if (m_at == nStart) return false;
    if (m_at < m_text.size() && (m_text[m_at] == '.' || m_text[m_at] == 'e' || m_text[m_at] == 'E')) return false;
    *pOut = bNegative ? -static_cast<std::int64_t>(n) : static_cast<std::int64_t>(n);
    return true;
  }

 private:
  bool Hex4(unsigned* pOut) {
    if (m_text.size() - m_at < 4) return false;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_at++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *pOut = v;
    return true;
  }

  // After "\u": one code point, a surrogate pair taken whole. The writer
  // escapes bytes that are not UTF-8 as \u00XX; those come back as the byte.
  bool Unicode(std::string* pOut) {
    unsigned cp = 0;
    if (!Hex4(&cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      unsigned lo = 0;
      if (m_text.substr(m_at, 2) != "\\u") return false;
      m_at += 2;
      if (!Hex4(&lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    }
    if (cp < 0x100) {
      *pOut += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *pOut += static_cast<char>(0xC0 | (cp >> 6));
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *pOut += static_cast<char>(0xE0 | (cp >> 12));
      *pOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *pOut += static_cast<char>(0xF0 | (cp >> 18));
      *pOut += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *pOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return true;
  }

  std::string_view m_text;
  std::size_t m_at = 0;
};

}  // namespace

std::optional<JsonEvent> JsonEvent::Parse(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  Reader r(line);
  JsonEvent event;
  if (!r.Take('{')) return std::nullopt;
  if (!r.Take('}')) {
    do {
      std::string strKey;
      if (!r.String(&strKey) || !r.Take(':')) return std::nullopt;
      JsonValue v;
      if (r.Word("null")) {
        v.kind = JsonValue::Kind::Null;
      } else if (r.Word("true")) {
        v.kind = JsonValue::Kind::Bool;
        v.b = true;
      } else if (r.Word("false")) {
        v.kind = JsonValue::Kind::Bool;
      } else {
        r.SkipSpace();
        if (r.String(&v.s)) {
          v.kind = JsonValue::Kind::String;
        } else if (r.Integer(&v.n)) {
          v.kind = JsonValue::Kind::Int;
        } else {
          return std::nullopt;
        }
      }
      event.m_fields[strKey] = std::move(v);
    } while (r.Take(','));
    if (!r.Take('}')) return std::nullopt;
  }
  if (!r.AtEnd()) return std::nullopt;
  return event;
}

std::string JsonEvent::String(const std::string& strKey, const std::string& strFallback) const {
  const auto it = m_fields.find(strKey);
  return it != m_fields.end() && it->second.kind == JsonValue::Kind::String ? it->second.s : strFallback;
}

std::int64_t JsonEvent::Int(const std::string& strKey, std::int64_t nFallback) const {
  const auto it = m_fields.find(strKey);
  return it != m_fields.end() && it->second.kind == JsonValue::Kind::Int ? it->second.n : nFallback;
}

bool JsonEvent::Bool(const std::string& strKey, bool bFallback) const {
  const auto it = m_fields.find(strKey);
  return it != m_fields.end() && it->second.kind == JsonValue::Kind::Bool ? it->second.b : bFallback;
}
