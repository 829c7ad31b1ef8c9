// hash_value: the 64-bit value key of a string or boolean in the filter indexes.
// SipHash-1-3 with an all-zero 128-bit key over the UTF-8 bytes followed by 0xFF.
// Pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovik {

uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1);
uint64_t hash_value(std::string_view text);

}  // namespace tovik
