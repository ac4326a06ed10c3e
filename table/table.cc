#include "table/table.h"

#include <cstdio>
#include <cstring>

#include "base/qelmalloc.h"

coltable::~coltable() {
  if (colstats)
    qelfree(colstats);
}

// Resizes the table to cols entries, the new ones 0. Returns 0 if the
// allocator gave nothing (it ends the process instead, so only in theory).
int coltable::resize(int cols) {
  uint32_t bytes = static_cast<uint32_t>(cols) * sizeof(colstat);
  colstat *s = static_cast<colstat *>(qelrealloc(colstats, bytes));
  if (!s)
    return 0;
  colstats = s;
  memset(colstats + tablecols, 0, static_cast<size_t>(cols - tablecols) * sizeof(colstat));
  tablecols = cols;
  return 1;
}

int coltable::widentable(int mode, int64_t col) {
  if (mode == TBL_NEW) {
    tablecols = 0;
    return resize(30);
  }
  if (mode != TBL_COLS)
    return 0;
  if (tablecols >= MAXCOLS || col >= MAXCOLS) {
    err.str("The table can't be any wider\n");
    return 0;
  }
  int64_t want = col > tablecols ? col : tablecols;
  if (want > MAXCOLS - 30)
    want = MAXCOLS - 30;
  if (!resize(static_cast<int>(want) + 30)) {
    err.str("The table can't be any wider\n");
    return 0;
  }
  return 1;
}

int coltable::admitcol(int64_t col) {
  // A negative column (a negative -C can make one) is no index: refused,
  // though the table's width is not the reason.
  if (col < 0 || !widentable(TBL_COLS, col)) {
    err.printf("Invalid column used: %s\n", coltoa(col, err).text);
    return 0;
  }
  return 1;
}

void coltable::formatsummary(output &out) {
  for (int c = 0; c < tablecols; c++) {
    int width = colwidth(colstats[c]);
    if (width == 0)
      continue;
    char line[64];
    int n = snprintf(line, sizeof line, "format %s %d %d\n", coltoa(c, err).text, width + 1,
                     colstats[c].prec);
    out.write(line, static_cast<size_t>(n));
  }
}
