// The byte-parallel operations the scanner is built from, and the only
// place that knows which machine it runs on: 16 or 64 bytes loaded at
// once, compared with a byte, combined, and turned into a mask with bit i
// for byte i in memory. Chosen when compiling: SSE2 (every x86-64 has it),
// NEON (every aarch64 has it), and elsewhere, or with TXT2SHEET_NO_SIMD,
// the same operations on eight bytes at a time in a uint64_t.
//
// A compared value holds, per byte, all of it or none of it set (the
// portable one only the byte's top bit): |, & and mask() apply to it, the
// compares only to loaded bytes.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__) && !defined(TXT2SHEET_NO_SIMD)
#include <emmintrin.h>
#define VEC_SSE2 1
#elif defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && \
    !defined(TXT2SHEET_NO_SIMD)
#include <arm_neon.h>
#define VEC_NEON 1
#endif

namespace vec {

#if defined(VEC_SSE2)
constexpr const char *name = "sse2";
using native = __m128i;
constexpr unsigned W = 16;
inline native loadn(const unsigned char *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline native splatn(uint8_t c) { return _mm_set1_epi8(static_cast<char>(c)); }
inline native eqn(native a, native b) { return _mm_cmpeq_epi8(a, b); }
inline native eqn(native a, uint8_t c) { return eqn(a, splatn(c)); }
inline native orn(native a, native b) { return _mm_or_si128(a, b); }
inline native andn(native a, native b) { return _mm_and_si128(a, b); }
// lo <= hi: the bytes from lo to hi, unsigned.
inline native inrangen(native a, uint8_t lo, uint8_t hi) {
  native d = _mm_sub_epi8(a, splatn(lo));
  return _mm_cmpeq_epi8(_mm_min_epu8(d, splatn(static_cast<uint8_t>(hi - lo))), d);
}
#elif defined(VEC_NEON)
constexpr const char *name = "neon";
using native = uint8x16_t;
constexpr unsigned W = 16;
inline native loadn(const unsigned char *p) { return vld1q_u8(p); }
inline native splatn(uint8_t c) { return vdupq_n_u8(c); }
inline native eqn(native a, native b) { return vceqq_u8(a, b); }
inline native eqn(native a, uint8_t c) { return eqn(a, splatn(c)); }
inline native orn(native a, native b) { return vorrq_u8(a, b); }
inline native andn(native a, native b) { return vandq_u8(a, b); }
inline native inrangen(native a, uint8_t lo, uint8_t hi) {
  return vcleq_u8(vsubq_u8(a, splatn(lo)), splatn(static_cast<uint8_t>(hi - lo)));
}
#else
// Eight bytes to a word, byte i of memory in bits 8i..8i+7 whatever the
// byte order, so that mask() gives bit i for byte i on every machine. A
// compared byte is 0x80 or 0.
constexpr const char *name = "swar";
using native = uint64_t;
constexpr unsigned W = 8;
constexpr uint64_t ONES = 0x0101010101010101, HIGH = ONES * 0x80, LOW7 = ONES * 0x7f;
inline native loadn(const unsigned char *p) {
  uint64_t x;
  memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big)
    x = __builtin_bswap64(x);
  return x;
}
inline native splatn(uint8_t c) { return ONES * c; }
// A byte of a ^ b is zero just when adding 0x7f to its low seven bits
// carries into none of its top bit and its own top bit is clear; no add
// carries into the next byte, so each byte's answer is exact.
inline native eqn(native a, native b) {
  uint64_t x = a ^ b;
  return ~(((x & LOW7) + LOW7) | x) & HIGH;
}
// With a byte known when compiling: one below 0x80 leaves the top bit of
// a ^ c a's own, and a & LOW7 is shared by every compare of a.
inline native eqn(native a, uint8_t c) {
  if (c >= 0x80)
    return eqn(a, splatn(c));
  return ~((((a & LOW7) ^ splatn(c)) + LOW7) | a) & HIGH;
}
inline native orn(native a, native b) { return a | b; }
inline native andn(native a, native b) { return a & b; }
// Used only with hi below 0x80, where a byte with its top bit set is out
// of range and the low seven bits decide the rest: adding 0x80 - lo sets
// the top bit from lo on, adding 0x7f - hi from past hi on.
inline native inrangen(native a, uint8_t lo, uint8_t hi) {
  uint64_t x = a & LOW7;
  uint64_t fromlo = x + splatn(static_cast<uint8_t>(0x80 - lo));
  uint64_t pasthi = x + splatn(static_cast<uint8_t>(0x7f - hi));
  return fromlo & ~pasthi & ~a & HIGH;
}
#endif

// A byte repeated across a native register, made once where it comes
// from the settings.
struct rep {
  native r;
  rep() = default;
  explicit rep(uint8_t c) : r(splatn(c)) {}
};

template <unsigned N> struct bytes {
  static_assert(N % W == 0);
  native x[N / W];
};
using b16 = bytes<16>;
using b64 = bytes<64>;

template <unsigned N> [[gnu::always_inline]] inline bytes<N> load(const unsigned char *p) {
  bytes<N> v;
  for (unsigned i = 0; i < N / W; i++)
    v.x[i] = loadn(p + i * W);
  return v;
}
[[gnu::always_inline]] inline b16 load16(const unsigned char *p) { return load<16>(p); }
[[gnu::always_inline]] inline b64 load64(const unsigned char *p) { return load<64>(p); }

template <unsigned N> [[gnu::always_inline]] inline bytes<N> eq(bytes<N> a, rep c) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = eqn(a.x[i], c.r);
  return a;
}
template <unsigned N> [[gnu::always_inline]] inline bytes<N> eq(bytes<N> a, uint8_t c) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = eqn(a.x[i], c);
  return a;
}
// The bytes from lo to hi, with hi below 0x80.
template <unsigned N> [[gnu::always_inline]] inline bytes<N> inrange(bytes<N> a, uint8_t lo,
                                                                     uint8_t hi) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = inrangen(a.x[i], lo, hi);
  return a;
}
template <unsigned N> [[gnu::always_inline]] inline bytes<N> operator|(bytes<N> a, bytes<N> b) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = orn(a.x[i], b.x[i]);
  return a;
}
template <unsigned N> [[gnu::always_inline]] inline bytes<N> operator&(bytes<N> a, bytes<N> b) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = andn(a.x[i], b.x[i]);
  return a;
}
// With a repeated byte: on loaded bytes, to set or keep bits in each (the
// portable compared bytes have only the top bit to keep).
template <unsigned N> [[gnu::always_inline]] inline bytes<N> operator|(bytes<N> a, rep b) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = orn(a.x[i], b.r);
  return a;
}
template <unsigned N> [[gnu::always_inline]] inline bytes<N> operator&(bytes<N> a, rep b) {
  for (unsigned i = 0; i < N / W; i++)
    a.x[i] = andn(a.x[i], b.r);
  return a;
}

// Whether any compared byte is set: on some machines much cheaper than
// the mask, for the looks that mostly find nothing.
template <unsigned N> [[gnu::always_inline]] inline bool any(bytes<N> v) {
  native m = v.x[0];
  for (unsigned i = 1; i < N / W; i++)
    m = orn(m, v.x[i]);
#if defined(VEC_SSE2)
  return _mm_movemask_epi8(m) != 0;
#elif defined(VEC_NEON)
  return vmaxvq_u8(m) != 0;
#else
  return m != 0;
#endif
}

// Bit i set when compared byte i is.
template <unsigned N> using maskof = std::conditional_t<(N > 32), uint64_t, unsigned>;
#if defined(VEC_SSE2)
template <unsigned N> [[gnu::always_inline]] inline maskof<N> mask(bytes<N> v) {
  maskof<N> m = 0;
  for (unsigned i = 0; i < N / W; i++)
    m |= static_cast<maskof<N>>(static_cast<unsigned>(_mm_movemask_epi8(v.x[i]))) << (16 * i);
  return m;
}
#elif defined(VEC_NEON)
// No byte-to-bit move: each byte keeps the bit of its place in the mask,
// and pairwise adds fold neighbours together until a byte holds eight.
[[gnu::always_inline]] inline uint8x16_t placebits(uint8x16_t v) {
  static const uint8_t bit[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  return vandq_u8(v, vld1q_u8(bit));
}
[[gnu::always_inline]] inline unsigned mask(b16 v) {
  uint8x16_t t = placebits(v.x[0]);
  t = vpaddq_u8(t, t);
  t = vpaddq_u8(t, t);
  t = vpaddq_u8(t, t);
  return vgetq_lane_u16(vreinterpretq_u16_u8(t), 0);
}
[[gnu::always_inline]] inline uint64_t mask(b64 v) {
  uint8x16_t a = vpaddq_u8(placebits(v.x[0]), placebits(v.x[1]));
  uint8x16_t b = vpaddq_u8(placebits(v.x[2]), placebits(v.x[3]));
  uint8x16_t t = vpaddq_u8(a, b);
  t = vpaddq_u8(t, t);
  return vgetq_lane_u64(vreinterpretq_u64_u8(t), 0);
}
#else
// The multiply moves the top bit of byte i to bit 56 + i, each through a
// partial product of its own, so none of them carries into another.
[[gnu::always_inline]] inline unsigned gather(uint64_t x) {
  return static_cast<unsigned>((x * 0x0002040810204081) >> 56);
}
template <unsigned N> [[gnu::always_inline]] inline maskof<N> mask(bytes<N> v) {
  maskof<N> m = 0;
  for (unsigned i = 0; i < N / W; i++)
    m |= static_cast<maskof<N>>(gather(v.x[i])) << (8 * i);
  return m;
}
#endif

} // namespace vec
