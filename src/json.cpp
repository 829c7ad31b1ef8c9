// The JSON parser: one iterative pass over the bytes that checks the grammar, builds
// our document model and, on the first fault, says what is wrong and where.
#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#include "utf8.hpp"

namespace tovik::json {

double Value::as_double() const {
  if (const auto* u = std::get_if<uint64_t>(&v)) return static_cast<double>(*u);
  if (const auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  return std::get<double>(v);
}

namespace {

// True when a number token whose float conversion is out of range is too large (not
// too small): its decimal magnitude, the digits before the point (leading zeros
// skipped) plus the exponent, is positive. The exponent saturates, so any length works.
bool overflows(std::string_view token) {
  size_t i = token[0] == '-' ? 1 : 0;
  int64_t magnitude = 0;  // digits before the point, or minus the zeros after it
  bool seen_nonzero = false;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    seen_nonzero = seen_nonzero || token[i] != '0';
    if (seen_nonzero) ++magnitude;
  }
  if (i < token.size() && token[i] == '.') {
    for (++i; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
      if (seen_nonzero) continue;
      if (token[i] != '0')
        seen_nonzero = true;
      else
        --magnitude;
    }
  }
  int64_t exponent = 0;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    const bool negative = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '-' || token[i] == '+')) ++i;
    for (; i < token.size(); ++i)
      exponent = std::min<int64_t>(exponent * 10 + (token[i] - '0'), 1'000'000'000);
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

// The value of a number token the scanner has checked against the JSON grammar:
// integers as uint64 (int64 when negative) when they fit, else the correctly rounded
// float; nullopt when the float is beyond the largest finite one. A zero mantissa, with
// any exponent, and too-small floats become zero of the token's sign.
std::optional<Value> number_value(std::string_view token) {
  const bool negative = token[0] == '-';
  if (token.find_first_of(".eE") == std::string_view::npos) {
    const std::string_view digits = token.substr(negative ? 1 : 0);
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
      if (!negative || magnitude == 0) return Value(magnitude);
      if (magnitude <= uint64_t{1} << 63) return Value(static_cast<int64_t>(0 - magnitude));
    }
  }
  const std::string_view mantissa = token.substr(0, token.find_first_of("eE"));
  if (mantissa.find_first_of("123456789") == std::string_view::npos) return Value(negative ? -0.0 : 0.0);
  double d = 0.0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), d);
  if (ec == std::errc::result_out_of_range) {
    if (overflows(token)) return std::nullopt;
    return Value(negative ? -0.0 : 0.0);
  }
  if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(d)) return std::nullopt;
  return Value(d);
}

// ---- The scanner ----

// The descriptions, one per kind of fault.
constexpr const char* EOF_VALUE = "EOF while parsing a value";            // text ends where a value was due
constexpr const char* EOF_LIST = "EOF while parsing a list";              // ends after `[` or an element
constexpr const char* EOF_OBJECT = "EOF while parsing an object";         // ends after `{`, a key or a member
constexpr const char* EOF_STRING = "EOF while parsing a string";          // ends inside a string
constexpr const char* EXPECTED_VALUE = "expected value";                  // a byte no value starts with
constexpr const char* EXPECTED_IDENT = "expected ident";                  // a misspelt true, false or null
constexpr const char* TRAILING_CHARACTERS = "trailing characters";        // anything after the value
constexpr const char* TRAILING_COMMA = "trailing comma";                  // `,` right before `]` or `}`
constexpr const char* KEY_MUST_BE_A_STRING = "key must be a string";      // a member not starting with `"`
constexpr const char* EXPECTED_COLON = "expected `:`";                    // after a key
constexpr const char* EXPECTED_COMMA_OR_BRACE = "expected `,` or `}`";    // after a member
constexpr const char* EXPECTED_COMMA_OR_BRACKET = "expected `,` or `]`";  // after an element
constexpr const char* INVALID_NUMBER = "invalid number";             // a byte breaking the number grammar
constexpr const char* NUMBER_OUT_OF_RANGE = "number out of range";   // beyond the largest float
constexpr const char* RECURSION_LIMIT = "recursion limit exceeded";  // the MAX_DEPTH-th nested level
constexpr const char* INVALID_ESCAPE = "invalid escape";             // a bad escape or hex digit
// A leading surrogate escape not followed by another escape.
constexpr const char* UNEXPECTED_END_OF_HEX_ESCAPE = "unexpected end of hex escape";
constexpr const char* LONE_SURROGATE = "lone leading surrogate in hex escape";  // a surrogate left unpaired
constexpr const char* INVALID_CODE_POINT = "invalid unicode code point";  // raw bytes that are not UTF-8
constexpr const char* CONTROL_CHARACTER = "control character (\\u0000-\\u001F) found while parsing a string";

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
// A byte a string holds as it is: not a quote, backslash, control character or the
// start of a multi-byte UTF-8 sequence.
bool is_plain_string_byte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(uint32_t cp, std::string& out) {
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

// The message's position for p, a byte offset into the text: the line is 1 + the
// newlines before p, the column is p minus the offset just after the last of them.
// A fault at a byte has p = its offset + 1 (its 1-based column); a text that ends too
// early has p = its length.
std::string position_text(std::string_view text, size_t p) {
  const std::string_view head = text.substr(0, std::min(p, text.size()));
  const size_t line = 1 + static_cast<size_t>(std::count(head.begin(), head.end(), '\n'));
  const size_t last_newline = head.rfind('\n');
  const size_t column = last_newline == std::string_view::npos ? head.size() : head.size() - last_newline - 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// One parse. Containers in progress live on an explicit stack, so input depth never
// becomes call depth. Every step that can fail records the fault and returns false.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  Result<Value> run() {
    Result<Value> out{Value()};  // filled in place: GCC 12 sees a moved-in root as maybe uninitialized
    if (!document(*out)) return Error::msg(description_ + position_text(text_, fault_p_));
    return out;
  }

 private:
  struct Frame {
    Value container;
    std::string key;  // in an object, the key whose value comes next
  };

  bool fail_at(const char* description, size_t offset) { return fail_p(description, offset + 1); }
  bool fail_eof(const char* description) { return fail_p(description, text_.size()); }
  bool fail_p(const char* description, size_t p) {
    description_ = description;
    fault_p_ = p;
    return false;
  }

  bool at_end() const { return pos_ == text_.size(); }
  void skip_space() {
    while (!at_end() && is_json_space(text_[pos_])) ++pos_;
  }
  bool in_object() const { return stack_.back().container.is_object(); }

  bool document(Value& root);
  bool open_container(bool& closed_at_once);
  bool after_value(Value& done, bool& finished);
  bool member_key();
  bool scalar(Value& out);
  bool literal(std::string_view word, Value value, Value& out);
  bool number(Value& out);
  bool string(std::string& out);
  bool escape(std::string& out);
  bool unicode_escape(std::string& out);
  bool hex_unit(size_t at, uint32_t& unit);
  bool utf8_sequence(std::string& out);

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<Frame> stack_;
  const char* description_ = "";
  size_t fault_p_ = 0;
};

// The whole text: one value, whitespace around it. Each round of the loop starts at
// the first byte of a value (whitespace skipped, text not ended).
bool Scanner::document(Value& root) {
  skip_space();
  if (at_end()) return fail_eof(EOF_VALUE);
  for (;;) {
    Value done;
    const char c = text_[pos_];
    if (c == '{' || c == '[') {
      bool closed_at_once = false;
      if (!open_container(closed_at_once)) return false;
      if (!closed_at_once) continue;  // its first element is next
      done = std::move(stack_.back().container);
      stack_.pop_back();
    } else if (!scalar(done)) {
      return false;
    }
    bool finished = false;
    if (!after_value(done, finished)) return false;
    if (finished) {
      root = std::move(done);
      return true;
    }
  }
}

// At `{` or `[`: opens the container. Either it closes at once (empty) or the scan is
// left at its first value, past the first key in an object.
bool Scanner::open_container(bool& closed_at_once) {
  const bool object = text_[pos_] == '{';
  if (stack_.size() + 1 >= static_cast<size_t>(MAX_DEPTH)) return fail_at(RECURSION_LIMIT, pos_);
  if (object)
    stack_.emplace_back().container.v.emplace<Object>();
  else
    stack_.emplace_back().container.v.emplace<Array>();
  ++pos_;
  skip_space();
  if (at_end()) return fail_eof(object ? EOF_OBJECT : EOF_LIST);
  if (text_[pos_] == (object ? '}' : ']')) {
    ++pos_;
    closed_at_once = true;
    return true;
  }
  return !object || member_key();
}

// A value is complete: files it into the innermost container, then reads on to the
// next value (finished = false) or, when the outermost value is done and only
// whitespace follows, finishes with that value in `done`.
bool Scanner::after_value(Value& done, bool& finished) {
  for (;;) {
    if (stack_.empty()) {
      skip_space();
      if (!at_end()) return fail_at(TRAILING_CHARACTERS, pos_);
      finished = true;
      return true;
    }
    Frame& top = stack_.back();
    const bool object = in_object();
    if (object)
      std::get<Object>(top.container.v).insert_or_assign(std::move(top.key), std::move(done));
    else
      std::get<Array>(top.container.v).push_back(std::move(done));
    skip_space();
    if (at_end()) return fail_eof(object ? EOF_OBJECT : EOF_LIST);
    const char close = object ? '}' : ']';
    if (text_[pos_] == close) {
      ++pos_;
      done = std::move(top.container);
      stack_.pop_back();
      continue;
    }
    if (text_[pos_] != ',') {
      return fail_at(object ? EXPECTED_COMMA_OR_BRACE : EXPECTED_COMMA_OR_BRACKET, pos_);
    }
    ++pos_;
    skip_space();
    if (at_end()) return fail_eof(EOF_VALUE);
    if (text_[pos_] == close) return fail_at(TRAILING_COMMA, pos_);
    return !object || member_key();
  }
}

// At a member of the innermost object: its key, the colon, and up to its value.
bool Scanner::member_key() {
  if (text_[pos_] != '"') return fail_at(KEY_MUST_BE_A_STRING, pos_);
  std::string key;
  if (!string(key)) return false;
  stack_.back().key = std::move(key);
  skip_space();
  if (at_end()) return fail_eof(EOF_OBJECT);
  if (text_[pos_] != ':') return fail_at(EXPECTED_COLON, pos_);
  ++pos_;
  skip_space();
  if (at_end()) return fail_eof(EOF_VALUE);
  return true;
}

bool Scanner::scalar(Value& out) {
  const char c = text_[pos_];
  if (c == '"') {
    std::string s;
    if (!string(s)) return false;
    out = Value(std::move(s));
    return true;
  }
  if (c == '-' || is_digit(c)) return number(out);
  if (c == 't') return literal("true", Value(true), out);
  if (c == 'f') return literal("false", Value(false), out);
  if (c == 'n') return literal("null", Value(Null{}), out);
  return fail_at(EXPECTED_VALUE, pos_);
}

bool Scanner::literal(std::string_view word, Value value, Value& out) {
  for (char expected : word) {
    if (at_end()) return fail_eof(EOF_VALUE);
    if (text_[pos_] != expected) return fail_at(EXPECTED_IDENT, pos_);
    ++pos_;
  }
  out = std::move(value);
  return true;
}

// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?, then its value.
bool Scanner::number(Value& out) {
  const size_t start = pos_;
  auto digits = [this](bool single_zero) {
    if (at_end()) return fail_eof(EOF_VALUE);
    if (!is_digit(text_[pos_])) return fail_at(INVALID_NUMBER, pos_);
    const bool zero = text_[pos_++] == '0';
    if (single_zero && zero) {
      if (!at_end() && is_digit(text_[pos_])) return fail_at(INVALID_NUMBER, pos_);  // a leading zero
      return true;
    }
    while (!at_end() && is_digit(text_[pos_])) ++pos_;
    return true;
  };
  if (text_[pos_] == '-') ++pos_;
  if (!digits(true)) return false;
  if (!at_end() && text_[pos_] == '.') {
    ++pos_;
    if (!digits(false)) return false;
  }
  if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!digits(false)) return false;
  }
  std::optional<Value> value = number_value(text_.substr(start, pos_ - start));
  if (!value) return fail_p(NUMBER_OUT_OF_RANGE, pos_);  // reported at the number's end
  out = std::move(*value);
  return true;
}

// At the opening quote: the string's bytes, escapes decoded, up to its closing quote.
bool Scanner::string(std::string& out) {
  ++pos_;
  for (;;) {
    const size_t run = pos_;
    while (!at_end() && is_plain_string_byte(text_[pos_])) ++pos_;
    out.append(text_.substr(run, pos_ - run));
    if (at_end()) return fail_eof(EOF_STRING);
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c < 0x20) return fail_at(CONTROL_CHARACTER, pos_);
    if (!(c == '\\' ? escape(out) : utf8_sequence(out))) return false;
  }
}

// At a backslash inside a string.
bool Scanner::escape(std::string& out) {
  ++pos_;
  if (at_end()) return fail_eof(EOF_STRING);
  static constexpr std::string_view PLAIN = "\"\\/bfnrt";
  static constexpr std::string_view DECODED = "\"\\/\b\f\n\r\t";
  const size_t which = PLAIN.find(text_[pos_]);
  if (which != std::string_view::npos) {
    out += DECODED[which];
    ++pos_;
    return true;
  }
  if (text_[pos_] != 'u') return fail_at(INVALID_ESCAPE, pos_);
  return unicode_escape(out);
}

// At the `u` of \uXXXX. A leading surrogate needs a trailing one in the next escape;
// a trailing surrogate on its own, or anything but one after a leading surrogate, is
// reported just after the offending escape's four digits.
bool Scanner::unicode_escape(std::string& out) {
  uint32_t unit = 0;
  if (!hex_unit(pos_ + 1, unit)) return false;
  const size_t after = pos_ + 5;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_p(LONE_SURROGATE, after);
  if (unit < 0xD800 || unit > 0xDBFF) {
    append_utf8(unit, out);
    pos_ = after;
    return true;
  }
  for (size_t at = after; at < after + 2; ++at) {
    if (at == text_.size()) return fail_eof(EOF_STRING);
    if (text_[at] != "\\u"[at - after]) return fail_at(UNEXPECTED_END_OF_HEX_ESCAPE, at);
  }
  uint32_t low = 0;
  if (!hex_unit(after + 2, low)) return false;
  if (low < 0xDC00 || low > 0xDFFF) return fail_p(LONE_SURROGATE, after + 6);
  append_utf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
  pos_ = after + 6;
  return true;
}

// The four bytes from `at` as one UTF-16 unit: all four are taken before any is
// judged, so a fault is at the fourth.
bool Scanner::hex_unit(size_t at, uint32_t& unit) {
  if (text_.size() - at < 4) return fail_eof(EOF_STRING);
  unit = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int d = hex_digit(text_[i]);
    if (d < 0) return fail_at(INVALID_ESCAPE, at + 3);
    unit = unit * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

// At a byte of 0x80 or more inside a string: one well-formed UTF-8 sequence (no
// overlong forms, surrogates or code points past U+10FFFF), faulted at its first
// wrong byte.
bool Scanner::utf8_sequence(std::string& out) {
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(text_[pos_]));
  if (lead.continuations == 0) return fail_at(INVALID_CODE_POINT, pos_);
  const size_t taken = utf8_continuations(text_, pos_, lead);
  if (taken < lead.continuations) {
    const size_t wrong = pos_ + 1 + taken;
    if (wrong == text_.size()) return fail_eof(EOF_STRING);
    return fail_at(INVALID_CODE_POINT, wrong);
  }
  out.append(text_.substr(pos_, taken + 1));
  pos_ += taken + 1;
  return true;
}

}  // namespace

Result<Value> parse(std::string_view text) { return Scanner(text).run(); }

}  // namespace tovik::json
