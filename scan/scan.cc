// The field scanner: the block reader, the slow paths of the token reader
// (tokens that cross a block edge, long fields, cut fields), and
// nexttoken() over the input's own position.
//
// Input is read in blocks; a newline kept just past the
// block's end stops every loop there without a test per byte: only once a
// loop stops does it ask whether it was the sentinel.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "base/sysio.h"
#include "scan/scan.h"
#include "scan/scanner.h"

constexpr size_t INCAP = 1 << 17;
// Room past the block for the sentinel and the looks that read beyond it,
// from a position before the block's end: 16 bytes from a token start, 64
// from a window's (scanwindow).
constexpr size_t INROOM = 64;
#ifdef TXT2SHEET_TESTHOOKS
static size_t blocksize = INCAP;
void setinputblock(size_t n) { blocksize = n && n <= INCAP ? n : INCAP; }
#else
constexpr size_t blocksize = INCAP;
#endif

// The block lies at the end of the storage, so that its room ends where
// the storage does and a look past the room is an overflow the address
// sanitizer sees, whatever the block's size.
input::input(bool dropnuls)
    : store(static_cast<unsigned char *>(::operator new(INCAP + INROOM, std::align_val_t{64}))),
      cap(blocksize), dropnul(dropnuls) {
  block = store + INCAP - cap;
  empty();
}

input::~input() { ::operator delete(store, std::align_val_t{64}); }

void input::empty() {
  at.pos = at.end = block;
  at.runend = nullptr;
  block[0] = '\n';
}

void input::setfd(int f) {
  fd = f;
  mem = nullptr;
  ineof = false;
  inerror = 0;
  empty();
}

void input::setmem(const char *p, size_t n, size_t ch) {
  fd = -1;
  mem = p;
  memlen = n;
  mempos = 0;
  chunk = ch ? ch : INCAP;
  ineof = false;
  inerror = 0;
  empty();
}

scanclasses::scanclasses(const settings &set) {
  int delim1 = set.delim1, delim2 = set.delim2;
  bool strip = set.stripdelims;
  for (int b = 0; b < 256; b++) {
    bool delim = b == delim1 || b == delim2;
    uint8_t k = 0;
    if (delim || b == '\n')
      k |= K_END;
    // A run stops at a NUL (which then starts a run of its own) and at a
    // newline, which always ends the line.
    // Under -k no byte continues a run, so a run found after a field in
    // the same look is the single delimiter.
    if (delim && b != 0 && b != '\n' && strip)
      k |= K_RUN;
    if (b == '"' || b == '\n' || b == 0)
      k |= K_QEND;
    uint8_t first = set.allstrings ? 0 : K_FIRSTOK;
    if (b >= '0' && b <= '9')
      k |= K_DIGIT | first;
    else if (b == '.')
      k |= K_POINT | first;
    else if (b == '+' || b == '-')
      k |= first | (set.plainnums ? K_NUMBAD : K_SIGN);
    else if (b == 'E' || b == 'e')
      k |= set.plainnums ? K_NUMBAD : 0;
    else
      k |= K_NUMBAD;
    cls[b] = k;
    start[b] = b == '\n'  ? S_EOL
               : delim    ? (strip ? S_DELIM : S_DELIM1)
               : b == '"' ? S_QUOTE
                          : S_FIELD;
  }
  signok64 = set.plainnums ? 0 : ~uint64_t{0};
  firstok64 = set.allstrings ? 0 : ~uint64_t{0};
  runs64 = strip ? ~uint64_t{0} : 0;
  vdelim1 = vec::rep(static_cast<uint8_t>(delim1));
  vdelim2 = vec::rep(static_cast<uint8_t>(delim2));
  vrun1 = vec::rep(cls[delim1] & K_RUN ? 0xff : 0);
  vrun2 = vec::rep(cls[delim2] & K_RUN ? 0xff : 0);
  vquote = vec::rep(start[static_cast<unsigned char>('"')] == S_QUOTE ? '"' : 0);
}

scanner::scanner(const settings &set) : cls(set), in(set.nulisdropped()) { fieldbuf[0] = '\0'; }

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

bool input::refill() {
  while (!ineof) {
    ssize_t n;
    if (fd >= 0) {
      n = sysread(fd, block, cap);
    } else {
      size_t k = memlen - mempos;
      if (k > chunk)
        k = chunk;
      if (k > cap)
        k = cap;
      memcpy(block, mem + mempos, k);
      mempos += k;
      n = static_cast<ssize_t>(k);
    }
    if (n > 0) {
      size_t got = static_cast<size_t>(n);
      if (dropnul)
        got = dropnuls(block, got);
      if (got == 0)
        continue;
      at.pos = block;
      at.end = block + got;
      block[got] = '\n';
      return true;
    }
    if (n == 0) {
      ineof = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pf = {fd, POLLIN, 0};
      syspoll(&pf, 1, -1);
    } else if (errno != EINTR) {
      inerror = errno;
      ineof = true;
    }
  }
  empty();
  return false;
}

// Keeps what fits of the next piece of a field in fieldbuf; the rest is
// read and dropped.
void scanner::keep(const unsigned char *p, const unsigned char *q) {
  size_t n = static_cast<size_t>(q - p);
  size_t room = static_cast<size_t>(FIELDMAX - fieldlen);
  if (n > room) {
    n = room;
    fieldcut = 1;
  }
  memcpy(fieldbuf + fieldlen, p, n);
  fieldlen += static_cast<int>(n);
}

// The number walk over the bytes kept in fieldbuf: every byte accepted,
// the first a digit, sign or point, a digit somewhere, no sign after the
// last one. Stops at the first byte that decides it, so a long label costs
// little. Also counts fieldfrac.
int scanner::classify() {
  const unsigned char *f = reinterpret_cast<const unsigned char *>(fieldbuf);
  if (!(cls.cls[f[0]] & K_FIRSTOK))
    return TOK_LABEL;
  unsigned acc = 0;
  for (int i = 0; i < fieldlen; i++) {
    uint8_t k = cls.cls[f[i]];
    if (k & K_NUMBAD)
      return TOK_LABEL;
    acc |= k;
  }
  if (!(acc & K_DIGIT))
    return TOK_LABEL;
  if (acc & K_SIGN) {
    const unsigned char *p = f + fieldlen;
    while (!(cls.cls[*--p] & (K_DIGIT | K_SIGN)))
      ;
    if (cls.cls[*p] & K_SIGN)
      return TOK_LABEL;
  }
  const char *dot = static_cast<const char *>(memchr(fieldbuf, '.', static_cast<size_t>(fieldlen)));
  fieldfrac = dot ? fieldlen - static_cast<int>(dot - fieldbuf) - 1 : 0;
  return TOK_NUMBER;
}

// Where the next byte of class k is, from p on; the sentinel stops it.
static const unsigned char *findclass(const scanclasses &c, const unsigned char *p, uint8_t k) {
  using namespace scanfast;
  for (;; p += 16) {
    vec::b16 v = vec::load16(p);
    vec::b16 m = k == K_END ? ends(c, v) : qends(v);
    if (vec::any(m))
      return p + __builtin_ctz(vec::mask(m));
  }
}

int scanner::unquoted() {
  fieldlen = fieldcut = 0;
  for (;;) {
    const unsigned char *p = in.at.pos, *q = findclass(cls, p, K_END);
    keep(p, q);
    in.at.pos = q;
    if (q < in.at.end || !in.refill())
      break;
  }
  fieldbuf[fieldlen] = '\0';
  fieldfrac = 0;
  return classify(); // on the bytes kept
}

// After the opening quote: up to a closing quote (consumed) or a newline,
// NUL or the end of input (left for the next token).
int scanner::quoted() {
  fieldlen = fieldcut = fieldfrac = 0;
  for (;;) {
    const unsigned char *p = in.at.pos, *q = findclass(cls, p, K_QEND);
    keep(p, q);
    in.at.pos = q;
    if (q < in.at.end) {
      if (*q == '"')
        in.at.pos++;
      break;
    }
    if (!in.refill())
      break;
  }
  fieldbuf[fieldlen] = '\0';
  return TOK_LABEL;
}

int scanner::slowtoken() {
  if (in.at.pos == in.at.end && !in.refill())
    return TOK_EOF;
  switch (cls.start[*in.at.pos]) {
  case S_EOL:
    in.at.pos++;
    return TOK_EOL;
  case S_DELIM1:
    in.at.pos++;
    return TOK_DELIM;
  case S_DELIM:
    in.at.pos++;
    for (;;) {
      while (cls.cls[*in.at.pos] & K_RUN)
        in.at.pos++;
      if (in.at.pos < in.at.end || !in.refill())
        break;
    }
    return TOK_DELIM;
  case S_QUOTE:
    in.at.pos++;
    return quoted();
  default:
    return unquoted();
  }
}

int scanner::nexttoken() {
  scanpos s = in.at;
  fieldref f;
  int tok = scantoken(*this, s, f);
  in.at = s;
  if ((tok == TOK_NUMBER || tok == TOK_LABEL) && f.text != fieldbuf) {
    memcpy(fieldbuf, f.text, static_cast<size_t>(f.len));
    fieldbuf[f.len] = '\0';
    fieldlen = f.len;
    fieldfrac = f.frac;
    fieldcut = 0;
  }
  return tok;
}
