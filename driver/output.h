// Standard output is assembled in one large buffer and written in large
// blocks; standard error is written at once. Either can be redirected to
// memory so tests and the fuzzer can run the converter in-process.
#pragma once
#include <cstddef>
#include <string>

constexpr size_t OUTCAP = 1 << 18;
constexpr size_t OUTSLACK = 2048; // room for one whole command past OUTCAP

extern char *outbuf; // outcap + OUTSLACK bytes
#ifdef TXT2SHEET_TESTHOOKS
// The output block's size, OUTCAP in the program; setoutputblock(0) puts
// it back. As for the input block (setinputblock), only the builds for the
// tests and the fuzzer have it, and resetstate() leaves it alone.
extern size_t outcap;
void setoutputblock(size_t n);
#else
constexpr size_t outcap = OUTCAP;
#endif
extern size_t outlen;
extern int outerror; // errno of the first failed write, 0 if none

// out may be null: stdout then goes to fd 1; likewise err and fd 2.
void setoutputmem(std::string *out, std::string *err);

// Asks for a pipe on standard output to hold a whole block.
void widenpipe();

// Writes out the buffer. Returns 1, or 0 once a write has failed (the
// buffer's contents are then dropped).
int flushout();

// Makes room for n more bytes (n <= OUTSLACK) after outbuf + outlen.
inline void outreserve(size_t n) {
  if (outlen + n > outcap)
    flushout();
}

void outwrite(const char *p, size_t n);
void outstr(const char *s);

// Diagnostics: written to standard error at once, nothing added.
void errwrite(const char *p, size_t n);
void errprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
