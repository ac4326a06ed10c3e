// Guarded allocation: every block carries the double 1234567890.12344 in
// the 8 bytes in front of it, so that freeing or resizing storage that did
// not come from here, or whose guard was overwritten, is caught. None of
// these return a failure: a fault says one line and ends the process with
// status 1.
#pragma once
#include <cstdint>

void *qelmalloc(uint32_t n);
void *qelrealloc(void *p, uint32_t n);
void qelfree(void *p);

// What a fault does before the process ends, for the calling thread: a
// conversion sets one that writes out what it converted and then says the
// message on its standard error. The handler should not return; if it
// does, or none is set, the message goes to file descriptor 2 and the
// process exits with status 1.
using qelfaulthandler = void (*)(void *ctx, const char *msg);
void qelonfault(qelfaulthandler handler, void *ctx);
