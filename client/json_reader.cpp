#include "client/json_reader.h"

#include <cstdint>

namespace ledgerwick::json {

namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  Value Document() {
    SkipBlanks();
    Value value = Read(0);
    SkipBlanks();
    if (pos_ != text_.size()) Fail("unexpected text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const { throw ParseError(message, pos_); }

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++pos_;
  }

  void Expect(char c) {
    if (Peek() != c || AtEnd()) Fail(std::string("expected '") + c + "'");
    ++pos_;
  }

  Value Read(int depth) {
    if (depth > kMaxDepth) Fail("nested too deeply");
    if (AtEnd()) Fail("expected a value");
    char c = Peek();
    if (c == '{') return ReadObject(depth);
    if (c == '[') return ReadArray(depth);
    if (c == '"') {
      Value value;
      value.kind = Value::Kind::String;
      value.string = ReadString();
      return value;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ReadNumber();
    if (ReadWord("true")) return Boolean(true);
    if (ReadWord("false")) return Boolean(false);
    if (ReadWord("null")) return Value{};
    Fail("expected a value");
  }

  static Value Boolean(bool b) {
    Value value;
    value.kind = Value::Kind::Boolean;
    value.boolean = b;
    return value;
  }

  bool ReadWord(const char* word) {
    std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  Value ReadObject(int depth) {
    Value value;
    value.kind = Value::Kind::Object;
    Expect('{');
    SkipBlanks();
    if (Peek() == '}') {
      ++pos_;
      return value;
    }
    for (;;) {
      SkipBlanks();
      if (Peek() != '"') Fail("expected a member name");
      std::string name = ReadString();
      SkipBlanks();
      Expect(':');
      SkipBlanks();
      value.members.emplace_back(std::move(name), Read(depth + 1));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      Expect('}');
      return value;
    }
  }

  Value ReadArray(int depth) {
    Value value;
    value.kind = Value::Kind::Array;
    Expect('[');
    SkipBlanks();
    if (Peek() == ']') {
      ++pos_;
      return value;
    }
    for (;;) {
      SkipBlanks();
      value.elements.push_back(Read(depth + 1));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      Expect(']');
      return value;
    }
  }

  Value ReadNumber() {
    size_t start = pos_;
    bool integer = true;
    if (Peek() == '-') ++pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (Peek() >= '1' && Peek() <= '9') {
      while (IsDigit(Peek())) ++pos_;
    } else {
      Fail("expected a digit");
    }
    if (Peek() == '.') {
      integer = false;
      ++pos_;
      if (!IsDigit(Peek())) Fail("expected a digit");
      while (IsDigit(Peek())) ++pos_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      integer = false;
      ++pos_;
      if (Peek() == '+' || Peek() == '-') ++pos_;
      if (!IsDigit(Peek())) Fail("expected a digit");
      while (IsDigit(Peek())) ++pos_;
    }
    Value value;
    value.kind = Value::Kind::Number;
    value.text = text_.substr(start, pos_ - start);
    value.integer = integer;
    return value;
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  std::string ReadString() {
    Expect('"');
    std::string out;
    for (;;) {
      if (AtEnd()) Fail("unterminated string");
      char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (AtEnd()) Fail("unterminated string");
      char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': AppendUtf8(out, ReadCodePoint()); break;
        default: --pos_; Fail("unknown escape");
      }
    }
  }

  uint32_t ReadHex4() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (AtEnd()) Fail("expected four hex digits");
      char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else { --pos_; Fail("expected four hex digits"); }
    }
    return v;
  }

  // A \u escape, joining a surrogate pair into one code point.
  uint32_t ReadCodePoint() {
    uint32_t first = ReadHex4();
    if (first >= 0xDC00 && first <= 0xDFFF) Fail("lone low surrogate");
    if (first < 0xD800 || first > 0xDBFF) return first;
    if (text_.compare(pos_, 2, "\\u") != 0) Fail("lone high surrogate");
    pos_ += 2;
    uint32_t second = ReadHex4();
    if (second < 0xDC00 || second > 0xDFFF) Fail("lone high surrogate");
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  }

  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
};

}  // namespace

Value Parse(const std::string& text) { return Reader(text).Document(); }

}  // namespace ledgerwick::json
