// The conversion loop and the cell commands.
//
// The cost of this program is per field, and most of it is assembling each
// command, so what repeats is made once: every column's command prefix
// ("let B", "rightstring B") when the loop starts, and the row's text
// ("12 = \"") when the row changes. A command is then a few fixed-size
// copies into the output buffer, which has room past its end for them.
// The loop keeps its position, the read position and the output position
// in locals, so they stay in registers; the process-wide copies are
// brought up to date when the loop ends.
//
// Most tokens are read a window of bytes at a time (scanwindow): one pass
// of bit operations finds every field, run and line end the window holds
// and classifies its fields, and only what the window cannot finish goes
// through the token reader. Both ways end in the same actions per token.
#include "driver/loop.h"

#include <bit>
#include <cstring>

#include "driver/output.h"
#include "driver/settings.h"
#include "scan/scan.h"
#include "scan/scanner.h"
#include "table/table.h"

static int64_t satadd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

// The letters of a column from 0 to 701, NUL-terminated; returns their count.
static int namecol(int64_t col, char *name) {
  if (col < 26) {
    name[0] = static_cast<char>('A' + col);
    name[1] = '\0';
    return 1;
  }
  name[0] = static_cast<char>('A' + col / 26 - 1);
  name[1] = static_cast<char>('A' + col % 26);
  name[2] = '\0';
  return 2;
}

static char colname[3];

const char *coltoa(int64_t col) {
  if (col < 0 || col >= MAXCOLS) {
    errprintf("coltoa: invalid col: %lld\n", static_cast<long long>(col));
    return strcpy(colname, "??");
  }
  namecol(col, colname);
  return colname;
}

namespace {
// 32 bytes, so that finding one is a shift, not a multiplication.
struct alignas(32) prefix {
  char text[16]; // "rightstring ZZ" is the longest
  int len;
};

// "<row> = \"": a number's command takes all but the quote.
struct rowtext {
  char text[32];
  int len; // without the quote
  int64_t row;
};
} // namespace

static void makerowtext(rowtext &r, int64_t row) {
  memset(r.text, 0, sizeof r.text);
  char digits[24];
  int n = 0;
  // Negate through unsigned so INT64_MIN has a value too.
  uint64_t v = row < 0 ? 0 - static_cast<uint64_t>(row) : static_cast<uint64_t>(row);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  char *o = r.text;
  if (row < 0)
    *o++ = '-';
  while (n)
    *o++ = digits[--n];
  memcpy(o, " = \"", 4);
  r.len = static_cast<int>(o - r.text) + 3;
  r.row = row;
}

// The row one below is the common change: count up in the text itself.
static void nextrowtext(rowtext &r, int64_t row) {
  if (row <= 0 || row - 1 != r.row) {
    makerowtext(r, row);
    return;
  }
  int i = r.len - 4; // the last digit
  while (i >= 0 && r.text[i] == '9')
    r.text[i--] = '0';
  if (i < 0) {
    makerowtext(r, row); // one digit more
    return;
  }
  r.text[i]++;
  r.row = row;
}

// By column and kind (TOK_NUMBER, TOK_LABEL, less one).
static prefix prefixes[MAXCOLS][2];
static rowtext lastrow;

static void makeprefixes() {
  static const char *const cmd[3] = {"", "let ", nullptr};
  for (int kind = TOK_NUMBER; kind <= TOK_LABEL; kind++) {
    const char *c = cmd[kind] ? cmd[kind] : leftjust ? "leftstring " : "rightstring ";
    for (int col = 0; col < MAXCOLS; col++) {
      prefix &p = prefixes[col][kind - TOK_NUMBER];
      memset(p.text, 0, sizeof p.text);
      strcpy(p.text, c);
      size_t n = strlen(c);
      p.len = static_cast<int>(n) + namecol(col, p.text + n);
    }
  }
}

void loopprepare() {
  // The prefixes follow the justification (-L). The tests and the fuzzer
  // run the converter many times, now with -L, now without: each
  // justification's table is made once, and kept while the other is in
  // use. The program makes one, as it always did.
  static int madefor = -1;
  static prefix kept[2][MAXCOLS][2];
  static bool iskept[2];
  int left = leftjust ? 1 : 0;
  if (madefor != left) {
    if (madefor >= 0 && !iskept[madefor]) {
      memcpy(kept[madefor], prefixes, sizeof prefixes);
      iskept[madefor] = true;
    }
    if (iskept[left])
      memcpy(prefixes, kept[left], sizeof prefixes);
    else
      makeprefixes();
    madefor = left;
  }
  makerowtext(lastrow, 0);
}

// The worst case: the longest prefix, row and field, and the fixed-size
// copies that run past them.
static_assert(OUTSLACK >= 16 + sizeof(rowtext::text) + FIELDMAX + 32 + 2);

// The command's name and cell, "let B" or "rightstring B", at o.
[[gnu::always_inline]] static inline char *putname(char *o, int kind, int64_t col) {
  if (col >= 0 && col < MAXCOLS) [[likely]] {
    const prefix &p = prefixes[col][kind - TOK_NUMBER];
    memcpy(o, p.text, sizeof p.text);
    return o + p.len;
  }
  // coltoa writes its diagnostic each time the name is formed.
  const char *cmd = kind == TOK_NUMBER ? "let " : leftjust ? "leftstring " : "rightstring ";
  size_t n = strlen(cmd);
  memcpy(o, cmd, n);
  memcpy(o + n, coltoa(col), 2);
  return o + n + 2;
}

// The rest of the command at o, after the name: the row (r is its text),
// the field's text and the line's end. Returns the end of what it wrote;
// the copies run up to 32 bytes past it.
[[gnu::always_inline]] static inline char *putbody(char *o, int label, const char *text, int len,
                                                   const rowtext &r) {
  // Rows below 10^12 fit the first half.
  memcpy(o, r.text, 16);
  if (r.len >= 16) [[unlikely]]
    memcpy(o + 16, r.text + 16, sizeof r.text - 16);
  o += r.len + label;
  if (len < 16) [[likely]]
    memcpy(o, text, 16);
  else
    memcpy(o, text, static_cast<size_t>(len));
  o += len;
  // A label closes its quote; a number's '\n' is written, then passed by.
  // Both bytes in one store, as a number whose first byte in memory is the
  // quote or the newline: stores are much of what a command costs.
  constexpr unsigned firstbyte = std::endian::native == std::endian::little ? 1 : 0x100;
  uint16_t tail = static_cast<uint16_t>('\n' * 0x101 + label * ('"' - '\n') * firstbyte);
  memcpy(o, &tail, 2);
  return o + 1 + label;
}

void writecell(int kind, int64_t col, int64_t row) {
  outreserve(OUTSLACK);
  if (row != lastrow.row)
    nextrowtext(lastrow, row);
  char *o = putname(outbuf + outlen, kind, col);
  o = putbody(o, kind == TOK_LABEL, fieldbuf, fieldlen, lastrow);
  outlen = static_cast<size_t>(o - outbuf);
}

// The loop, made once for each way the delimiters and the layout can be
// set, so that no field asks which it is. Returns 0 at the end of input,
// 1 when standard output failed.
template <bool RMODE, bool STRIP> static int runloop() {
  // The settings, as locals the compiler knows no store can change.
  const int64_t srow = startrow, scol = startcol, rstep = rowstep, cstep = colstep,
                blen = blocklen;

  int64_t brow = baserow, bcol = basecol, lines = linecount;
  // The cell of the next field, kept as it moves rather than added up for
  // every field from the line's first cell and the moves within the line
  // (the same sums, since a move is one place). The moves are told apart
  // again only when the loop ends.
  int64_t row = satadd(brow, rowoff), col = satadd(bcol, coloff);
  bool atstart = fresh;
  scanpos s = scanat;
  fieldref f;
  rowtext r;
  makerowtext(r, row);
  char *o = outbuf + outlen, *const olimit = outbuf + outcap;
  // The table's arrays and the columns below the last, which a cell can
  // be recorded in without asking the table: brought up to date whenever
  // the table has been asked.
  colstat *cs = colstats;
  uint64_t fastcols = static_cast<uint64_t>(tablefastcols());
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
    errprintf("%s: line %lld: the layout wraps onto cells already written; see -n\n", invokedas,
              static_cast<long long>(line));
  };

  auto reportcut = [&]() __attribute__((always_inline)) {
    errprintf("Field cut to 999 bytes: %s%lld\n", coltoa(col), static_cast<long long>(row));
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
      const prefix &p = prefixes[col][label];
      memcpy(o, p.text, sizeof p.text);
      o = putbody(o + p.len, label, text, len, r);
      if (cut) [[unlikely]]
        reportcut();
      recordcell(cs[col], label ^ 1, len, frac);
    } else {
      o = putbody(putname(o, kind, col), label, text, len, r);
      if (cut) [[unlikely]]
        reportcut();
      // A fatal allocation error in the table flushes what was converted.
      outlen = static_cast<size_t>(o - outbuf);
      bookcell(col, kind, len, frac);
      cs = colstats;
      fastcols = static_cast<uint64_t>(tablefastcols());
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
      outlen = static_cast<size_t>(o - outbuf);
      if (!flushout())
        status = 1; // the caller reports it; reading on would be waste
      o = outbuf + outlen;
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
      scanwindow(p, lim, w);
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

    int tok = scantoken(s, f);
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

  scanat = s;
  outlen = static_cast<size_t>(o - outbuf);
  baserow = brow;
  basecol = bcol;
  // A saturated position moves no more, so it tells no more moves.
  rowoff = RMODE ? row - brow : 0;
  coloff = RMODE ? 0 : col - bcol;
  linecount = lines;
  fresh = atstart;
  return status;
}

int convertloop() {
  loopprepare();
  baserow = startrow;
  basecol = startcol;
  rowoff = coloff = linecount = 0;
  fresh = 1;
  int status = rowmode ? (stripdelims ? runloop<true, true>() : runloop<true, false>())
                       : (stripdelims ? runloop<false, true>() : runloop<false, false>());
  if (status > 0)
    return status;

  if (!noformat)
    formatsummary();
  // Standard output first, so the diagnostic is the last thing said.
  if (!flushout())
    return 1;
  if (inerror) {
    errprintf("%s: read error: %s\n", invokedas, strerror(inerror));
    return 1;
  }
  return 0;
}
