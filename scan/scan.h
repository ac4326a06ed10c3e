// The field scanner: turns the input into tokens for the conversion loop.
// Input is read in large blocks; "pushing back" a byte is leaving it in
// the block for the next call. A field's text is left in fieldbuf
// (NUL-terminated, at most FIELDMAX bytes; fieldlen holds its length).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/settings.h"
#include "scan/reader.h"

enum {
  TOK_EOF = 0,    // end of input (sticky: every later call says so again)
  TOK_NUMBER = 1, // an unquoted field that reads as a number
  TOK_LABEL = 2,  // any other field
  TOK_DELIM = 3,  // a delimiter, or a run of them when stripdelims is set
  TOK_EOL = 4,    // a newline
};

// The byte classes of the settings: made once per conversion, only read
// after.
inline byteclasses classesof(const settings &set) {
  return makeclasses(set.delim1, set.delim2, set.stripdelims, set.allstrings, set.plainnums);
}

#ifdef TXT2SHEET_TESTHOOKS
// The size of the input block for the inputs made after the call, 128 KiB
// in the program; 0 puts it back. Only the builds for the tests and the
// fuzzer have it, so that a small input reaches every path of the block's
// edge.
void setinputblock(size_t n);
#endif

// Drops the NUL bytes of p[0..n), which are not input while NUL is no
// delimiter; returns the bytes left.
size_t dropnuls(unsigned char *p, size_t n);

// Where the input comes from, read a block at a time: a file descriptor
// (standard input for the program), or memory handed over at most `chunk`
// bytes per read, so tests can make every token straddle a block edge.
class input {
public:
  // nuls: NUL bytes are dropped from what is read.
  explicit input(bool nuls);
  ~input();
  input(const input &) = delete;
  input &operator=(const input &) = delete;

  void setfd(int fd);
  void setmem(const char *p, size_t n, size_t chunk);
  // The whole input is p[0..n), read where it lies, without a copy: p is
  // on a 64-byte boundary as the input's own block is, the 64 bytes after
  // p[n - 1] are readable, and a NUL that is no input must already be
  // gone.
  void setblock(unsigned char *p, size_t n);

  // Reads the next block into at. Returns false at the end of input,
  // which a read error also is (inerror then says which), leaving an
  // empty block there; the end is final.
  bool refill();

  blockpos at;
  int inerror = 0; // errno of a failed read; the input ended there

private:
  void empty();
  unsigned char *store, *block;
  size_t cap;
  bool dropnul, ineof = false;
  int fd = 0;
  const char *mem = nullptr;
  size_t memlen = 0, mempos = 0, chunk = 0;
};

class scanner {
public:
  explicit scanner(const settings &set);

  // One token, its field's text left in fieldbuf (for the tests and
  // whoever wants tokens one at a time; the conversion loop gives the
  // reader its own actions).
  int nexttoken();

  // Reads tokens into the actions (see readtokens): false when one of
  // them said stop, true at the end of input.
  template <class Act> [[gnu::always_inline]] bool read(Act &act) {
    return readtokens(in, fieldbuf, cls, act);
  }

  byteclasses cls;
  input in;
  char fieldbuf[FIELDMAX + 1];
  int fieldlen = 0;  // strlen(fieldbuf), kept so nobody has to count
  int fieldcut = 0;  // 1 when the last field was longer than FIELDMAX
  int fieldfrac = 0; // bytes after the first "." of a number (0: none)
};
