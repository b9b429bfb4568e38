// A batch reads its children's event lines with the JSON reader: arbitrary
// bytes as a line must be refused or read without reading outside them, and
// any text the writer writes must come back as it was, byte for byte (the
// writer escapes bytes that are not UTF-8 as \u00XX, which the reader turns
// back into those bytes).
//
// Input: the line; the same bytes are also written as a field's text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/json_reader.h"
#include "cli/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<JsonEvent> any = JsonEvent::Parse(text);
  if (any) (void)any->String("event");

  const std::string line = JsonObject().Add("event", "log").Add("text", text).Add("n", -7).Line();
  const std::optional<JsonEvent> back = JsonEvent::Parse(line);
  if (!back || back->String("event") != "log" || back->String("text") != text || back->Int("n") != -7)
    __builtin_trap();
  return 0;
}
