// How many threads convert, and whether an input is worth more than one.
// Only the choice is made here; the driver says a refusal and stops.
#pragma once
#include <cstddef>
#include <cstdint>

// With no TXT2SHEET_THREADS, the CPUs the process may run on, at most
// this many: past it the one writer and the kernel's copying of the
// output bound the time, and every thread more is memory for nothing.
constexpr int AUTOTHREADS = 8;
// A count asked for is kept up to this; more is read as this many.
constexpr int MAXTHREADS = 64;

// Inputs smaller than this are converted on one thread: starting the
// others would cost more than they save.
constexpr int64_t PARALLELMIN = 1 << 20;

// The CPUs this process may run on (sched_getaffinity), at least 1.
int cpusallowed();

// The thread count from the value of TXT2SHEET_THREADS (null: unset) and
// the CPUs allowed. Returns 0 when the value is not a positive decimal
// number, which the caller reports.
int threadcount(const char *value, int cpus);

// The size of the input's pieces from the value of TXT2SHEET_PIECEBYTES,
// a knob for the tests: a positive decimal number, at most MAXPIECE (a
// larger one is read as MAXPIECE). Returns 0 when it is not one.
constexpr size_t MAXPIECE = 1 << 24;
size_t piecesize(const char *value);
