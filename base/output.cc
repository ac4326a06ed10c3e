#include "base/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/sysio.h"

#ifdef TXT2SHEET_TESTHOOKS
static size_t blocksize = OUTCAP;
void setoutputblock(size_t n) { blocksize = n && n <= OUTCAP ? n : OUTCAP; }
#else
constexpr size_t blocksize = OUTCAP;
#endif

// Writes all of p[0..n) to fd, waiting out interruptions and a full
// non-blocking pipe. Returns 0 or the errno of the failure.
static int writeall(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = syswrite(fd, p, n);
    if (w > 0) {
      p += w;
      n -= (size_t)w;
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pf = {fd, POLLOUT, 0};
      syspoll(&pf, 1, -1);
    } else {
      return w < 0 ? errno : EIO;
    }
  }
  return 0;
}

// The block lies at the end of its storage, so that its slack ends where
// the storage does and a write past the slack is an overflow the address
// sanitizer sees, whatever the block's size.
output::output(std::string *to)
    : cap(blocksize), store(new char[OUTCAP + OUTSLACK]), mem(to) {
  buf = store + OUTCAP - cap;
}

output::output(char *block, size_t n) : buf(block), cap(n), store(nullptr), mem(nullptr) {}

output::~output() { delete[] store; }

// A pipe holds 64 KiB unless asked for more; with room for a whole output
// block the reader takes it in one wake-up instead of four. Only a hint:
// where the system refuses, the pipe stays as it was.
void output::widenpipe() {
#ifdef F_SETPIPE_SZ
  struct stat st;
  if (!mem && fstat(1, &st) == 0 && S_ISFIFO(st.st_mode))
    fcntl(1, F_SETPIPE_SZ, static_cast<int>(OUTCAP));
#endif
}

bool output::flush() {
  if (error == 0 && len > 0) {
    if (!store)
      error = ENOBUFS;
    else if (mem)
      mem->append(buf, len);
    else
      error = writeall(1, buf, len);
  }
  len = 0;
  return error == 0;
}

bool output::flushfrom(const char *p, size_t n) {
  if (error == 0 && n > 0) {
    if (mem)
      mem->append(p, n);
    else
      error = writeall(1, p, n);
  }
  return error == 0;
}

void output::write(const char *p, size_t n) {
  while (n > 0) {
    if (len == cap)
      flush();
    size_t k = cap - len < n ? cap - len : n;
    memcpy(buf + len, p, k);
    len += k;
    p += k;
    n -= k;
  }
}

void output::str(const char *s) { write(s, strlen(s)); }

void errsink::write(const char *p, size_t n) {
  if (mem)
    mem->append(p, n);
  else
    writeall(2, p, n); // nowhere left to report a failure of this one
}

void errsink::str(const char *s) { write(s, strlen(s)); }

void errsink::printf(const char *fmt, ...) {
  char small[512];
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n >= 0 && (size_t)n < sizeof small) {
    write(small, (size_t)n);
  } else if (n >= 0) {
    // Only a very long program name gets here; print it whole.
    char *big = static_cast<char *>(malloc((size_t)n + 1));
    if (big) {
      vsnprintf(big, (size_t)n + 1, fmt, again);
      write(big, (size_t)n);
      free(big);
    }
  }
  va_end(again);
}

#ifdef TXT2SHEET_TESTHOOKS
syscalls sys = {read, write, poll};
#endif
