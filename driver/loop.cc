// The conversion loop and the cell commands.
//
// The cost of this program is per field, and most of it is assembling each
// command, so what repeats is made once: every column's command prefix
// ("let B", "rightstring B") when the loop starts, and the row's text
// (" 12 = \"") when the row changes. A command is then a few fixed-size
// copies into the output buffer, which has room past its end for them.
#include "driver/loop.h"

#include <cstring>

#include "driver/output.h"
#include "driver/settings.h"
#include "scan/scan.h"
#include "table/table.h"

static int64_t satadd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

static char colname[3];

const char *coltoa(int64_t col) {
  if (col < 0 || col >= MAXCOLS) {
    errprintf("coltoa: invalid col: %lld", static_cast<long long>(col));
    return strcpy(colname, "??");
  }
  if (col < 26) {
    colname[0] = static_cast<char>('A' + col);
    colname[1] = '\0';
  } else {
    colname[0] = static_cast<char>('A' + col / 26 - 1);
    colname[1] = static_cast<char>('A' + col % 26);
    colname[2] = '\0';
  }
  return colname;
}

namespace {
struct prefix {
  char text[16]; // "rightstring ZZ" is the longest
  int len;
};
} // namespace

static prefix letpre[MAXCOLS], labpre[MAXCOLS];

// " <row> = \"": a number's command takes all but the quote.
static char rowtext[32];
static int rowtextlen; // without the quote
static int64_t rowcached;
static bool rowvalid;

void loopprepare() {
  const char *lab = leftjust ? "leftstring " : "rightstring ";
  for (int c = 0; c < MAXCOLS; c++) {
    char name[3];
    if (c < 26) {
      name[0] = static_cast<char>('A' + c);
      name[1] = '\0';
    } else {
      name[0] = static_cast<char>('A' + c / 26 - 1);
      name[1] = static_cast<char>('A' + c % 26);
      name[2] = '\0';
    }
    memset(&letpre[c], 0, sizeof letpre[c]);
    memset(&labpre[c], 0, sizeof labpre[c]);
    strcpy(letpre[c].text, "let ");
    strcat(letpre[c].text, name);
    letpre[c].len = static_cast<int>(strlen(letpre[c].text));
    strcpy(labpre[c].text, lab);
    strcat(labpre[c].text, name);
    labpre[c].len = static_cast<int>(strlen(labpre[c].text));
  }
  rowvalid = false;
}

static void makerowtext(int64_t row) {
  char digits[24];
  int n = 0;
  // Negate through unsigned so INT64_MIN has a value too.
  uint64_t v = row < 0 ? 0 - static_cast<uint64_t>(row) : static_cast<uint64_t>(row);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  char *o = rowtext;
  if (row < 0)
    *o++ = '-';
  while (n)
    *o++ = digits[--n];
  memcpy(o, " = \"", 4);
  rowtextlen = static_cast<int>(o - rowtext) + 3;
  rowcached = row;
  rowvalid = true;
}

// The worst case: the longest prefix, row and field, and the fixed-size
// copies that run past them.
static_assert(OUTSLACK >= 16 + sizeof rowtext + FIELDMAX + 32 + 2);

void writecell(int kind, int64_t col, int64_t row) {
  outreserve(OUTSLACK);
  char *o = outbuf + outlen;
  if (col >= 0 && col < MAXCOLS) {
    const prefix &p = kind == TOK_NUMBER ? letpre[col] : labpre[col];
    memcpy(o, p.text, sizeof p.text);
    o += p.len;
  } else {
    // coltoa writes its diagnostic each time the name is formed.
    const char *cmd = kind == TOK_NUMBER ? "let " : leftjust ? "leftstring " : "rightstring ";
    size_t n = strlen(cmd);
    memcpy(o, cmd, n);
    o += n;
    memcpy(o, coltoa(col), 2);
    o += 2;
  }
  if (!rowvalid || row != rowcached)
    makerowtext(row);
  memcpy(o, rowtext, sizeof rowtext);
  o += rowtextlen + (kind == TOK_LABEL);
  if (fieldlen <= 32)
    memcpy(o, fieldbuf, 32);
  else
    memcpy(o, fieldbuf, static_cast<size_t>(fieldlen));
  o += fieldlen;
  if (kind == TOK_LABEL) {
    memcpy(o, "\"\n", 2);
    o += 2;
  } else {
    *o++ = '\n';
  }
  outlen = static_cast<size_t>(o - outbuf);
}

static void endline() {
  if (linecount + 1 >= blocklen) {
    linecount = 0;
    if (rowmode) {
      basecol = startcol;
      baserow = satadd(baserow, rowstep);
    } else {
      baserow = startrow;
      basecol = satadd(basecol, colstep);
    }
  } else {
    linecount++;
    if (rowmode)
      basecol = satadd(basecol, colstep);
    else
      baserow = satadd(baserow, rowstep);
  }
  rowoff = coloff = 0;
  fresh = 1;
}

int convertloop() {
  baserow = startrow;
  basecol = startcol;
  rowoff = coloff = linecount = 0;
  fresh = 1;
  loopprepare();
  for (;;) {
    int tok = nexttoken();
    switch (tok) {
    case TOK_NUMBER:
    case TOK_LABEL: {
      int64_t row = satadd(baserow, rowoff);
      int64_t col = satadd(basecol, coloff);
      writecell(tok, col, row);
      if (fieldcut)
        errprintf("Field cut to 999 bytes: %s%lld\n", coltoa(col),
                  static_cast<long long>(row));
      bookcell(col, tok, fieldbuf, fieldlen);
      fresh = 0;
      if (outerror)
        return 1; // the caller reports it; reading on would be waste
      break;
    }
    case TOK_DELIM:
      if (fresh && stripdelims)
        break;
      if (rowmode)
        rowoff = satadd(rowoff, 1);
      else
        coloff = satadd(coloff, 1);
      break;
    case TOK_EOL:
      endline();
      break;
    default: // TOK_EOF
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
  }
}
