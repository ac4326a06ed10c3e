#include "table/colname.h"

colname coltoa(int64_t col, errsink &err) {
  colname n;
  if (col < 0 || col >= MAXCOLS) {
    err.printf("coltoa: invalid col: %lld\n", static_cast<long long>(col));
    n = {{'?', '?', '\0'}};
  } else {
    namecol(col, n.text);
  }
  return n;
}
