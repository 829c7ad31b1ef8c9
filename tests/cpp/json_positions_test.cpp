// Differential test of the parser's faults: random mutations of valid texts, parsed by
// the parser and by a reference written separately here from the same rules
// (recursive descent, strtod for the range of numbers, UTF-8 judged by the code
// points a byte prefix can still encode). Both must accept the same texts and refuse
// the others with the same message, position included.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json.hpp"

namespace tovik::json {
namespace {

struct Fault {
  std::string description;
  size_t p;  // the byte offset the position is computed from
};

class Reference {
 public:
  explicit Reference(std::string_view text) : t_(text) {}

  // The message of the first fault, or nullopt for a valid text.
  std::optional<std::string> check() {
    try {
      space();
      value(0);
      space();
      if (!end()) at("trailing characters");
      return std::nullopt;
    } catch (const Fault& f) {
      return f.description + position(f.p);
    }
  }

 private:
  std::string position(size_t p) const {
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < p; ++i) {
      if (t_[i] == '\n') ++line, line_start = i + 1;
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(p - line_start);
  }
  [[noreturn]] void at(const char* what) const { throw Fault{what, i_ + 1}; }
  [[noreturn]] void eof(const char* what) const { throw Fault{what, t_.size()}; }
  bool end() const { return i_ >= t_.size(); }
  char peek() const { return t_[i_]; }
  bool digit() const { return !end() && peek() >= '0' && peek() <= '9'; }
  void space() {
    while (!end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++i_;
  }

  void value(int depth) {
    if (end()) eof("EOF while parsing a value");
    switch (peek()) {
      case '{':
      case '[':
        return container(depth + 1);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        if (peek() == '-' || digit()) return number();
        at("expected value");
    }
  }

  void container(int depth) {
    if (depth >= MAX_DEPTH) at("recursion limit exceeded");
    const bool object = peek() == '{';
    const char close = object ? '}' : ']';
    const char* cut = object ? "EOF while parsing an object" : "EOF while parsing a list";
    ++i_;
    space();
    if (end()) eof(cut);
    if (peek() == close) return void(++i_);
    for (;;) {
      if (object) {
        if (peek() != '"') at("key must be a string");
        string();
        space();
        if (end()) eof(cut);
        if (peek() != ':') at("expected `:`");
        ++i_;
        space();
      }
      value(depth);
      space();
      if (end()) eof(cut);
      if (peek() == close) return void(++i_);
      if (peek() != ',') at(object ? "expected `,` or `}`" : "expected `,` or `]`");
      ++i_;
      space();
      if (end()) eof("EOF while parsing a value");
      if (peek() == close) at("trailing comma");
    }
  }

  void word(std::string_view w) {
    for (char c : w) {
      if (end()) eof("EOF while parsing a value");
      if (peek() != c) at("expected ident");
      ++i_;
    }
  }

  void digits() {
    if (end()) eof("EOF while parsing a value");
    if (!digit()) at("invalid number");
    while (digit()) ++i_;
  }

  void number() {
    const size_t start = i_;
    if (peek() == '-') ++i_;
    if (!end() && peek() == '0') {
      ++i_;
      if (digit()) at("invalid number");
    } else {
      digits();
    }
    if (!end() && peek() == '.') ++i_, digits();
    if (!end() && (peek() == 'e' || peek() == 'E')) {
      ++i_;
      if (!end() && (peek() == '+' || peek() == '-')) ++i_;
      digits();
    }
    const std::string token(t_.substr(start, i_ - start));
    errno = 0;
    const double d = std::strtod(token.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(d)) throw Fault{"number out of range", i_};
  }

  void string() {
    ++i_;
    for (;;) {
      if (end()) eof("EOF while parsing a string");
      const unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') return void(++i_);
      if (c < 0x20) at("control character (\\u0000-\\u001F) found while parsing a string");
      if (c == '\\')
        escape();
      else if (c >= 0x80)
        utf8();
      else
        ++i_;
    }
  }

  // At the `u`: its four bytes as a number; i_ ends just past them.
  unsigned hex4() {
    if (t_.size() - i_ - 1 < 4) eof("EOF while parsing a string");
    const std::string four(t_.substr(i_ + 1, 4));
    i_ += 4;  // at the fourth
    if (four.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) at("invalid escape");
    ++i_;
    return static_cast<unsigned>(std::stoul(four, nullptr, 16));
  }

  void escape() {
    ++i_;
    if (end()) eof("EOF while parsing a string");
    if (std::string_view("\"\\/bfnrt").find(peek()) != std::string_view::npos) return void(++i_);
    if (peek() != 'u') at("invalid escape");
    auto low = [](unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; };
    const unsigned first = hex4();
    if (low(first)) throw Fault{"lone leading surrogate in hex escape", i_};
    if (first < 0xD800 || first > 0xDBFF) return;
    for (char c : {'\\', 'u'}) {
      if (end()) eof("EOF while parsing a string");
      if (peek() != c) at("unexpected end of hex escape");
      if (c == '\\') ++i_;
    }
    if (!low(hex4())) throw Fault{"lone leading surrogate in hex escape", i_};
  }

  // Whether some code point has an `length`-byte UTF-8 encoding starting with `bytes`.
  static bool viable(std::string_view bytes, size_t length) {
    static const uint32_t LOWEST[] = {0, 0, 0x80, 0x800, 0x10000};
    static const uint32_t HIGHEST[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    uint32_t low = static_cast<unsigned char>(bytes[0]) & (0x7F >> length);
    for (size_t k = 1; k < bytes.size(); ++k) {
      const unsigned char b = static_cast<unsigned char>(bytes[k]);
      if ((b & 0xC0) != 0x80) return false;
      low = (low << 6) | (b & 0x3F);
    }
    const unsigned missing = 6 * static_cast<unsigned>(length - bytes.size());
    const uint32_t high = std::min<uint32_t>((low << missing) | ((1u << missing) - 1), HIGHEST[length]);
    low = std::max<uint32_t>(low << missing, LOWEST[length]);
    if (low > high) return false;
    return !(low >= 0xD800 && high <= 0xDFFF);
  }

  void utf8() {
    const unsigned char lead = static_cast<unsigned char>(peek());
    const size_t length = (lead & 0xE0) == 0xC0   ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
    if (length == 0 || !viable(t_.substr(i_, 1), length)) at("invalid unicode code point");
    for (size_t k = 1; k < length; ++k) {
      if (i_ + k == t_.size()) eof("EOF while parsing a string");
      if (!viable(t_.substr(i_, k + 1), length)) throw Fault{"invalid unicode code point", i_ + k + 1};
    }
    i_ += length;
  }

  std::string_view t_;
  size_t i_ = 0;
};

// Valid texts covering every construct; mutations then break them anywhere.
const std::string SEEDS[] = {
    R"({"a": [1, -2.5e+3, 0, 0.25E-2, true, false, null], "b": {"c": "d\n\u00e9\ud83d\ude00"}})",
    "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf\xf4\x8f\xbf\xbf\", {\"\": []}, -0, 1e-400]",
    "\n {\n\t\"key\" :\r\n [ \"\\\\\\\"\\/\\b\\f\\r\\t\" , 18446744073709551616 ]\n}\n",
    R"([[[{"x": [{"y": "\uD800\uDC00\u0041"}]}]], 123456789, -0.0e-0])",
    "\"\\uDBFF\\uDFFF tail\"",
    std::string(MAX_DEPTH - 2, '[') + std::string(MAX_DEPTH - 2, ']'),  // one level short of the limit
};

// Bytes a mutation inserts or writes: structure, number and escape characters,
// control and non-ASCII bytes.
const char MUTATION_BYTES[] =
    "{}[]:,\"\\u0129eE.-+tfnlx \n\t\x01\x7f\x80\xbf\xc2\xe0\xed\xf0\xf4\xff"
    "dDcC";

std::string mutate(std::string text, std::mt19937& rng) {
  auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const int edits = 1 + static_cast<int>(pick(3));
  for (int e = 0; e < edits && !text.empty(); ++e) {
    const size_t at = pick(text.size());
    const char byte = MUTATION_BYTES[pick(sizeof MUTATION_BYTES - 1)];
    switch (pick(4)) {
      case 0:
        text[at] = byte;
        break;
      case 1:
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte);
        break;
      case 2:
        text.erase(at, 1);
        break;
      default:
        text.resize(at);
        break;
    }
  }
  return text;
}

TEST(JsonPositionsTest, ParserAndReferenceAgreeOnMutatedTexts) {
  std::mt19937 rng(20261208);
  size_t refused = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::string text = mutate(SEEDS[round % std::size(SEEDS)], rng);
    const Result<Value> parsed = parse(text);
    const std::optional<std::string> expected = Reference(text).check();
    if (!expected) {
      ASSERT_TRUE(parsed.ok()) << text << "\n" << parsed.error().message;
      continue;
    }
    ++refused;
    ASSERT_FALSE(parsed.ok()) << text << "\nexpected: " << *expected;
    ASSERT_EQ(parsed.error().message, *expected) << text;
  }
  EXPECT_GT(refused, 30000u);  // the mutations break most texts
}

TEST(JsonPositionsTest, ReferenceAcceptsTheSeedsAndRefusesTheIssueTable) {
  for (const std::string& seed : SEEDS) EXPECT_EQ(Reference(seed).check(), std::nullopt) << seed;
  EXPECT_EQ(Reference("\"\\ud800\"").check(), "unexpected end of hex escape at line 1 column 8");
  EXPECT_EQ(Reference("\n\n[1,\n").check(), "EOF while parsing a value at line 4 column 0");
}

}  // namespace
}  // namespace tovik::json
