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
// read() goes on from there. For a field, label is 1 for a label and 0
// for a number, text holds len bytes (at most FIELDMAX, with 16 readable
// from it), frac counts the bytes after its first point (a number's;
// 0 for a label) and cut is 1 when bytes past FIELDMAX were dropped.
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

// The number rule, in the one place it is written: a field is a number
// when its first byte may begin one, every byte is accepted (digits,
// points, and unless -P signs and exponent letters), it holds a digit,
// and no sign stands after its last digit. Folded over the pieces of a
// field as the strides bring them, so that it also counts the bytes after
// the first point.
struct numwalk {
  static constexpr uint64_t NOPOINT = ~uint64_t{0};
  bool ok;        // the first byte may begin a number, every byte so far accepted
  bool pending;   // no digit yet, or a sign after the last one
  uint64_t point; // offset of the first point in the field, or NOPOINT

  // The field's first byte is bit i of s.
  [[gnu::always_inline]] void start(const stridebits &s, unsigned i) {
    ok = s.first >> i & 1;
    pending = true;
    point = NOPOINT;
  }
  // The field's bytes that are the bits m of s; bit 0 of s is at offset
  // off in the field (counted as if it were, for a piece that starts
  // later in the stride).
  [[gnu::always_inline]] void fold(const stridebits &s, uint64_t m, uint64_t off) {
    ok &= (s.ok & m) == m;
    uint64_t d = s.dig & m, g = s.sgn & m;
    // A sign after the last digit of this piece is one above all its
    // digits: the masks compare as numbers so.
    pending = (g > d) | (pending & (d == 0));
    uint64_t p = s.pt & m;
    uint64_t here = p ? off + static_cast<unsigned>(__builtin_ctzll(p)) : NOPOINT;
    point = point != NOPOINT ? point : here;
  }
  bool number() const { return ok & !pending; }
  // The bytes after the first point, of a field of len bytes.
  int frac(uint64_t len) const { return point < len ? static_cast<int>(len - 1 - point) : 0; }
};

// Bits i to j - 1, for i <= j <= 64.
[[gnu::always_inline]] inline uint64_t bitsfrom(unsigned i, unsigned j) {
  uint64_t below = j < 64 ? (uint64_t{1} << j) - 1 : ~uint64_t{0};
  return below & (~uint64_t{0} << i);
}
// The lowest set bit of x, 64 when there is none.
[[gnu::always_inline]] inline unsigned lowest(uint64_t x) {
  return x ? static_cast<unsigned>(__builtin_ctzll(x)) : 64;
}

// The reader of one input. In is the input's source, with
//   bool refill(const unsigned char *&begin, const unsigned char *&end)
// which puts the next block, with 64 readable bytes past its end, in
// [begin, end) and returns true, or returns false at the end of input
// (and again at every later call).
class reader {
public:
  explicit reader(const byteclasses &c) : cls(&c) {}

  // Starts over on a new input; the block [b, e) is what is already read
  // of it (empty for none).
  void reset(const unsigned char *b, const unsigned char *e) {
    begin = pos = b;
    end = e;
    mode = M_START;
  }

  // Reads tokens into the actions until one of them says stop (false) or
  // the input ends (true).
  template <class In, class Act> bool read(In &in, Act &act);

  // The buffer a field that crosses a block's edge is kept in.
  char buf[FIELDMAX + 1];

private:
  enum : uint8_t { M_START, M_FIELD, M_QUOTE, M_RUN };
  const byteclasses *cls;
  const unsigned char *begin = nullptr, *pos = nullptr, *end = nullptr;
  uint8_t mode = M_START;

  // The token that goes on past a stride, while mode is not M_START.
  const unsigned char *tok = nullptr; // where its text starts in the block
  uint64_t flen = 0;   // the field's bytes so far, all of them
  int kept = 0;        // of which kept in buf (from earlier blocks)
  numwalk walk{};

  // Keeps what fits of [p, q) after what buf holds.
  void keep(const unsigned char *p, const unsigned char *q);
  template <class In> bool next(In &in);
};

template <class In> [[gnu::noinline]] bool reader::next(In &in) {
  // A token's bytes in this block go to buf before the block is read over.
  if (mode == M_FIELD || mode == M_QUOTE)
    keep(tok, end);
  if (!in.refill(begin, end)) {
    pos = begin = end;
    return false;
  }
  pos = tok = begin;
  return true;
}

template <class In, class Act>
[[gnu::always_inline]] inline bool reader::read(In &in, Act &act) {
  const byteclasses &c = *cls;
  const unsigned char *p = pos;
  for (;;) {
    bool more = true;
    if (p >= end) {
      pos = p;
      more = next(in);
      p = pos;
      if (!more && mode == M_START)
        return true;
    }
    const unsigned char *base = begin + ((p - begin) & ~ptrdiff_t{63});
    size_t left = static_cast<size_t>(end - base);
    unsigned lim = left < 64 ? static_cast<unsigned>(left) : 64;
    stridebits s = stride(base, lim, c);
    unsigned i = static_cast<unsigned>(p - base);

    if (mode != M_START) [[unlikely]] {
      // The token that went on past the last stride (or block) ends in
      // this one, or goes on again; at the end of input it ends there.
      unsigned j = 0;
      if (more) {
        j = mode == M_FIELD   ? lowest(s.end & ~uint64_t{0} << i)
            : mode == M_QUOTE ? lowest(s.qend & ~uint64_t{0} << i)
                              : lowest(~s.run & ~uint64_t{0} << i);
        if (mode == M_FIELD && flen < FIELDMAX) {
          // Only the bytes kept count for the number walk.
          unsigned upto = j < lim ? j : lim;
          uint64_t room = FIELDMAX - flen;
          unsigned cutat = room < upto - i ? static_cast<unsigned>(i + room) : upto;
          walk.fold(s, bitsfrom(i, cutat), flen - i);
        }
        if (j >= lim) {
          flen += lim - i;
          p = base + lim;
          continue;
        }
        flen += j - i;
      }
      const unsigned char *at = base + j;
      bool go = true;
      if (mode == M_RUN) {
        go = act.ondelim();
      } else {
        const char *text = reinterpret_cast<const char *>(tok);
        int len = flen < FIELDMAX ? static_cast<int>(flen) : FIELDMAX;
        if (kept) {
          keep(tok, at);
          buf[kept] = '\0';
          text = buf;
        }
        int cut = flen > FIELDMAX;
        if (mode == M_QUOTE) {
          go = act.onfield(1, text, len, 0, cut);
          at += more && *at == '"'; // the closing quote is consumed
        } else {
          int label = !walk.number();
          go = act.onfield(label, text, len, label ? 0 : walk.frac(static_cast<uint64_t>(len)), cut);
        }
      }
      mode = M_START;
      kept = 0;
      p = at;
      if (!go) {
        pos = p;
        return false;
      }
      if (!more)
        continue; // the end of input again, now at a token's start
      i = static_cast<unsigned>(p - base);
    }

    // The tokens that start in this stride.
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
        } else {
          unsigned j = lowest(s.end & ~uint64_t{0} << i);
          walk.start(s, i);
          walk.fold(s, bitsfrom(i, j < lim ? j : lim), -uint64_t{i});
          if (j >= lim) [[unlikely]] {
            mode = M_FIELD;
            tok = base + i;
            flen = lim - i;
            i = lim;
            break;
          }
          int label = !walk.number();
          // Hide where the kind comes from, or the compiler makes a copy of
          // the action for each kind.
          __asm__("" : "+r"(label));
          go = act.onfield(label, reinterpret_cast<const char *>(base + i),
                           static_cast<int>(j - i), label ? 0 : walk.frac(j - i), 0);
          i = j;
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
        pos = base + i;
        return false;
      }
    }
    p = base + i;
  }
}
