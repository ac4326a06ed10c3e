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

int threadcount(const char *value, int cpus) {
  if (!value)
    return cpus < 1 ? 1 : cpus > AUTOTHREADS ? AUTOTHREADS : cpus;
  // Digits only: a sign, blanks or a unit would each be a guess at what
  // was meant.
  int64_t n = 0;
  const char *p = value;
  for (; *p >= '0' && *p <= '9'; p++)
    if (n <= MAXTHREADS)
      n = n * 10 + (*p - '0');
  if (p == value || *p != '\0' || n == 0)
    return 0;
  return n > MAXTHREADS ? MAXTHREADS : static_cast<int>(n);
}
