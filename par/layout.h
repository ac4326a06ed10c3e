// Where a line starts, from the number of lines before it alone, so that
// a piece of the input can be converted without the lines before it.
//
// The conversion moves a line's first cell by one step per line and by
// another per block, with additions that saturate. Adding a fixed step
// again and again from a start saturates just where the exact sum leaves
// 64 bits, and stays there, so the moves of many lines are one multiply
// and a clamp.
#pragma once
#include <cstdint>

struct layoutparams {
  bool rowmode;
  int64_t startrow, startcol, rowstep, colstep, blocklen;
};

struct linestart {
  int64_t baserow, basecol; // the line's first cell
  int64_t linecount;        // lines before it in its block
  int64_t blocks;           // blocks finished before it
};

// start + n * step, clamped to 64 bits.
inline int64_t clampedsteps(int64_t start, int64_t n, int64_t step) {
  __int128 v = static_cast<__int128>(start) + static_cast<__int128>(n) * step;
  if (v > INT64_MAX)
    return INT64_MAX;
  if (v < INT64_MIN)
    return INT64_MIN;
  return static_cast<int64_t>(v);
}

// The line with `line` lines before it (line >= 0). A block length of 1
// or less ends a block at every line.
inline linestart startofline(const layoutparams &p, int64_t line) {
  int64_t blen = p.blocklen > 1 ? p.blocklen : 1;
  linestart s;
  s.blocks = line / blen;
  s.linecount = line % blen;
  if (p.rowmode) {
    s.basecol = clampedsteps(p.startcol, s.linecount, p.colstep);
    s.baserow = clampedsteps(p.startrow, s.blocks, p.rowstep);
  } else {
    s.baserow = clampedsteps(p.startrow, s.linecount, p.rowstep);
    s.basecol = clampedsteps(p.startcol, s.blocks, p.colstep);
  }
  return s;
}
