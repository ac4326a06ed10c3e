// The field scanner: the block reader, the slow paths of the token reader
// (tokens that cross a block edge, long fields, cut fields), nexttoken()
// over the scanner's own position, and the number walk as written.
//
// Input is read in blocks into instore; a newline kept just past the
// block's end stops every loop there without a test per byte: only once a
// loop stops does it ask whether it was the sentinel.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "driver/settings.h"
#include "driver/sysio.h"
#include "scan/scan.h"
#include "scan/scanner.h"

uint8_t scancls[256];
uint8_t scanstart[256];
scanpos scanat;

constexpr size_t INCAP = 1 << 17;
// Room past the block for the sentinel and the looks that read beyond it,
// from a position before the block's end: 16 bytes from a token start, 64
// from a window's (scanwindow).
constexpr size_t INROOM = 64;
#ifdef TXT2SHEET_TESTHOOKS
// The block lies at the end of the storage, so that its room ends where
// the storage does and a look past the room is an overflow the address
// sanitizer sees, whatever the block's size.
static unsigned char instorage[INCAP + INROOM];
static unsigned char *instore = instorage;
static size_t incap = INCAP;
#else
static unsigned char instore[INCAP + INROOM];
constexpr size_t incap = INCAP;
#endif
static int ineof;
int inerror;

static int infd;
static const char *inmem;
static size_t inmemlen, inmempos, inchunk;

static void emptyinput() {
  scanat.pos = scanat.end = instore;
  scanat.runend = nullptr;
  instore[0] = '\n';
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

#ifdef TXT2SHEET_TESTHOOKS
void setinputblock(size_t n) {
  incap = n && n <= INCAP ? n : INCAP;
  instore = instorage + INCAP - incap;
  emptyinput();
}
#endif

namespace scanfast {
vec::rep vdelim1, vdelim2, vrun1, vrun2, vquote;
uint64_t signok64, firstok64, runs64;
} // namespace scanfast

void scanprepare() {
  // The tables are made again only when the settings they follow differ
  // from the last run's: the tests and the fuzzer run the converter many
  // times in one process.
  static long madefor = -1;
  long key = delim1 | delim2 << 8 | stripdelims << 16 | allstrings << 17 | plainnums << 18;
  if (key == madefor)
    return;
  madefor = key;
  for (int b = 0; b < 256; b++) {
    bool delim = b == delim1 || b == delim2;
    uint8_t k = 0;
    if (delim || b == '\n')
      k |= K_END;
    // A run stops at a NUL (which then starts a run of its own) and at a
    // newline, which always ends the line.
    // Under -k no byte continues a run, so a run found after a field in
    // the same look is the single delimiter.
    if (delim && b != 0 && b != '\n' && stripdelims)
      k |= K_RUN;
    if (b == '"' || b == '\n' || b == 0)
      k |= K_QEND;
    uint8_t first = allstrings ? 0 : K_FIRSTOK;
    if (b >= '0' && b <= '9')
      k |= K_DIGIT | first;
    else if (b == '.')
      k |= K_POINT | first;
    else if (b == '+' || b == '-')
      k |= first | (plainnums ? K_NUMBAD : K_SIGN);
    else if (b == 'E' || b == 'e')
      k |= plainnums ? K_NUMBAD : 0;
    else
      k |= K_NUMBAD;
    scancls[b] = k;
    scanstart[b] = b == '\n'  ? S_EOL
                   : delim    ? (stripdelims ? S_DELIM : S_DELIM1)
                   : b == '"' ? S_QUOTE
                              : S_FIELD;
  }
  scanfast::signok64 = plainnums ? 0 : ~uint64_t{0};
  scanfast::firstok64 = allstrings ? 0 : ~uint64_t{0};
  scanfast::runs64 = stripdelims ? ~uint64_t{0} : 0;
  scanfast::vdelim1 = vec::rep(static_cast<uint8_t>(delim1));
  scanfast::vdelim2 = vec::rep(static_cast<uint8_t>(delim2));
  scanfast::vrun1 = vec::rep(scancls[delim1] & K_RUN ? 0xff : 0);
  scanfast::vrun2 = vec::rep(scancls[delim2] & K_RUN ? 0xff : 0);
  scanfast::vquote = vec::rep(scanstart[static_cast<unsigned char>('"')] == S_QUOTE ? '"' : 0);
}

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
      n = sysread(infd, instore, incap);
    } else {
      size_t k = inmemlen - inmempos;
      if (k > inchunk)
        k = inchunk;
      if (k > incap)
        k = incap;
      memcpy(instore, inmem + inmempos, k);
      inmempos += k;
      n = static_cast<ssize_t>(k);
    }
    if (n > 0) {
      size_t got = static_cast<size_t>(n);
      if (nulisdropped())
        got = dropnuls(instore, got);
      if (got == 0)
        continue;
      scanat.pos = instore;
      scanat.end = instore + got;
      instore[got] = '\n';
      return 1;
    }
    if (n == 0) {
      ineof = 1;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pf = {infd, POLLIN, 0};
      syspoll(&pf, 1, -1);
    } else if (errno != EINTR) {
      inerror = errno;
      ineof = 1;
    }
  }
  scanat.pos = scanat.end = instore;
  scanat.runend = nullptr;
  instore[0] = '\n';
  return 0;
}

// Keeps what fits of the next piece of a field in fieldbuf; the rest is
// read and dropped.
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

// The number walk over the bytes kept in fieldbuf: every byte accepted,
// the first a digit, sign or point, a digit somewhere, no sign after the
// last one. Stops at the first byte that decides it, so a long label costs
// little. Also counts fieldfrac.
static int classify() {
  const unsigned char *f = reinterpret_cast<const unsigned char *>(fieldbuf);
  if (!(scancls[f[0]] & K_FIRSTOK))
    return TOK_LABEL;
  unsigned acc = 0;
  for (int i = 0; i < fieldlen; i++) {
    uint8_t k = scancls[f[i]];
    if (k & K_NUMBAD)
      return TOK_LABEL;
    acc |= k;
  }
  if (!(acc & K_DIGIT))
    return TOK_LABEL;
  if (acc & K_SIGN) {
    const unsigned char *p = f + fieldlen;
    while (!(scancls[*--p] & (K_DIGIT | K_SIGN)))
      ;
    if (scancls[*p] & K_SIGN)
      return TOK_LABEL;
  }
  const char *dot = static_cast<const char *>(memchr(fieldbuf, '.', static_cast<size_t>(fieldlen)));
  fieldfrac = dot ? fieldlen - static_cast<int>(dot - fieldbuf) - 1 : 0;
  return TOK_NUMBER;
}

// Where the next byte of class k is, from p on; the sentinel stops it.
static const unsigned char *findclass(const unsigned char *p, uint8_t k) {
  using namespace scanfast;
  for (;; p += 16) {
    vec::b16 v = vec::load16(p);
    vec::b16 m = k == K_END ? ends(v) : qends(v);
    if (vec::any(m))
      return p + __builtin_ctz(vec::mask(m));
  }
}

static int unquoted() {
  fieldlen = fieldcut = 0;
  for (;;) {
    const unsigned char *p = scanat.pos, *q = findclass(p, K_END);
    keep(p, q);
    scanat.pos = q;
    if (q < scanat.end || !refill())
      break;
  }
  fieldbuf[fieldlen] = '\0';
  fieldfrac = 0;
  return classify(); // on the bytes kept
}

// After the opening quote: up to a closing quote (consumed) or a newline,
// NUL or the end of input (left for the next token).
static int quoted() {
  fieldlen = fieldcut = fieldfrac = 0;
  for (;;) {
    const unsigned char *p = scanat.pos, *q = findclass(p, K_QEND);
    keep(p, q);
    scanat.pos = q;
    if (q < scanat.end) {
      if (*q == '"')
        scanat.pos++;
      break;
    }
    if (!refill())
      break;
  }
  fieldbuf[fieldlen] = '\0';
  return TOK_LABEL;
}

int slowtoken() {
  if (scanat.pos == scanat.end && !refill())
    return TOK_EOF;
  switch (scanstart[*scanat.pos]) {
  case S_EOL:
    scanat.pos++;
    return TOK_EOL;
  case S_DELIM1:
    scanat.pos++;
    return TOK_DELIM;
  case S_DELIM:
    scanat.pos++;
    for (;;) {
      while (scancls[*scanat.pos] & K_RUN)
        scanat.pos++;
      if (scanat.pos < scanat.end || !refill())
        break;
    }
    return TOK_DELIM;
  case S_QUOTE:
    scanat.pos++;
    return quoted();
  default:
    return unquoted();
  }
}

int nexttoken() {
  scanpos s = scanat;
  fieldref f;
  int tok = scantoken(s, f);
  scanat = s;
  if ((tok == TOK_NUMBER || tok == TOK_LABEL) && f.text != fieldbuf) {
    memcpy(fieldbuf, f.text, static_cast<size_t>(f.len));
    fieldbuf[f.len] = '\0';
    fieldlen = f.len;
    fieldfrac = f.frac;
    fieldcut = 0;
  }
  return tok;
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
