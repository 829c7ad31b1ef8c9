// Conformance of the JSON parser: which texts it accepts, the exact document each
// gives, and the exact message for each text it refuses. Complements json_test.cpp
// with the corners of numbers, strings and structure.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json.hpp"

namespace tovik::json {
namespace {

using namespace std::string_literals;

struct Accepted {
  std::string text;
  Value expected;
};

std::string nested_objects(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "{\"a\":";
  text += "1";
  return text + std::string(levels, '}');
}

Value nested_object_value(int levels) {
  Value v = 1;
  for (int i = 0; i < levels; ++i) v = Object{{"a", std::move(v)}};
  return v;
}

class AcceptedTest : public ::testing::TestWithParam<Accepted> {};

// The kind must match as well as the value (uint64 5 and float 5.0 differ), and a
// float zero must keep its sign.
TEST_P(AcceptedTest, GivesTheExpectedDocument) {
  Result<Value> r = parse(GetParam().text);
  ASSERT_TRUE(r.ok()) << GetParam().text << ": " << r.error().message;
  EXPECT_EQ(r.value(), GetParam().expected) << GetParam().text;
  EXPECT_EQ(r.value().v.index(), GetParam().expected.v.index()) << GetParam().text;
  if (GetParam().expected.v.index() == 4) {
    EXPECT_EQ(std::signbit(r.value().as_double()), std::signbit(GetParam().expected.as_double()))
        << GetParam().text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, AcceptedTest,
    ::testing::Values(Accepted{"1E2", 100.0}, Accepted{"1e+2", 100.0}, Accepted{"1e-2", 0.01},
                      Accepted{"0e0", 0.0}, Accepted{"0e400", 0.0},
                      Accepted{"-0.000e99999999999999999999", -0.0}, Accepted{"1e-400", 0.0},
                      Accepted{"-0e0", -0.0}, Accepted{"-0.0e-5", -0.0}, Accepted{" 1 ", uint64_t{1}},
                      // Integers that fit 64 bits stay exact; beyond them they become floats.
                      Accepted{"9007199254740993", uint64_t{9007199254740993}},
                      Accepted{"9007199254740993.0", 9007199254740992.0},  // ties to even
                      Accepted{"-9223372036854775807", int64_t{-9223372036854775807}},
                      Accepted{"100000000000000000000", 1e20},
                      Accepted{"123456789012345678901234567890", 1.2345678901234568e29},
                      Accepted{"-123456789012345678901234567890", -1.2345678901234568e29},
                      // Correct rounding at the edges of the float range.
                      Accepted{"1.7976931348623158e308", 1.7976931348623157e308}, Accepted{"1e-320", 1e-320},
                      Accepted{"4.9e-324", 5e-324},
                      Accepted{"2.4703282292062328e-324", 5e-324},  // just above half the smallest subnormal
                      Accepted{"2.4703282292062327e-324", 0.0},     // just below it
                      Accepted{"-1e-400", -0.0},
                      // Long mantissas with small exponents (the reader's own conversion read out of
                      // bounds here).
                      Accepted{"1.1832884776086675872e-330", 0.0}, Accepted{"[7,0e-324]", Array{7, 0.0}},
                      Accepted{"1.234567890123456789e-320", 1.2345e-320},
                      Accepted{"0." + std::string(400, '0') + "1e300", 1e-101},
                      Accepted{"0.1000000000000000055511151231257827021181583404541015625", 0.1}));

INSTANTIATE_TEST_SUITE_P(
    Strings, AcceptedTest,
    ::testing::Values(Accepted{R"("\u0041")", "A"}, Accepted{R"("\u00E9")", "\xc3\xa9"},
                      Accepted{R"("\uD834\uDD1E")", "\xf0\x9d\x84\x9e"},     // surrogate pair
                      Accepted{"\"\xf0\x9d\x84\x9e\"", "\xf0\x9d\x84\x9e"},  // the same, raw
                      Accepted{R"("\uFFFF")", "\xef\xbf\xbf"}, Accepted{"\"\x7f\"", "\x7f"},
                      Accepted{R"("a\u0000b")", "a\0b"s}, Accepted{R"("")", ""}));

INSTANTIATE_TEST_SUITE_P(
    Structure, AcceptedTest,
    ::testing::Values(Accepted{"[]", Array{}}, Accepted{"{}", Object{}}, Accepted{"null", Null{}},
                      Accepted{" \t\r\n[ 1 , [ ] , { } ]\n", Array{1, Array{}, Object{}}},
                      Accepted{R"({"a":{"b":1},"a":2})", Object{{"a", 2}}},  // the later duplicate wins
                      Accepted{R"({"a":1,"a":{"b":[]}})", Object{{"a", Object{{"b", Array{}}}}}},
                      Accepted{nested_objects(127), nested_object_value(127)}));

struct Refused {
  std::string text;
  std::string message;
};

class RefusedTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedTest, GivesTheExactMessage) {
  Result<Value> r = parse(GetParam().text);
  ASSERT_FALSE(r.ok()) << GetParam().text;
  EXPECT_EQ(r.error().kind, ErrorKind::Message);
  EXPECT_EQ(r.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, RefusedTest,
    ::testing::Values(Refused{"01", "invalid number at line 1 column 2"},
                      Refused{"-01", "invalid number at line 1 column 3"},
                      Refused{"+1", "expected value at line 1 column 1"},
                      Refused{".5", "expected value at line 1 column 1"},
                      Refused{"1.e5", "invalid number at line 1 column 3"},
                      Refused{"1e", "EOF while parsing a value at line 1 column 2"},
                      Refused{"1.5e+", "EOF while parsing a value at line 1 column 5"},
                      Refused{"0x10", "trailing characters at line 1 column 2"},
                      Refused{"1.7976931348623159e308", "number out of range at line 1 column 22"},
                      Refused{"-1e400", "number out of range at line 1 column 6"},
                      Refused{"[0, 1e999999999999]", "number out of range at line 1 column 18"},
                      Refused{std::string(400, '9'), "number out of range at line 1 column 400"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, RefusedTest,
    ::testing::Values(
        Refused{R"("\uDC00")", "lone leading surrogate in hex escape at line 1 column 7"},  // lone low
        Refused{R"("\uD800x")", "unexpected end of hex escape at line 1 column 8"},         // lone high
        Refused{R"("\uD800\uD800")",
                "lone leading surrogate in hex escape at line 1 column 13"},  // high, high
        Refused{R"("\ud83d\ude00\udc00")", "lone leading surrogate in hex escape at line 1 column 19"},
        Refused{R"("\u00")",
                "EOF while parsing a string at line 1 column 6"},  // the quote is one of the four
        Refused{R"("\U0041")", "invalid escape at line 1 column 3"},
        Refused{"\"a\tb\"",
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        Refused{"\"a\nb\"",
                "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        Refused{"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},          // overlong
        Refused{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 3"},      // surrogate
        Refused{"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 3"},  // past U+10FFFF
        Refused{"\"\x80\"", "invalid unicode code point at line 1 column 2"},
        Refused{"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"}));

INSTANTIATE_TEST_SUITE_P(
    Structure, RefusedTest,
    ::testing::Values(Refused{"[1,2,]", "trailing comma at line 1 column 6"},
                      Refused{"[\"a\",\n\"b\"\n,]", "trailing comma at line 3 column 2"},
                      Refused{"[,1]", "expected value at line 1 column 2"},
                      Refused{"[1,,2]", "expected value at line 1 column 4"},
                      Refused{"{,}", "key must be a string at line 1 column 2"},
                      Refused{"{'a':1}", "key must be a string at line 1 column 2"},
                      Refused{"{\"a\"\n:\n}", "expected value at line 3 column 1"},
                      Refused{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
                      Refused{"[1}", "expected `,` or `]` at line 1 column 3"},
                      Refused{R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
                      Refused{"[1] [2]", "trailing characters at line 1 column 5"},
                      Refused{"tRue", "expected ident at line 1 column 2"},
                      Refused{"nul", "EOF while parsing a value at line 1 column 3"},
                      Refused{"/* */ 1", "expected value at line 1 column 1"},
                      Refused{"\xef\xbb\xbf"
                              "1",
                              "expected value at line 1 column 1"},  // no BOM
                      Refused{nested_objects(128), "recursion limit exceeded at line 1 column 636"}));

}  // namespace
}  // namespace tovik::json
