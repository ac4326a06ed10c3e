// The conversion loop.
//
// The cost of this program is per field, and most of it is assembling each
// command (convert/cells.h). The loop keeps its position and the output
// position in locals, so they stay in registers; the token reader
// (scan/reader.h) calls the loop's actions for each token it finds, inlined.
#include "convert/conversion.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/qelmalloc.h"
#include "convert/cells.h"

static int64_t satadd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

conversion::conversion(const settings &s, output &o, errsink &e)
    : sc(s), table(e), set(s), out(o), err(e) {
  sc.in.setfd(0);
  state.baserow = s.startrow;
  state.basecol = s.startcol;
}

namespace {
// The loop's actions as the token reader calls them; only a field can
// stop it.
template <class F, class D, class E> struct tokenacts {
  F &field;
  D &delim;
  E &eol;
  [[gnu::always_inline]] bool onfield(int label, const char *text, int len, int frac, int cut) {
    return field(label, text, len, frac, cut);
  }
  [[gnu::always_inline]] bool ondelim() {
    delim();
    return true;
  }
  [[gnu::always_inline]] bool oneol() {
    eol();
    return true;
  }
};
template <class F, class D, class E> tokenacts(F &, D &, E &) -> tokenacts<F, D, E>;
} // namespace

// The loop, made once for each way the delimiters and the layout can be
// set, so that no field asks which it is. Returns 0 at the end of input,
// 1 when standard output failed.
template <bool RMODE, bool STRIP> int conversion::runloop() {
  // The settings, as locals the compiler knows no store can change.
  const int64_t srow = set.startrow, scol = set.startcol, rstep = set.rowstep,
                cstep = set.colstep, blen = set.blocklen;
  const prefixtable &prefixes = set.leftjust ? leftprefixes : rightprefixes;

  // The first cell of the line (baserow, basecol) and the lines of the
  // block so far (linecount).
  int64_t brow = state.baserow, bcol = state.basecol, lines = state.linecount;
  // The cell of the next field, kept as it moves rather than added up for
  // every field from the line's first cell and the moves within the line
  // (the same sums, since a move is one place).
  int64_t row = brow, col = bcol;
  bool atstart = true; // no field yet in the line (fresh)
  rowtext r;
  makerowtext(r, row);
  char *o = out.buf + out.len, *const olimit = out.buf + out.cap;
  // The table's arrays and the columns below the last, which a cell can
  // be recorded in without asking the table: brought up to date whenever
  // the table has been asked.
  colstat *cs = table.colstats;
  uint64_t fastcols = static_cast<uint64_t>(table.fastcols());
  int status = -1;

  // The layout's wrap: once a block ends, the place a field goes along
  // the line (its column, or its row in row mode) is watched for landing
  // between the least and the greatest place that fields of earlier
  // blocks went, which is said once a run. Per field that costs one
  // compare; the ranges are kept up to date at line ends.
  int64_t blocks = state.blocks;                    // blocks finished
  int64_t blocklo = state.blocklo, blockhi = state.blockhi; // the current block's
  int64_t seenlo = state.seenlo, seenhi = state.seenhi;    // earlier blocks'
  const int64_t startblocks = blocks;
  int64_t firstat = 0, lastat = 0; // places of the line's first and last field
  // Nothing is watched while watchspan is 0 and watchlo a place no field
  // can be in for long; a field there only asks whether to say it.
  constexpr uint64_t unwatched = uint64_t{1} << 63 | 1;
  uint64_t watchlo = unwatched, watchspan = 0;
  bool warned = state.warned;
  if (!warned && seenlo <= seenhi) {
    watchlo = static_cast<uint64_t>(seenlo);
    watchspan = static_cast<uint64_t>(seenhi) - static_cast<uint64_t>(seenlo);
  }
  auto checkwrap = [&]() __attribute__((noinline, cold)) {
    if (warned || seenlo > seenhi)
      return; // the unwatched place, not a place of earlier blocks
    warned = true;
    watchlo = unwatched;
    watchspan = 0;
    if (quietwrap) {
      wrap.fired = true;
      return;
    }
    // Every block but the current one is full.
    int64_t line = blocks * (blen > 1 ? blen : 1) + lines + 1;
    err.printf("%s: line %lld: the layout wraps onto cells already written; see -n\n",
               set.invokedas, static_cast<long long>(line));
  };

  auto reportcut = [&]() __attribute__((always_inline)) {
    err.printf("Field cut to 999 bytes: %s%lld\n", coltoa(col, err).text,
               static_cast<long long>(row));
  };
  // What a token does, the same whichever way it was read. The two ways a
  // cell is named and recorded each have their own copy of the writing, so
  // that the common one is a single branch.
  // label is 1 for a label, 0 for a number.
  auto onfield = [&](int label, const char *text, int len, int frac,
                     int cut) __attribute__((always_inline)) {
    int kind = TOK_NUMBER + label;
    const int64_t at = RMODE ? row : col;
    if (static_cast<uint64_t>(at) - watchlo <= watchspan) [[unlikely]]
      checkwrap();
    lastat = at;
    // Under -k the line's first field may stand past its start.
    if (!STRIP)
      firstat = atstart ? at : firstat;
    if (static_cast<uint64_t>(col) < fastcols) [[likely]] {
      const prefix &p = prefixes.p[col][label];
      memcpy(o, p.text, sizeof p.text);
      o = putbody(o + p.len, label, text, len, r);
      if (cut) [[unlikely]]
        reportcut();
      recordcell(cs[col], label ^ 1, len, frac);
    } else {
      o = putbody(putname(o, prefixes, kind, col, err), label, text, len, r);
      if (cut) [[unlikely]]
        reportcut();
      // A fatal allocation error in the table writes out what was converted.
      out.len = static_cast<size_t>(o - out.buf);
      table.bookcell(col, kind, len, frac);
      cs = table.colstats;
      fastcols = static_cast<uint64_t>(table.fastcols());
    }
    atstart = false;
  };
  auto move = [&]() __attribute__((always_inline)) {
    if (RMODE) {
      row = satadd(row, 1);
      nextrowtext(r, row);
    } else {
      col = satadd(col, 1);
    }
  };
  auto ondelim = [&]() __attribute__((always_inline)) {
    if (!(STRIP && atstart))
      move();
  };
  // Where the block's fields lay against the earlier blocks': what a
  // piece converted on its own tells the run it belongs to.
  auto recordblock = [&]() {
    if (blocks == startblocks) {
      wrap.firstlo = blocklo;
      wrap.firsthi = blockhi;
      return;
    }
    if (blocklo > blockhi)
      return;
    if (seenlo > seenhi) {
      wrap.below = blockhi > wrap.below ? blockhi : wrap.below;
      wrap.above = blocklo < wrap.above ? blocklo : wrap.above;
      return;
    }
    if (blocklo < seenlo) {
      int64_t b = blockhi < seenlo - 1 ? blockhi : seenlo - 1;
      wrap.below = b > wrap.below ? b : wrap.below;
    }
    if (blockhi > seenhi) {
      int64_t a = blocklo > seenhi + 1 ? blocklo : seenhi + 1;
      wrap.above = a < wrap.above ? a : wrap.above;
    }
  };
  auto endblock = [&]() {
    recordblock();
    blocks++;
    if (blocklo > blockhi)
      return; // no field: nothing to watch for
    seenlo = blocklo < seenlo ? blocklo : seenlo;
    seenhi = blockhi > seenhi ? blockhi : seenhi;
    blocklo = INT64_MAX;
    blockhi = INT64_MIN;
    if (!warned) {
      watchlo = static_cast<uint64_t>(seenlo);
      watchspan = static_cast<uint64_t>(seenhi) - static_cast<uint64_t>(seenlo);
    }
  };
  auto oneol = [&]() __attribute__((always_inline)) {
    if (!atstart) {
      int64_t first = STRIP ? (RMODE ? brow : bcol) : firstat;
      blocklo = first < blocklo ? first : blocklo;
      blockhi = lastat > blockhi ? lastat : blockhi;
    }
    if (lines + 1 >= blen) {
      endblock();
      lines = 0;
      if (RMODE) {
        bcol = scol;
        brow = satadd(brow, rstep);
      } else {
        brow = srow;
        bcol = satadd(bcol, cstep);
      }
    } else {
      lines++;
      if (RMODE)
        bcol = satadd(bcol, cstep);
      else
        brow = satadd(brow, rstep);
    }
    row = brow;
    col = bcol;
    atstart = true;
    // The row's text is kept up to date here and at a delimiter in row
    // mode, so that the cell writer need not ask.
    if (row != r.row)
      nextrowtext(r, row);
  };

  // A full buffer is written out before the next token is read: a failed
  // write ends the run there.
  auto field = [&](int label, const char *text, int len, int frac,
                   int cut) __attribute__((always_inline)) {
    onfield(label, text, len, frac, cut);
    if (o >= olimit) [[unlikely]] {
      out.len = static_cast<size_t>(o - out.buf);
      if (!out.flush()) {
        status = 1; // the caller reports it; reading on would be waste
        return false;
      }
      o = out.buf + out.len;
    }
    return true;
  };
  tokenacts acts{field, ondelim, oneol};
  if (sc.read(acts))
    status = 0;

  out.len = static_cast<size_t>(o - out.buf);
  // A line without its newline ends the input; its fields belong to the
  // block like a whole line's.
  if (!atstart) {
    int64_t first = STRIP ? (RMODE ? brow : bcol) : firstat;
    blocklo = first < blocklo ? first : blocklo;
    blockhi = lastat > blockhi ? lastat : blockhi;
  }
  recordblock();
  wrap.ends = blocks - startblocks;
  state = {brow, bcol, lines, blocks, blocklo, blockhi, seenlo, seenhi, warned};
  return status;
}

// A fatal allocation error: what was converted reaches the reader before
// the message does.
static void onfault(void *ctx, const char *msg) {
  auto *c = static_cast<std::pair<output *, errsink *> *>(ctx);
  c->first->flush();
  c->second->printf("%s\n", msg);
  exit(1);
}

int conversion::runpart() {
  return set.rowmode ? (set.stripdelims ? runloop<true, true>() : runloop<true, false>())
                     : (set.stripdelims ? runloop<false, true>() : runloop<false, false>());
}

int conversion::run() {
  std::pair<output *, errsink *> sinks{&out, &err};
  qelonfault(onfault, &sinks);
  int status = 1;
  if (table.widentable(TBL_NEW, 0)) {
    status = runpart();
    if (status == 0) {
      if (!set.noformat)
        table.formatsummary(out);
      // Standard output first, so the diagnostic is the last thing said.
      if (!out.flush()) {
        status = 1;
      } else if (sc.in.inerror) {
        err.printf("%s: read error: %s\n", set.invokedas, strerror(sc.in.inerror));
        status = 1;
      }
    }
  }
  qelonfault(nullptr, nullptr);
  return status;
}
