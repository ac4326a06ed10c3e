// The converter as a whole, for the binary, the tests and the fuzzer.
#pragma once

// Back to the state of a fresh process: default settings, loop, scanner
// and column table cleared, input fd 0, output fds 1 and 2.
void resetstate();

// Parses the command line into the settings. Returns -1 to go on, or the
// exit status after writing the usage or version text.
int parseargs(int argc, char **argv);

int parsecol(const char *text);
int parserow(const char *text);
void usage();

// Creates the column table and converts the input; returns the exit status.
int runconvert();

// All of the above: what main does. Returns the exit status.
int txt2sheetmain(int argc, char **argv);
