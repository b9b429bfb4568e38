// The one JSON writer of readerctl: one flat object per line, built field by
// field, for the --json event stream and the listing commands.
//
// Strings are bytes as the tool holds them (8-bit texts). Valid UTF-8 passes
// through; quotes, backslashes and control characters are escaped, and every
// byte that is not part of a valid UTF-8 sequence becomes \u00XX (the byte
// read as Latin-1), so the output is always valid JSON and valid UTF-8.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Appends strText as a JSON string literal, quotes included.
void AppendJsonString(std::string* pOut, std::string_view strText);

class JsonObject {
 public:
  JsonObject& Add(std::string_view strKey, std::string_view strValue);
  JsonObject& Add(std::string_view strKey, const char* pszValue) { return Add(strKey, std::string_view(pszValue)); }
  JsonObject& Add(std::string_view strKey, bool bValue);
  JsonObject& Add(std::string_view strKey, int nValue) { return Add(strKey, static_cast<std::int64_t>(nValue)); }
  JsonObject& Add(std::string_view strKey, std::int64_t nValue);
  // An array of strings.
  JsonObject& Add(std::string_view strKey, const std::vector<std::string>& values);

  // The object, "{...}", without a line end.
  std::string Text() const { return m_strBody + "}"; }
  // The object followed by "\n": one line of the event stream.
  std::string Line() const { return m_strBody + "}\n"; }

 private:
  void Key(std::string_view strKey);

  std::string m_strBody = "{";
};
