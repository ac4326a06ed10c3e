// How a piece converted on its own is made exact.
//
// A newline always ends a line, a quoted field and a delimiter run, so a
// piece of whole lines converts alone just as it does in the whole run,
// given where its first line starts (par/layout.h) and the state of three
// things that depend on earlier lines:
//
// - The column table. Its figures are maxima, so a piece's own table
//   merges into the run's by maxima. What is refused depends only on the
//   column, and a refusal is a diagnostic (below). Only the table's
//   growth is in order: it decides the sizes the guarded allocator asks
//   for, and which of them fails. A worker's table starts as wide as the
//   run's table then is; a piece whose table had to grow is converted
//   again by the taker, in order, with the run's table itself, so the
//   run asks for exactly the sizes one thread would.
// - Diagnostics, and where they fall between the writes of standard
//   output (the order shows when both go to one file, and a failed write
//   ends the run with what was said before it). A piece that says
//   anything is converted again by the taker with the run's own output
//   and error sinks, so its words and writes come out exactly as on one
//   thread. Such pieces are rare in real input; an input with a
//   diagnostic on every line converts at the speed of one thread.
// - The wrap warning, which depends on the places of every earlier
//   block. A worker only records (wraprecord) whether its own blocks
//   overlapped and where its blocks lay against its own earlier ones;
//   from that and the run's ranges the taker knows when the warning may
//   fall in the piece, and then converts it again from the exact state.
//   Once the warning is said, nothing more is watched.
//
// A piece that cannot be converted on a worker at all is converted by the
// taker in the same way: one whose output overflows the worker's block,
// one whose allocation failed on the worker, and a line too long for a
// piece, which the thread that reads it streams to the taker through a
// socket while the taker converts it, so memory stays flat.
//
// The taker writes a clean piece's output in the blocks one thread would
// have written: a block is written out at the first line end at which it
// holds OUTCAP bytes or more, as the conversion loop does.
#include "par/parallel.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/qelmalloc.h"
#include "convert/conversion.h"
#include "par/chunks.h"
#include "par/layout.h"
#include "par/pipeline.h"

namespace {

// Room for a piece's commands, per byte of input: mixed text gives about
// three bytes per byte, short numbers up to six. A piece that needs more
// goes to the taker.
constexpr size_t OUTPERIN = 8;

struct piece {
  // The input, from a 64-byte boundary as the scanner's own block is.
  std::vector<unsigned char> in;
  unsigned char *data() {
    auto a = reinterpret_cast<uintptr_t>(in.data());
    return in.data() + ((64 - a % 64) % 64);
  }
  size_t inlen = 0;
  int64_t firstline = 0, lines = 0;
  bool islong = false;
  int sock[2] = {-1, -1}; // a long line: the taker reads [0], its reader writes [1]

  // Not a vector: a vector's bytes are all written when it is made, and
  // most of this block is never touched.
  std::unique_ptr<char[]> out;
  size_t outcap = 0, outlen = 0;
  bool clean = false; // converted without a word, a fault, growth or overflow
  int cols = 0;       // the table's width it was converted with
  std::vector<colstat> stats;
  wraprecord wrap;
  partstate end;

  void closesocks() {
    for (int &fd : sock)
      if (fd >= 0) {
        close(fd);
        fd = -1;
      }
  }
  ~piece() { closesocks(); }
};

struct allocfault {};

[[noreturn]] void throwfault(void *, const char *) { throw allocfault{}; }

struct sinks {
  output *out;
  errsink *err;
};

// The taker's fault, as the conversion on one thread has it: what was
// converted is written out before the message.
[[noreturn]] void takerfault(void *ctx, const char *msg) {
  auto *s = static_cast<sinks *>(ctx);
  s->out->flush();
  s->err->printf("%s\n", msg);
  exit(1);
}

bool empty(int64_t lo, int64_t hi) { return lo > hi; }

// Writes p[0..n), whole command lines, as if the conversion loop had put
// them in out's block: the block is written at the first line end at
// which it holds out.cap bytes or more. Lines that fill a block of their
// own are written from where they are.
bool writelines(output &out, const char *p, size_t n) {
  size_t pos = 0;
  while (pos < n) {
    size_t need = out.cap > out.len ? out.cap - out.len : 1;
    size_t from = pos + need - 1;
    const char *nl = from < n ? static_cast<const char *>(memchr(p + from, '\n', n - from))
                              : nullptr;
    if (!nl) {
      // The lines end at p[n - 1], so the rest is short of a block.
      memcpy(out.buf + out.len, p + pos, n - pos);
      out.len += n - pos;
      return true;
    }
    size_t end = static_cast<size_t>(nl - p) + 1;
    if (out.len == 0) {
      if (!out.flushfrom(p + pos, end - pos))
        return false;
    } else {
      memcpy(out.buf + out.len, p + pos, end - pos);
      out.len += end - pos;
      if (!out.flush())
        return false;
    }
    pos = end;
  }
  return true;
}

// A worker's conversion, made once and used for every piece it takes: a
// conversion's input block is large, and made and dropped at every piece
// it would cost time and scatter the heap.
struct workerconv {
  explicit workerconv(const settings &set) : out(nullptr, 0), err(&said), c(set, out, err) {}
  std::string said;
  output out;
  errsink err;
  conversion c;
};

class parallelrun {
public:
  parallelrun(const settings &s, output &o, errsink &e, const parallelinput &src, int threads,
              size_t chunkbytes)
      : set(s), out(o), err(e), workers(threads), table(e),
        jobs(static_cast<size_t>(2 * threads + 2)),
        cut(src.mem ? chunker(src.mem, src.memlen, s.nulisdropped(), chunkbytes, src.piece)
                    : chunker(src.fd, s.nulisdropped(), chunkbytes, jobs.stopfd())),
        layout{s.rowmode, s.startrow, s.startcol, s.rowstep, s.colstep, s.blocklen},
        convs(static_cast<size_t>(threads)) {
    state.baserow = s.startrow;
    state.basecol = s.startcol;
  }

  int run();

private:
  jobkind fill(piece &p);
  void stream(piece &p);
  void work(piece &p, int me);
  bool take(piece &p);
  bool mayfire(const wraprecord &w) const;
  bool reconvert(piece &p);
  partstate startof(int64_t line) const;

  const settings &set;
  output &out;
  errsink &err;
  int workers;
  coltable table; // the run's own, as one thread would have it
  pipeline<piece> jobs;
  chunker cut;
  layoutparams layout;
  int64_t nextline = 0;
  partstate state; // the wrap check's, after the pieces taken so far
  // What the workers read of the taker's state: its table's width, and
  // whether the warning has been said.
  std::atomic<int> tablecols{0};
  std::atomic<bool> warned{false};
  int status = 0;
  std::vector<std::unique_ptr<workerconv>> convs; // by thread
  std::unique_ptr<conversion> takerconv;
};

partstate parallelrun::startof(int64_t line) const {
  linestart l = startofline(layout, line);
  partstate s;
  s.baserow = l.baserow;
  s.basecol = l.basecol;
  s.linecount = l.linecount;
  s.blocks = l.blocks;
  return s;
}

jobkind parallelrun::fill(piece &p) {
  size_t size = cut.chunkbytes();
  if (p.in.size() < size + CHUNKROOM + 64)
    p.in.resize(size + CHUNKROOM + 64);
  p.closesocks();
  int k = cut.next(p.data(), p.inlen, p.lines);
  if (k == chunker::END)
    return jobkind::none;
  p.firstline = nextline;
  p.islong = k == chunker::LONG;
  if (!p.islong) {
    nextline += p.lines;
    return jobkind::work;
  }
  // The rest of the line goes through a socket, which, unlike a pipe,
  // can be written without SIGPIPE once the taker has stopped.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p.sock) != 0)
    p.sock[0] = p.sock[1] = -1;
  for (int &fd : p.sock)
    fd = abovestdio(fd);
  return jobkind::direct;
}

// Sends all of p[0..n) unless the run stops first.
static bool sendall(int fd, int stopfd, const unsigned char *p, size_t n) {
  while (n > 0) {
    struct pollfd pf[2] = {{fd, POLLOUT, 0}, {stopfd, POLLIN, 0}};
    if (poll(pf, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (pf[1].revents)
      return false;
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
    } else if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
  }
  return true;
}

void parallelrun::stream(piece &p) {
  bool ok = p.sock[1] >= 0 && sendall(p.sock[1], jobs.stopfd(), p.data(), p.inlen);
  bool ended = false;
  while (ok && !ended) {
    size_t n = cut.more(p.data(), cut.chunkbytes(), ended);
    ok = sendall(p.sock[1], jobs.stopfd(), p.data(), n);
    if (ended && n > 0 && p.data()[n - 1] == '\n')
      nextline++;
  }
  if (p.sock[1] >= 0) {
    close(p.sock[1]);
    p.sock[1] = -1;
  }
}

void parallelrun::work(piece &p, int me) {
  std::unique_ptr<workerconv> &mine = convs[static_cast<size_t>(me)];
  if (!mine)
    mine = std::make_unique<workerconv>(set);
  size_t cap = cut.chunkbytes() * OUTPERIN + 4096;
  if (p.outcap < cap) {
    p.out.reset(new char[cap + OUTSLACK]);
    p.outcap = cap;
  }
  workerconv &w = *mine;
  conversion &c = w.c;
  w.said.clear();
  w.out.buf = p.out.get();
  w.out.cap = cap;
  w.out.len = 0;
  w.out.error = 0;
  c.sc.in.setblock(p.data(), p.inlen);
  c.state = startof(p.firstline);
  c.state.warned = warned.load(std::memory_order_relaxed);
  c.quietwrap = true;
  c.wrap = wraprecord{};
  p.cols = tablecols.load(std::memory_order_relaxed);
  p.clean = false;
  qelonfault(throwfault, nullptr);
  try {
    // As wide as the run's table, so that it grows where that would.
    if (c.table.tablecols != p.cols) {
      if (c.table.colstats)
        qelfree(c.table.colstats);
      c.table.colstats = nullptr;
      c.table.tablecols = 0;
      c.table.colstats =
          static_cast<colstat *>(qelmalloc(static_cast<uint32_t>(p.cols) * sizeof(colstat)));
      c.table.tablecols = p.cols;
    }
    memset(c.table.colstats, 0, static_cast<size_t>(p.cols) * sizeof(colstat));
    int st = c.runpart();
    p.clean = st == 0 && w.said.empty() && !c.wrap.fired && c.table.tablecols == p.cols;
  } catch (const allocfault &) {
    // Converted again by the taker, where the fault is the run's.
  }
  qelonfault(nullptr, nullptr);
  if (p.clean) {
    p.outlen = w.out.len;
    p.stats.assign(c.table.colstats, c.table.colstats + p.cols);
    p.wrap = c.wrap;
    p.end = c.state;
  }
}

// Whether the wrap warning may fall in a piece converted without the run's
// earlier blocks (see wraprecord): a field before the piece's first block
// end warns if it lies among the run's earlier blocks; a later one, if it
// lies among those and the run's current block, or between them and the
// piece's own earlier blocks.
bool parallelrun::mayfire(const wraprecord &w) const {
  if (!empty(state.seenlo, state.seenhi) && !empty(w.firstlo, w.firsthi) &&
      w.firstlo <= state.seenhi && state.seenlo <= w.firsthi)
    return true;
  if (w.ends == 0)
    return false;
  int64_t lo = state.seenlo < state.blocklo ? state.seenlo : state.blocklo;
  int64_t hi = state.seenhi > state.blockhi ? state.seenhi : state.blockhi;
  return !empty(lo, hi) && (lo <= w.below || w.above <= hi);
}

bool parallelrun::reconvert(piece &p) {
  // One for the run, as a worker keeps one: its input block is large.
  if (!takerconv)
    takerconv = std::make_unique<conversion>(set, out, err);
  conversion &c = *takerconv;
  c.wrap = wraprecord{};
  if (p.islong) {
    c.sc.in.setfd(p.sock[0]);
  } else {
    c.sc.in.setblock(p.data(), p.inlen);
  }
  partstate st = startof(p.firstline);
  st.blocklo = state.blocklo;
  st.blockhi = state.blockhi;
  st.seenlo = state.seenlo;
  st.seenhi = state.seenhi;
  st.warned = state.warned;
  c.state = st;
  std::swap(c.table.colstats, table.colstats);
  std::swap(c.table.tablecols, table.tablecols);
  int s = c.runpart();
  std::swap(c.table.colstats, table.colstats);
  std::swap(c.table.tablecols, table.tablecols);
  tablecols.store(table.tablecols, std::memory_order_relaxed);
  state = c.state;
  if (state.warned)
    warned.store(true, std::memory_order_relaxed);
  if (s != 0)
    status = 1;
  return s == 0;
}

bool parallelrun::take(piece &p) {
  if (p.islong || !p.clean || (!state.warned && mayfire(p.wrap))) {
    sinks s{&out, &err};
    qelonfault(takerfault, &s);
    bool go = reconvert(p);
    qelonfault(nullptr, nullptr);
    return go;
  }
  if (!writelines(out, p.out.get(), p.outlen)) {
    status = 1;
    return false;
  }
  for (int c = 0; c < p.cols; c++) {
    colstat &t = table.colstats[c];
    const colstat &s = p.stats[static_cast<size_t>(c)];
    t.label = s.label > t.label ? s.label : t.label;
    t.whole = s.whole > t.whole ? s.whole : t.whole;
    t.prec = s.prec > t.prec ? s.prec : t.prec;
  }
  const wraprecord &w = p.wrap;
  if (w.ends == 0) {
    state.blocklo = w.firstlo < state.blocklo ? w.firstlo : state.blocklo;
    state.blockhi = w.firsthi > state.blockhi ? w.firsthi : state.blockhi;
  } else {
    int64_t lo = state.seenlo < state.blocklo ? state.seenlo : state.blocklo;
    int64_t hi = state.seenhi > state.blockhi ? state.seenhi : state.blockhi;
    state.seenlo = p.end.seenlo < lo ? p.end.seenlo : lo;
    state.seenhi = p.end.seenhi > hi ? p.end.seenhi : hi;
    state.blocklo = p.end.blocklo;
    state.blockhi = p.end.blockhi;
  }
  return true;
}

int parallelrun::run() {
  sinks s{&out, &err};
  qelonfault(takerfault, &s);
  if (!table.widentable(TBL_NEW, 0)) {
    qelonfault(nullptr, nullptr);
    return 1;
  }
  tablecols.store(table.tablecols);
  jobs.run(
      workers, [this](piece &p) { return fill(p); }, [this](piece &p) { stream(p); },
      [this](piece &p, int me) { work(p, me); }, [this](piece &p) { return take(p); });
  if (status == 0) {
    if (!set.noformat)
      table.formatsummary(out);
    if (!out.flush()) {
      status = 1;
    } else if (cut.error) {
      err.printf("%s: read error: %s\n", set.invokedas, strerror(cut.error));
      status = 1;
    }
  }
  qelonfault(nullptr, nullptr);
  return status;
}

} // namespace

int convertparallel(const settings &set, output &out, errsink &err, const parallelinput &in,
                    int threads, size_t chunkbytes) {
  parallelrun r(set, out, err, in, threads < 1 ? 1 : threads,
                chunkbytes ? chunkbytes : CHUNKBYTES);
  return r.run();
}
