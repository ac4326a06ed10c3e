// Guarded allocation: every block carries the double 1234567890.12344 in
// the 8 bytes in front of it, so that freeing or resizing storage that did
// not come from here, or whose guard was overwritten, is caught. None of
// these return a failure: a fault writes one line to standard error and
// ends the process with status 1.
#pragma once
#include <cstdint>

void *qelmalloc(uint32_t n);
void *qelrealloc(void *p, uint32_t n);
void qelfree(void *p);
