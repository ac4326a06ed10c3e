// Column names: "A" to "Z", then "AA" to "ZZ", so 702 in all.
#pragma once
#include <cstdint>

#include "base/output.h"

constexpr int MAXCOLS = 702;

// The letters of a column from 0 to 701, NUL-terminated; returns their count.
constexpr int namecol(int64_t col, char *name) {
  if (col < 26) {
    name[0] = static_cast<char>('A' + col);
    name[1] = '\0';
    return 1;
  }
  name[0] = static_cast<char>('A' + col / 26 - 1);
  name[1] = static_cast<char>('A' + col % 26);
  name[2] = '\0';
  return 2;
}

struct colname {
  char text[3];
};

// The column's name. Outside 0..701 it says "coltoa: invalid col: %d\n"
// and names the column "??".
colname coltoa(int64_t col, errsink &err);
