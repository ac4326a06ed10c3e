// The command line: options into the settings, the usage and version
// texts, and the start of the run.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/loop.h"
#include "driver/output.h"
#include "driver/settings.h"
#include "driver/txt2sheet.h"
#include "scan/scan.h"
#include "table/table.h"

static const char BANNER[] =
    "Quorvel v3.1L(Odrastel), Based on Vekra 6.28 ($Revision: 1.2 $)";

static bool isletter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
static bool isdigitc(unsigned char c) { return c >= '0' && c <= '9'; }

int parsecol(const char *text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p && !isletter(*p))
    p++;
  if (!*p)
    return 0;
  int first = (p[0] & 0x5F) - 'A';
  if (isletter(p[1]))
    return (first + 1) * 26 + ((p[1] & 0x5F) - 'A');
  return first;
}

int parserow(const char *text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p && !isdigitc(*p))
    p++;
  int v = 0;
  for (; isdigitc(*p); p++) {
    int d = *p - '0';
    if (v > (INT_MAX - d) / 10)
      return INT_MAX; // saturate rather than wrap
    v = v * 10 + d;
  }
  return v;
}

// atoi's reading (blanks, a sign, digits up to the first other byte, 0 for
// no number), but a value beyond 32 bits is clamped instead of undefined.
static int atoiclamped(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
    s++;
  bool neg = false;
  if (*s == '+' || *s == '-')
    neg = *s++ == '-';
  int64_t v = 0;
  for (; isdigitc(static_cast<unsigned char>(*s)); s++)
    if (v <= INT64_C(1) << 32)
      v = v * 10 + (*s - '0');
  if (neg)
    v = -v;
  if (v > INT_MAX)
    return INT_MAX;
  if (v < INT_MIN)
    return INT_MIN;
  return static_cast<int>(v);
}

void usage(bool toerr) {
  static const char *const lines[] = {
      "   Flag    Description                             Default",
      "   -C #  Increment by n between columns            1",
      "   -d c  Use c as the delimiter between the fields. space & tab",
      "   -f    suppress 'format' lines in output         false",
      "   -h    Print this help",
      "   -k    Keep all delimiters - Default is strip multiple delimiters to 1.",
      "   -L    Left justify strings.                     right justify",
      "   -n #  Length of the row (column) should be #    20000",
      "   -P    Returns 'numbers' with [-+eE] in them as strings  false",
      "   -r    Assemble data into rows first             columns",
      "   -R #  Increment by # between rows               1",
      "   -S    Return numbers as strings                 numbers",
      "   -s [col][row]   New top left starting cell      a0",
      "   -v    Print version",
  };
  std::string text = "Usage: ";
  text += invokedas;
  text += " [-fhkLPrSv] [-s v] [-R i] [-C i] [-n i] [-d c]\n";
  for (const char *l : lines) {
    text += l;
    text += '\n';
  }
  if (toerr)
    errwrite(text.data(), text.size());
  else
    outwrite(text.data(), text.size());
}

// Flushes standard output; a failed write turns any status into 1.
static int finish(int status) {
  if (!flushout()) {
    errprintf("%s: write error: %s\n", invokedas, strerror(outerror));
    return 1;
  }
  return status;
}

int parseargs(int argc, char **argv) {
  invokedas = argc > 0 && argv[0] ? argv[0] : "txt2sheet";
  if (argc < 1)
    return -1; // nothing to parse, and getopt must not look past argv[0]

#ifdef __GLIBC__
  optind = 0; // a full restart, for callers that parse more than once
#else
  optreset = 1;
  optind = 1;
#endif
  // Options end at the first operand, so "file -v" is an operand; glibc
  // must be told so with "+", elsewhere it is the rule.
#ifdef __GLIBC__
  static const char optstring[] = "+rfLks:R:C:n:d:SPv";
#else
  static const char optstring[] = "rfLks:R:C:n:d:SPv";
#endif
  int c;
  while ((c = getopt(argc, argv, optstring)) != -1) {
    switch (c) {
    case 'r': rowmode = 1; break;
    case 'f': noformat = 1; break;
    case 'L': leftjust = 1; break;
    case 'k': stripdelims = 0; break;
    case 's':
      startcol = parsecol(optarg);
      startrow = parserow(optarg);
      break;
    case 'R': rowstep = atoiclamped(optarg); break;
    case 'C': colstep = atoiclamped(optarg); break;
    case 'n': blocklen = atoiclamped(optarg); break;
    case 'd':
      // A longer argument would split on its first byte and leave the rest
      // of it in every field: a tab written as "\t", a multi-byte character.
      if (optarg[0] && optarg[1]) {
        errprintf("%s: -d takes a single byte: %s\n", invokedas, optarg);
        return 1;
      }
      delim1 = static_cast<unsigned char>(optarg[0]);
      delim2 = 0;
      break;
    case 'S': allstrings = 1; break;
    case 'P': plainnums = 1; break;
    case 'v':
      errprintf("%s:\n %s\n", invokedas, BANNER);
      usage(false); // asked for, so where the user looks for output
      return finish(1);
    default:
      // A usage error must reach the user, not the file or the
      // spreadsheet that standard output feeds.
      usage(true);
      return 1;
    }
  }
  if (optind < argc) {
    errprintf("%s: %s: input is read from standard input only\n", invokedas, argv[optind]);
    usage(true);
    return 1;
  }
  return -1;
}

int runconvert() {
  if (!widentable(TBL_NEW, 0))
    return 1;
  scanprepare();
  widenpipe();
  int status = convertloop();
  return finish(status);
}

int txt2sheetmain(int argc, char **argv) {
  resetstate();
  int status = parseargs(argc, argv);
  return status >= 0 ? status : runconvert();
}

int txt2sheetmem(int argc, char **argv, const char *in, size_t n, size_t chunk,
                 std::string *out, std::string *err) {
  resetstate();
  setoutputmem(out, err);
  setinputmem(in, n, chunk);
  int status = parseargs(argc, argv);
  return status >= 0 ? status : runconvert();
}
