// The conversion on several threads: the input cut into pieces at line
// ends, each piece converted on a worker by a conversion of its own that
// starts at the piece's first line, and the results taken in input order,
// one at a time, by whichever thread is free (the taker), which writes
// them out while the next pieces are being converted. Standard output,
// standard error and the exit status are those of the conversion on one
// thread, byte for byte.
#pragma once
#include <cstddef>

#include "base/output.h"
#include "base/settings.h"

// Where the input comes from: a file descriptor, or memory handed over at
// most `piece` bytes per read (0: all at once).
struct parallelinput {
  int fd = 0;
  const char *mem = nullptr;
  size_t memlen = 0, piece = 0;
};

// Bytes of input per piece unless asked otherwise: the larger, the less
// each costs to hand over, but 2 * threads + 2 are in flight, each with
// room for its commands, within 2 MiB a thread.
constexpr size_t CHUNKBYTES = 128 << 10;

// Converts the input with `threads` workers and pieces of about
// chunkbytes (0: CHUNKBYTES). Returns the exit status, as
// conversion::run() does: standard output is flushed, a read error said;
// a failed write is left in out.error for the caller to say.
int convertparallel(const settings &set, output &out, errsink &err, const parallelinput &in,
                    int threads, size_t chunkbytes);
