// The converter as a whole, for the binary, the tests and the fuzzer.
#pragma once

// Back to the state of a fresh process: default settings, loop, scanner
// and column table cleared, input fd 0, output fds 1 and 2.
void resetstate();

// Parses the command line into the settings. Returns -1 to go on, or the
// exit status after writing the usage or version text or a complaint.
int parseargs(int argc, char **argv);

int parsecol(const char *text);
int parserow(const char *text);
// The usage text, on standard error (toerr) or standard output.
void usage(bool toerr);

// Creates the column table and converts the input; returns the exit status.
int runconvert();

// All of the above: what main does. Returns the exit status.
int txt2sheetmain(int argc, char **argv);

#include <cstddef>
#include <string>

// The whole converter over an input in memory, handed over at most chunk
// bytes per read (0: as much as fits), with standard output and error
// collected in out and err (the option parser's own complaints still go to
// file descriptor 2). Returns the exit status; nothing ends the process
// but a fatal allocation error.
int txt2sheetmem(int argc, char **argv, const char *in, size_t n, size_t chunk,
                 std::string *out, std::string *err);
