// The field scanner.
//
// Input is read in blocks into inbuf; [inpos, inend) is what is left of
// the block, and a newline is kept at *inend as a sentinel, so the loops
// below stop at the end of the block without testing for it on every byte:
// only once they stop do they ask whether it was the sentinel.
//
// Which bytes end a field, continue a delimiter run or end a quoted field
// depends on the settings, so scanprepare() folds them into one class per
// byte value. The class also carries what number recognition needs, so an
// unquoted field is found and classified in the same pass.
#include "scan/scan.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "driver/settings.h"

#if defined(__SSE2__) && !defined(TXT2SHEET_NO_SIMD)
#include <emmintrin.h>
#define SCAN_SSE2 1
#endif

enum : uint8_t {
  K_END = 0x01,     // ends an unquoted field: a delimiter or a newline
  K_RUN = 0x02,     // continues a delimiter run
  K_QEND = 0x04,    // ends a quoted field: quote, newline, NUL
  K_DIGIT = 0x08,
  K_SIGN = 0x10,    // a sign the number walk accepts
  K_NUMBAD = 0x20,  // a byte the number walk stops at
  K_FIRSTOK = 0x40, // may begin a number
};

// What a byte means at the start of a token, in the order of the tests.
enum : uint8_t { S_FIELD, S_EOL, S_DELIM, S_QUOTE };

static uint8_t cls[256];
static uint8_t startcls[256];

// Most fields are short, so the scanner first looks at the 16 bytes where
// a token starts, all at once: a bit per byte says whether it ends a field,
// continues a run, and so on. That finds the end of a short field and
// classifies it without a branch per byte; longer ones take the loops.
// Bytes past the end of the block are read (the buffer has room) but the
// sentinel always ends a window before them.
namespace {
struct window {
  unsigned end, run, qend; // bit i: byte i has that class
};
} // namespace

#ifdef SCAN_SSE2
static __m128i vdelim1, vdelim2, vrun1, vrun2;

static window look(const unsigned char *p) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i nl = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
  __m128i d1 = _mm_cmpeq_epi8(v, vdelim1), d2 = _mm_cmpeq_epi8(v, vdelim2);
  __m128i nul = _mm_cmpeq_epi8(v, _mm_setzero_si128());
  __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  window w;
  w.end = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(nl, _mm_or_si128(d1, d2))));
  w.run = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_and_si128(d1, vrun1), _mm_and_si128(d2, vrun2))));
  w.qend = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(nl, _mm_or_si128(nul, quote))));
  return w;
}

// Bits of the bytes the number walk accepts, of its digits and its signs.
static void numbits(const unsigned char *p, unsigned &ok, unsigned &dig, unsigned &sgn) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  __m128i isdig = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  __m128i pt = _mm_cmpeq_epi8(v, _mm_set1_epi8('.'));
  dig = static_cast<unsigned>(_mm_movemask_epi8(isdig));
  if (plainnums) {
    ok = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(isdig, pt)));
    sgn = 0;
    return;
  }
  __m128i sg = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('+')),
                            _mm_cmpeq_epi8(v, _mm_set1_epi8('-')));
  __m128i ex = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'));
  sgn = static_cast<unsigned>(_mm_movemask_epi8(sg));
  ok = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(isdig, pt), _mm_or_si128(sg, ex))));
}
#endif

constexpr size_t INCAP = 1 << 17;
static unsigned char instore[INCAP + 64];
static unsigned char *const inbuf = instore;
static unsigned char *inpos = inbuf, *inend = inbuf;
static int ineof;
int inerror;

static int infd;
static const char *inmem;
static size_t inmemlen, inmempos, inchunk;

static void emptyinput() {
  inpos = inend = inbuf;
  *inend = '\n';
  ineof = 0;
  inerror = 0;
}

void setinputfd(int fd) {
  infd = fd;
  inmem = nullptr;
  emptyinput();
}

void setinputmem(const char *p, size_t n, size_t chunk) {
  infd = -1;
  inmem = p;
  inmemlen = n;
  inmempos = 0;
  inchunk = chunk ? chunk : INCAP;
  emptyinput();
}

void scanprepare() {
  for (int b = 0; b < 256; b++) {
    bool delim = b == delim1 || b == delim2;
    uint8_t k = 0;
    if (delim || b == '\n')
      k |= K_END;
    if (delim && b != 0 && b != '\n')
      k |= K_RUN;
    if (b == '"' || b == '\n' || b == 0)
      k |= K_QEND;
    if (b >= '0' && b <= '9')
      k |= K_DIGIT | K_FIRSTOK;
    else if (b == '.')
      k |= K_FIRSTOK;
    else if (b == '+' || b == '-')
      k |= K_FIRSTOK | (plainnums ? K_NUMBAD : K_SIGN);
    else if (b == 'E' || b == 'e')
      k |= plainnums ? K_NUMBAD : 0;
    else
      k |= K_NUMBAD;
    cls[b] = k;
    startcls[b] = b == '\n' ? S_EOL : delim ? S_DELIM : b == '"' ? S_QUOTE : S_FIELD;
  }
#ifdef SCAN_SSE2
  vdelim1 = _mm_set1_epi8(static_cast<char>(delim1));
  vdelim2 = _mm_set1_epi8(static_cast<char>(delim2));
  vrun1 = _mm_set1_epi8(cls[delim1] & K_RUN ? -1 : 0);
  vrun2 = _mm_set1_epi8(cls[delim2] & K_RUN ? -1 : 0);
#endif
}

#ifndef SCAN_SSE2
// The same bits, a byte at a time, where there is no vector unit to ask.
static window look(const unsigned char *p) {
  window w = {0, 0, 0};
  for (unsigned i = 0; i < 16; i++) {
    uint8_t k = cls[p[i]];
    w.end |= (k & K_END ? 1u : 0u) << i;
    w.run |= (k & K_RUN ? 1u : 0u) << i;
    w.qend |= (k & K_QEND ? 1u : 0u) << i;
  }
  return w;
}

static void numbits(const unsigned char *p, unsigned &ok, unsigned &dig, unsigned &sgn) {
  ok = dig = sgn = 0;
  for (unsigned i = 0; i < 16; i++) {
    uint8_t k = cls[p[i]];
    ok |= (k & K_NUMBAD ? 0u : 1u) << i;
    dig |= (k & K_DIGIT ? 1u : 0u) << i;
    sgn |= (k & K_SIGN ? 1u : 0u) << i;
  }
}
#endif

// Drops the NUL bytes of p[0..n), which are not input while NUL is no
// delimiter; returns the bytes left.
static size_t dropnuls(unsigned char *p, size_t n) {
  unsigned char *z = static_cast<unsigned char *>(memchr(p, 0, n));
  if (!z)
    return n;
  unsigned char *o = z, *end = p + n;
  for (unsigned char *i = z + 1; i < end; i++)
    if (*i)
      *o++ = *i;
  return static_cast<size_t>(o - p);
}

// Reads the next block. Returns 0 at the end of input, which a read error
// also is (inerror then says which); the end is final.
static int refill() {
  while (!ineof) {
    ssize_t n;
    if (infd >= 0) {
      n = read(infd, inbuf, INCAP);
    } else {
      size_t k = inmemlen - inmempos;
      if (k > inchunk)
        k = inchunk;
      if (k > INCAP)
        k = INCAP;
      memcpy(inbuf, inmem + inmempos, k);
      inmempos += k;
      n = static_cast<ssize_t>(k);
    }
    if (n > 0) {
      size_t got = static_cast<size_t>(n);
      if (nulisdropped())
        got = dropnuls(inbuf, got);
      if (got == 0)
        continue;
      inpos = inbuf;
      inend = inbuf + got;
      *inend = '\n';
      return 1;
    }
    if (n == 0) {
      ineof = 1;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pf = {infd, POLLIN, 0};
      poll(&pf, 1, -1);
    } else if (errno != EINTR) {
      inerror = errno;
      ineof = 1;
    }
  }
  inpos = inend = inbuf;
  *inend = '\n';
  return 0;
}

// The number walk over a whole field whose byte classes or together to
// acc: every byte accepted, a digit somewhere, no sign after the last one.
static int classify(const unsigned char *f, int len, unsigned acc) {
  if (allstrings || !(cls[f[0]] & K_FIRSTOK) || (acc & K_NUMBAD) || !(acc & K_DIGIT))
    return TOK_LABEL;
  if (acc & K_SIGN) {
    const unsigned char *p = f + len;
    while (!(cls[*--p] & (K_DIGIT | K_SIGN)))
      ;
    if (cls[*p] & K_SIGN)
      return TOK_LABEL;
  }
  return TOK_NUMBER;
}

// Keeps up to FIELDMAX bytes of a field that goes on beyond the block or
// beyond fieldbuf; the rest is read and dropped. p..q is the next piece.
static void keep(const unsigned char *p, const unsigned char *q) {
  size_t n = static_cast<size_t>(q - p);
  size_t room = static_cast<size_t>(FIELDMAX - fieldlen);
  if (n > room) {
    n = room;
    fieldcut = 1;
  }
  memcpy(fieldbuf + fieldlen, p, n);
  fieldlen += static_cast<int>(n);
}

// The number walk over a field of len < 16 bytes, by its bits: every byte
// accepted, a digit, and no sign above the highest digit (the bits of
// signs then make a larger number than those of digits).
static int classify16(const unsigned char *p, unsigned len) {
  if (allstrings || !(cls[p[0]] & K_FIRSTOK))
    return TOK_LABEL;
  unsigned ok, dig, sgn, m = (1u << len) - 1;
  numbits(p, ok, dig, sgn);
  dig &= m;
  return (ok & m) == m && dig && (sgn & m) < dig ? TOK_NUMBER : TOK_LABEL;
}

static int unquoted() {
  const unsigned char *p = inpos, *q = p;
  fieldcut = 0;
  if (unsigned end = look(p).end) {
    unsigned len = static_cast<unsigned>(__builtin_ctz(end));
    if (p + len < inend) {
      memcpy(fieldbuf, p, 16);
      fieldbuf[len] = '\0';
      fieldlen = static_cast<int>(len);
      inpos += len;
      return classify16(p, len);
    }
  }
  unsigned acc = 0;
  uint8_t k;
  while (!((k = cls[*q]) & K_END)) {
    acc |= k;
    q++;
  }
  if (q < inend && q - p <= FIELDMAX) {
    fieldlen = static_cast<int>(q - p);
    memcpy(fieldbuf, p, static_cast<size_t>(fieldlen));
    fieldbuf[fieldlen] = '\0';
    inpos = const_cast<unsigned char *>(q);
    return classify(p, fieldlen, acc);
  }
  // The field runs past the block or past fieldbuf.
  fieldlen = 0;
  for (;;) {
    keep(p, q);
    inpos = const_cast<unsigned char *>(q);
    if (q < inend || !refill())
      break;
    p = q = inpos;
    while (!(cls[*q] & K_END))
      q++;
  }
  fieldbuf[fieldlen] = '\0';
  // Classified on the bytes kept.
  acc = 0;
  for (int i = 0; i < fieldlen; i++)
    acc |= cls[static_cast<unsigned char>(fieldbuf[i])];
  return classify(reinterpret_cast<unsigned char *>(fieldbuf), fieldlen, acc);
}

// After the opening quote: up to a closing quote (consumed) or a newline,
// NUL or the end of input (left for the next token).
static int quoted() {
  fieldcut = 0;
  if (unsigned qend = look(inpos).qend) {
    unsigned len = static_cast<unsigned>(__builtin_ctz(qend));
    const unsigned char *q = inpos + len;
    if (q < inend) {
      memcpy(fieldbuf, inpos, 16);
      fieldbuf[len] = '\0';
      fieldlen = static_cast<int>(len);
      inpos += len + (*q == '"');
      return TOK_LABEL;
    }
  }
  fieldlen = 0;
  for (;;) {
    const unsigned char *p = inpos, *q = p;
    while (!(cls[*q] & K_QEND))
      q++;
    keep(p, q);
    inpos = const_cast<unsigned char *>(q);
    if (q < inend) {
      if (*q == '"')
        inpos++;
      break;
    }
    if (!refill())
      break;
  }
  fieldbuf[fieldlen] = '\0';
  return TOK_LABEL;
}

int nexttoken() {
  if (inpos == inend && !refill())
    return TOK_EOF;
  unsigned char c = *inpos;
  switch (startcls[c]) {
  case S_EOL:
    inpos++;
    return TOK_EOL;
  case S_DELIM:
    inpos++;
    if (stripdelims) {
      for (;;) {
        // A run longer than the window looks again; the sentinel ends it.
        unsigned n = static_cast<unsigned>(__builtin_ctz(~look(inpos).run));
        inpos += n;
        if (n < 16 && (inpos < inend || !refill()))
          break;
      }
    }
    return TOK_DELIM;
  case S_QUOTE:
    inpos++;
    return quoted();
  default:
    return unquoted();
  }
}

int isnumfield() {
  if (allstrings)
    return TOK_LABEL;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(fieldbuf);
  if (!((*p >= '0' && *p <= '9') || *p == '+' || *p == '-' || *p == '.'))
    return TOK_LABEL;
  int seendigit = 0, lastdigit = 0;
  for (;; p++) {
    if (*p >= '0' && *p <= '9') {
      seendigit = lastdigit = 1;
    } else if (*p == '.') {
    } else if (*p == 'E' || *p == 'e') {
      if (plainnums)
        break;
    } else if (*p == '+' || *p == '-') {
      if (plainnums)
        break;
      lastdigit = 0;
    } else {
      break;
    }
  }
  return *p == '\0' && seendigit && lastdigit ? TOK_NUMBER : TOK_LABEL;
}
