// The token reader: one pass over the input block in 64-byte strides that
// finds every field, delimiter run and line end and hands each to its
// caller's actions as it finds it.
//
// A stride is turned into a bit per byte for each class a token needs
// (scan/vec.h does that on every machine), and the walk from one token to
// the next is a few bit operations on those. A token that goes on past
// the stride carries its state into the next one: what kind of token it
// is, where its text starts, how far the number walk has got and how long
// the field is so far. Past the block's end it carries on in the next
// block the same way, its bytes so far kept in the reader's buffer.
//
// The actions are the caller's (a template, so the calls are inlined):
//   bool onfield(int label, const char *text, int len, int frac, int cut)
//   bool ondelim()
//   bool oneol()
// each returning false to stop the reader after that token; the next
// call goes on from there. Between calls the reader keeps nothing but the
// input's position: a token that crosses a stride or a block is carried
// in locals and always finished within one call. For a field, label is 1
// for a label and 0 for a number, text holds len bytes (at most FIELDMAX,
// with 16 readable from it), frac counts the bytes after its first point
// (which only a number's fraction digits are made of) and cut is 1 when
// bytes past FIELDMAX were dropped.
#pragma once
#include <cstddef>
#include <cstdint>

#include "scan/vec.h"

constexpr int FIELDMAX = 999;

// What each byte means, made once from the settings.
struct byteclasses {
  vec::rep delim1, delim2; // the delimiter bytes
  uint64_t runs;    // all ones when a run of delimiters counts once, else 0
  uint64_t signok;  // all ones when signs and exponent letters may be in a number
  uint64_t firstok; // all ones when a field may be a number at all
};

// From the option values: the delimiter bytes (0..255), whether runs
// collapse, whether every field is a label (-S), whether numbers hold only
// digits and points (-P).
byteclasses makeclasses(int delim1, int delim2, bool strip, bool allstrings, bool plainnums);

// No point in a field (yet), as an offset past any field's end.
constexpr uint64_t NOPOINT = ~uint64_t{0};

// The bits of one stride, bit i for byte i.
struct stridebits {
  uint64_t end;   // ends an unquoted field: a delimiter or a newline
  uint64_t run;   // continues a delimiter run: a delimiter but a newline or NUL
  uint64_t quote; // opens a quoted field at a token's start
  uint64_t qend;  // ends a quoted field: a quote, a newline, a NUL
  uint64_t first; // may begin a number
  uint64_t ok;    // accepted by the number walk
  uint64_t dig, sgn, pt;
};

// The bits of p[0..64), where the block ends lim bytes in: there every
// field, quoted field and run stops, so nothing past it is taken for input.
[[gnu::always_inline]] inline stridebits stride(const unsigned char *p, unsigned lim,
                                                const byteclasses &c) {
  vec::b64 v = vec::load64(p);
  vec::b64 nl = eq(v, '\n'), d = eq(v, c.delim1) | eq(v, c.delim2), q = eq(v, '"');
  uint64_t end = vec::mask(nl | d), nlnul = vec::mask(nl | eq(v, '\0'));
  uint64_t quote = vec::mask(q);
  uint64_t dig = vec::mask(inrange(v, '0', '9')), pt = vec::mask(eq(v, '.'));
  uint64_t sgn = vec::mask(eq(v, '+') | eq(v, '-'));
  uint64_t ex = vec::mask(eq(v | vec::rep(0x20), 'e'));
  uint64_t past = lim < 64 ? ~uint64_t{0} << lim : 0;
  stridebits s;
  s.end = end | past;
  // A quote that is a delimiter opens nothing.
  s.quote = quote & ~end;
  s.qend = quote | nlnul | past;
  s.run = end & ~nlnul & ~past & c.runs;
  s.first = (dig | pt | sgn) & c.firstok;
  s.ok = dig | pt | ((sgn | ex) & c.signok);
  s.dig = dig;
  s.sgn = sgn;
  s.pt = pt;
  return s;
}

// Where the first point of a field is: the one it had (NOPOINT for none),
// or else the first of the bits m of s, bit 0 of s at offset off in the
// field. Masked, not branched on, as fracof below.
[[gnu::always_inline]] inline uint64_t firstpoint(const stridebits &s, uint64_t m, uint64_t off,
                                                  uint64_t had) {
  uint64_t p = s.pt & m;
  uint64_t here = (off + static_cast<unsigned>(__builtin_ctzll(p | uint64_t{1} << 63))) |
                  -static_cast<uint64_t>(p == 0);
  return had < here ? had : here;
}

// Bits 0 to k - 1, for k <= 64; bits i to j - 1, for i <= j <= 64.
[[gnu::always_inline]] inline uint64_t below(unsigned k) {
  return k < 64 ? (uint64_t{1} << k) - 1 : ~uint64_t{0};
}
[[gnu::always_inline]] inline uint64_t bitsfrom(unsigned i, unsigned j) {
  return below(j) & ~below(i);
}

// Whether the 64 bytes at p hold a byte that ends an unquoted field (a
// delimiter or a newline), or with `quoted` one that ends a quoted field.
[[gnu::always_inline]] inline bool endsin(const unsigned char *p, bool quoted,
                                          const byteclasses &c) {
  vec::b64 v = vec::load64(p);
  vec::b64 nl = eq(v, '\n');
  return quoted ? vec::any(nl | eq(v, '"') | eq(v, '\0'))
                : vec::any(nl | eq(v, c.delim1) | eq(v, c.delim2));
}

// The first stride from base on (in steps of 64 bytes) that ends such a
// field, or that is not a whole stride; out of line, as it is rare.
const unsigned char *passlong(const unsigned char *base, const unsigned char *end, bool quoted,
                              const byteclasses &c);

// The number rule, in the one place it is written: a field is a number
// when its first byte may begin one, every byte is accepted (digits,
// points, and unless -P signs and exponent letters), it holds a digit,
// and no sign stands after its last digit.
//
// It is walked for every field of a stride at once, by carries: adding a
// bit to a run of set bits carries out of the run's top just when the bit
// lies in it, and a field's bytes are such runs, each ended by a byte
// that is not of the field. okin has a bit where a walk begins and may go
// on (a field's first byte, when it may begin a number); the carry from it
// runs to the field's end through accepted bytes only. pendin has a bit
// where a walk begins still wanting a digit (every field's first byte);
// that carry, and one from every sign, runs to the field's end through
// bytes that are no digit. The byte that ends a field then has its bit set
// in ok when every byte was accepted, and in pend when a digit is wanted
// still. A field that goes on past the stride carries both out of bit 63
// into the next stride's walk, given there as okin and pendin; the bytes
// of pass (those past the 999 kept of a long field) are passed through as
// if they were not there.
struct numcarry {
  uint64_t ok, pend;
  bool okout, pendout; // the carries out of bit 63
  // The walk's state at bit k (up to 64) of the stride: whether all so
  // far was accepted and whether a digit is wanted.
  bool okat(unsigned k) const { return k < 64 ? ok >> k & 1 : okout; }
  bool pendat(unsigned k) const { return k < 64 ? pend >> k & 1 : pendout; }
};
[[gnu::always_inline]] inline numcarry numwalk(const stridebits &s, uint64_t field,
                                               uint64_t pass, uint64_t okin,
                                               uint64_t pendin) {
  uint64_t acc = (field & s.ok) | pass, nodig = (field & ~s.dig) | pass;
  numcarry c;
  c.okout = __builtin_add_overflow(acc, okin, &c.ok);
  c.pendout = __builtin_add_overflow(nodig, pendin | (s.sgn & field & ~pass), &c.pend);
  return c;
}

// The walk for the fields that begin at bit `from` or later of a stride,
// each after a byte that ends one (or at `from` itself).
[[gnu::always_inline]] inline numcarry numfields(const stridebits &s, unsigned from) {
  uint64_t field = ~s.end & ~below(from);
  uint64_t starts = field & ~(field << 1);
  return numwalk(s, field, 0, starts & s.first, starts);
}

// The bytes after the first point of a field that lies wholly in one
// stride, bits i to j - 1 (j < 64), found with a stand-in point on its
// last byte (which gives 0, as no point or a point there does).
// Computed, not branched on: whether a field has a point is as good as
// random to the branch predictor.
[[gnu::always_inline]] inline int fracof(const stridebits &s, unsigned i, unsigned j) {
  uint64_t last = uint64_t{1} << (j - 1);
  return static_cast<int>(j - 1) -
         static_cast<int>(__builtin_ctzll((s.pt & ~uint64_t{0} << i) | last));
}

// The lowest set bit of x, 64 when there is none.
[[gnu::always_inline]] inline unsigned lowest(uint64_t x) {
  return x ? static_cast<unsigned>(__builtin_ctzll(x)) : 64;
}

// Where the reader is in the input's block: [begin, end) is the block,
// with 64 readable bytes past its end, and pos the next token's start.
struct blockpos {
  const unsigned char *begin, *pos, *end;
};

// Keeps what fits of [p, q) after the kept bytes of buf; returns how many
// it holds now.
int keepfield(char *buf, int kept, const unsigned char *p, const unsigned char *q);

// Reads tokens from in into the actions until one of them says stop
// (returns false; the next call goes on after that token) or the input
// ends (returns true, and again at every later call). In has
//   blockpos at;   bool refill();
// where refill() reads the next block into at and returns true, or
// returns false at the end of input (and at every later call), leaving
// an empty block in at. buf (FIELDMAX + 1 bytes) keeps the bytes of a
// field that crosses a block's edge; such a field's text is handed over
// from there, NUL-terminated.
template <class In, class Act>
[[gnu::always_inline]] inline bool readtokens(In &in, char *buf, const byteclasses &c, Act &act) {
  enum { M_START, M_FIELD, M_QUOTE, M_RUN };
  const unsigned char *p = in.at.pos;
  // The token that goes on past a stride, while mode is not M_START:
  // where its text starts in the block, its bytes so far (all of them),
  // those of them kept in buf (from earlier blocks); for a field, the
  // number walk's state and where its first point is.
  int mode = M_START;
  const unsigned char *tok = nullptr;
  uint64_t flen = 0, point = NOPOINT;
  int kept = 0;
  bool ok = false, pend = false;
  for (;;) {
    bool more = true;
    if (p >= in.at.end) [[unlikely]] {
      // A token's bytes in this block go to buf before the block is
      // read over.
      if (mode == M_FIELD || mode == M_QUOTE)
        kept = keepfield(buf, kept, tok, in.at.end);
      more = in.refill();
      p = tok = in.at.pos;
      if (!more && mode == M_START)
        return true;
    }
    const unsigned char *begin = in.at.begin, *end = in.at.end;
    const unsigned char *base = begin + ((p - begin) & ~ptrdiff_t{63});
    size_t left = static_cast<size_t>(end - base);
    unsigned lim = left < 64 ? static_cast<unsigned>(left) : 64;
    unsigned i = static_cast<unsigned>(p - base);
    // Long fields pass whole strides: one that is a label already, or
    // past the bytes kept, or a quoted one, needs no more than whether the
    // stride ends it. (A field is taken for long once it has 16 bytes:
    // most that cross a stride's edge with fewer end in the next.)
    if ((mode == M_QUOTE || (mode == M_FIELD && (!ok || flen >= FIELDMAX))) && flen >= 16 &&
        more) [[unlikely]] {
      const unsigned char *to = passlong(base, end, mode == M_QUOTE, c);
      if (to != base) {
        flen += static_cast<uint64_t>(to - base) - i;
        i = 0;
        base = to;
        left = static_cast<size_t>(end - base);
        lim = left < 64 ? static_cast<unsigned>(left) : 64;
      }
      if (lim == 0) {
        p = base;
        continue;
      }
    }
    stridebits s = stride(base, lim, c);

    if (mode != M_START) [[unlikely]] {
      // The token that went on past the last stride (or block) ends in
      // this one, or goes on again; at the end of input it ends there.
      // One branch on its kind, as the kind is as good as random.
      bool go;
      const unsigned char *at;
      auto text = [&](const unsigned char *upto) {
        if (kept) {
          kept = keepfield(buf, kept, tok, upto);
          buf[kept] = '\0';
          return static_cast<const char *>(buf);
        }
        return reinterpret_cast<const char *>(tok);
      };
      int len = 0;
      switch (more ? mode : M_START) {
      case M_RUN: {
        unsigned j = lowest(~s.run & ~uint64_t{0} << i);
        if (j >= lim) {
          p = base + lim;
          continue;
        }
        go = act.ondelim();
        at = base + j;
        break;
      }
      case M_QUOTE: {
        unsigned j = lowest(s.qend & ~uint64_t{0} << i);
        unsigned upto = j < lim ? j : lim;
        flen += upto - i;
        if (j >= lim) {
          p = base + lim;
          continue;
        }
        at = base + j;
        len = flen < FIELDMAX ? static_cast<int>(flen) : FIELDMAX;
        go = act.onfield(1, text(at), len, 0, flen > FIELDMAX);
        at += *at == '"'; // the closing quote is consumed
        break;
      }
      case M_FIELD: {
        unsigned j = lowest(s.end & ~uint64_t{0} << i);
        unsigned upto = j < lim ? j : lim;
        // Only the bytes kept count for the number walk and the point:
        // past them the walk passes through.
        uint64_t room = flen < FIELDMAX ? FIELDMAX - flen : 0;
        unsigned keepto = room < upto - i ? static_cast<unsigned>(i + room) : upto;
        uint64_t keepbits = bitsfrom(i, keepto);
        numcarry w = numwalk(s, keepbits, bitsfrom(keepto, upto), uint64_t{ok} << i,
                             uint64_t{pend} << i);
        ok = w.okat(upto);
        pend = w.pendat(upto);
        point = firstpoint(s, keepbits, flen - i, point);
        flen += upto - i;
        if (j >= lim) {
          p = base + lim;
          continue;
        }
        at = base + j;
        len = flen < FIELDMAX ? static_cast<int>(flen) : FIELDMAX;
        uint64_t n = static_cast<uint64_t>(len);
        int frac = static_cast<int>(n - 1 - point) & -static_cast<int>(point < n);
        go = act.onfield(!ok | pend, text(at), len, frac, flen > FIELDMAX);
        break;
      }
      default: {
        // The end of input: the token ends where it got to.
        at = p;
        len = flen < FIELDMAX ? static_cast<int>(flen) : FIELDMAX;
        uint64_t n = static_cast<uint64_t>(len);
        int frac = static_cast<int>(n - 1 - point) & -static_cast<int>(point < n);
        go = mode == M_RUN     ? act.ondelim()
             : mode == M_QUOTE ? act.onfield(1, text(at), len, 0, flen > FIELDMAX)
                               : act.onfield(!ok | pend, text(at), len, frac, flen > FIELDMAX);
        break;
      }
      }
      mode = M_START;
      kept = 0;
      p = at;
      if (!go) {
        in.at.pos = p;
        return false;
      }
      if (!more)
        continue; // the end of input again, now at a token's start
      i = static_cast<unsigned>(p - base);
    }

    // The tokens that start in this stride.
    numcarry w = numfields(s, i);
    uint64_t num = w.ok & ~w.pend & s.end; // at the end of each field that is a number
    while (i < lim) {
      uint64_t b = uint64_t{1} << i;
      bool go;
      if (!(s.end & b)) {
        if (s.quote & b) {
          unsigned j = lowest(s.qend & ~uint64_t{1} << i);
          if (j >= lim) [[unlikely]] {
            mode = M_QUOTE;
            tok = base + i + 1;
            flen = lim - i - 1;
            i = lim;
            break;
          }
          go = act.onfield(1, reinterpret_cast<const char *>(base + i + 1),
                           static_cast<int>(j - i - 1), 0, 0);
          i = j + (base[j] == '"'); // the closing quote is consumed
          // A field right after the closing quote begins after no byte
          // that ends one: the walk begins again there.
          // (The bits are made again, not kept, so that the walk over
          // the stride needs fewer registers.)
          if (i < lim && !((s.end | s.quote) >> i & 1)) [[unlikely]] {
            w = numfields(stride(base, lim, c), i);
            num = w.ok & ~w.pend & s.end;
          }
        } else {
          unsigned j = lowest(s.end & ~uint64_t{0} << i);
          if (j >= lim) [[unlikely]] {
            mode = M_FIELD;
            tok = base + i;
            flen = lim - i;
            ok = w.okat(lim);
            pend = w.pendat(lim);
            point = firstpoint(s, bitsfrom(i, lim), -uint64_t{i}, NOPOINT);
            i = lim;
            break;
          }
          int label = !(num >> j & 1);
          // Hide where the kind comes from, or the compiler makes a copy of
          // the action for each kind.
          __asm__("" : "+r"(label));
          go = act.onfield(label, reinterpret_cast<const char *>(base + i),
                           static_cast<int>(j - i), fracof(s, i, j), 0);
          i = j;
          // Mostly a delimiter follows, and its run ends in the stride.
          if (go && base[j] != '\n') {
            unsigned k = lowest(~s.run & ~uint64_t{1} << j);
            if (k < lim) {
              go = act.ondelim();
              i = k;
            }
          }
        }
      } else if (base[i] == '\n') {
        go = act.oneol();
        i++;
      } else {
        unsigned j = lowest(~s.run & ~uint64_t{1} << i);
        if (j >= lim) [[unlikely]] {
          mode = M_RUN;
          i = lim;
          break;
        }
        go = act.ondelim();
        i = j;
      }
      if (!go) {
        in.at.pos = base + i;
        return false;
      }
    }
    p = base + i;
  }
}
