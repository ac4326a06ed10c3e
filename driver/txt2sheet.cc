#include "driver/txt2sheet.h"

#include "base/output.h"
#include "base/settings.h"
#include "convert/conversion.h"
#include "driver/options.h"

int txt2sheetmem(int argc, char **argv, const char *in, size_t n, size_t chunk,
                 std::string *outmem, std::string *errmem) {
  settings set;
  output out(outmem);
  errsink err(errmem);
  int status = parseargs(argc, argv, set, out, err);
  if (status >= 0)
    return status;
  conversion c(set, out, err);
  if (in)
    c.sc.in.setmem(in, n, chunk);
  out.widenpipe();
  return finish(set, c.run(), out, err);
}

int txt2sheetmain(int argc, char **argv) {
  return txt2sheetmem(argc, argv, nullptr, 0, 0, nullptr, nullptr);
}
