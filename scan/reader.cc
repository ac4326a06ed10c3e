// The reader's rare parts: its byte classes, made once per set of
// options, and the keeping of a field that crosses a block's edge.
#include "scan/reader.h"

#include <cstring>

byteclasses makeclasses(int delim1, int delim2, bool strip, bool allstrings, bool plainnums) {
  byteclasses c;
  c.delim1 = vec::rep(static_cast<uint8_t>(delim1));
  c.delim2 = vec::rep(static_cast<uint8_t>(delim2));
  c.runs = strip ? ~uint64_t{0} : 0;
  c.signok = plainnums ? 0 : ~uint64_t{0};
  c.firstok = allstrings ? 0 : ~uint64_t{0};
  return c;
}

int keepfield(char *buf, int kept, const unsigned char *p, const unsigned char *q) {
  size_t n = static_cast<size_t>(q - p), room = static_cast<size_t>(FIELDMAX - kept);
  if (n > room)
    n = room;
  memcpy(buf + kept, p, n);
  return kept + static_cast<int>(n);
}

// One loop for each kind of field, so that none asks which it is at
// every step.
template <bool QUOTED>
static const unsigned char *endfrom(const unsigned char *p, const unsigned char *end,
                                    const byteclasses &c) {
  while (end - p >= 64 && !endsin(p, QUOTED, c))
    p += 64;
  size_t left = static_cast<size_t>(end - p);
  uint64_t m = endbits(p, QUOTED, c);
  if (left < 64)
    m |= ~uint64_t{0} << left;
  return p + __builtin_ctzll(m);
}

const unsigned char *findend(const unsigned char *p, const unsigned char *end, bool quoted,
                             const byteclasses &c) {
  return quoted ? endfrom<true>(p, end, c) : endfrom<false>(p, end, c);
}
