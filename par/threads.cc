#include "par/threads.h"

#include <sched.h>

int cpusallowed() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

// A positive decimal number, read as at most max; 0 if it is none. Digits
// only: a sign, blanks or a unit would each be a guess at what was meant.
static int64_t positive(const char *value, int64_t max) {
  int64_t n = 0;
  const char *p = value;
  for (; *p >= '0' && *p <= '9'; p++)
    if (n <= max)
      n = n * 10 + (*p - '0');
  if (p == value || *p != '\0' || n == 0)
    return 0;
  return n > max ? max : n;
}

int threadcount(const char *value, int cpus) {
  if (!value)
    return cpus < 1 ? 1 : cpus > AUTOTHREADS ? AUTOTHREADS : cpus;
  return static_cast<int>(positive(value, MAXTHREADS));
}

size_t piecesize(const char *value) { return static_cast<size_t>(positive(value, MAXPIECE)); }

bool manyfields(const unsigned char *p, size_t n, int delim1, int delim2) {
  size_t ends = 0;
  for (size_t i = 0; i < n; i++)
    ends += p[i] == '\n' || p[i] == delim1 || p[i] == delim2;
  // A field of 32 bytes or fewer on average: every shape of many short
  // fields is far below that, and labels of hundreds of bytes far above.
  return ends * 32 >= n;
}
