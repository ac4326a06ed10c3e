// The input cut into pieces at line ends, so that each piece can be
// converted apart from the others: a newline always ends a line, a quoted
// field and a delimiter run, so nothing a line holds reaches past it.
//
// A piece holds whole lines; only the input's last may lack its newline.
// A line longer than a whole piece is handed over in parts instead: the
// first fills a piece, the rest comes from more() up to its newline.
// NUL bytes are dropped here, as the scanner would drop them, unless NUL
// delimits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of room after a piece for the scanner's sentinel and its looks
// past the end.
constexpr size_t CHUNKROOM = 64;

class chunker {
public:
  // From a file descriptor. stopfd, if not -1, is watched while waiting
  // for input: once it is readable the input is taken to end there.
  chunker(int fd, bool dropnul, size_t chunkbytes, int stopfd = -1);
  // From memory, handed over at most `piece` bytes per read (0: all).
  chunker(const char *p, size_t n, bool dropnul, size_t chunkbytes, size_t piece = 0);

  enum { END, LINES, LONG };
  // Fills buf (chunkbytes + CHUNKROOM bytes) with the next piece; its
  // length in len and its newlines in lines. Returns END when nothing is
  // left, LINES for whole lines, LONG for the start of a line that does
  // not fit: more() then gives the rest of that line.
  int next(unsigned char *buf, size_t &len, int64_t &lines);

  // The next part of a LONG line into p (at most n bytes); sets ended when
  // the part holds the line's newline (its last byte) or the input ended.
  size_t more(unsigned char *p, size_t n, bool &ended);

  size_t chunkbytes() const { return size; }
  // errno of a failed read (0 if none); the input ended there.
  int error = 0;

private:
  // Reads at most n bytes into p, NULs dropped; 0 at the end of input.
  size_t readsome(unsigned char *p, size_t n);

  int fd = -1, stopfd = -1;
  const char *mem = nullptr;
  size_t memlen = 0, mempos = 0, piece = 0;
  bool dropnul, ended = false;
  size_t size;
  std::string carry; // what followed the last line end of the last read
};
