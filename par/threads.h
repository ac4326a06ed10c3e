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

// How much of a file is looked at to tell whether it has many fields.
constexpr size_t FIELDSAMPLE = 1 << 16;

// Whether the bytes of p[0..n) end fields often enough for more threads to
// pay for their own sake: a conversion costs per field, and one of long
// fields runs about as fast as its input can be read, so cutting it into
// pieces and handing them between threads costs more than the converting
// they share; what they still gain there is the overlap with the kernel's
// copy of the output into a file or a pipe. The field ends are the
// newlines and the delimiter bytes.
bool manyfields(const unsigned char *p, size_t n, int delim1, int delim2);
