#include "base/qelmalloc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static const double GUARD = 1234567890.12344;
constexpr size_t HEADER = 8;
static_assert(sizeof GUARD == HEADER);

static thread_local qelfaulthandler onfault;
static thread_local void *onfaultctx;

void qelonfault(qelfaulthandler handler, void *ctx) {
  onfault = handler;
  onfaultctx = ctx;
}

[[noreturn]] static void fatal(const char *msg) {
  if (onfault)
    onfault(onfaultctx, msg);
  // In one write, so that the line stays whole.
  char line[64];
  size_t n = strlen(msg);
  memcpy(line, msg, n);
  line[n] = '\n';
  ssize_t w = write(2, line, n + 1);
  (void)w; // nowhere left to report it
  exit(1);
}

// n + 8 without wrapping: a size near the top of 32 bits must not become a
// tiny block.
static size_t guardedsize(uint32_t n) {
  if (static_cast<size_t>(n) > SIZE_MAX - HEADER)
    fatal("qelmalloc: no memory");
  return static_cast<size_t>(n) + HEADER;
}

static void *guard(void *block) {
  memcpy(block, &GUARD, HEADER);
  return static_cast<char *>(block) + HEADER;
}

// Compared as a double, as it was stored: any other value, a NaN too, fails.
static bool guarded(void *p) {
  double g;
  memcpy(&g, static_cast<char *>(p) - HEADER, HEADER);
  return g == GUARD;
}

void *qelmalloc(uint32_t n) {
  void *block = malloc(guardedsize(n));
  if (!block)
    fatal("qelmalloc: no memory");
  return guard(block);
}

void *qelrealloc(void *p, uint32_t n) {
  if (!p)
    return qelmalloc(n);
  if (!guarded(p))
    fatal("qelrealloc: storage not qelmalloc'ed");
  void *block = realloc(static_cast<char *>(p) - HEADER, guardedsize(n));
  if (!block)
    fatal("qelmalloc: no memory");
  return guard(block);
}

void qelfree(void *p) {
  if (!p)
    fatal("qelfree: NULL");
  if (!guarded(p))
    fatal("qelfree: storage not malloc'ed");
  free(static_cast<char *>(p) - HEADER);
}
