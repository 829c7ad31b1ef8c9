// Our JSON document model, and the one parser every unit uses.
//
// Values are null, bool, unsigned 64-bit, signed 64-bit (negative integers only),
// float64, string, array and object. Objects keep their keys in ascending byte-wise
// order; a later duplicate key replaces an earlier one. Integers that fit neither
// 64-bit kind become floats. Parsing never recurses on input depth, and refuses
// nesting of 128 levels or more.
//
// Error messages: a short description ("expected value", "trailing characters",
// "EOF while parsing a value", "key must be a string", "invalid number",
// "number out of range", "recursion limit exceeded", ...; the full list is in
// json.cpp) then " at line L column C". Both come from a byte offset p: L is 1 + the
// newlines before p, C is p minus the offset just after the last of them (bytes, and
// 0 right after a newline). A fault at a byte has p = its offset + 1, so C is that
// byte's 1-based column; a text that ends where more was needed has p = its length; a
// number out of range has p = the offset just past the number.
// Thread-safety: values are plain data; parse is reentrant.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "result.hpp"

namespace tovik::json {

constexpr int MAX_DEPTH = 128;

struct Value;
using Array = std::vector<Value>;
// Keys in ascending byte-wise order (std::string compares bytes as unsigned char).
using Object = std::map<std::string, Value, std::less<>>;

struct Null {
  friend bool operator==(Null, Null) { return true; }
};

struct Value {
  std::variant<Null, bool, uint64_t, int64_t, double, std::string, Array, Object> v;

  // One constructor per kind, all implicit so that literals read naturally in code
  // and tests. Integers follow the parser's rule: negative values are int64,
  // everything else uint64. A const char* is a string, never a bool.
  Value() = default;
  Value(Null) {}           // NOLINT
  Value(bool b) : v(b) {}  // NOLINT
  template <std::integral I>
  requires(!std::same_as<I, bool>) Value(I i) : v(from_integer(i)) {}  // NOLINT
  Value(double d) : v(d) {}                                            // NOLINT
  Value(const char* s) : v(std::string(s)) {}                          // NOLINT
  Value(std::string_view s) : v(std::string(s)) {}                     // NOLINT
  Value(std::string s) : v(std::move(s)) {}                            // NOLINT
  Value(Array a) : v(std::move(a)) {}                                  // NOLINT
  Value(Object o) : v(std::move(o)) {}                                 // NOLINT

  bool is_null() const { return std::holds_alternative<Null>(v); }
  bool is_bool() const { return std::holds_alternative<bool>(v); }
  bool is_number() const {
    return std::holds_alternative<uint64_t>(v) || std::holds_alternative<int64_t>(v) ||
           std::holds_alternative<double>(v);
  }
  bool is_string() const { return std::holds_alternative<std::string>(v); }
  bool is_array() const { return std::holds_alternative<Array>(v); }
  bool is_object() const { return std::holds_alternative<Object>(v); }

  // REQUIRES: the matching is_*() holds.
  bool as_bool() const { return std::get<bool>(v); }
  double as_double() const;  // integers converted to the nearest float64
  const std::string& as_string() const { return std::get<std::string>(v); }
  const Array& as_array() const { return std::get<Array>(v); }
  const Object& as_object() const { return std::get<Object>(v); }

  // Structural equality: the kind counts, so uint64 5 differs from float 5.0.
  friend bool operator==(const Value&, const Value&) = default;

 private:
  template <typename I>
  static decltype(v) from_integer(I i) {
    if constexpr (std::is_signed_v<I>) {
      if (i < 0) return static_cast<int64_t>(i);
    }
    return static_cast<uint64_t>(i);
  }
};

// Parses exactly one JSON value (surrounding whitespace allowed; anything else after
// it, a NUL byte included, is "trailing characters"). The text must be UTF-8, and so
// is every string of the result: \u escapes naming a lone surrogate are refused.
// NaN and Infinity are not JSON and are refused; a zero mantissa with any exponent,
// and a float too small to represent, give a zero of the number's sign.
Result<Value> parse(std::string_view text);

}  // namespace tovik::json
