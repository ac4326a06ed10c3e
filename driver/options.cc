// The command line: options into the settings, the usage and version
// texts.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/options.h"

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

void usage(const settings &set, bool toerr, output &out, errsink &err) {
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
  text += set.invokedas;
  text += " [-fhkLPrSv] [-s v] [-R i] [-C i] [-n i] [-d c]\n";
  for (const char *l : lines) {
    text += l;
    text += '\n';
  }
  if (toerr)
    err.write(text.data(), text.size());
  else
    out.write(text.data(), text.size());
}

int finish(const settings &set, int status, output &out, errsink &err) {
  if (!out.flush()) {
    err.printf("%s: write error: %s\n", set.invokedas, strerror(out.error));
    return 1;
  }
  return status;
}

int parseargs(int argc, char **argv, settings &set, output &out, errsink &err) {
  set = settings{};
  set.invokedas = argc > 0 && argv[0] ? argv[0] : "txt2sheet";
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
    case 'r': set.rowmode = true; break;
    case 'f': set.noformat = true; break;
    case 'L': set.leftjust = true; break;
    case 'k': set.stripdelims = false; break;
    case 's':
      set.startcol = parsecol(optarg);
      set.startrow = parserow(optarg);
      break;
    case 'R': set.rowstep = atoiclamped(optarg); break;
    case 'C': set.colstep = atoiclamped(optarg); break;
    case 'n': set.blocklen = atoiclamped(optarg); break;
    case 'd':
      // A longer argument would split on its first byte and leave the rest
      // of it in every field: a tab written as "\t", a multi-byte character.
      if (optarg[0] && optarg[1]) {
        err.printf("%s: -d takes a single byte: %s\n", set.invokedas, optarg);
        return 1;
      }
      set.delim1 = static_cast<unsigned char>(optarg[0]);
      set.delim2 = 0;
      break;
    case 'S': set.allstrings = true; break;
    case 'P': set.plainnums = true; break;
    case 'v':
      err.printf("%s:\n %s\n", set.invokedas, BANNER);
      usage(set, false, out, err); // asked for, so where the user looks for output
      return finish(set, 1, out, err);
    default:
      // A usage error must reach the user, not the file or the
      // spreadsheet that standard output feeds.
      usage(set, true, out, err);
      return 1;
    }
  }
  if (optind < argc) {
    err.printf("%s: %s: input is read from standard input only\n", set.invokedas, argv[optind]);
    usage(set, true, out, err);
    return 1;
  }
  return -1;
}
