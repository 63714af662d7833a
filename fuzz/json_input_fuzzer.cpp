// The ledgerwick command's JSON input: parsed, turned into the Variant sent to the
// daemon, and printed back; what the command prints as JSON reads again.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "automation/automation_error.h"
#include "client/json_reader.h"
#include "client/json_values.h"

namespace json = ledgerwick::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  json::Value value;
  try {
    value = json::Parse(text);
  } catch (const json::ParseError&) {
    return 0;
  }

  // A log line is an object of fields; each member becomes one field's value.
  auto convert = [](const json::Value& v) {
    try {
      automation::Variant variant = json::ToVariant(v);
      (void)json::ToPlainText(variant);
      std::string printed = json::ToJson(variant);
      try {
        (void)json::Parse(printed);
      } catch (const json::ParseError& e) {
        throw std::logic_error("the command prints JSON it cannot read: " + printed + ": " + e.what());
      }
    } catch (const json::ValueError&) {
    }
  };
  convert(value);
  for (const auto& member : value.members) convert(member.value);
  for (const auto& element : value.elements) convert(element);
  (void)json::Quote(text);
  return 0;
}
