// The system calls of the read and write paths. The program makes them
// directly; the builds for the tests and the fuzzer (TXT2SHEET_TESTHOOKS)
// make them through pointers that a test may aim at a stand-in, to cut a
// transfer short, interrupt it or fail it at any call it likes, in-process.
#pragma once
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef TXT2SHEET_TESTHOOKS
struct syscalls {
  ssize_t (*read)(int fd, void *p, size_t n);
  ssize_t (*write)(int fd, const void *p, size_t n);
  int (*poll)(struct pollfd *fds, nfds_t n, int timeout);
};
// The real calls until a test sets others. The test's, not a conversion's:
// only those builds have it, and nothing but a test writes it.
extern syscalls sys;

inline ssize_t sysread(int fd, void *p, size_t n) { return sys.read(fd, p, n); }
inline ssize_t syswrite(int fd, const void *p, size_t n) { return sys.write(fd, p, n); }
inline int syspoll(struct pollfd *fds, nfds_t n, int timeout) { return sys.poll(fds, n, timeout); }
#else
inline ssize_t sysread(int fd, void *p, size_t n) { return read(fd, p, n); }
inline ssize_t syswrite(int fd, const void *p, size_t n) { return write(fd, p, n); }
inline int syspoll(struct pollfd *fds, nfds_t n, int timeout) { return poll(fds, n, timeout); }
#endif
