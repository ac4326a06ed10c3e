// One conversion: the input's fields placed in their cells, the cell
// commands written, the position moved at delimiters and line ends, and the
// column table's format commands at the end. Everything it changes is its
// own or its caller's (the output and the error sink), so conversions can
// run side by side; positions are 64-bit and saturate, so no input or
// option can make them wrap.
#pragma once
#include <cstdint>

#include "base/output.h"
#include "base/settings.h"
#include "scan/scan.h"
#include "table/table.h"

// Where a conversion starts and, after it has run, where it stopped: the
// layout's position at a line's start and what the wrap check knows, so
// that a piece of the input can be converted as if the lines before it
// had been.
struct partstate {
  int64_t baserow = 0, basecol = 0; // the line's first cell
  int64_t linecount = 0;            // lines before it in its block
  int64_t blocks = 0;               // blocks finished before it
  // The places (columns, or rows in row mode) the current block's fields
  // went, and those of all earlier blocks: empty while lo > hi.
  int64_t blocklo = INT64_MAX, blockhi = INT64_MIN;
  int64_t seenlo = INT64_MAX, seenhi = INT64_MIN;
  bool warned = false; // the wrap warning has been said
};

// What a piece converted on its own tells of the wrap check, so that the
// run it belongs to can know whether the warning would have been said in
// it, had the blocks before it been known (see par/parallel.cc).
struct wraprecord {
  bool fired = false; // a field landed among the piece's own earlier blocks
  int64_t ends = 0;   // blocks the piece ended
  // The places of the fields before its first block end (all of them
  // when it ends none).
  int64_t firstlo = INT64_MAX, firsthi = INT64_MIN;
  // In the blocks after the first end: the greatest place a field can
  // have had below all earlier blocks of the piece, and the least above.
  int64_t below = INT64_MIN, above = INT64_MAX;
};

class conversion {
public:
  // The settings and both sinks must outlive the conversion. The input
  // is standard input until sc.in is aimed elsewhere.
  conversion(const settings &set, output &out, errsink &err);

  // Converts the input to its end. Returns the exit status; when it is 1
  // because standard output failed, out.error says why and the caller
  // says it.
  int run();

  // Converts the input as one piece of a longer one: from `state`, with the
  // table as the caller made it, without the summary, and with what is
  // left in the output block left there. Returns 0, or 1 when standard
  // output failed.
  int runpart();

  // The start, before a run; where it ended, after.
  partstate state;
  // Whether the wrap warning is only recorded in wrap, not said.
  bool quietwrap = false;
  wraprecord wrap;

  scanner sc;
  coltable table;

private:
  template <bool RMODE, bool STRIP> int runloop();

  const settings &set;
  output &out;
  errsink &err;
};
