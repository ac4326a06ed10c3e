// The field scanner: turns the input into tokens for the conversion loop.
// Input is read in large blocks; "pushing back" a byte is leaving it in
// the block for the next call. A field's text is left in fieldbuf
// (NUL-terminated, at most FIELDMAX bytes; fieldlen holds its length).
#pragma once
#include <cstddef>

enum {
  TOK_EOF = 0,    // end of input (sticky: every later call says so again)
  TOK_NUMBER = 1, // an unquoted field that reads as a number
  TOK_LABEL = 2,  // any other field
  TOK_DELIM = 3,  // a delimiter, or a run of them when stripdelims is set
  TOK_EOL = 4,    // a newline
};

constexpr int FIELDMAX = 999;
extern char fieldbuf[FIELDMAX + 1];
extern int fieldlen;  // strlen(fieldbuf), kept so nobody has to count
extern int fieldcut;  // 1 when the last field was longer than FIELDMAX
extern int fieldfrac; // bytes after the first "." of the field (0: none)

// Where the input comes from: a file descriptor (standard input for the
// program), or a block of memory handed over at most `chunk` bytes per
// read, so tests can make every token straddle a block edge.
void setinputfd(int fd);
void setinputmem(const char *p, size_t n, size_t chunk);

#ifdef TXT2SHEET_TESTHOOKS
// The size of the input block, 128 KiB in the program; 0 puts it back.
// Only the builds for the tests and the fuzzer have it, so that a small
// input reaches every path of the block's edge. It is the caller's, not
// the program's: resetstate() leaves it alone.
void setinputblock(size_t n);
#endif

// The scanner's byte classes depend on the settings; call after they are
// final and before the first nexttoken().
void scanprepare();

int nexttoken();

// Number recognition over fieldbuf: TOK_NUMBER or TOK_LABEL.
int isnumfield();

// errno of a failed read (0 if none); the input ended at that point.
extern int inerror;
