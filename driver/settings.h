// The settings: what the command line chose. Written by parseargs before
// the conversion starts, read-only afterwards; resetstate() restores the
// defaults. Defined, with every other piece of process-wide state, in
// driver/state.cc.
#pragma once

extern const char *invokedas; // program name for usage, version, errors
extern int rowmode;           // -r: a line fills a column, not a row
extern int noformat;          // -f: no closing format commands
extern int leftjust;          // -L: leftstring instead of rightstring
extern int stripdelims;       // 1: a run of delimiters counts once (-k: 0)
extern int startcol;          // -s: first cell's column (0 is A)
extern int startrow;          // -s: first cell's row
extern int rowstep;           // -R
extern int colstep;           // -C
extern int blocklen;          // -n: lines per block
extern int delim1;            // delimiter bytes, 0..255; compared unsigned
extern int delim2;
extern int allstrings;        // -S: every field is a label
extern int plainnums;         // -P: numbers hold only digits and points

// True while NUL is no delimiter (no -d given): NUL bytes are then dropped
// from the input as if they were not there.
inline bool nulisdropped() { return delim1 != 0 && delim2 != 0; }
