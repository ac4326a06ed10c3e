// The scanner's fast path, inline so that the conversion loop can keep the
// read position in registers. scantoken() reads one token from a copy of
// the position that its caller holds; whatever is not a short token wholly
// inside the block it leaves to slowtoken(), which works on the scanner's
// own copy (scanat) and leaves the field in fieldbuf.
//
// The fast path looks at the 16 bytes where a token starts all at once: a
// bit per byte says whether it ends a field, continues a delimiter run,
// ends a quoted field, or what the number walk makes of it. That finds the
// end of a short field and classifies it without a branch per byte. Bytes
// past the end of the block are read (the buffer has room for them), but a
// newline kept at the block's end as a sentinel stops every window there.
//
// The conversion loop's own reader, scanwindow() and the helpers after it,
// takes the same bits for 63 bytes at a time and leaves the walk over them
// to the loop.
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
  // Where the delimiter run after the last field ends, when the look that
  // found the field saw all of it: the next token is then that run.
  const unsigned char *runend;
};
extern scanpos scanat;

// A field as scantoken() hands it over: the text is in the block (not
// NUL-terminated) or in fieldbuf; 16 bytes can be read from it.
struct fieldref {
  const char *text;
  int len, frac, cut;
};

int slowtoken();

namespace scanfast {
#ifdef SCAN_SSE2
extern __m128i vdelim1, vdelim2, vrun1, vrun2, vsignok;
using vec = __m128i;

inline vec load16(const unsigned char *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline unsigned bits(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
inline __m128i eq(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

inline unsigned endbits(vec v) {
  return bits(_mm_or_si128(eq(v, '\n'),
                           _mm_or_si128(_mm_cmpeq_epi8(v, vdelim1), _mm_cmpeq_epi8(v, vdelim2))));
}
inline unsigned nlbits(vec v) { return bits(eq(v, '\n')); }
inline unsigned runbits(vec v) {
  return bits(_mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v, vdelim1), vrun1),
                           _mm_and_si128(_mm_cmpeq_epi8(v, vdelim2), vrun2)));
}
inline unsigned qendbits(vec v) {
  return bits(_mm_or_si128(_mm_or_si128(eq(v, '\n'), eq(v, '"')), eq(v, '\0')));
}

// Bit i: byte i is accepted by the number walk / a digit / a sign / a point.
struct numbits {
  unsigned ok, dig, sgn, pt;
};
inline numbits numclass(vec v) {
  __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  __m128i dig = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  __m128i pt = eq(v, '.');
  // Signs and exponent letters count only without -P (vsignok all ones).
  __m128i sg = _mm_and_si128(_mm_or_si128(eq(v, '+'), eq(v, '-')), vsignok);
  __m128i ex = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'));
  numbits n;
  n.dig = bits(dig);
  n.pt = bits(pt);
  n.sgn = bits(sg);
  n.ok = bits(_mm_or_si128(_mm_or_si128(dig, pt), _mm_or_si128(sg, _mm_and_si128(ex, vsignok))));
  return n;
}
#else
// The same bits a byte at a time, where there is no vector unit to ask.
using vec = const unsigned char *;
inline vec load16(const unsigned char *p) { return p; }
inline unsigned classbits(vec p, uint8_t k) {
  unsigned b = 0;
  for (unsigned i = 0; i < 16; i++)
    b |= (scancls[p[i]] & k ? 1u : 0u) << i;
  return b;
}
inline unsigned endbits(vec v) { return classbits(v, K_END); }
inline unsigned runbits(vec v) { return classbits(v, K_RUN); }
inline unsigned nlbits(vec v) {
  unsigned b = 0;
  for (unsigned i = 0; i < 16; i++)
    b |= (v[i] == '\n' ? 1u : 0u) << i;
  return b;
}
inline unsigned qendbits(vec v) { return classbits(v, K_QEND); }
struct numbits {
  unsigned ok, dig, sgn, pt;
};
inline numbits numclass(vec v) {
  return {~classbits(v, K_NUMBAD) & 0xffff, classbits(v, K_DIGIT), classbits(v, K_SIGN),
          classbits(v, K_POINT)};
}
#endif

// The index of the lowest bit, 16 when there is none in the window.
inline unsigned first(unsigned b) { return static_cast<unsigned>(__builtin_ctz(b | 0x10000)); }
} // namespace scanfast

// A wider look for the conversion loop's run of short tokens: a bit per
// byte of up to WINDOW bytes from a token start, for every class a token
// needs, so that a line's fields are found and classified with a few bit
// operations each instead of a look per token. Bits at and past the
// window's limit are set in the masks that end things (end, qend) and
// clear in the others, so nothing found there is mistaken for input.
constexpr unsigned WINDOW = 63; // bit 63 is always a stop
struct windowbits {
  uint64_t end;          // ends an unquoted field
  uint64_t nl;           // a newline
  uint64_t run;          // continues a delimiter run
  uint64_t qstart, qend; // begins / ends a quoted field
  uint64_t pt;           // a point
  // At the end of each run of field bytes that begins after a byte of
  // end, or at the window's start: set when the run is a number.
  uint64_t num;
};

namespace scanfast {
extern uint64_t signok64, firstok64, runs64; // all ones, or 0 under -P / -S / -k
#ifdef SCAN_SSE2
extern __m128i vquote; // '"', or NUL where it is a delimiter
#endif
#ifdef SCAN_SSE2
// The 16 bits of a class over p[0..16) in place at bit `at` of a mask.
inline uint64_t at(unsigned b, unsigned shift) { return static_cast<uint64_t>(b) << shift; }
#endif
} // namespace scanfast

// The bits of p[0..lim), lim at most WINDOW. The buffer must have 64
// readable bytes at p.
[[gnu::always_inline]] inline void scanwindow(const unsigned char *p, unsigned lim,
                                              windowbits &w) {
  using namespace scanfast;
  uint64_t end = 0, nl = 0, qz = 0, dig = 0, pt = 0, pm = 0, ok = 0;
#ifdef SCAN_SSE2
  for (unsigned k = 0; k < 64; k += 16) {
    __m128i v = load16(p + k);
    __m128i n = eq(v, '\n'), d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    __m128i dg = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d), po = eq(v, '.');
    __m128i sg = _mm_or_si128(eq(v, '+'), eq(v, '-'));
    __m128i ex = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'));
    end |= at(bits(_mm_or_si128(n, _mm_or_si128(_mm_cmpeq_epi8(v, vdelim1),
                                                 _mm_cmpeq_epi8(v, vdelim2)))), k);
    nl |= at(bits(n), k);
    qz |= at(bits(_mm_or_si128(_mm_cmpeq_epi8(v, vquote), eq(v, '\0'))), k);
    dig |= at(bits(dg), k);
    pt |= at(bits(po), k);
    pm |= at(bits(sg), k);
    ok |= at(bits(_mm_or_si128(_mm_or_si128(dg, po), _mm_and_si128(_mm_or_si128(sg, ex), vsignok))),
             k);
  }
#else
  for (unsigned k = 0; k < 64; k++) {
    unsigned char c = p[k];
    uint64_t b = uint64_t{1} << k;
    uint8_t cls = scancls[c];
    end |= cls & K_END ? b : 0;
    nl |= c == '\n' ? b : 0;
    qz |= (c == '"' && scanstart[c] == S_QUOTE) || c == 0 ? b : 0;
    dig |= cls & K_DIGIT ? b : 0;
    pt |= cls & K_POINT ? b : 0;
    pm |= c == '+' || c == '-' ? b : 0;
    ok |= cls & K_NUMBAD ? 0 : b;
  }
#endif
  uint64_t in = (uint64_t{1} << lim) - 1; // lim < 64
  w.end = end | ~in;
  w.nl = nl & in;
  // A NUL is dropped from the input or is a delimiter, and a quote that
  // is a delimiter is no quote, so qz holds the quotes and the NULs, and
  // what of it is no delimiter are the quotes that begin a field.
  w.qstart = qz & ~end & in;
  w.qend = qz | nl | ~in;
  // A run is continued by any delimiter but a newline or a NUL.
  w.run = end & ~nl & ~qz & in & runs64;
  w.pt = pt;
  // The number walk for every field of the window at once, by carries:
  // adding a run's lowest bit to it carries out of its top bit just when
  // every bit of the run is set. The fields are the runs of g; s is the
  // first byte of each.
  uint64_t g = ~w.end, s = g & ~(g << 1);
  // Every byte accepted and the first one a byte that may begin a number:
  // the carry from the first byte runs through to the field's end.
  uint64_t acc = g & ok, first = s & acc & (dig | pt | pm) & firstok64;
  uint64_t whole = (acc + first) & w.end;
  // No digit at all, or a sign after the last one: a carry from the first
  // byte or from a sign runs through non-digits to the field's end.
  uint64_t nodig = g & ~dig;
  uint64_t signed_ = (nodig + ((s | (pm & signok64)) & nodig)) & w.end;
  w.num = whole & ~signed_;
}

// The unquoted field that starts at bit i of a window, after a byte of
// w.end or at the window's start: where it ends (at a byte of w.end),
// whether it is a number and its fraction digits.
struct windowfield {
  unsigned end;
  int num, frac;
};
[[gnu::always_inline]] inline windowfield fieldat(const windowbits &w, unsigned i) {
  uint64_t from = ~uint64_t{0} << i;
  unsigned j = static_cast<unsigned>(__builtin_ctzll(w.end & from));
  // The bytes after the first point; none when it lies past the field.
  unsigned point = static_cast<unsigned>(__builtin_ctzll((w.pt & from) | uint64_t{1} << 63));
  // Masked, not branched on: whether a field has a point is as good as
  // random to the branch predictor.
  int frac = static_cast<int>(j - 1 - point) & -static_cast<int>(point < j);
  return {j, static_cast<int>(w.num >> j & 1), frac};
}

// Where the delimiter run that starts at bit i ends (past i, at the limit
// if it reaches it); under -k, at i + 1.
[[gnu::always_inline]] inline unsigned runat(const windowbits &w, unsigned i) {
  return static_cast<unsigned>(__builtin_ctzll(~w.run & ~uint64_t{0} << (i + 1)));
}

// Where the quoted field whose opening quote is bit i ends: a closing
// quote, a newline or NUL, or the limit.
[[gnu::always_inline]] inline unsigned quoteat(const windowbits &w, unsigned i) {
  return static_cast<unsigned>(__builtin_ctzll(w.qend & ~uint64_t{0} << (i + 1)));
}

[[gnu::always_inline]] inline int scantoken(scanpos &s, fieldref &f) {
  using namespace scanfast;
  const unsigned char *p = s.pos;
  if (s.runend) {
    s.pos = s.runend;
    s.runend = nullptr;
    return TOK_DELIM;
  }
  if (p < s.end) {
    switch (scanstart[*p]) {
    case S_EOL:
      s.pos = p + 1;
      return TOK_EOL;
    case S_DELIM1:
      s.pos = p + 1;
      return TOK_DELIM;
    case S_DELIM: {
      unsigned n = first(~runbits(load16(p + 1)) & 0xffff);
      if (n < 16 && p + 1 + n < s.end) {
        s.pos = p + 1 + n;
        return TOK_DELIM;
      }
      break;
    }
    case S_QUOTE: {
      unsigned n = first(qendbits(load16(p + 1)));
      const unsigned char *e = p + 1 + n;
      if (n < 16 && e < s.end) {
        f = {reinterpret_cast<const char *>(p + 1), static_cast<int>(n), 0, 0};
        s.pos = e + (*e == '"'); // the closing quote is consumed
        return TOK_LABEL;
      }
      break;
    }
    default: {
      vec v = load16(p);
      unsigned n = first(endbits(v));
      if (n < 16 && p + n < s.end) {
        // The number walk by the bits: every byte accepted, a digit, and
        // no sign after the last digit (so the signs' bits, read as a
        // number, are below the digits').
        numbits b = numclass(v);
        unsigned m = (1u << n) - 1, dig = b.dig & m, pt = b.pt & m;
        // Computed, not branched on: whether a field is a number is as
        // good as random to the branch predictor. Likewise the fraction
        // digits, with a stand-in point on the last byte (which gives 0,
        // as no point or a point there does).
        int num = ((scancls[*p] & K_FIRSTOK) != 0) & ((b.ok & m) == m) & (dig != 0) &
                  ((b.sgn & m) < dig);
        int frac = static_cast<int>(n) - 1 - __builtin_ctz(pt | 1u << (n - 1));
        f = {reinterpret_cast<const char *>(p), static_cast<int>(n), frac, 0};
        s.pos = p + n;
        // The same look mostly holds the delimiter run after the field
        // too: then the next token's start is known without another.
        if (!(nlbits(v) >> n & 1)) {
          unsigned e = n + 1 + first(~runbits(v) >> (n + 1) & 0xffff >> (n + 1));
          if (e < 16 && p + e < s.end)
            s.runend = p + e;
        }
        int kind = TOK_LABEL - num;
        // Hide the kind's origin, or the compiler branches on num to give
        // each kind a copy of the code that follows.
        __asm__("" : "+r"(kind));
        return kind;
      }
      break;
    }
    }
  }
  scanat = s;
  int tok = slowtoken();
  s = scanat;
  f = {fieldbuf, fieldlen, fieldfrac, fieldcut};
  return tok;
}
