// SipHash-1-3: one compression round per 8-byte block, three finalisation rounds,
// 64-bit output. Blocks are read little-endian whatever the host's byte order.
#include "siphash.hpp"

namespace tovik {
namespace {

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

class SipHasher13 {
 public:
  SipHasher13(uint64_t k0, uint64_t k1)
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void write(const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) write_byte(data[i]);
  }

  void write_byte(uint8_t b) {
    tail_ |= static_cast<uint64_t>(b) << (8 * (length_ % 8));
    ++length_;
    if (length_ % 8 == 0) {
      compress(tail_);
      tail_ = 0;
    }
  }

  uint64_t finish() {
    compress(tail_ | (static_cast<uint64_t>(length_) << 56));
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void compress(uint64_t m) {
    v3_ ^= m;
    round();
    v0_ ^= m;
  }

  void round() {
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
  }

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;    // bytes of the block being filled, little-endian
  uint64_t length_ = 0;  // bytes written so far (only its low byte reaches the hash)
};

}  // namespace

uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1) {
  SipHasher13 h(k0, k1);
  h.write(data, len);
  return h.finish();
}

uint64_t hash_value(std::string_view text) {
  SipHasher13 h(0, 0);
  h.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  h.write_byte(0xFF);
  return h.finish();
}

}  // namespace tovik
