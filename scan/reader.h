// The token reader: one pass over the input block in strides of 63 bytes
// that finds every field, delimiter run and line end and hands each to
// its caller's actions as it finds it.
//
// A stride (64 bytes loaded, the last a stop past it, so that every mask
// that ends things has a bit to find) is turned into a bit per byte for
// each class a token needs (scan/vec.h does that on every machine), and
// the walk from one token to the next is a few bit operations on those.
// A stride begins where the last one stopped. A short token that goes on
// past it begins the next one, to be looked at again there; a long one
// carries its state into the next one: what kind of token it is, where
// its text starts, how far the number walk has got and how long the field
// is so far. Past the block's end a token carries on in the next block
// the same way, its bytes so far kept in the reader's buffer.
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

// The classes of the number walk, bit i for byte i of v: digits, points,
// signs, and the bytes it accepts (digits, points, and unless -P signs and
// exponent letters).
template <unsigned N> struct numclass {
  vec::maskof<N> dig, pt, sgn, ok;
};
template <unsigned N>
[[gnu::always_inline]] inline numclass<N> numclassof(vec::bytes<N> v, const byteclasses &c) {
  using m = vec::maskof<N>;
  numclass<N> k;
  k.dig = vec::mask(inrange(v, '0', '9'));
  k.pt = vec::mask(eq(v, '.'));
  k.sgn = vec::mask(eq(v, '+') | eq(v, '-'));
  m ex = vec::mask(eq(v | vec::rep(0x20), 'e'));
  k.ok = k.dig | k.pt | ((k.sgn | ex) & static_cast<m>(c.signok));
  return k;
}

// The bits of v, the 64 bytes at a stride's start, where the stride or
// the block ends lim bytes in (lim < 64): there every field, quoted field
// and run stops, so nothing past it is taken for input. First those that
// end things, then those of the number walk.
[[gnu::always_inline]] inline void endsof(stridebits &s, vec::b64 v, unsigned lim,
                                          const byteclasses &c) {
  vec::b64 nl = eq(v, '\n'), d = eq(v, c.delim1) | eq(v, c.delim2), q = eq(v, '"');
  uint64_t end = vec::mask(nl | d), nlnul = vec::mask(nl | eq(v, '\0'));
  uint64_t quote = vec::mask(q);
  uint64_t past = ~uint64_t{0} << lim;
  s.end = end | past;
  // A quote that is a delimiter opens nothing.
  s.quote = quote & ~end;
  s.qend = quote | nlnul | past;
  s.run = end & ~nlnul & ~past & c.runs;
}
[[gnu::always_inline]] inline void numsof(stridebits &s, vec::b64 v, const byteclasses &c) {
  numclass<64> k = numclassof(v, c);
  s.first = (k.dig | k.pt | k.sgn) & c.firstok;
  s.ok = k.ok;
  s.dig = k.dig;
  s.sgn = k.sgn;
  s.pt = k.pt;
}
[[gnu::always_inline]] inline stridebits stride(const unsigned char *p, unsigned lim,
                                                const byteclasses &c) {
  vec::b64 v = vec::load64(p);
  stridebits s;
  endsof(s, v, lim, c);
  numsof(s, v, c);
  return s;
}

// Whether a field whose first n bytes (n >= 1) are those at p may be a
// number, as far as its first 16 bytes tell: when not, it is a label
// whatever follows them.
[[gnu::always_inline]] inline bool maybenumber(const unsigned char *p, unsigned n,
                                               const byteclasses &c) {
  numclass<16> k = numclassof(vec::load16(p), c);
  unsigned want = n < 16 ? (1u << n) - 1 : 0xffffu;
  return (k.ok & want) == want && ((k.dig | k.pt | k.sgn) & c.firstok & 1);
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

// Bits 0 to k - 1, for k < 64; bits i to j - 1, for i <= j < 64.
[[gnu::always_inline]] inline uint64_t below(unsigned k) {
  return (uint64_t{1} << k) - 1;
}
[[gnu::always_inline]] inline uint64_t bitsfrom(unsigned i, unsigned j) {
  return below(j) & ~below(i);
}

// The bytes of the 64 at p that end an unquoted field (a delimiter or a
// newline), or with `quoted` those that end a quoted field; and whether
// there is one, which on some machines is much cheaper to ask.
[[gnu::always_inline]] inline vec::b64 endclass(const unsigned char *p, bool quoted,
                                                const byteclasses &c) {
  vec::b64 v = vec::load64(p);
  vec::b64 nl = eq(v, '\n');
  return quoted ? nl | eq(v, '"') | eq(v, '\0') : nl | eq(v, c.delim1) | eq(v, c.delim2);
}
[[gnu::always_inline]] inline uint64_t endbits(const unsigned char *p, bool quoted,
                                               const byteclasses &c) {
  return vec::mask(endclass(p, quoted, c));
}
[[gnu::always_inline]] inline bool endsin(const unsigned char *p, bool quoted,
                                          const byteclasses &c) {
  return vec::any(endclass(p, quoted, c));
}

// The first byte from p on that ends such a field, or end when the block
// holds none: for a long field, whose end is all that is still wanted of
// it, 64 bytes a step. Out of line, as it is rare.
const unsigned char *findend(const unsigned char *p, const unsigned char *end, bool quoted,
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
// still. A field that goes on past the stride has both at the stop past
// the stride's end, to give to the next stride's walk as okin and pendin
// (bit 0 there); the bytes
// of pass (those past the 999 kept of a long field) are passed through as
// if they were not there.
struct numcarry {
  uint64_t ok, pend;
  // The walk's state at bit k (up to 63) of the stride: whether all so
  // far was accepted and whether a digit is wanted.
  bool okat(unsigned k) const { return ok >> k & 1; }
  bool pendat(unsigned k) const { return pend >> k & 1; }
};
[[gnu::always_inline]] inline numcarry numwalk(const stridebits &s, uint64_t field,
                                               uint64_t pass, uint64_t okin,
                                               uint64_t pendin) {
  uint64_t acc = (field & s.ok) | pass, nodig = (field & ~s.dig) | pass;
  // No carry runs out of bit 63, which no field has.
  return {acc + okin, nodig + (pendin | (s.sgn & field & ~pass))};
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

// The lowest set bit of x, which has one: the masks that end things
// always have bit 63, past the stride's 63 bytes.
[[gnu::always_inline]] inline unsigned lowest(uint64_t x) {
  return static_cast<unsigned>(__builtin_ctzll(x));
}

// How many of a field's flen bytes are kept: at most FIELDMAX. The bound
// is hidden from the compiler, which would otherwise copy the text out
// with a string instruction, much slower for a long field than the call.
[[gnu::always_inline]] inline int keptlen(uint64_t flen) {
  int len = flen < FIELDMAX ? static_cast<int>(flen) : FIELDMAX;
  __asm__("" : "+r"(len));
  return len;
}

// The bytes after the first point of a field of len bytes whose first
// point is at offset point (NOPOINT for none).
[[gnu::always_inline]] inline int fracat(uint64_t point, int len) {
  uint64_t n = static_cast<uint64_t>(len);
  return static_cast<int>(n - 1 - point) & -static_cast<int>(point < n);
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
  // A token with fewer bytes than this in a stride that does not finish
  // it begins the next stride, its bytes looked at again, rather than
  // carrying its state: most such tokens end in the next stride, and a
  // stride costs less than the carry and its branch on the token's kind.
  constexpr unsigned SHORT = 16;
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
    // A stride begins where the last one stopped: at the token it did not
    // finish, or within a long token.
    const unsigned char *end = in.at.end, *base = p;
    size_t left = static_cast<size_t>(end - base);
    unsigned lim = left < 63 ? static_cast<unsigned>(left) : 63;
    unsigned i = 0;
    stridebits s;
    bool nums = true; // whether s has the number walk's bits

    if (mode != M_START) [[unlikely]] {
      // The token that went on past the last stride (or block) ends here
      // or goes on again; at the end of input it ends where it got to.
      bool go, made = false;
      const unsigned char *at;
      auto text = [&](const unsigned char *upto) __attribute__((always_inline)) {
        if (kept) {
          kept = keepfield(buf, kept, tok, upto);
          buf[kept] = '\0';
          return static_cast<const char *>(buf);
        }
        return reinterpret_cast<const char *>(tok);
      };
      int len;
      if (!more) {
        at = p;
        len = keptlen(flen);
        go = mode == M_RUN     ? act.ondelim()
             : mode == M_QUOTE ? act.onfield(1, text(at), len, 0, flen > FIELDMAX)
                               : act.onfield(!ok | pend, text(at), len, fracat(point, len),
                                             flen > FIELDMAX);
      } else if (mode == M_QUOTE || (mode == M_FIELD && (!ok || flen >= FIELDMAX))) {
        // A field known for a label, or past the bytes kept, or a quoted
        // one: all that is still wanted of it is where it ends.
        at = findend(p, end, mode == M_QUOTE, c);
        flen += static_cast<uint64_t>(at - p);
        if (at == end) {
          p = end;
          continue;
        }
        len = keptlen(flen);
        if (mode == M_QUOTE) {
          go = act.onfield(1, text(at), len, 0, flen > FIELDMAX);
          at += *at == '"'; // the closing quote is consumed
        } else {
          go = act.onfield(!ok | pend, text(at), len, fracat(point, len), flen > FIELDMAX);
        }
      } else {
        s = stride(base, lim, c);
        made = true;
        if (mode == M_RUN) {
          unsigned j = lowest(~s.run);
          if (j >= lim) {
            p = base + lim;
            continue;
          }
          go = act.ondelim();
          at = base + j;
        } else {
          // A field that may be a number still: the walk goes on through
          // the bytes kept, and passes through the rest.
          unsigned j = lowest(s.end);
          unsigned upto = j < lim ? j : lim;
          uint64_t room = FIELDMAX - flen;
          unsigned keepto = room < upto ? static_cast<unsigned>(room) : upto;
          uint64_t keepbits = below(keepto);
          numcarry w = numwalk(s, keepbits, bitsfrom(keepto, upto), ok, pend);
          ok = w.okat(upto);
          pend = w.pendat(upto);
          point = firstpoint(s, keepbits, flen, point);
          flen += upto;
          if (j >= lim) {
            p = base + lim;
            continue;
          }
          at = base + j;
          len = keptlen(flen);
          go = act.onfield(!ok | pend, text(at), len, fracat(point, len), flen > FIELDMAX);
        }
      }
      mode = M_START;
      kept = 0;
      p = at;
      if (!go) {
        in.at.pos = p;
        return false;
      }
      // What follows begins a stride of its own, unless this one's bits
      // are made already.
      if (!made)
        continue;
      i = static_cast<unsigned>(at - base);
    } else {
      vec::b64 v = vec::load64(base);
      endsof(s, v, lim, c);
      // The number walk's bits are wanted where a field ends in the
      // stride; in one where a long field only begins they are made only
      // if its first bytes may begin a number.
      nums = (s.end & ~s.end << 1 & below(lim)) != 0;
      if (nums) [[likely]] {
        numsof(s, v, c);
      } else {
        s.first = s.ok = s.dig = s.sgn = s.pt = 0;
      }
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
            if (i > 0 && lim - i < SHORT)
              break;
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
          // that ends one: a stride begins there, its walk with it.
          if (go && i < lim && !((s.end | s.quote) >> i & 1)) [[unlikely]]
            break;
        } else {
          unsigned j = lowest(s.end & ~uint64_t{0} << i);
          if (j >= lim) [[unlikely]] {
            if (i > 0 && lim - i < SHORT)
              break;
            // Without the stride's number bits it is a label (ok is 0),
            // unless its first bytes may begin a number.
            if (!nums && maybenumber(base + i, lim - i, c)) {
              numsof(s, vec::load64(base), c);
              w = numfields(s, i);
            }
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
          if (i > 0 && lim - i < SHORT)
            break;
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
