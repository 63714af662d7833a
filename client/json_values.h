#pragma once
// Values of the ledgerwick command: JSON in, Variants to the daemon, and the
// daemon's Variants back out as plain text or JSON.

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "automation/variant.h"
#include "client/json_reader.h"

namespace ledgerwick::json {

// A value the command cannot turn into a Variant.
class ValueError : public std::runtime_error {
 public:
  explicit ValueError(const std::string& message) : std::runtime_error(message) {}
};

// string → String; integer → Long (Double when it does not fit); other number →
// Double; true/false → Boolean; null → Null; {"date":"YYYY-MM-DD"},
// {"time":"HH:MM:SS"} and {"datetime":"YYYY-MM-DDTHH:MM:SS"} → Date. Raises
// ValueError for anything else (arrays, other objects, malformed dates).
automation::Variant ToVariant(const Value& value);

// The value as the command prints it: texts as they are, numbers and dates as the
// runtime renders them, Empty as nothing, Null as "Null", arrays one element a line.
std::string ToPlainText(const automation::Variant& value);

// The value as JSON, in the forms ToVariant reads (Empty as null; arrays as arrays;
// an Error value as {"error":N}; an object as {"object":true}). A Double is written
// with a fraction or exponent, so it reads back as a Double; a Currency reads back as
// its amount.
std::string ToJson(const automation::Variant& value);

// A text as a JSON string.
std::string Quote(const std::string& text);

// A JSON value as the command writes it: on one line, without blanks.
std::string Dump(const nlohmann::ordered_json& value);

}  // namespace ledgerwick::json
