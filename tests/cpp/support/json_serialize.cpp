// The serialiser of json_serialize.hpp.
#include "json_serialize.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>
#include <variant>

namespace tovik::json {

namespace {

void write_string(const std::string& s, std::string& out) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
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
        if constexpr (std::is_same_v<T, Null>)
          out += "null";
        else if constexpr (std::is_same_v<T, bool>)
          out += x ? "true" : "false";
        else if constexpr (std::is_same_v<T, uint64_t> || std::is_same_v<T, int64_t>)
          write_number(x, out);
        else if constexpr (std::is_same_v<T, double>)
          write_double(x, out);
        else if constexpr (std::is_same_v<T, std::string>)
          write_string(x, out);
        else if constexpr (std::is_same_v<T, Array>)
          write_array(x, out);
        else
          write_object(x, out);
      },
      value.v);
}

}  // namespace

std::string serialize(const Value& value) {
  std::string out;
  write_value(value, out);
  return out;
}

}  // namespace tovik::json
