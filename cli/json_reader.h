// Reads back one line of readerctl's own event stream (cli/json_writer.h):
// a flat JSON object whose values are strings, integers, booleans or null.
// A batch run reads its children's streams with it. Anything else (nested
// values, fractions, trailing text, invalid escapes) is refused whole: a
// line that is not an event is shown as it stands, never half-understood.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

struct JsonValue {
  enum class Kind { Null, Bool, Int, String };
  Kind kind = Kind::Null;
  bool b = false;
  std::int64_t n = 0;
  std::string s;  // UTF-8; \u escapes decoded (\u00XX below 0x100 as that byte, as the writer wrote it)
};

class JsonEvent {
 public:
  // Parses one line (a final "\n" or "\r\n" is allowed); nullopt when the
  // line is not a flat JSON object.
  static std::optional<JsonEvent> Parse(std::string_view line);

  bool Has(const std::string& strKey) const { return m_fields.count(strKey) != 0; }
  // The value of a field of the given kind, or the fallback.
  std::string String(const std::string& strKey, const std::string& strFallback = {}) const;
  std::int64_t Int(const std::string& strKey, std::int64_t nFallback = 0) const;
  bool Bool(const std::string& strKey, bool bFallback = false) const;

 private:
  std::map<std::string, JsonValue> m_fields;
};
