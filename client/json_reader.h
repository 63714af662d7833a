#pragma once
// A small JSON reader for the ledgerwick command's input: objects, arrays, strings
// with their escapes, numbers, true, false and null. Object members keep their order.

#include <memory>
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

// Reads exactly one JSON value, blanks around it allowed. Raises ParseError. Nesting
// deeper than 64 levels is refused.
Value Parse(const std::string& text);

}  // namespace ledgerwick::json
