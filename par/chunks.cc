#include "par/chunks.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>

#include "base/sysio.h"
#include "scan/scan.h"
#include "scan/vec.h"

chunker::chunker(int f, bool nul, size_t bytes, int stop)
    : fd(f), dropnul(nul), size(bytes ? bytes : 1) {
  // A regular file is always ready: watching the stop only costs a call.
  struct stat st;
  if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode))
    stopfd = stop;
}

chunker::chunker(const char *p, size_t n, bool nul, size_t bytes, size_t pc)
    : mem(p), memlen(n), piece(pc ? pc : n), dropnul(nul), size(bytes ? bytes : 1) {}

size_t chunker::readsome(unsigned char *p, size_t n) {
  while (!ended && n > 0) {
    ssize_t got;
    if (mem) {
      size_t k = memlen - mempos;
      k = k < piece ? k : piece;
      k = k < n ? k : n;
      memcpy(p, mem + mempos, k);
      mempos += k;
      got = static_cast<ssize_t>(k);
    } else {
      if (stopfd >= 0) {
        struct pollfd pf[2] = {{fd, POLLIN, 0}, {stopfd, POLLIN, 0}};
        if (syspoll(pf, 2, -1) > 0 && pf[1].revents) {
          ended = true;
          break;
        }
      }
      got = sysread(fd, p, n);
    }
    if (got > 0) {
      size_t k = static_cast<size_t>(got);
      if (dropnul)
        k = dropnuls(p, k);
      if (k > 0)
        return k;
    } else if (got == 0) {
      ended = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pf[2] = {{fd, POLLIN, 0}, {stopfd, POLLIN, 0}};
      syspoll(pf, stopfd >= 0 ? 2 : 1, -1);
    } else if (errno != EINTR) {
      error = errno;
      ended = true;
    }
  }
  return 0;
}

// The newlines of p[0..n), 64 bytes a look; p has CHUNKROOM bytes of room
// after n, which the last look may read.
static int64_t countlines(const unsigned char *p, size_t n) {
  int64_t lines = 0;
  size_t i = 0;
  // Lines are mostly longer than a look: a bit or two in each, taken one
  // by one (a bit count is a call where the machine has no instruction
  // for it in the build's baseline).
  for (; i < n; i += 64) {
    uint64_t m = vec::mask(eq(vec::load64(p + i), '\n'));
    if (n - i < 64)
      m &= (uint64_t{1} << (n - i)) - 1;
    for (; m; m &= m - 1)
      lines++;
  }
  return lines;
}

int chunker::next(unsigned char *buf, size_t &len, int64_t &lines) {
  len = carry.size();
  memcpy(buf, carry.data(), len);
  carry.clear();
  // Filled, not just read once: a pipe hands over a few KiB per read,
  // and a piece is worth its hand-over only when it is large.
  while (len < size) {
    size_t k = readsome(buf + len, size - len);
    if (k == 0)
      break;
    len += k;
  }
  lines = 0;
  if (len == 0)
    return END;
  const unsigned char *nl = static_cast<const unsigned char *>(memrchr(buf, '\n', len));
  if (!nl) {
    if (len < size)
      return LINES; // the input's last line, without its newline
    return LONG;
  }
  size_t keep = static_cast<size_t>(nl - buf) + 1;
  if (keep < len && ended) {
    keep = len; // the input's end: the last line goes with the others
  } else {
    carry.assign(reinterpret_cast<const char *>(buf) + keep, len - keep);
  }
  lines = countlines(buf, keep);
  len = keep;
  return LINES;
}

size_t chunker::more(unsigned char *p, size_t n, bool &lineended) {
  size_t len = carry.size() < n ? carry.size() : n;
  memcpy(p, carry.data(), len);
  carry.erase(0, len);
  if (len == 0)
    len = readsome(p, n);
  lineended = len == 0;
  const unsigned char *nl = static_cast<const unsigned char *>(memchr(p, '\n', len));
  if (nl) {
    size_t keep = static_cast<size_t>(nl - p) + 1;
    carry.insert(0, reinterpret_cast<const char *>(p) + keep, len - keep);
    len = keep;
    lineended = true;
  }
  return len;
}
