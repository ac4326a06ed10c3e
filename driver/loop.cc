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
#include "driver/loop.h"

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
    errprintf("coltoa: invalid col: %lld", static_cast<long long>(col));
    return strcpy(colname, "??");
  }
  namecol(col, colname);
  return colname;
}

namespace {
struct prefix {
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

// By kind (TOK_NUMBER, TOK_LABEL) and column.
static prefix prefixes[3][MAXCOLS];
static rowtext lastrow;

void loopprepare() {
  static const char *const cmd[3] = {"", "let ", nullptr};
  for (int kind = TOK_NUMBER; kind <= TOK_LABEL; kind++) {
    const char *c = cmd[kind] ? cmd[kind] : leftjust ? "leftstring " : "rightstring ";
    for (int col = 0; col < MAXCOLS; col++) {
      prefix &p = prefixes[kind][col];
      memset(p.text, 0, sizeof p.text);
      strcpy(p.text, c);
      size_t n = strlen(c);
      p.len = static_cast<int>(n) + namecol(col, p.text + n);
    }
  }
  makerowtext(lastrow, 0);
}


// The worst case: the longest prefix, row and field, and the fixed-size
// copies that run past them.
static_assert(OUTSLACK >= 16 + sizeof(rowtext::text) + FIELDMAX + 32 + 2);

// Writes the command for a field at o, which has OUTSLACK bytes of room;
// returns the end of what it wrote.
[[gnu::always_inline]] static inline char *putcell(char *o, int kind, int64_t col, int64_t row,
                                                   const char *text, int len, rowtext &r) {
  if (col >= 0 && col < MAXCOLS) [[likely]] {
    const prefix &p = prefixes[kind][col];
    memcpy(o, p.text, sizeof p.text);
    o += p.len;
  } else {
    // coltoa writes its diagnostic each time the name is formed.
    const char *cmd = kind == TOK_NUMBER ? "let " : leftjust ? "leftstring " : "rightstring ";
    size_t n = strlen(cmd);
    memcpy(o, cmd, n);
    memcpy(o + n, coltoa(col), 2);
    o += n + 2;
  }
  if (row != r.row) [[unlikely]]
    nextrowtext(r, row);
  bool label = kind == TOK_LABEL;
  memcpy(o, r.text, sizeof r.text);
  o += r.len + label;
  if (len < 16) [[likely]]
    memcpy(o, text, 16);
  else
    memcpy(o, text, static_cast<size_t>(len));
  o += len;
  // A label closes its quote; a number's '\n' is written, then passed by.
  memcpy(o, label ? "\"\n" : "\n\n", 2);
  return o + 1 + label;
}

void writecell(int kind, int64_t col, int64_t row) {
  outreserve(OUTSLACK);
  char *o = putcell(outbuf + outlen, kind, col, row, fieldbuf, fieldlen, lastrow);
  outlen = static_cast<size_t>(o - outbuf);
}

int convertloop() {
  loopprepare();
  // The settings, as locals the compiler knows no store can change.
  const int rmode = rowmode, strip = stripdelims;
  const int64_t srow = startrow, scol = startcol, rstep = rowstep, cstep = colstep,
                blen = blocklen;

  int64_t brow = srow, bcol = scol, roff = 0, coff = 0, lines = 0;
  // The cell of the next field, kept as it moves rather than added up for
  // every field; the same sums, since an offset only grows by one.
  int64_t row = srow, col = scol;
  bool atstart = true; // fresh
  scanpos s = scanat;
  fieldref f;
  rowtext r;
  makerowtext(r, row);
  char *o = outbuf + outlen, *const olimit = outbuf + OUTCAP;
  int status = -1;

  while (status < 0) {
    int tok = scantoken(s, f);
    switch (tok) {
    case TOK_NUMBER:
    case TOK_LABEL: {
      o = putcell(o, tok, col, row, f.text, f.len, r);
      if (f.cut) [[unlikely]]
        errprintf("Field cut to 999 bytes: %s%lld\n", coltoa(col), static_cast<long long>(row));
      // A fatal allocation error in the table flushes what was converted.
      outlen = static_cast<size_t>(o - outbuf);
      bookcell(col, tok, f.len, f.frac);
      atstart = false;
      if (o >= olimit) [[unlikely]] {
        outlen = static_cast<size_t>(o - outbuf);
        if (!flushout())
          status = 1; // the caller reports it; reading on would be waste
        o = outbuf + outlen;
      }
      break;
    }
    case TOK_DELIM:
      if (atstart && strip)
        break;
      if (rmode) {
        roff++;
        row = satadd(row, 1);
      } else {
        coff++;
        col = satadd(col, 1);
      }
      break;
    case TOK_EOL:
      if (lines + 1 >= blen) {
        lines = 0;
        if (rmode) {
          bcol = scol;
          brow = satadd(brow, rstep);
        } else {
          brow = srow;
          bcol = satadd(bcol, cstep);
        }
      } else {
        lines++;
        if (rmode)
          bcol = satadd(bcol, cstep);
        else
          brow = satadd(brow, rstep);
      }
      roff = coff = 0;
      row = brow;
      col = bcol;
      atstart = true;
      // Here the change is expected; in the cell writer it would be a
      // surprise at every line's first cell.
      if (row != r.row)
        nextrowtext(r, row);
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
  rowoff = roff;
  coloff = coff;
  linecount = lines;
  fresh = atstart;
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
