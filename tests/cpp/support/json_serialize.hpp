// Compact serialisation of our JSON document model, for tests and fuzz targets that
// check a parse against its round trip. The product never writes JSON: it keeps the
// metadata text as given.
#pragma once

#include <string>

#include "json.hpp"

namespace tovik::json {

// Keys in order, floats in shortest round-trip form, always with a '.' or exponent so
// they parse back as floats; non-finite floats as null.
std::string serialize(const Value& value);

}  // namespace tovik::json
