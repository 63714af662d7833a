#include "client/json_reader.h"

#include <cstddef>
#include <iterator>
#include <optional>

#include <nlohmann/json.hpp>

namespace ledgerwick::json {

namespace {

constexpr size_t kMaxDepth = 64;

// A pointer into the text that notes in `*reach` how many bytes the library has
// taken, so that a fault the builder finds itself (too deep a nesting) is reported at
// the place the library had come to.
class ReachIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ReachIterator(const char* at, const char* begin, size_t* reach) : at_(at), begin_(begin), reach_(reach) {}

  reference operator*() const { return *at_; }
  ReachIterator& operator++() {
    ++at_;
    *reach_ = static_cast<size_t>(at_ - begin_);
    return *this;
  }
  ReachIterator operator++(int) {
    ReachIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const ReachIterator& other) const { return at_ == other.at_; }
  bool operator!=(const ReachIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char* begin_;
  size_t* reach_;
};

// The library's message without its "[json.exception.parse_error.101] parse error at
// line 1, column 4: " lead, which repeats what the offset says.
std::string ShortMessage(const std::string& what) {
  std::string message = what;
  if (message.rfind("[json.exception.", 0) == 0) {
    std::string::size_type close = message.find("] ");
    if (close != std::string::npos) message.erase(0, close + 2);
  }
  if (message.rfind("parse error", 0) == 0) {
    std::string::size_type colon = message.find(": ");
    if (colon != std::string::npos) message.erase(0, colon + 2);
  }
  return message;
}

// The library names the token it was reading, which can be as long as the text (a
// string of a megabyte with a bad byte at its end): a long one keeps its start and end.
std::string ShortToken(const std::string& token) {
  constexpr size_t kKept = 24;
  if (token.size() <= 2 * kKept + 3) return token;
  // Cut between characters, not inside one's UTF-8 bytes.
  auto lead = [&token](size_t at) {
    while (at > 0 && (static_cast<unsigned char>(token[at]) & 0xC0) == 0x80) --at;
    return at;
  };
  return token.substr(0, lead(kKept)) + "..." + token.substr(lead(token.size() - kKept));
}

// Builds a Value from the library's events with a stack of the open arrays and
// objects, so that no depth of input recurses here.
class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit Builder(const size_t* reach) : reach_(reach) {}

  bool null() override { return Scalar(Value{}); }
  bool boolean(bool b) override {
    Value value;
    value.kind = Value::Kind::Boolean;
    value.boolean = b;
    return Scalar(std::move(value));
  }
  // Integers reach us as their value; JSON has no leading zeros, so their decimal form
  // is their text (a "-0" reads as "0", the same whole number).
  bool number_integer(number_integer_t n) override { return Number(std::to_string(n)); }
  bool number_unsigned(number_unsigned_t n) override { return Number(std::to_string(n)); }
  // Everything else, integers too long for 64 bits among them, comes with its text.
  bool number_float(number_float_t, const string_t& text) override { return Number(text); }
  bool string(string_t& s) override {
    Value value;
    value.kind = Value::Kind::String;
    value.string = std::move(s);
    return Scalar(std::move(value));
  }
  bool binary(binary_t&) override { return Fail("binary values are not JSON", *reach_); }

  bool start_object(std::size_t) override { return Open(Value::Kind::Object); }
  bool key(string_t& name) override {
    names_.back() = std::move(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(Value::Kind::Array); }
  bool end_array() override { return Close(); }

  bool parse_error(std::size_t position, const std::string& token, const nlohmann::json::exception& e) override {
    std::string message = ShortMessage(e.what());
    const std::string::size_type at = message.find(token);
    if (!token.empty() && at != std::string::npos) message.replace(at, token.size(), ShortToken(token));
    // The library counts bytes from 1, the end of the text as one more.
    return Fail(message, position > 0 ? position - 1 : 0);
  }

  Value Take() { return std::move(*root_); }
  const std::optional<ParseError>& error() const { return error_; }

 private:
  bool Fail(const std::string& message, size_t offset) {
    error_.emplace(message, offset);
    return false;
  }

  // A value at a depth past the limit is refused where the library stands: at the
  // bracket that opens it, or at the end of a scalar.
  bool Deep() {
    if (open_.size() <= kMaxDepth) return false;
    Fail("nested too deeply", *reach_ > 0 ? *reach_ - 1 : 0);
    return true;
  }

  bool Number(std::string text) {
    Value value;
    value.kind = Value::Kind::Number;
    value.integer = text.find_first_of(".eE") == std::string::npos;
    value.text = std::move(text);
    return Scalar(std::move(value));
  }

  bool Scalar(Value value) {
    if (Deep()) return false;
    Add(std::move(value));
    return true;
  }

  bool Open(Value::Kind kind) {
    if (Deep()) return false;
    open_.emplace_back();
    open_.back().kind = kind;
    names_.emplace_back();
    return true;
  }

  bool Close() {
    Value done = std::move(open_.back());
    open_.pop_back();
    names_.pop_back();
    Add(std::move(done));
    return true;
  }

  void Add(Value value) {
    if (open_.empty()) {
      root_.emplace(std::move(value));
    } else if (open_.back().kind == Value::Kind::Array) {
      open_.back().elements.push_back(std::move(value));
    } else {
      open_.back().members.emplace_back(names_.back(), std::move(value));
    }
  }

  const size_t* reach_;
  // The arrays and objects being read, outermost first, and for each the name of the
  // member whose value comes next (unused for an array).
  std::vector<Value> open_;
  std::vector<std::string> names_;
  std::optional<Value> root_;
  std::optional<ParseError> error_;
};

}  // namespace

Value Parse(const std::string& text) {
  // The library takes a NUL byte between tokens for the end of the text, which would
  // pass over whatever follows it. No JSON text holds one, so the library reads only up
  // to the first, and one there is refused unless the text went wrong before it.
  const size_t nul = text.find('\0');
  const size_t length = nul == std::string::npos ? text.size() : nul;
  size_t reach = 0;
  const char* begin = text.data();
  Builder builder(&reach);
  bool ok = nlohmann::json::sax_parse(ReachIterator(begin, begin, &reach), ReachIterator(begin + length, begin, &reach),
                                      &builder, nlohmann::json::input_format_t::json, /*strict=*/true,
                                      /*ignore_comments=*/false);
  if (builder.error() && builder.error()->offset() < length) throw *builder.error();
  if (nul != std::string::npos) throw ParseError("NUL byte in the text", nul);
  if (builder.error()) throw *builder.error();
  if (!ok) throw ParseError("not a JSON value", reach);
  return builder.Take();
}

}  // namespace ledgerwick::json
