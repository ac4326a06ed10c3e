// The conversion loop.
//
// The cost of this program is per field, and most of it is assembling each
// command (convert/cells.h). The loop keeps its position, the read
// position and the output position in locals, so they stay in registers.
//
// Most tokens are read a window of bytes at a time (scanwindow): one pass
// of bit operations finds every field, run and line end the window holds
// and classifies its fields, and only what the window cannot finish goes
// through the token reader. Both ways end in the same actions per token.
#include "convert/conversion.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/qelmalloc.h"
#include "convert/cells.h"
#include "scan/scanner.h"

static int64_t satadd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

conversion::conversion(const settings &s, output &o, errsink &e)
    : sc(s), table(e), set(s), out(o), err(e) {
  sc.in.setfd(0);
}

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
  int64_t brow = srow, bcol = scol, lines = 0;
  // The cell of the next field, kept as it moves rather than added up for
  // every field from the line's first cell and the moves within the line
  // (the same sums, since a move is one place).
  int64_t row = brow, col = bcol;
  bool atstart = true; // no field yet in the line (fresh)
  scanpos s = sc.in.at;
  fieldref f;
  rowtext r;
  makerowtext(r, row);
  char *o = out.buf + out.len, *const olimit = out.buf + out.cap;
  // The table's arrays and the columns below the last, which a cell can
  // be recorded in without asking the table: brought up to date whenever
  // the table has been asked.
  colstat *cs = table.colstats;
  uint64_t fastcols = static_cast<uint64_t>(table.fastcols());
  int status = -1;
  // Long fields go to the token reader, which finds their ends a block
  // at a time: once the window stops at a field already too long for the
  // token reader's fast look, or the token reader has just read one, the
  // token reader goes on until it reads a short field again, rather than
  // a window being made and dropped at every long field.
  bool longnext = false;

  // The layout's wrap: once a block ends, the place a field goes along
  // the line (its column, or its row in row mode) is watched for landing
  // between the least and the greatest place that fields of earlier
  // blocks went, which is said once a run. Per field that costs one
  // compare; the ranges are kept up to date at line ends.
  int64_t blocks = 0;                            // blocks finished
  int64_t blocklo = INT64_MAX, blockhi = INT64_MIN; // the current block's
  int64_t seenlo = INT64_MAX, seenhi = INT64_MIN;   // earlier blocks'
  int64_t firstat = 0, lastat = 0; // places of the line's first and last field
  // Nothing is watched while watchspan is 0 and watchlo a place no field
  // can be in for long; a field there only asks whether to say it.
  constexpr uint64_t unwatched = uint64_t{1} << 63 | 1;
  uint64_t watchlo = unwatched, watchspan = 0;
  bool warned = false;
  auto checkwrap = [&]() __attribute__((noinline, cold)) {
    if (warned || seenlo > seenhi)
      return; // the unwatched place, not a place of earlier blocks
    warned = true;
    watchlo = unwatched;
    watchspan = 0;
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
  auto endblock = [&]() {
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
  auto makeroom = [&]() __attribute__((always_inline)) {
    if (o >= olimit) [[unlikely]] {
      out.len = static_cast<size_t>(o - out.buf);
      if (!out.flush())
        status = 1; // the caller reports it; reading on would be waste
      o = out.buf + out.len;
    }
  };

  while (status < 0) {
    // Most tokens are short and lie wholly inside the block: they are
    // read a window at a time, every token the window holds in one pass.
    // The window stops before a token it cannot see the end of, which the
    // token reader then takes on, if the window has not moved on at all.
    if (!s.runend && s.pos < s.end && !longnext) {
      size_t avail = static_cast<size_t>(s.end - s.pos);
      unsigned lim = avail < WINDOW ? static_cast<unsigned>(avail) : WINDOW;
      const unsigned char *p = s.pos;
      windowbits w;
      scanwindow(sc.cls, p, lim, w);
      const uint64_t notfield = w.end | w.qstart;
      unsigned i = 0;
      for (;;) {
        uint64_t b = uint64_t{1} << i;
        if (!(notfield & b)) {
          windowfield wf = fieldat(w, i);
          if (wf.end >= lim) {
            longnext = lim - i >= 16;
            break;
          }
          int label = wf.num ^ 1;
          __asm__("" : "+r"(label)); // no copy of what follows per kind
          onfield(label, reinterpret_cast<const char *>(p + i), static_cast<int>(wf.end - i),
                  wf.frac, 0);
          i = wf.end;
          // A full buffer is written out before the next field is read, as
          // it would be token by token: a failed write ends the run there.
          if (o >= olimit) [[unlikely]]
            break;
          b = uint64_t{1} << i;
          // Mostly a delimiter follows, and it moves on: a field was just
          // written, so the line has begun.
          if (!(w.nl & b)) {
            unsigned k = runat(w, i);
            if (k >= lim)
              break; // the run may go on past the window
            move();
            i = k;
            continue;
          }
        } else if (w.qstart & b) {
          unsigned q = quoteat(w, i);
          if (q >= lim) {
            longnext = lim - i >= 16;
            break;
          }
          onfield(1, reinterpret_cast<const char *>(p + i + 1),
                  static_cast<int>(q - i - 1), 0, 0);
          i = q + (p[q] == '"'); // the closing quote is consumed
          // A field right after the closing quote does not begin after a
          // delimiter, as the window's fields do: a new window begins it.
          if (!(notfield >> i & 1) || o >= olimit)
            break;
          continue;
        } else if (i >= lim) {
          break;
        }
        if (w.nl & b) {
          oneol();
          i++;
          continue;
        }
        unsigned k = runat(w, i);
        if (k >= lim)
          break; // the run may go on past the window
        ondelim();
        i = k;
      }
      s.pos = p + i;
      makeroom();
      if (i > 0)
        continue;
    }

    int tok = scantoken(sc, s, f);
    switch (tok) {
    case TOK_NUMBER:
    case TOK_LABEL:
      onfield(tok == TOK_LABEL, f.text, f.len, f.frac, f.cut);
      longnext = f.len >= 16;
      makeroom();
      break;
    case TOK_DELIM:
      ondelim();
      break;
    case TOK_EOL:
      oneol();
      break;
    default: // TOK_EOF
      status = 0;
      break;
    }
  }

  sc.in.at = s;
  out.len = static_cast<size_t>(o - out.buf);
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

int conversion::run() {
  std::pair<output *, errsink *> sinks{&out, &err};
  qelonfault(onfault, &sinks);
  int status = 1;
  if (table.widentable(TBL_NEW, 0)) {
    status = set.rowmode ? (set.stripdelims ? runloop<true, true>() : runloop<true, false>())
                         : (set.stripdelims ? runloop<false, true>() : runloop<false, false>());
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
