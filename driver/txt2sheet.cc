#include "driver/txt2sheet.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/output.h"
#include "base/settings.h"
#include "convert/conversion.h"
#include "driver/options.h"
#include "par/parallel.h"
#include "par/threads.h"

// Whether what is written to standard output is copied by the kernel, into
// a file or a pipe, which the threads then overlap with the converting;
// a device such as /dev/null or a terminal takes it without that copy.
static bool outputcopied() {
  struct stat st;
  return fstat(1, &st) == 0 && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) ||
                                S_ISSOCK(st.st_mode));
}

// threads 0: as TXT2SHEET_THREADS says, or the CPUs allowed; one for a
// small file, and for a file of long fields unless its output is copied
// (see manyfields).
static int convertwith(int argc, char **argv, const char *in, size_t n, size_t chunk,
                       std::string *outmem, std::string *errmem, int threads,
                       size_t piecebytes) {
  settings set;
  output out(outmem);
  errsink err(errmem);
  int status = parseargs(argc, argv, set, out, err);
  if (status >= 0)
    return status;
  if (threads == 0) {
    const char *value = getenv("TXT2SHEET_THREADS");
    threads = threadcount(value, cpusallowed());
    if (threads == 0) {
      err.printf("%s: TXT2SHEET_THREADS must be a positive number, not \"%s\"\n", set.invokedas,
                 value);
      return 1;
    }
    // The size of a piece is a knob for the tests, which set it small so
    // that a small input makes many pieces; the size then decides, not
    // the input's.
    if (const char *bytes = getenv("TXT2SHEET_PIECEBYTES")) {
      piecebytes = piecesize(bytes);
      if (piecebytes == 0) {
        err.printf("%s: TXT2SHEET_PIECEBYTES must be a positive number, not \"%s\"\n",
                   set.invokedas, bytes);
        return 1;
      }
    } else if (threads > 1 && !in) {
      struct stat st;
      if (fstat(0, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_size < PARALLELMIN) {
          threads = 1;
        } else if (!outputcopied()) {
          // A look ahead from where the input stands, which leaves it there.
          std::vector<unsigned char> sample(FIELDSAMPLE);
          off_t at = lseek(0, 0, SEEK_CUR);
          ssize_t got = at < 0 ? -1 : pread(0, sample.data(), sample.size(), at);
          if (got > 0 && !manyfields(sample.data(), static_cast<size_t>(got), set.delim1,
                                     set.delim2))
            threads = 1;
        }
      }
    }
  }
  out.widenpipe();
  if (threads > 1) {
    parallelinput src;
    if (in) {
      src.mem = in;
      src.memlen = n;
      src.piece = chunk;
    }
    return finish(set, convertparallel(set, out, err, src, threads, piecebytes), out, err);
  }
  conversion c(set, out, err);
  if (in)
    c.sc.in.setmem(in, n, chunk);
  return finish(set, c.run(), out, err);
}

int txt2sheetmem(int argc, char **argv, const char *in, size_t n, size_t chunk,
                 std::string *outmem, std::string *errmem) {
  return convertwith(argc, argv, in, n, chunk, outmem, errmem, 1, 0);
}

int txt2sheetthreads(int argc, char **argv, const char *in, size_t n, size_t chunk,
                     std::string *outmem, std::string *errmem, int threads,
                     size_t piecebytes) {
  return convertwith(argc, argv, in, n, chunk, outmem, errmem, threads < 1 ? 1 : threads,
                     piecebytes);
}

int txt2sheetmain(int argc, char **argv) {
  return convertwith(argc, argv, nullptr, 0, 0, nullptr, nullptr, 0, 0);
}
