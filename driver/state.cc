// Every piece of process-wide state is defined here, and resetstate() puts
// all of it back to what a fresh process has, so that the tests and the
// fuzzer can run the converter many times in one process.
#include "driver/loop.h"
#include "driver/output.h"
#include "driver/settings.h"
#include "driver/sysio.h"
#include "driver/txt2sheet.h"
#include "scan/scan.h"
#include "table/table.h"

const char *invokedas = "txt2sheet";
int rowmode, noformat, leftjust, stripdelims = 1;
int startcol, startrow;
int rowstep = 1, colstep = 1, blocklen = 20000;
int delim1 = ' ', delim2 = '\t';
int allstrings, plainnums;

int64_t baserow, basecol, rowoff, coloff, linecount;
int fresh = 1;

char fieldbuf[FIELDMAX + 1];
int fieldlen, fieldcut, fieldfrac;

#ifdef TXT2SHEET_TESTHOOKS
syscalls sys = {read, write, poll};
#endif

void resetstate() {
  invokedas = "txt2sheet";
  rowmode = noformat = leftjust = 0;
  stripdelims = 1;
  startcol = startrow = 0;
  rowstep = colstep = 1;
  blocklen = 20000;
  delim1 = ' ';
  delim2 = '\t';
  allstrings = plainnums = 0;

  baserow = basecol = rowoff = coloff = linecount = 0;
  fresh = 1;

  fieldbuf[0] = '\0';
  fieldlen = fieldcut = fieldfrac = 0;
  setinputfd(0);
  setoutputmem(nullptr, nullptr);
  droptable();
}
