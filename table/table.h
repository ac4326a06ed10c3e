// The column table: per column the widest field and the most fraction
// digits seen, for the closing format commands. It starts at 30 columns
// and grows on demand up to 702 (A to ZZ); a column it cannot hold is
// reported and not recorded.
#pragma once
#include <cstdint>

enum { TBL_NEW = 1, TBL_COLS = 3 };
constexpr int MAXCOLS = 702;

extern int tablecols; // capacity; 0 before widentable(TBL_NEW, 0)
extern int *colwidth;
extern int *colprec;

// 1 on success, 0 when refused.
int widentable(int mode, int64_t col);

// Records a written cell: its column, its kind (TOK_NUMBER or TOK_LABEL)
// and its text.
void bookcell(int64_t col, int kind, const char *f, int len);

// The closing "format" commands, one per column that received text.
void formatsummary();

// Frees the arrays; only for running the converter again in one process.
void droptable();

void errmsg(const char *text);
