// The column table: per column the widest field and the most fraction
// digits seen, for the closing format commands. It starts at 30 columns
// and grows on demand up to 702 (A to ZZ); a column it cannot hold is
// reported and not recorded.
#pragma once
#include <cstdint>

#include "scan/scan.h"

enum { TBL_NEW = 1, TBL_COLS = 3 };
constexpr int MAXCOLS = 702;

extern int tablecols; // capacity; 0 before widentable(TBL_NEW, 0)
extern int *colwidth;
extern int *colprec;

// 1 on success, 0 when refused.
int widentable(int mode, int64_t col);

// Makes room for a column that is not yet in the table, or reports that
// it cannot have any: 1 when the column may be recorded.
int admitcol(int64_t col);

// Records a written cell in a column the table holds (w and p are its
// entries): whether it is a number (1) or a label (0), the length of its text
// and, for a number, the bytes after the text's first "." (the scanner
// counts them as it reads the field: fieldfrac).
[[gnu::always_inline]] inline void recordcell(int &w, int &p, int num, int len, int frac) {
  // Without a branch on the kind, which is as good as random: a label
  // counts no fraction digits, so it leaves the precision as it is, and
  // its whole part is never looked at.
  int oldw = w, oldp = p;
  frac &= -num;
  // The precision first; the whole part (len - frac, the point included)
  // then widens the column to hold it beside the precision just set.
  int np = frac > oldp ? frac : oldp;
  int nw = len > oldw ? len : oldw;
  w = (num & (len - frac > oldw - oldp)) ? len - frac + np : nw;
  p = np;
}

// Records a written cell in any column, making room for it first.
// Columns below tablecols - 1 need no room: a caller that knows that may
// call recordcell() on colwidth[col] and colprec[col] itself.
inline void bookcell(int64_t col, int kind, int len, int frac) {
  // Growth is asked for one column early: also for the table's last one.
  if ((col < 0 || col >= tablecols - 1) && !admitcol(col)) [[unlikely]]
    return;
  recordcell(colwidth[col], colprec[col], kind == TOK_NUMBER, len, frac);
}

// The closing "format" commands, one per column that received text.
void formatsummary();

// Frees the arrays; only for running the converter again in one process.
void droptable();

void errmsg(const char *text);
