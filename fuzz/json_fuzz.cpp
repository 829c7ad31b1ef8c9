// Fuzz target: the JSON document model.
//
// For any input: parse never crashes; an accepted text nests fewer than MAX_DEPTH
// levels and its serialisation parses back to an equal document (and serialises to
// the same text again); a refused text gets "<description> at line L column C" with a
// known description, where L and C name a byte offset p of the input: p is the
// input's length exactly when the description says the text ended too early;
// otherwise the fault is decided by the bytes before p, so the text cut at p gets the
// same message, and (but for a number out of range) the text cut one byte earlier is
// no worse than too short.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.hpp"
#include "json_serialize.hpp"

namespace {

using tovik::json::Value;

[[noreturn]] void fail(const char* what, std::string_view text, const std::string& detail) {
  std::fprintf(stderr, "json_fuzz: %s\ninput (%zu bytes): %.*s\ndetail: %s\n", what, text.size(),
               static_cast<int>(text.size()), text.data(), detail.c_str());
  std::abort();
}

int depth_of(const Value& v) {
  int deepest = 0;
  if (v.is_array()) {
    for (const Value& e : v.as_array()) deepest = std::max(deepest, depth_of(e));
    return deepest + 1;
  }
  if (v.is_object()) {
    for (const auto& [k, e] : v.as_object()) deepest = std::max(deepest, depth_of(e));
    return deepest + 1;
  }
  return 0;
}

constexpr std::string_view DESCRIPTIONS[] = {
    "expected value",
    "expected ident",
    "trailing characters",
    "trailing comma",
    "key must be a string",
    "expected `:`",
    "expected `,` or `}`",
    "expected `,` or `]`",
    "invalid number",
    "number out of range",
    "recursion limit exceeded",
    "invalid escape",
    "unexpected end of hex escape",
    "lone leading surrogate in hex escape",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "EOF while parsing a value",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
};

bool says_eof(std::string_view message) { return message.substr(0, 9) == "EOF while"; }

// Reads the decimal number that ends `s` after `marker`; false when it is not there.
bool split_number(std::string_view& s, std::string_view marker, size_t& number) {
  const size_t at = s.rfind(marker);
  if (at == std::string_view::npos) return false;
  std::string_view digits = s.substr(at + marker.size());
  if (digits.empty() || digits.size() > 12 || (digits[0] == '0' && digits.size() > 1)) return false;
  number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<size_t>(c - '0');
  }
  s = s.substr(0, at);
  return true;
}

void check_refusal(std::string_view text, const std::string& message) {
  std::string_view rest = message;
  size_t line = 0, column = 0;
  if (!split_number(rest, " column ", column) || !split_number(rest, " at line ", line) || line == 0) {
    fail("message without a position", text, message);
  }
  bool known = false;
  for (std::string_view d : DESCRIPTIONS) known = known || rest == d;
  if (!known) fail("unknown description", text, message);

  // p = the start of line `line` plus the column, and no newline before it beyond those.
  size_t line_start = 0;
  for (size_t l = 1; l < line; ++l) {
    const size_t nl = text.find('\n', line_start);
    if (nl == std::string_view::npos) fail("line past the end of the input", text, message);
    line_start = nl + 1;
  }
  const size_t line_end = std::min(text.find('\n', line_start), text.size());
  if (column > line_end - line_start) fail("column past the end of its line", text, message);
  const size_t p = line_start + column;
  if (says_eof(message)) {
    if (p != text.size()) fail("EOF before the end", text, message);
    return;
  }
  if (p == 0) fail("fault before the first byte", text, message);
  auto cut = tovik::json::parse(text.substr(0, p));
  if (cut.ok() || cut.error().message != message)
    fail("the text cut at the fault reads otherwise", text, message);
  // (A number one digit shorter can be out of range as well.)
  if (rest == "number out of range") return;
  auto shorter = tovik::json::parse(text.substr(0, p - 1));
  if (!shorter.ok() && !says_eof(shorter.error().message)) fail("a fault before the fault", text, message);
}

void check_accepted(std::string_view text, const Value& v) {
  if (depth_of(v) >= tovik::json::MAX_DEPTH) fail("accepted nesting past the limit", text, "");
  const std::string once = tovik::json::serialize(v);
  auto again = tovik::json::parse(once);
  if (!again.ok()) fail("serialisation does not parse", text, once + " -> " + again.error().message);
  if (!(again.value() == v)) fail("serialisation parses to another document", text, once);
  const std::string twice = tovik::json::serialize(again.value());
  if (twice != once) fail("serialisation is not stable", text, once + " vs " + twice);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = tovik::json::parse(text);
  if (parsed.ok()) {
    check_accepted(text, parsed.value());
  } else {
    if (parsed.error().kind != tovik::ErrorKind::Message)
      fail("refusal is not a message", text, parsed.error().message);
    check_refusal(text, parsed.error().message);
  }
  return 0;
}
