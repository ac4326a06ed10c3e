// The command line.
#pragma once
#include "base/output.h"
#include "base/settings.h"

// Parses the command line into set, from the defaults. Returns -1 to go
// on, or the exit status after writing the usage or version text or a
// complaint (getopt's own complaints go to file descriptor 2).
int parseargs(int argc, char **argv, settings &set, output &out, errsink &err);

int parsecol(const char *text);
int parserow(const char *text);

// The usage text, on standard error (toerr) or standard output.
void usage(const settings &set, bool toerr, output &out, errsink &err);

// Writes out standard output; a failed write is said, and turns any
// status into 1.
int finish(const settings &set, int status, output &out, errsink &err);
