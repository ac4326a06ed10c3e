// The conversion loop: places each field in its cell, writes the cell
// commands, moves the position at delimiters and line ends. Positions are
// 64-bit and saturate, so no input or option can make them wrap.
#pragma once
#include <cstdint>

extern int64_t baserow;  // row of the current line's first cell
extern int64_t basecol;  // column of the current line's first cell
extern int64_t rowoff;   // rows moved within the line (row mode)
extern int64_t coloff;   // columns moved within the line (column mode)
extern int64_t linecount; // lines finished in the current block
extern int fresh;        // no field written since the line began

// The column's name ("A".."ZZ") in a buffer that the next call
// overwrites. Outside 0..701 it writes "coltoa: invalid col: %d\n" and
// names the column "??".
const char *coltoa(int64_t col);

// Makes the per-column command prefixes; after the settings are final.
void loopprepare();

// Writes the command for the field in fieldbuf (kind TOK_NUMBER or
// TOK_LABEL) at the cell.
void writecell(int kind, int64_t col, int64_t row);

// Runs the loop to the end of input; returns the exit status.
int convertloop();
