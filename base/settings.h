// The settings: what the command line chose. parseargs fills them before a
// conversion starts; everything after takes them as const, so that two
// conversions, each with its own, can run side by side.
#pragma once

struct settings {
  const char *invokedas = "txt2sheet"; // program name for usage, version, errors
  bool rowmode = false;     // -r: a line fills a column, not a row
  bool noformat = false;    // -f: no closing format commands
  bool leftjust = false;    // -L: leftstring instead of rightstring
  bool stripdelims = true;  // a run of delimiters counts once (-k: false)
  int startcol = 0;         // -s: first cell's column (0 is A)
  int startrow = 0;         // -s: first cell's row
  int rowstep = 1;          // -R
  int colstep = 1;          // -C
  int blocklen = 20000;     // -n: lines per block
  int delim1 = ' ';         // delimiter bytes, 0..255; compared unsigned
  int delim2 = '\t';
  bool allstrings = false;  // -S: every field is a label
  bool plainnums = false;   // -P: numbers hold only digits and points

  // True while NUL is no delimiter (no -d given): NUL bytes are then
  // dropped from the input as if they were not there.
  bool nulisdropped() const { return delim1 != 0 && delim2 != 0; }
};
