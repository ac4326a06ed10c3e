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

class conversion {
public:
  // The settings and both sinks must outlive the conversion. The input
  // is standard input until sc.in is aimed elsewhere.
  conversion(const settings &set, output &out, errsink &err);

  // Converts the input to its end. Returns the exit status; when it is 1
  // because standard output failed, out.error says why and the caller
  // says it.
  int run();

  scanner sc;
  coltable table;

private:
  template <bool RMODE, bool STRIP> int runloop();

  const settings &set;
  output &out;
  errsink &err;
};
