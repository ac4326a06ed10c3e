// The column table: per column the longest label, the widest whole part of
// a number and the most fraction digits seen, for the closing format
// commands. Each is a maximum, so a column's width does not depend on the
// order its cells came in. The table starts at 30 columns and grows on
// demand up to 702 (A to ZZ); a column it cannot hold is reported and not
// recorded.
#pragma once
#include <cstdint>

#include "base/output.h"
#include "scan/scan.h"
#include "table/colname.h"

enum { TBL_NEW = 1, TBL_COLS = 3 };

// What one column has seen; all 0 when it enters the table.
struct colstat {
  int label; // longest label, in bytes
  int whole; // widest whole part of a number: its length less colprec's count
  int prec;  // most bytes after a number's first "."
};

// The width the column's format command gives (less the 1 it adds): its
// longest label, or its widest whole part beside its precision.
inline int colwidth(const colstat &s) {
  return s.label > s.whole + s.prec ? s.label : s.whole + s.prec;
}

// Records a written cell in a column: whether it is a number (1) or a
// label (0), the length of its text and, for a number, the bytes after
// the text's first "." (the scanner counts them as it reads the field).
[[gnu::always_inline]] inline void recordcell(colstat &s, int num, int len, int frac) {
  // Without a branch on the kind, which is as good as random: each
  // figure takes the cell's part, and a kind's part of the other figures
  // is 0, which changes no maximum.
  int label = len & (num - 1);
  frac &= -num;
  int whole = (len - frac) & -num; // the point counts in the whole part
  s.label = label > s.label ? label : s.label;
  s.whole = whole > s.whole ? whole : s.whole;
  s.prec = frac > s.prec ? frac : s.prec;
}

class coltable {
public:
  // Refusals are said on err.
  explicit coltable(errsink &e) : err(e) {}
  ~coltable();
  coltable(const coltable &) = delete;
  coltable &operator=(const coltable &) = delete;

  // TBL_NEW makes the table; TBL_COLS makes room for col. 1 on success,
  // 0 when refused.
  int widentable(int mode, int64_t col);

  // The columns below this one can be recorded without asking the table:
  // growth is asked one column early, for the table's last column too,
  // but a full table has nothing left to grow for and records ZZ like any
  // other.
  int64_t fastcols() const {
    return tablecols >= MAXCOLS ? MAXCOLS : tablecols > 0 ? tablecols - 1 : 0;
  }

  // Makes room for a column that is not yet in the table, or reports that
  // it cannot have any: 1 when the column may be recorded.
  int admitcol(int64_t col);

  // Records a written cell in any column, making room for it first.
  void bookcell(int64_t col, int kind, int len, int frac) {
    if ((col < 0 || col >= fastcols()) && !admitcol(col)) [[unlikely]]
      return;
    recordcell(colstats[col], kind == TOK_NUMBER, len, frac);
  }

  // The closing "format" commands, one per column that received text.
  void formatsummary(output &out);

  int tablecols = 0; // capacity; 0 before widentable(TBL_NEW, 0)
  colstat *colstats = nullptr;

private:
  int resize(int cols);
  errsink &err;
};
