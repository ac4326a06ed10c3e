// The scanner's fast path, inline so that the conversion loop can keep the
// read position in registers. scantoken() reads one token from a copy of
// the position that its caller holds; whatever is not a short token wholly
// inside the block it leaves to slowtoken(), which works on the input's
// own copy (in.at) and leaves the field in fieldbuf.
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
// to the loop. Both are written once over scan/vec.h, which is what
// differs from one machine to another.
#pragma once
#include <cstdint>

#include "scan/scan.h"
#include "scan/vec.h"

namespace scanfast {
// The bytes that end an unquoted / a quoted field.
inline vec::b16 ends(const scanclasses &c, vec::b16 v) {
  return eq(v, '\n') | eq(v, c.vdelim1) | eq(v, c.vdelim2);
}
inline vec::b16 qends(vec::b16 v) { return eq(v, '\n') | eq(v, '"') | eq(v, '\0'); }

inline unsigned endbits(const scanclasses &c, vec::b16 v) { return vec::mask(ends(c, v)); }
inline unsigned nlbits(vec::b16 v) { return vec::mask(eq(v, '\n')); }
inline unsigned runbits(const scanclasses &c, vec::b16 v) {
  return vec::mask((eq(v, c.vdelim1) & c.vrun1) | (eq(v, c.vdelim2) & c.vrun2));
}
inline unsigned qendbits(vec::b16 v) { return vec::mask(qends(v)); }

// Bit i of each: byte i is accepted by the number walk / a digit / a
// sign, accepted or not / a point.
template <unsigned N> struct numbits {
  vec::maskof<N> ok, dig, sgn, pt;
};
template <unsigned N>
[[gnu::always_inline]] inline numbits<N> numclass(const scanclasses &c, vec::bytes<N> v) {
  auto dig = vec::mask(inrange(v, '0', '9')), pt = vec::mask(eq(v, '.'));
  auto pm = vec::mask(eq(v, '+') | eq(v, '-'));
  auto ex = vec::mask(eq(v | vec::rep(0x20), 'e'));
  // Signs and exponent letters are accepted only without -P.
  auto signok = static_cast<decltype(dig)>(c.signok64);
  return {dig | pt | ((pm | ex) & signok), dig, pm, pt};
}

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

// The bits of p[0..lim), lim at most WINDOW. The buffer must have 64
// readable bytes at p.
[[gnu::always_inline]] inline void scanwindow(const scanclasses &c, const unsigned char *p,
                                              unsigned lim, windowbits &w) {
  using namespace scanfast;
  vec::b64 v = vec::load64(p);
  vec::b64 n = eq(v, '\n');
  uint64_t nl = vec::mask(n), end = vec::mask(n | eq(v, c.vdelim1) | eq(v, c.vdelim2));
  uint64_t qz = vec::mask(eq(v, c.vquote) | eq(v, '\0'));
  numbits<64> num = numclass(c, v);
  uint64_t dig = num.dig, pt = num.pt, pm = num.sgn, ok = num.ok;
  uint64_t in = (uint64_t{1} << lim) - 1; // lim < 64
  w.end = end | ~in;
  w.nl = nl & in;
  // A NUL is dropped from the input or is a delimiter, and a quote that
  // is a delimiter is no quote, so qz holds the quotes and the NULs, and
  // what of it is no delimiter are the quotes that begin a field.
  w.qstart = qz & ~end & in;
  w.qend = qz | nl | ~in;
  // A run is continued by any delimiter but a newline or a NUL.
  w.run = end & ~nl & ~qz & in & c.runs64;
  w.pt = pt;
  // The number walk for every field of the window at once, by carries:
  // adding a run's lowest bit to it carries out of its top bit just when
  // every bit of the run is set. The fields are the runs of g; s is the
  // first byte of each.
  uint64_t g = ~w.end, s = g & ~(g << 1);
  // Every byte accepted and the first one a byte that may begin a number:
  // the carry from the first byte runs through to the field's end.
  uint64_t acc = g & ok, first = s & acc & (dig | pt | pm) & c.firstok64;
  uint64_t whole = (acc + first) & w.end;
  // No digit at all, or a sign after the last one: a carry from the first
  // byte or from a sign runs through non-digits to the field's end.
  uint64_t nodig = g & ~dig;
  uint64_t signed_ = (nodig + ((s | (pm & c.signok64)) & nodig)) & w.end;
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

[[gnu::always_inline]] inline int scantoken(scanner &sc, scanpos &s, fieldref &f) {
  using namespace scanfast;
  const scanclasses &c = sc.cls;
  const unsigned char *p = s.pos;
  if (s.runend) {
    s.pos = s.runend;
    s.runend = nullptr;
    return TOK_DELIM;
  }
  if (p < s.end) {
    switch (c.start[*p]) {
    case S_EOL:
      s.pos = p + 1;
      return TOK_EOL;
    case S_DELIM1:
      s.pos = p + 1;
      return TOK_DELIM;
    case S_DELIM: {
      unsigned n = first(~runbits(c, vec::load16(p + 1)) & 0xffff);
      if (n < 16 && p + 1 + n < s.end) {
        s.pos = p + 1 + n;
        return TOK_DELIM;
      }
      break;
    }
    case S_QUOTE: {
      unsigned n = first(qendbits(vec::load16(p + 1)));
      const unsigned char *e = p + 1 + n;
      if (n < 16 && e < s.end) {
        f = {reinterpret_cast<const char *>(p + 1), static_cast<int>(n), 0, 0};
        s.pos = e + (*e == '"'); // the closing quote is consumed
        return TOK_LABEL;
      }
      break;
    }
    default: {
      vec::b16 v = vec::load16(p);
      unsigned n = first(endbits(c, v));
      if (n < 16 && p + n < s.end) {
        // The number walk by the bits: every byte accepted, a digit, and
        // no sign after the last digit (so the signs' bits, read as a
        // number, are below the digits').
        numbits<16> b = numclass(c, v);
        unsigned m = (1u << n) - 1, dig = b.dig & m, pt = b.pt & m;
        // Computed, not branched on: whether a field is a number is as
        // good as random to the branch predictor. Likewise the fraction
        // digits, with a stand-in point on the last byte (which gives 0,
        // as no point or a point there does).
        int num = ((c.cls[*p] & K_FIRSTOK) != 0) & ((b.ok & m) == m) & (dig != 0) &
                  ((b.sgn & m) < dig);
        int frac = static_cast<int>(n) - 1 - __builtin_ctz(pt | 1u << (n - 1));
        f = {reinterpret_cast<const char *>(p), static_cast<int>(n), frac, 0};
        s.pos = p + n;
        // The same look mostly holds the delimiter run after the field
        // too: then the next token's start is known without another.
        if (!(nlbits(v) >> n & 1)) {
          unsigned e = n + 1 + first(~runbits(c, v) >> (n + 1) & 0xffff >> (n + 1));
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
  sc.in.at = s;
  int tok = sc.slowtoken();
  s = sc.in.at;
  f = {sc.fieldbuf, sc.fieldlen, sc.fieldfrac, sc.fieldcut};
  return tok;
}
