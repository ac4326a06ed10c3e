// The field scanner: the input read a block at a time, and nexttoken()
// over the token reader (scan/reader.h).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "base/sysio.h"
#include "scan/scan.h"

constexpr size_t INCAP = 1 << 17;
// Room past the block for the reader's last stride, which loads 64 bytes
// wherever the block ends.
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
input::input(bool nuls)
    : store(static_cast<unsigned char *>(::operator new(INCAP + INROOM, std::align_val_t{64}))),
      cap(blocksize), dropnul(nuls) {
  block = store + INCAP - cap;
  empty();
}

input::~input() { ::operator delete(store, std::align_val_t{64}); }

void input::empty() { at = {block, block, block}; }

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

void input::setblock(unsigned char *p, size_t n) {
  fd = -1;
  mem = nullptr;
  memlen = mempos = 0;
  ineof = true; // nothing to read after it
  inerror = 0;
  at = {p, p, p + n};
}

scanner::scanner(const settings &set) : cls(classesof(set)), in(set.nulisdropped()) { fieldbuf[0] = '\0'; }

size_t dropnuls(unsigned char *p, size_t n) {
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
      at = {block, block, block + got};
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

int scanner::nexttoken() {
  // Stops the reader after one token and keeps what it was.
  struct one {
    scanner &sc;
    int tok;
    bool onfield(int label, const char *text, int len, int frac, int cut) {
      tok = TOK_NUMBER + label;
      if (text != sc.fieldbuf)
        memcpy(sc.fieldbuf, text, static_cast<size_t>(len));
      sc.fieldbuf[len] = '\0';
      sc.fieldlen = len;
      sc.fieldfrac = label ? 0 : frac;
      sc.fieldcut = cut;
      return false;
    }
    bool ondelim() {
      tok = TOK_DELIM;
      return false;
    }
    bool oneol() {
      tok = TOK_EOL;
      return false;
    }
  } act{*this, TOK_EOF};
  read(act);
  return act.tok;
}
