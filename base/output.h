// Standard output is assembled in one large block and written in large
// writes; standard error is written at once. Each conversion has its own of
// both, and either can go to memory, so that tests and the fuzzer run the
// converter in-process and conversions can run side by side.
#pragma once
#include <cstddef>
#include <string>

constexpr size_t OUTCAP = 1 << 18;
constexpr size_t OUTSLACK = 2048; // room for one whole command past the block

#ifdef TXT2SHEET_TESTHOOKS
// The output block's size for the outputs made after the call, OUTCAP in
// the program; setoutputblock(0) puts it back. As for the input block
// (setinputblock), only the builds for the tests and the fuzzer have it.
void setoutputblock(size_t n);
#endif

// Standard error: every diagnostic is written as it is said.
class errsink {
public:
  // mem null: file descriptor 2.
  explicit errsink(std::string *to = nullptr) : mem(to) {}
  void write(const char *p, size_t n);
  void str(const char *s);
  void printf(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

private:
  std::string *mem;
};

class output {
public:
  // mem null: file descriptor 1.
  explicit output(std::string *to = nullptr);
  // A block of the caller's, block[0..n + OUTSLACK), which is never
  // written out: a flush that finds anything in it fails (ENOBUFS), so a
  // conversion into it stops once it is full.
  output(char *block, size_t n);
  ~output();
  output(const output &) = delete;
  output &operator=(const output &) = delete;

  // Asks for a pipe on standard output to hold a whole block.
  void widenpipe();

  // Writes out the block. Returns true, or false once a write has failed
  // (what the block held is then dropped, and so is all that follows).
  bool flush();

  // Makes room for n more bytes (n <= OUTSLACK) at buf + len.
  void reserve(size_t n) {
    if (len + n > cap)
      flush();
  }
  void write(const char *p, size_t n);
  void str(const char *s);

  // Writes p[0..n) out as a block of its own, as flush() would have had it
  // been in the block, which must be empty. Returns what flush() does.
  bool flushfrom(const char *p, size_t n);

  char *buf;   // cap + OUTSLACK bytes
  size_t len = 0;
  size_t cap;
  int error = 0; // errno of the first failed write, 0 if none

private:
  char *store;
  std::string *mem;
};
