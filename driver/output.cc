#include "driver/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/sysio.h"

static char outstore[OUTCAP + OUTSLACK];
char *outbuf = outstore;
#ifdef TXT2SHEET_TESTHOOKS
size_t outcap = OUTCAP;

// At the end of the storage, so that its slack ends where the storage does
// (as the input block's room does).
void setoutputblock(size_t n) {
  outcap = n && n <= OUTCAP ? n : OUTCAP;
  outbuf = outstore + OUTCAP - outcap;
  outlen = 0;
}
#endif
size_t outlen;
int outerror;

static std::string *outmem, *errmem;

void setoutputmem(std::string *out, std::string *err) {
  outmem = out;
  errmem = err;
  outlen = 0;
  outerror = 0;
}

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

// A pipe holds 64 KiB unless asked for more; with room for a whole output
// block the reader takes it in one wake-up instead of four. Only a hint:
// where the system refuses, the pipe stays as it was.
void widenpipe() {
#ifdef F_SETPIPE_SZ
  struct stat st;
  if (!outmem && fstat(1, &st) == 0 && S_ISFIFO(st.st_mode))
    fcntl(1, F_SETPIPE_SZ, static_cast<int>(OUTCAP));
#endif
}

int flushout() {
  if (outerror == 0 && outlen > 0) {
    if (outmem)
      outmem->append(outbuf, outlen);
    else
      outerror = writeall(1, outbuf, outlen);
  }
  outlen = 0;
  return outerror == 0;
}

void outwrite(const char *p, size_t n) {
  while (n > 0) {
    if (outlen == outcap)
      flushout();
    size_t k = outcap - outlen < n ? outcap - outlen : n;
    memcpy(outbuf + outlen, p, k);
    outlen += k;
    p += k;
    n -= k;
  }
}

void outstr(const char *s) { outwrite(s, strlen(s)); }

void errwrite(const char *p, size_t n) {
  if (errmem)
    errmem->append(p, n);
  else
    writeall(2, p, n); // nowhere left to report a failure of this one
}

void errprintf(const char *fmt, ...) {
  char small[512];
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n >= 0 && (size_t)n < sizeof small) {
    errwrite(small, (size_t)n);
  } else if (n >= 0) {
    // Only a very long program name gets here; print it whole.
    char *big = static_cast<char *>(malloc((size_t)n + 1));
    if (big) {
      vsnprintf(big, (size_t)n + 1, fmt, again);
      errwrite(big, (size_t)n);
      free(big);
    }
  }
  va_end(again);
}
