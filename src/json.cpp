// The JSON parser: RapidJSON's iterative SAX reader feeding a builder of our document
// model, and the translation of its error codes into our messages.
#include "json.hpp"

#include <rapidjson/error/error.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

namespace tovik::json {

double Value::as_double() const {
  if (const auto* u = std::get_if<uint64_t>(&v)) return static_cast<double>(*u);
  if (const auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  return std::get<double>(v);
}

namespace {

// Iterative: no recursion on input depth. Numbers as strings: the reader checks their
// grammar and we convert them (number_value), because the reader's own decimal-to-float
// conversion indexes its power table out of bounds for long mantissas with exponents
// below about -330 (e.g. 1.1832884776086675872e-330) and misrounds at the smallest
// subnormal. Encoding validation: strings are valid UTF-8. No NaN/Infinity, no
// comments, and no stop-when-done, so anything after the value is an error.
constexpr unsigned PARSE_FLAGS =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;

// Why the builder stopped the reader (the reader only reports "terminated").
enum class Refusal { None, Depth, NumberRange, Surrogate };

// True when UTF-8 text holds an encoded UTF-16 surrogate (ED A0..BF ..). The reader
// validates the raw bytes, so such a sequence can only come from a \u escape.
bool has_encoded_surrogate(const char* s, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
  }
  return false;
}

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
      if (token[i] != '0') seen_nonzero = true;
      else --magnitude;
    }
  }
  int64_t exponent = 0;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    const bool negative = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '-' || token[i] == '+')) ++i;
    for (; i < token.size(); ++i) exponent = std::min<int64_t>(exponent * 10 + (token[i] - '0'), 1'000'000'000);
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

// The value of a number token the reader has checked against the JSON grammar:
// integers as uint64 (int64 when negative) when they fit, else the correctly rounded
// float; nullopt when the float is beyond the largest finite one. Too-small floats
// become zero of the token's sign.
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
  double d = 0.0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), d);
  if (ec == std::errc::result_out_of_range) {
    if (overflows(token)) return std::nullopt;
    return Value(negative ? -0.0 : 0.0);
  }
  if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(d)) return std::nullopt;
  return Value(d);
}

// Builds a Value from the reader's events with an explicit stack of open containers.
class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  bool Null() { return put(Value(json::Null{})); }
  bool Bool(bool b) { return put(Value(b)); }
  bool Int(int i) { return put(Value(i)); }
  bool Uint(unsigned u) { return put(Value(u)); }
  bool Int64(int64_t i) { return put(Value(i)); }
  bool Uint64(uint64_t u) { return put(Value(u)); }
  bool Double(double d) {
    if (!std::isfinite(d)) return refuse(Refusal::NumberRange);
    return put(Value(d));
  }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    std::optional<Value> number = number_value(std::string_view(s, n));
    if (!number) return refuse(Refusal::NumberRange);
    return put(std::move(*number));
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (has_encoded_surrogate(s, n)) return refuse(Refusal::Surrogate);
    return put(Value(std::string(s, n)));
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (has_encoded_surrogate(s, n)) return refuse(Refusal::Surrogate);
    stack_.back().key.assign(s, n);
    return true;
  }
  bool StartObject() { return open<Object>(); }
  bool StartArray() { return open<Array>(); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  Refusal refusal() const { return refusal_; }
  Value take_root() { return std::move(*root_); }

 private:
  struct Frame {
    Value container;
    std::string key;  // the key awaiting its value, in an object
  };

  bool refuse(Refusal why) {
    refusal_ = why;
    return false;
  }
  // The container opened now would be at depth stack_.size() + 1.
  template <typename Container>
  bool open() {
    if (stack_.size() + 1 >= static_cast<size_t>(MAX_DEPTH)) return refuse(Refusal::Depth);
    stack_.emplace_back().container.v.emplace<Container>();
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back().container);
    stack_.pop_back();
    return put(std::move(done));
  }
  bool put(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = stack_.back();
    if (auto* array = std::get_if<Array>(&top.container.v)) {
      array->push_back(std::move(value));
    } else {
      std::get<Object>(top.container.v).insert_or_assign(std::move(top.key), std::move(value));
    }
    return true;
  }

  std::vector<Frame> stack_;
  std::optional<Value> root_;
  Refusal refusal_ = Refusal::None;
};

// ---- Error messages ----

struct Fault {
  const char* description;
  size_t offset;
};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The last non-whitespace byte before `offset`, or 0 when there is none.
char previous_token_byte(std::string_view text, size_t offset) {
  while (offset > 0) {
    char c = text[--offset];
    if (!is_json_space(c)) return c;
  }
  return 0;
}

// True when the escape starting with the backslash at `at` (a plain escape, \uXXXX,
// or a \uXXXX\uXXXX surrogate pair) is cut short by the end of the text rather than
// being wrong in itself.
bool escape_cut_by_end(std::string_view text, size_t at) {
  size_t i = at + 1;
  for (int unit = 0; unit < 2; ++unit) {
    if (unit == 1) {
      if (i == text.size()) return true;
      if (text[i++] != '\\') return false;
    }
    if (i == text.size()) return true;
    if (text[i++] != 'u') return false;
    for (int k = 0; k < 4; ++k, ++i) {
      if (i == text.size()) return true;
      if (!is_hex(text[i])) return false;
    }
  }
  return false;
}

// The escape in the string literal ending just before `end` that encodes a lone
// trailing surrogate. The opening quote is the nearest '"' before it that is not
// itself escaped (an odd run of backslashes escapes a quote).
size_t lone_surrogate_offset(std::string_view text, size_t end) {
  size_t open = 0;
  for (size_t q = end - 1; q-- > 0;) {  // from the byte before the closing quote
    if (text[q] != '"') continue;
    size_t slashes = 0;
    while (slashes < q && text[q - 1 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 0) {
      open = q;
      break;
    }
  }
  for (size_t i = open + 1; i + 1 < end; ++i) {
    if (text[i] != '\\') continue;
    if (text[i + 1] != 'u') {
      ++i;
      continue;
    }
    unsigned cp = 0;
    std::from_chars(text.data() + i + 2, text.data() + i + 6, cp, 16);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return i;
    i += (cp >= 0xD800 && cp <= 0xDBFF) ? 11 : 5;  // a high surrogate comes paired
  }
  return open;
}

Fault eof(const char* description, std::string_view text) { return {description, text.size()}; }

Fault describe_string_fault(rapidjson::ParseErrorCode code, std::string_view text, size_t offset) {
  using namespace rapidjson;
  const bool at_end = offset >= text.size();
  const char* control = "control character (\\u0000-\\u001F) found while parsing a string";
  switch (code) {
    case kParseErrorStringMissQuotationMark:  // end of text, or a NUL byte inside it
      return at_end ? eof("EOF while parsing a string", text) : Fault{control, offset};
    case kParseErrorStringEscapeInvalid:  // a bad escape, or a raw control character
      if (static_cast<unsigned char>(text[offset]) < 0x20) return {control, offset};
      [[fallthrough]];
    case kParseErrorStringUnicodeEscapeInvalidHex:
      if (escape_cut_by_end(text, offset)) return eof("EOF while parsing a string", text);
      return {"invalid escape", offset};
    case kParseErrorStringUnicodeSurrogateInvalid:
      if (escape_cut_by_end(text, offset)) return eof("EOF while parsing a string", text);
      return {"invalid unicode code point", offset};
    default:  // kParseErrorStringInvalidEncoding: bytes that are not UTF-8
      return {"invalid unicode code point", offset};
  }
}

Fault describe_fault(rapidjson::ParseErrorCode code, size_t offset, Refusal refusal, std::string_view text) {
  using namespace rapidjson;
  const bool at_end = offset >= text.size();
  const char before = previous_token_byte(text, offset);
  switch (code) {
    case kParseErrorDocumentEmpty:  // nothing, or no value where the text starts
      return at_end ? eof("EOF while parsing a value", text) : Fault{"expected value", offset};
    case kParseErrorDocumentRootNotSingular:
      return {"trailing characters", offset};
    case kParseErrorValueInvalid:
      if (at_end) return eof(before == '[' ? "EOF while parsing a list" : "EOF while parsing a value", text);
      if (text[offset] == ']' && before == ',') return {"trailing comma", offset};
      if (before == '-') return {"invalid number", offset};
      return {"expected value", offset};
    case kParseErrorObjectMissName:
      if (at_end) return eof("EOF while parsing an object", text);
      if (text[offset] == '}' && before == ',') return {"trailing comma", offset};
      return {"key must be a string", offset};
    case kParseErrorObjectMissColon:
      return at_end ? eof("EOF while parsing an object", text) : Fault{"expected `:`", offset};
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? eof("EOF while parsing an object", text) : Fault{"expected `,` or `}`", offset};
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? eof("EOF while parsing a list", text) : Fault{"expected `,` or `]`", offset};
    case kParseErrorNumberTooBig:
      return {"number out of range", offset};
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return at_end ? eof("EOF while parsing a value", text) : Fault{"invalid number", offset};
    case kParseErrorTermination:
      if (refusal == Refusal::Depth) return {"recursion limit exceeded", offset};
      if (refusal == Refusal::NumberRange) return {"number out of range", offset};
      return {"invalid unicode code point", lone_surrogate_offset(text, offset)};
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringUnicodeSurrogateInvalid:
    case kParseErrorStringInvalidEncoding:
      return describe_string_fault(code, text, offset);
    default:
      return {"invalid syntax", offset};
  }
}

// Line and column (both 1-based, the column in bytes) of the byte at `offset`; an
// offset at the end of the text names the position just past the last byte.
std::string position_text(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  std::string_view head = text.substr(0, offset);
  size_t line = 1 + static_cast<size_t>(std::count(head.begin(), head.end(), '\n'));
  size_t line_start = head.rfind('\n');
  size_t column = line_start == std::string_view::npos ? offset + 1 : offset - line_start;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Error parse_error(std::string_view text, rapidjson::ParseErrorCode code, size_t offset, Refusal refusal) {
  Fault fault = describe_fault(code, offset, refusal, text);
  return Error::msg(fault.description + position_text(text, fault.offset));
}

// ---- Serialisation ----

void write_string(const std::string& s, std::string& out) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += hex[u >> 4];
          out += hex[u & 15];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

template <typename N>
void write_number(N n, std::string& out) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, res.ptr);
}

void write_double(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  size_t start = out.size();
  write_number(d, out);
  if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

void write_value(const Value& value, std::string& out);

void write_array(const Array& array, std::string& out) {
  out += '[';
  for (size_t i = 0; i < array.size(); ++i) {
    if (i > 0) out += ',';
    write_value(array[i], out);
  }
  out += ']';
}

void write_object(const Object& object, std::string& out) {
  out += '{';
  bool first = true;
  for (const auto& [key, member] : object) {
    if (!first) out += ',';
    first = false;
    write_string(key, out);
    out += ':';
    write_value(member, out);
  }
  out += '}';
}

void write_value(const Value& value, std::string& out) {
  std::visit(
      [&out](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Null>) out += "null";
        else if constexpr (std::is_same_v<T, bool>) out += x ? "true" : "false";
        else if constexpr (std::is_same_v<T, uint64_t> || std::is_same_v<T, int64_t>) write_number(x, out);
        else if constexpr (std::is_same_v<T, double>) write_double(x, out);
        else if constexpr (std::is_same_v<T, std::string>) write_string(x, out);
        else if constexpr (std::is_same_v<T, Array>) write_array(x, out);
        else write_object(x, out);
      },
      value.v);
}

}  // namespace

Result<Value> parse(std::string_view text) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::Reader reader;
  Builder builder;
  rapidjson::ParseResult result = reader.Parse<PARSE_FLAGS>(stream, builder);
  if (result.IsError()) return parse_error(text, result.Code(), result.Offset(), builder.refusal());
  // The reader takes a NUL byte for the end of the text; anything from there on is
  // still text after the value.
  if (stream.Tell() < text.size()) return parse_error(text, rapidjson::kParseErrorDocumentRootNotSingular, stream.Tell(), Refusal::None);
  return builder.take_root();
}

std::string serialize(const Value& value) {
  std::string out;
  write_value(value, out);
  return out;
}

}  // namespace tovik::json
