// The cell commands, assembled from parts made once: every column's
// command prefix ("let B", "rightstring B") is a constant, and the row's
// text ("12 = \"") is made when the row changes. A command is then a few
// fixed-size copies into the output block, which has room past its end
// for them.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/output.h"
#include "scan/scan.h"
#include "table/colname.h"

// 32 bytes, so that finding one is a shift, not a multiplication.
struct alignas(32) prefix {
  char text[16]; // "rightstring ZZ" is the longest
  int len;
};

// By column and kind (TOK_NUMBER, TOK_LABEL, less one).
struct prefixtable {
  prefix p[MAXCOLS][2];
};

constexpr prefixtable makeprefixes(bool leftjust) {
  prefixtable t{};
  for (int kind = 0; kind < 2; kind++) {
    const char *cmd = kind == 0 ? "let " : leftjust ? "leftstring " : "rightstring ";
    for (int col = 0; col < MAXCOLS; col++) {
      prefix &p = t.p[col][kind];
      int n = 0;
      while (cmd[n]) {
        p.text[n] = cmd[n];
        n++;
      }
      p.len = n + namecol(col, p.text + n);
    }
  }
  return t;
}

// Made by the compiler, so a run pays nothing for them and touches only
// the columns it writes.
inline constexpr prefixtable rightprefixes = makeprefixes(false);
inline constexpr prefixtable leftprefixes = makeprefixes(true);

// "<row> = \"": a number's command takes all but the quote.
struct rowtext {
  char text[32];
  int len; // without the quote
  int64_t row;
};

inline void makerowtext(rowtext &r, int64_t row) {
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
inline void nextrowtext(rowtext &r, int64_t row) {
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

// The worst case: the longest prefix, row and field, and the fixed-size
// copies that run past them.
static_assert(OUTSLACK >= 16 + sizeof(rowtext::text) + FIELDMAX + 32 + 2);

// The command's name and cell, "let B" or "rightstring B", at o.
// Outside A..ZZ coltoa says so each time the name is formed.
[[gnu::always_inline]] inline char *putname(char *o, const prefixtable &pt, int kind, int64_t col,
                                            errsink &err) {
  if (col >= 0 && col < MAXCOLS) [[likely]] {
    const prefix &p = pt.p[col][kind - TOK_NUMBER];
    memcpy(o, p.text, sizeof p.text);
    return o + p.len;
  }
  // The command as column A has it, less the name.
  const prefix &p = pt.p[0][kind - TOK_NUMBER];
  size_t n = static_cast<size_t>(p.len) - 1;
  memcpy(o, p.text, n);
  memcpy(o + n, coltoa(col, err).text, 2);
  return o + n + 2;
}

// The rest of the command at o, after the name: the row (r is its text),
// the field's text and the line's end. Returns the end of what it wrote;
// the copies run up to 32 bytes past it.
[[gnu::always_inline]] inline char *putbody(char *o, int label, const char *text, int len,
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

