// The scanner's fast path, inline so that the conversion loop can keep the
// read position in registers. scantoken() reads one token from a copy of
// the position that its caller holds; whatever is not a short token wholly
// inside the block it leaves to slowtoken(), which works on the scanner's
// own copy (scanat) and leaves the field in fieldbuf.
//
// The fast path looks at 64 bytes at a time: a bit per byte says whether it
// ends a field, continues a delimiter run, ends a quoted field, or what the
// number walk makes of it. That finds the end of a token and classifies a
// field without a branch per byte. Bytes past the end of the block are read
// (the buffer has room for them), but a newline kept at the block's end as
// a sentinel stops every search there.
#pragma once
#include <cstdint>

#include "driver/settings.h"
#include "scan/scan.h"

#if defined(__SSE2__) && !defined(TXT2SHEET_NO_SIMD)
#include <emmintrin.h>
#define SCAN_SSE2 1
#endif

// Byte classes, made from the settings by scanprepare().
enum : uint8_t {
  K_END = 0x01,     // ends an unquoted field: a delimiter or a newline
  K_RUN = 0x02,     // continues a delimiter run
  K_QEND = 0x04,    // ends a quoted field: quote, newline, NUL
  K_DIGIT = 0x08,
  K_SIGN = 0x10,    // a sign the number walk accepts
  K_NUMBAD = 0x20,  // a byte the number walk stops at
  K_FIRSTOK = 0x40, // may begin a number (none may under -S)
  K_POINT = 0x80,
};
// What a byte means at the start of a token, in the order of the tests.
// S_DELIM begins a run, S_DELIM1 is a token of its own (-k).
enum : uint8_t { S_FIELD, S_EOL, S_DELIM, S_DELIM1, S_QUOTE };

extern uint8_t scancls[256];
extern uint8_t scanstart[256];

struct scanpos {
  const unsigned char *pos, *end; // what is left of the block; *end == '\n'
};
extern scanpos scanat;

// The 64 bytes from base, a bit per byte for each class below. Bits of
// bytes past the block's end are left over from earlier blocks: the
// sentinel at the end stops every search before them. Kept in memory, not
// in the reader's registers, which the conversion loop needs more.
struct scanmask {
  const unsigned char *base;
  uint64_t nl, delim, run, quote, qend; // qend: quote, newline or NUL
  uint64_t ok, dig, sgn, pt;            // the number walk's bytes
};
extern scanmask scanm;

// A field as scantoken() hands it over: the text is in the block (not
// NUL-terminated) or in fieldbuf; 16 bytes can be read from it.
struct fieldref {
  const char *text;
  int len, frac, cut;
};

int slowtoken();

namespace scanfast {
// Under -k no byte continues a run; under -S the number walk accepts none;
// under -P no signs or exponent letters.
#ifdef SCAN_SSE2
extern __m128i vdelim1, vdelim2, vrun1, vrun2, vsignok, vnumok;
#endif
// Masks that some settings make the same as others, and need not be made:
// every delimiter continues a run (space and tab), no NUL can be read.
extern bool runisdelim, nonul;

// Makes the masks no longer stand for the block (it is about to change).
void dropmasks();

#ifdef SCAN_SSE2

inline __m128i eq(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }
inline uint64_t bits(__m128i v, int k) {
  return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(v))) << (16 * k);
}

[[gnu::noinline]] inline void rebase(const unsigned char *p) {
  scanmask &m = scanm;
  m.base = p;
  m.nl = m.delim = m.run = m.quote = m.qend = m.ok = m.dig = m.sgn = m.pt = 0;
  for (int k = 0; k < 4; k++) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m.base + 16 * k));
    __m128i nl = eq(v, '\n'), qt = eq(v, '"');
    __m128i d1 = _mm_cmpeq_epi8(v, vdelim1), d2 = _mm_cmpeq_epi8(v, vdelim2);
    __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    __m128i dig = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    __m128i pt = eq(v, '.');
    __m128i sg = _mm_and_si128(_mm_or_si128(eq(v, '+'), eq(v, '-')), vsignok);
    __m128i ex = _mm_and_si128(eq(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'e'), vsignok);
    __m128i ok = _mm_and_si128(_mm_or_si128(_mm_or_si128(dig, pt), _mm_or_si128(sg, ex)), vnumok);
    m.nl |= bits(nl, k);
    m.delim |= bits(_mm_or_si128(d1, d2), k);
    if (!runisdelim)
      m.run |= bits(_mm_or_si128(_mm_and_si128(d1, vrun1), _mm_and_si128(d2, vrun2)), k);
    m.quote |= bits(qt, k);
    if (!nonul)
      m.qend |= bits(_mm_cmpeq_epi8(v, _mm_setzero_si128()), k);
    m.ok |= bits(ok, k);
    m.dig |= bits(dig, k);
    m.sgn |= bits(sg, k);
    m.pt |= bits(pt, k);
  }
  if (runisdelim)
    m.run = m.delim;
  m.qend |= m.nl | m.quote;
}
#else
// The same bits a byte at a time, where there is no vector unit to ask.
[[gnu::noinline]] inline void rebase(const unsigned char *p) {
  scanmask &m = scanm;
  m.base = p;
  m.nl = m.delim = m.run = m.quote = m.qend = m.ok = m.dig = m.sgn = m.pt = 0;
  for (int i = 0; i < 64; i++) {
    unsigned char b = m.base[i];
    uint8_t k = scancls[b];
    uint64_t bit = uint64_t{1} << i;
    m.nl |= b == '\n' ? bit : 0;
    m.delim |= (k & K_END) && b != '\n' ? bit : 0;
    m.run |= k & K_RUN ? bit : 0;
    m.quote |= b == '"' ? bit : 0;
    m.qend |= k & K_QEND ? bit : 0;
    m.ok |= k & K_NUMBAD ? 0 : bit;
    m.dig |= k & K_DIGIT ? bit : 0;
    m.sgn |= k & K_SIGN ? bit : 0;
    m.pt |= k & K_POINT ? bit : 0;
  }
}
#endif

inline unsigned lowbit(uint64_t b) { return static_cast<unsigned>(__builtin_ctzll(b)); }
} // namespace scanfast

// Tokens are read off the bit masks of the 64 bytes from m.base: finding
// where one ends is a shift and a count of trailing zeros, so the next
// token's start does not wait for a load and a vector compare. A token
// that runs past those 64 bytes has them made anew from its start; one
// that still does not fit, or reaches the block's end, takes slowtoken().
[[gnu::always_inline]] inline int scantoken(scanpos &s, fieldref &f) {
  using namespace scanfast;
  const scanmask &m = scanm;
  const unsigned char *p = s.pos;
  if (p < s.end) {
    uint64_t i;
    if (p >= m.base && p - m.base < 64) {
      i = static_cast<uint64_t>(p - m.base);
    } else {
      rebase(p);
      i = 0;
    }
    for (;;) {
      uint64_t bit = uint64_t{1} << i;
      if (m.nl & bit) {
        s.pos = p + 1;
        return TOK_EOL;
      }
      if (m.delim & bit) {
        // The first byte after p that continues no run ends the run.
        if (uint64_t x = ~m.run >> i >> 1) {
          const unsigned char *e = p + 1 + lowbit(x);
          if (e < s.end) {
            s.pos = e;
            return TOK_DELIM;
          }
        }
      } else if (m.quote & bit) {
        if (uint64_t x = m.qend >> i >> 1) {
          unsigned n = lowbit(x);
          const unsigned char *e = p + 1 + n;
          if (e < s.end) {
            f = {reinterpret_cast<const char *>(p + 1), static_cast<int>(n), 0, 0};
            s.pos = e + (m.quote >> (i + 1 + n) & 1); // the closing quote is consumed
            return TOK_LABEL;
          }
        }
      } else if (uint64_t x = (m.delim | m.nl) >> i) {
        unsigned n = lowbit(x);
        if (p + n < s.end) {
          // The number walk by the bits: every byte accepted, the first a
          // digit, sign or point, a digit somewhere, and no sign after
          // the last digit (so the signs' bits, read as a number, are
          // below the digits'). Computed, not branched on: whether a field
          // is a number is as good as random to the branch predictor.
          // Likewise the fraction digits, with a stand-in point on the
          // last byte (which gives 0, as no point or a point there does).
          uint64_t w = (uint64_t{1} << n) - 1; // the field's bytes
          uint64_t dig = m.dig >> i & w, sgn = m.sgn >> i & w, pt = m.pt >> i & w;
          int num = ((m.ok >> i & w) == w) & static_cast<int>((dig | pt | sgn) & 1) &
                    (dig != 0) & (sgn < dig);
          int frac = static_cast<int>(n) - 1 - static_cast<int>(lowbit(pt | uint64_t{1} << (n - 1)));
          f = {reinterpret_cast<const char *>(p), static_cast<int>(n), frac, 0};
          s.pos = p + n;
          int kind = TOK_LABEL - num;
          // Hide the kind's origin, or the compiler branches on num to
          // give each kind a copy of the code that follows.
          __asm__("" : "+r"(kind));
          return kind;
        }
      }
      if (i == 0)
        break;
      rebase(p); // the token runs past the masks: look again from its start
      i = 0;
    }
  }
  scanat = s;
  int tok = slowtoken();
  s = scanat;
  f = {fieldbuf, fieldlen, fieldfrac, fieldcut};
  return tok;
}
