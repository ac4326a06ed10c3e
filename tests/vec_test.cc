// The vector layer against the same operations a byte at a time: every
// byte value at every place of a load, masks in memory order, on every
// machine the layer is built for (the portable build runs the eight-bytes-
// in-a-word version, and on a big-endian machine that loads its words
// byte-swapped).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scan/vec.h"

namespace {
// Every byte value, four times over in different orders, so that each
// lands at many places of a 16- and a 64-byte load, with room to load
// from any offset.
std::vector<unsigned char> allbytes() {
  std::vector<unsigned char> b;
  for (unsigned round = 0; round < 4; round++)
    for (unsigned i = 0; i < 256; i++)
      b.push_back(static_cast<unsigned char>(i * (2 * round + 1) + round * 77));
  b.resize(b.size() + 64, '\n');
  return b;
}

// What a mask must be: bit i for byte i, from a byte-wise test.
template <unsigned N> uint64_t want(const unsigned char *p, const std::function<bool(uint8_t)> &f) {
  uint64_t m = 0;
  for (unsigned i = 0; i < N; i++)
    m |= static_cast<uint64_t>(f(p[i])) << i;
  return m;
}

struct opcase {
  std::string name;
  std::function<bool(uint8_t)> ref;
  std::function<uint64_t(const unsigned char *)> got16, got64;
};

// Each operation as the scanner combines them, for 16 and 64 bytes alike.
#define BOTH(expr)                                                                              \
  [=](const unsigned char *p) -> uint64_t {                                                     \
    auto v = vec::load16(p);                                                                    \
    return vec::mask(expr);                                                                     \
  },                                                                                            \
      [=](const unsigned char *p) -> uint64_t {                                                 \
        auto v = vec::load64(p);                                                                \
        return vec::mask(expr);                                                                 \
      }

std::vector<opcase> cases(uint8_t c, uint8_t d) {
  vec::rep rc(c), rd(d), all(0xff), none(0);
  return {
      {"eq c", [=](uint8_t b) { return b == c; }, BOTH(eq(v, rc))},
      // As the scanner's own bytes are given, known when compiling.
      {"eq c as a byte", [=](uint8_t b) { return b == c; }, BOTH(eq(v, c))},
      {"eq c or eq d as bytes", [=](uint8_t b) { return b == c || b == d; },
       BOTH(eq(v, c) | eq(v, d))},
      {"eq c or eq d", [=](uint8_t b) { return b == c || b == d; }, BOTH(eq(v, rc) | eq(v, rd))},
      {"eq c and eq d", [=](uint8_t b) { return b == c && b == d; }, BOTH(eq(v, rc) & eq(v, rd))},
      {"eq c kept by all ones", [=](uint8_t b) { return b == c; }, BOTH(eq(v, rc) & all)},
      {"eq c dropped by zeros", [=](uint8_t) { return false; }, BOTH(eq(v, rc) & none)},
      {"eq c after | 0x20", [=](uint8_t b) { return (b | 0x20) == c; },
       BOTH(eq(v | vec::rep(0x20), rc))},
      {"eq c after & 0xdf", [=](uint8_t b) { return (b & 0xdf) == c; },
       BOTH(eq(v & vec::rep(0xdf), rc))},
      {"in c & 0x7f .. 0x7f", [=](uint8_t b) { return b >= (c & 0x7f) && b <= 0x7f; },
       BOTH(inrange(v, c & 0x7f, 0x7f))},
      {"in 0 .. c & 0x7f", [=](uint8_t b) { return b <= (c & 0x7f); },
       BOTH(inrange(v, 0, c & 0x7f))},
      {"in c & 0x7f", [=](uint8_t b) { return b == (c & 0x7f); },
       BOTH(inrange(v, c & 0x7f, c & 0x7f))},
  };
}
} // namespace

TEST(Vec, EveryByteAtEveryPlace) {
  std::vector<unsigned char> buf = allbytes();
  size_t span = buf.size() - 64;
  for (unsigned c = 0; c < 256; c++) {
    // d: another value, and c itself once, where "or" and "and" of the
    // two compares are the compare.
    for (uint8_t d : {static_cast<uint8_t>(c * 7 + 1), static_cast<uint8_t>(c)}) {
      for (const opcase &o : cases(static_cast<uint8_t>(c), d)) {
        for (size_t at = 0; at < span; at += 13) {
          const unsigned char *p = buf.data() + at;
          ASSERT_EQ(o.got16(p), want<16>(p, o.ref))
              << o.name << " (" << vec::name << "), c " << c << ", d " << +d << ", 16 at " << at;
          ASSERT_EQ(o.got64(p), want<64>(p, o.ref))
              << o.name << " (" << vec::name << "), c " << c << ", d " << +d << ", 64 at " << at;
        }
      }
    }
  }
}

// The order of the mask's bits, on its own: one byte set at each place.
TEST(Vec, BitIIsByteI) {
  for (unsigned i = 0; i < 64; i++) {
    unsigned char b[64] = {};
    b[i] = 1;
    uint64_t m64 = vec::mask(eq(vec::load64(b), 1));
    EXPECT_EQ(m64, uint64_t{1} << i) << vec::name << ", byte " << i;
    if (i < 16) {
      unsigned m16 = vec::mask(eq(vec::load16(b), 1));
      EXPECT_EQ(m16, 1u << i) << vec::name << ", byte " << i;
    }
  }
}

// any() on its own: true for one byte at any place, false for none.
TEST(Vec, AnyIsOneByteAnywhere) {
  unsigned char b[64] = {};
  EXPECT_FALSE(vec::any(eq(vec::load64(b), 1))) << vec::name;
  EXPECT_FALSE(vec::any(eq(vec::load16(b), 1))) << vec::name;
  for (unsigned i = 0; i < 64; i++) {
    b[i] = 1;
    EXPECT_TRUE(vec::any(eq(vec::load64(b), 1))) << vec::name << ", byte " << i;
    if (i < 16) {
      EXPECT_TRUE(vec::any(eq(vec::load16(b), 1))) << vec::name << ", byte " << i;
    }
    b[i] = 0;
  }
}
