#include "json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json_serialize.hpp"

namespace tovik::json {
namespace {

using namespace std::string_literals;

Value parsed(std::string_view text) {
  Result<Value> r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message);
  return r.ok() ? r.value() : Value();
}

struct ErrorCase {
  std::string text;
  std::string message;
};

class JsonErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(JsonErrorTest, ReportsDescriptionAndPosition) {
  Result<Value> r = parse(GetParam().text);
  ASSERT_FALSE(r.ok()) << GetParam().text;
  EXPECT_EQ(r.error().kind, ErrorKind::Message);
  EXPECT_EQ(r.error().message, GetParam().message);
}

// Positions come from a byte offset p: line = 1 + the newlines before p, column = p
// minus the offset just after the last of them. A fault at a byte has p = its offset
// + 1; a text that ends too early has p = its length (column 0 on an empty line); a
// number out of range has p = the offset just past it. One case at least per kind.
INSTANTIATE_TEST_SUITE_P(
    Messages, JsonErrorTest,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{" \n  ", "EOF while parsing a value at line 2 column 2"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"\n\n[1,\n", "EOF while parsing a value at line 4 column 0"},
        ErrorCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"tr", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
        ErrorCase{"[1 ", "EOF while parsing a list at line 1 column 3"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"a\\", "EOF while parsing a string at line 1 column 3"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
        ErrorCase{"\"\xe2\x82", "EOF while parsing a string at line 1 column 3"},
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{"[\n1,\n  x]", "expected value at line 3 column 3"},
        ErrorCase{"nulx", "expected ident at line 1 column 4"},
        ErrorCase{"tx", "expected ident at line 1 column 2"},
        ErrorCase{"{}x", "trailing characters at line 1 column 3"},
        ErrorCase{"{} \n 1", "trailing characters at line 2 column 2"},
        ErrorCase{"{}\0"s, "trailing characters at line 1 column 3"},
        ErrorCase{"\"\xc3\xa9\" x", "trailing characters at line 1 column 6"},  // columns count bytes
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"{\"a\":1 2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"[01]", "invalid number at line 1 column 3"},
        ErrorCase{"-x", "invalid number at line 1 column 2"},
        ErrorCase{"1.x", "invalid number at line 1 column 3"},
        ErrorCase{"1ex", "invalid number at line 1 column 3"},
        ErrorCase{"[1.5e999]", "number out of range at line 1 column 8"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"[-1" + std::string(400, '0') + "]", "number out of range at line 1 column 403"},
        ErrorCase{std::string(128, '[') + std::string(128, ']'),
                  "recursion limit exceeded at line 1 column 128"},
        ErrorCase{std::string(127, '[') + "{\"a\":1}" + std::string(127, ']'),
                  "recursion limit exceeded at line 1 column 128"},
        ErrorCase{"\"a\\x\"", "invalid escape at line 1 column 4"},
        ErrorCase{"\"\\u00zz\"", "invalid escape at line 1 column 7"},
        ErrorCase{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrorCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\xff\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"ab\n",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        ErrorCase{"\"a\0b\""s,
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{"\"a\x01\"",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"{\"a\":]", "expected value at line 1 column 6"},
        ErrorCase{"NaN", "expected value at line 1 column 1"},
        ErrorCase{"[Infinity]", "expected value at line 1 column 2"},
        ErrorCase{"[-Infinity]", "invalid number at line 1 column 3"},
        ErrorCase{"[1.8e308]", "number out of range at line 1 column 8"},
        ErrorCase{"\"a\\u12G4\"", "invalid escape at line 1 column 8"},
        ErrorCase{"[\"ok\", \"a\\n\\uDC01\"]", "lone leading surrogate in hex escape at line 1 column 17"},
        ErrorCase{"{\"\\\"\\uDFFF\":1}", "lone leading surrogate in hex escape at line 1 column 10"}));

TEST(JsonTest, NestingOf127LevelsIsAccepted) {
  std::string arrays = std::string(127, '[') + std::string(127, ']');
  std::string mixed;
  for (int i = 0; i < 63; ++i) mixed += "{\"k\":[";
  mixed += "{}";
  for (int i = 0; i < 63; ++i) mixed += "]}";
  EXPECT_TRUE(parse(arrays).ok());
  EXPECT_TRUE(parse(mixed).ok());  // 63 * 2 + 1 = 127 levels
  EXPECT_FALSE(parse("[" + mixed + "]").ok());
}

TEST(JsonTest, ObjectKeysAscendByteWiseAndLaterDuplicatesWin) {
  Value v = parsed(R"({"b":1,"a":2,"\u00e9":3,"B":4,"z":5,"b":6,"":7})");
  std::vector<std::string> keys;
  for (const auto& [k, _] : v.as_object()) keys.push_back(k);
  // "é" is C3 A9 in UTF-8: above every ASCII key.
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "b", "z", "\xc3\xa9"}));
  EXPECT_EQ(v.as_object().at("b"), Value(6));
}

struct NumberCase {
  std::string text;
  Value expected;
};

class JsonNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumberTest, TakesTheRightKind) {
  Value v = parsed(GetParam().text);
  EXPECT_EQ(v.v.index(), GetParam().expected.v.index()) << GetParam().text;
  EXPECT_EQ(v, GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JsonNumberTest,
    ::testing::Values(NumberCase{"0", Value(uint64_t{0})}, NumberCase{"-0", Value(uint64_t{0})},
                      NumberCase{"5", Value(uint64_t{5})}, NumberCase{"-5", Value(int64_t{-5})},
                      NumberCase{"4294967296", Value(uint64_t{4294967296})},
                      NumberCase{"18446744073709551615", Value(UINT64_MAX)},
                      NumberCase{"18446744073709551616", Value(18446744073709551616.0)},
                      NumberCase{"-2147483649", Value(int64_t{-2147483649})},
                      NumberCase{"-9223372036854775808", Value(INT64_MIN)},
                      NumberCase{"-9223372036854775809", Value(-9223372036854775808.0)},
                      NumberCase{"5.0", Value(5.0)}, NumberCase{"5e0", Value(5.0)},
                      NumberCase{"-0.0", Value(-0.0)}, NumberCase{"0.1", Value(0.1)},
                      NumberCase{"2.2250738585072014e-308", Value(2.2250738585072014e-308)},
                      NumberCase{"1.7976931348623157e308", Value(1.7976931348623157e308)},
                      NumberCase{"1e-400", Value(0.0)}));

TEST(JsonTest, NumbersConvertToTheNearestDouble) {
  EXPECT_EQ(Value(uint64_t{5}).as_double(), 5.0);
  EXPECT_EQ(Value(int64_t{-7}).as_double(), -7.0);
  EXPECT_EQ(Value(UINT64_MAX).as_double(), 18446744073709551616.0);
  EXPECT_EQ(parsed("0.30000000000000004").as_double(), 0.1 + 0.2);  // correctly rounded
}

TEST(JsonTest, ConstructorsPickTheKindsTheParserWould) {
  EXPECT_TRUE(Value("red").is_string());  // never converted to bool
  EXPECT_EQ(Value(5), parsed("5"));
  EXPECT_EQ(Value(-5), parsed("-5"));
  EXPECT_EQ(Value(true), parsed("true"));
  EXPECT_EQ(Value(Null{}), parsed("null"));
  EXPECT_EQ(Value(Object{{"a", Array{1, "x", false}}}), parsed(R"({"a":[1,"x",false]})"));
}

TEST(JsonTest, StringsDecodeEscapesIntoUtf8) {
  EXPECT_EQ(parsed(R"("a\"\\\/\b\f\n\r\t")").as_string(), "a\"\\/\b\f\n\r\t");
  EXPECT_EQ(parsed(R"("\u0000x")").as_string(), "\0x"s);
  EXPECT_EQ(parsed(R"("\u00e9\u20ac\ud83d\ude00")").as_string(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(parsed("\"\xe2\x82\xac\"").as_string(), "\xe2\x82\xac");
}

TEST(JsonTest, SerializeRoundTrips) {
  const char* texts[] = {
      R"({"":null,"a":[true,false,{}],"b":{"c":[]}})",
      R"(["\u0000\u001f\"\\\n",  "\u00e9"])",
      R"([0,5,-5,18446744073709551615,-9223372036854775808])",
      R"([5.0,-0.0,0.1,1e300,1.7976931348623157e308,5e-324,18446744073709551616])",
  };
  for (const char* text : texts) {
    Value v = parsed(text);
    EXPECT_EQ(parsed(serialize(v)), v) << text << " -> " << serialize(v);
  }
  EXPECT_EQ(serialize(parsed(R"({"b":[1,2.5],"a":"x\n"})")), R"({"a":"x\n","b":[1,2.5]})");
  EXPECT_EQ(serialize(Value(std::nan(""))), "null");
}

}  // namespace
}  // namespace tovik::json
