// Well-formed UTF-8, byte by byte: what a lead byte asks of the bytes after it. The
// JSON parser refuses text that breaks it; the metadata reader replaces what breaks
// it. Both walk a sequence with these two functions. Pure: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tovik {

// What a lead byte of 0x80 or more asks: how many continuation bytes follow (0 for a
// byte that cannot start a sequence) and the range of the first of them, which
// excludes overlong forms, surrogates and code points above U+10FFFF. Every later
// continuation byte lies in 0x80..0xBF.
struct Utf8Lead {
  size_t continuations = 0;
  unsigned char low = 0x80, high = 0xBF;
};

constexpr Utf8Lead utf8_lead(unsigned char lead) {
  Utf8Lead l;
  if (lead >= 0xC2 && lead <= 0xDF) {
    l.continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    l.continuations = 2;
    if (lead == 0xE0) l.low = 0xA0;
    if (lead == 0xED) l.high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    l.continuations = 3;
    if (lead == 0xF0) l.low = 0x90;
    if (lead == 0xF4) l.high = 0x8F;
  }
  return l;
}

// How many of the bytes after bytes[at] continue the sequence `lead` starts: up to
// lead.continuations, stopping at the first byte out of its range or at the end.
// The sequence is well formed when the answer is lead.continuations (and not 0).
inline size_t utf8_continuations(std::string_view bytes, size_t at, Utf8Lead lead) {
  size_t taken = 0;
  while (taken < lead.continuations && at + 1 + taken < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[at + 1 + taken]);
    if (c < lead.low || c > lead.high) break;
    lead.low = 0x80;
    lead.high = 0xBF;
    ++taken;
  }
  return taken;
}

// Whether every byte is below 0x80 (so the bytes are well-formed UTF-8 as they are),
// four bytes at a time.
inline bool all_ascii(std::string_view bytes) {
  uint32_t seen = 0;
  size_t at = 0;
  for (; at + 4 <= bytes.size(); at += 4) {
    uint32_t word;
    std::memcpy(&word, bytes.data() + at, 4);
    seen |= word;
  }
  for (; at < bytes.size(); ++at) seen |= static_cast<unsigned char>(bytes[at]);
  return (seen & 0x80808080u) == 0;
}

}  // namespace tovik
