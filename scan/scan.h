// The field scanner: turns the input into tokens for the conversion loop.
// Input is read in large blocks; "pushing back" a byte is leaving it in
// the block for the next call. A field's text is left in fieldbuf
// (NUL-terminated, at most FIELDMAX bytes; fieldlen holds its length).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/settings.h"
#include "scan/vec.h"

enum {
  TOK_EOF = 0,    // end of input (sticky: every later call says so again)
  TOK_NUMBER = 1, // an unquoted field that reads as a number
  TOK_LABEL = 2,  // any other field
  TOK_DELIM = 3,  // a delimiter, or a run of them when stripdelims is set
  TOK_EOL = 4,    // a newline
};

constexpr int FIELDMAX = 999;

// Byte classes.
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

// What the settings make of every byte, per byte and for the vector
// looks; made once per conversion and only read after.
struct scanclasses {
  explicit scanclasses(const settings &set);
  uint8_t cls[256];
  uint8_t start[256];
  // The delimiters; each again where it continues a run (all ones), or
  // nothing (all zeros); '"', or NUL where the quote is a delimiter.
  vec::rep vdelim1, vdelim2, vrun1, vrun2, vquote;
  uint64_t signok64, firstok64, runs64; // all ones, or 0 under -P / -S / -k
};

// What is left of the input block.
struct scanpos {
  const unsigned char *pos, *end; // *end == '\n'
  // Where the delimiter run after the last field ends, when the look that
  // found the field saw all of it: the next token is then that run.
  const unsigned char *runend;
};

#ifdef TXT2SHEET_TESTHOOKS
// The size of the input block for the inputs made after the call, 128 KiB
// in the program; 0 puts it back. Only the builds for the tests and the
// fuzzer have it, so that a small input reaches every path of the block's
// edge.
void setinputblock(size_t n);
#endif

// Where the input comes from, read a block at a time: a file descriptor
// (standard input for the program), or memory handed over at most `chunk`
// bytes per read, so tests can make every token straddle a block edge.
class input {
public:
  explicit input(bool dropnuls);
  ~input();
  input(const input &) = delete;
  input &operator=(const input &) = delete;

  void setfd(int fd);
  void setmem(const char *p, size_t n, size_t chunk);

  // Reads the next block into at. Returns false at the end of input,
  // which a read error also is (inerror then says which); the end is
  // final.
  bool refill();

  scanpos at;
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

// A field as the token reader hands it over: the text is in the block
// (not NUL-terminated) or in fieldbuf; 16 bytes can be read from it.
struct fieldref {
  const char *text;
  int len, frac, cut;
};

class scanner {
public:
  explicit scanner(const settings &set);

  int nexttoken();
  // The tokens the fast looks leave: across a block's edge, long, cut.
  int slowtoken();

  scanclasses cls;
  input in;
  char fieldbuf[FIELDMAX + 1];
  int fieldlen = 0;  // strlen(fieldbuf), kept so nobody has to count
  int fieldcut = 0;  // 1 when the last field was longer than FIELDMAX
  int fieldfrac = 0; // bytes after the first "." of the field (0: none)

private:
  void keep(const unsigned char *p, const unsigned char *q);
  int classify();
  int unquoted();
  int quoted();
};
