#pragma once
// The JSON reader of the ledgerwick command's input: objects, arrays, strings, numbers,
// true, false and null, read by nlohmann-json and kept in a tree of our own. Object
// members keep their order, and a repeated member name is kept as it came.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ledgerwick::json {

struct Value {
  struct Member;
  enum class Kind { Null, Boolean, Number, String, Array, Object };

  Kind kind = Kind::Null;
  bool boolean = false;
  // A number keeps its text; `integer` tells whether it is written without fraction
  // or exponent.
  std::string text;
  bool integer = false;
  std::string string;
  std::vector<Value> elements;
  std::vector<Member> members;
};

// One member of an object. (A std::pair would need Value complete where Value is
// still being declared, which not every standard library allows.)
struct Value::Member {
  Member(std::string n, Value v) : name(std::move(n)), value(std::move(v)) {}
  std::string name;
  Value value;
};

class ParseError : public std::runtime_error {
 public:
  ParseError(const std::string& message, size_t offset)
      : std::runtime_error(message + " at offset " + std::to_string(offset)), offset_(offset) {}
  size_t offset() const { return offset_; }

 private:
  size_t offset_;
};

// Reads exactly one JSON value, blanks around it allowed. Strings must be valid UTF-8.
// Raises ParseError, whose offset is that of the last byte read when the fault was
// found. Nesting deeper than 64 levels is refused.
Value Parse(const std::string& text);

}  // namespace ledgerwick::json
