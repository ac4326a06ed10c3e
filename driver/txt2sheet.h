// The converter as a whole, for the binary, the tests and the fuzzer.
#pragma once
#include <cstddef>
#include <string>

// What main does: standard input to standard output. Returns the exit
// status.
int txt2sheetmain(int argc, char **argv);

// The whole converter with its ends in memory where they are given: the
// input handed over at most chunk bytes per read (0: as much as fits;
// in null: standard input), standard output and error collected in out and
// err (null: file descriptors 1 and 2; the option parser's own complaints
// always go to 2). Returns the exit status; nothing ends the process but a
// fatal allocation error.
int txt2sheetmem(int argc, char **argv, const char *in, size_t n, size_t chunk,
                 std::string *out, std::string *err);

// The same with the input cut into pieces of about piecebytes (0: the
// program's size) converted on `threads` workers (1: on this thread, as
// txt2sheetmem), for the tests and the fuzzer to hold the result against
// the one-thread run's.
int txt2sheetthreads(int argc, char **argv, const char *in, size_t n, size_t chunk,
                     std::string *out, std::string *err, int threads, size_t piecebytes);
