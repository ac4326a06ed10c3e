// The whole converter in-process under the fuzzer. The first bytes of an
// input choose the command line and the faults, the rest is standard input:
//
//   byte 0   flags: 1 -r, 2 -f, 4 -L, 8 -k, 16 -S, 32 -P, 64 -d, 128 -s
//   byte 1   the -d byte; 0 gives an empty argument, so that only NUL
//            delimits
//   byte 2-4 -R, -C, -n: 0 leaves the option out, else a value (pick())
//   byte 5   length of the -s text (0-7, low 3 bits), which follows the
//            header; its high 3 bits 011: the run on worker threads too
//   byte 6   the faulty run's input block size (inblocksize())
//   byte 7   its output block size (outblocksize())
//   byte 8   lengths of its read script (low 4 bits) and write script
//            (high 4 bits), which follow the -s text in that order
//   byte 9   the read call that fails (callno(); 0: none)
//   byte 10  the write call that fails (callno(); 0: none)
//   byte 11  how they fail: an errno each (low 4 bits the read's, high 4
//            the write's, from the table errnos)
//
// Each input is converted in one block, then with input blocks of 64, 65
// and 4096 bytes (each size the input reaches), then, for one input in
// eight, on two worker threads in pieces of 1 to 569 bytes, and the
// results must be identical, and identical to a plain byte-by-byte model of the
// conversion written from the rules rather than from the program. The
// output must also hold up on its own: every line one of the four command
// forms with a valid cell name, and a summary naming only columns that got
// a field. Then it is converted once more through stand-ins for the read
// and write calls that follow the scripts: short transfers, EINTR, EAGAIN
// and a failure at a chosen call, with input and output blocks of chosen
// sizes: for half the values of its byte, an input block of 1 to 9 bytes.
// Whatever was read before a failure must be converted and written, each
// byte once and in order, the failure reported once, and the status 1.
// With faulty writes such an input is also converted from memory on one
// thread and on two: the writes and the messages must be the same.
// Any failure prints what differed and aborts.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/output.h"
#include "base/sysio.h"
#include "driver/txt2sheet.h"
#include "scan/scan.h"

namespace {

constexpr size_t HEADER = 12;
constexpr int MAXCOLS = 702;
constexpr size_t FIELDMAX = 999;

struct modelset {
  bool rowmode = false, noformat = false, leftjust = false, strip = true;
  bool allstrings = false, plainnums = false;
  int delim1 = ' ', delim2 = '\t';
  int64_t startcol = 0, startrow = 0;
  int64_t rowstep = 1, colstep = 1, blocklen = 20000;
};

struct result {
  int status;
  std::string out, err;
};

[[noreturn]] void fail(const char *what, std::string_view detail = {}) {
  fprintf(stderr, "\nINVARIANT: %s\n", what);
  if (!detail.empty())
    fprintf(stderr, "  at: %.*s\n", static_cast<int>(detail.size()), detail.data());
  abort();
}

bool isdigitb(unsigned char c) { return c >= '0' && c <= '9'; }
bool isletterb(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The numeric option values worth trying: the edges of 32 bits, beyond
// them, atoi's leniencies, and the columns where the table changes.
std::string pick(unsigned char v) {
  static const char *const special[] = {
      "0",          "1",           "2",           "-1",         "-2",
      "3",          "26",          "-26",         "29",         "100",
      "700",        "701",         "702",         "20000",      "2147483647",
      "-2147483648", "2147483648", "-2147483649", "99999999999999999999",
      "-99999999999999999999", "  +5x", "\t-3", "x7", "", "-", "+",
  };
  constexpr size_t nspecial = sizeof special / sizeof special[0];
  if (v <= nspecial)
    return special[v - 1];
  return std::to_string(static_cast<int>(v) - 160);
}

// --- The model: how the options read -------------------------------------

int64_t atoiclamped(const std::string &s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
    i++;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    neg = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && isdigitb(static_cast<unsigned char>(s[i])); i++)
    if (v < INT64_C(1) << 40)
      v = v * 10 + (s[i] - '0');
  if (neg)
    v = -v;
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
}

int64_t startcolof(const std::string &s) {
  size_t i = 0;
  while (i < s.size() && !isletterb(static_cast<unsigned char>(s[i])))
    i++;
  if (i == s.size())
    return 0;
  int first = (s[i] & 0x5F) - 'A';
  if (i + 1 < s.size() && isletterb(static_cast<unsigned char>(s[i + 1])))
    return (first + 1) * 26 + ((s[i + 1] & 0x5F) - 'A');
  return first;
}

int64_t startrowof(const std::string &s) {
  size_t i = 0;
  while (i < s.size() && !isdigitb(static_cast<unsigned char>(s[i])))
    i++;
  int64_t v = 0;
  for (; i < s.size() && isdigitb(static_cast<unsigned char>(s[i])); i++)
    v = v * 10 + (s[i] - '0') > INT32_MAX ? INT32_MAX : v * 10 + (s[i] - '0');
  return v;
}

// --- The model: the conversion, one byte at a time ------------------------

struct model {
  const modelset &set;
  std::string in;
  size_t pos = 0;
  std::string field;
  bool cut = false;
  result res{0, {}, {}};
  int tablecols = 30;
  // Per column: the longest label, the widest whole part, the most
  // fraction digits.
  std::vector<int> label = std::vector<int>(MAXCOLS), whole = std::vector<int>(MAXCOLS),
                   prec = std::vector<int>(MAXCOLS);

  model(const modelset &s, std::string_view input) : set(s) {
    // NUL is not input at all while it is no delimiter.
    bool dropnul = s.delim1 != 0 && s.delim2 != 0;
    in.reserve(input.size());
    for (char c : input)
      if (c != 0 || !dropnul)
        in += c;
  }

  bool isdelim(unsigned char c) const { return c == set.delim1 || c == set.delim2; }

  void keep(char c) {
    if (field.size() < FIELDMAX)
      field += c;
    else
      cut = true;
  }

  enum { EOF_, NUMBER, LABEL, DELIM, EOL };

  int number() const {
    if (set.allstrings)
      return LABEL;
    unsigned char c0 = static_cast<unsigned char>(field[0]);
    if (!(isdigitb(c0) || c0 == '+' || c0 == '-' || c0 == '.'))
      return LABEL;
    bool seen = false, last = false;
    for (char ch : field) {
      unsigned char c = static_cast<unsigned char>(ch);
      if (isdigitb(c)) {
        seen = last = true;
      } else if (c == '.') {
      } else if (c == 'e' || c == 'E') {
        if (set.plainnums)
          return LABEL;
      } else if (c == '+' || c == '-') {
        if (set.plainnums)
          return LABEL;
        last = false;
      } else {
        return LABEL;
      }
    }
    return seen && last ? NUMBER : LABEL;
  }

  int token() {
    if (pos == in.size())
      return EOF_;
    unsigned char c = static_cast<unsigned char>(in[pos]);
    if (c == '\n') {
      pos++;
      return EOL;
    }
    if (isdelim(c)) {
      pos++;
      if (set.strip)
        while (pos < in.size() && in[pos] != 0 && in[pos] != '\n' &&
               isdelim(static_cast<unsigned char>(in[pos])))
          pos++;
      return DELIM;
    }
    field.clear();
    cut = false;
    if (c == '"') {
      pos++;
      while (pos < in.size() && in[pos] != '"' && in[pos] != '\n' && in[pos] != 0)
        keep(in[pos++]);
      if (pos < in.size() && in[pos] == '"')
        pos++;
      return LABEL;
    }
    while (pos < in.size() && in[pos] != '\n' && !isdelim(static_cast<unsigned char>(in[pos])))
      keep(in[pos++]);
    return number();
  }

  std::string name(int64_t col) {
    if (col < 0 || col >= MAXCOLS) {
      res.err += "coltoa: invalid col: " + std::to_string(col) + "\n";
      return "??";
    }
    std::string s;
    if (col >= 26)
      s += static_cast<char>('A' + col / 26 - 1);
    s += static_cast<char>('A' + col % 26);
    return s;
  }

  static int64_t sat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
      return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
  }

  void book(int64_t col, int kind) {
    bool refused = col < 0;
    // Growth is asked one column early, but a full table has ZZ.
    if (!refused && col >= tablecols - 1 && !(tablecols == MAXCOLS && col < MAXCOLS)) {
      if (tablecols >= MAXCOLS || col >= MAXCOLS) {
        res.err += "The table can't be any wider\n";
        refused = true;
      } else {
        int64_t want = col > tablecols ? col : tablecols;
        tablecols = static_cast<int>(want > MAXCOLS - 30 ? MAXCOLS - 30 : want) + 30;
      }
    }
    if (refused) {
      std::string n = name(col);
      res.err += "Invalid column used: " + n + "\n";
      return;
    }
    int len = static_cast<int>(field.size());
    size_t c = static_cast<size_t>(col);
    if (kind == LABEL) {
      label[c] = std::max(label[c], len);
      return;
    }
    size_t dot = field.find('.');
    int frac = dot == std::string::npos ? 0 : len - static_cast<int>(dot) - 1;
    whole[c] = std::max(whole[c], len - frac);
    prec[c] = std::max(prec[c], frac);
  }

  result run() {
    int64_t baserow = set.startrow, basecol = set.startcol, rowoff = 0, coloff = 0;
    int64_t linecount = 0, lineno = 1;
    bool fresh = true;
    // The places along the line (columns, or rows in row mode) that fields
    // of earlier blocks and of the current one went to; the wrap is said
    // once.
    int64_t earlierlo = INT64_MAX, earlierhi = INT64_MIN;
    int64_t currentlo = INT64_MAX, currenthi = INT64_MIN;
    bool warned = false;
    for (;;) {
      int t = token();
      if (t == NUMBER || t == LABEL) {
        int64_t row = sat(baserow, rowoff), col = sat(basecol, coloff);
        int64_t at = set.rowmode ? row : col;
        if (!warned && at >= earlierlo && at <= earlierhi) {
          res.err += "txt2sheet: line " + std::to_string(lineno) +
                     ": the layout wraps onto cells already written; see -n\n";
          warned = true;
        }
        currentlo = std::min(currentlo, at);
        currenthi = std::max(currenthi, at);
        // Appended piece by piece: a temporary per command is most of the
        // model's time under the sanitizers' allocator.
        std::string cell = name(col) + std::to_string(row);
        std::string &o = res.out;
        o += t == NUMBER ? "let " : set.leftjust ? "leftstring " : "rightstring ";
        o += cell;
        o += t == NUMBER ? " = " : " = \"";
        o += field;
        o += t == NUMBER ? "\n" : "\"\n";
        if (cut)
          res.err += "Field cut to 999 bytes: " + name(col) + std::to_string(row) + "\n";
        book(col, t);
        fresh = false;
      } else if (t == DELIM) {
        if (fresh && set.strip)
          continue;
        if (set.rowmode)
          rowoff = sat(rowoff, 1);
        else
          coloff = sat(coloff, 1);
      } else if (t == EOL) {
        lineno++;
        if (linecount + 1 >= set.blocklen) {
          earlierlo = std::min(earlierlo, currentlo);
          earlierhi = std::max(earlierhi, currenthi);
          currentlo = INT64_MAX;
          currenthi = INT64_MIN;
          linecount = 0;
          if (set.rowmode) {
            basecol = set.startcol;
            baserow = sat(baserow, set.rowstep);
          } else {
            baserow = set.startrow;
            basecol = sat(basecol, set.colstep);
          }
        } else {
          linecount++;
          if (set.rowmode)
            basecol = sat(basecol, set.colstep);
          else
            baserow = sat(baserow, set.rowstep);
        }
        rowoff = coloff = 0;
        fresh = true;
      } else {
        if (!set.noformat)
          for (int c = 0; c < tablecols; c++) {
            size_t i = static_cast<size_t>(c);
            int width = std::max(label[i], whole[i] + prec[i]);
            if (width != 0)
              res.out += "format " + name(c) + " " + std::to_string(width + 1) + " " +
                         std::to_string(prec[i]) + "\n";
          }
        return res;
      }
    }
  }
};

// --- What the output must look like, whatever the model says ---------------

// A column name A..ZZ or ??; returns its length, 0 if none. *col is -1
// for ??.
size_t colname(std::string_view s, int *col) {
  if (s.substr(0, 2) == "??") {
    *col = -1;
    return 2;
  }
  auto up = [](char c) { return c >= 'A' && c <= 'Z'; };
  if (s.size() >= 2 && up(s[0]) && up(s[1])) {
    *col = (s[0] - 'A' + 1) * 26 + (s[1] - 'A');
    return 2;
  }
  if (!s.empty() && up(s[0])) {
    *col = s[0] - 'A';
    return 1;
  }
  return 0;
}

// A row: a decimal 64-bit number, no leading zero, no "-0". Returns its
// length, 0 if none.
size_t rowtext(std::string_view s) {
  size_t i = s.substr(0, 1) == "-" ? 1 : 0;
  size_t d = i;
  while (d < s.size() && isdigitb(static_cast<unsigned char>(s[d])))
    d++;
  std::string_view digits = s.substr(i, d - i);
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0') || (i && digits == "0"))
    return 0;
  std::string_view limit = i ? "9223372036854775808" : "9223372036854775807";
  if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
    return 0;
  return d;
}

bool isnumbertext(std::string_view f, const modelset &set) {
  if (f.empty())
    return false;
  bool seen = false, last = false;
  for (unsigned char c : f) {
    if (isdigitb(c))
      seen = last = true;
    else if (c == '.')
      ;
    else if ((c == '+' || c == '-') && !set.plainnums)
      last = false;
    else if (!((c == 'e' || c == 'E') && !set.plainnums))
      return false;
  }
  unsigned char c0 = static_cast<unsigned char>(f[0]);
  return seen && last && c0 != 'e' && c0 != 'E';
}

void checkshape(const result &r, const modelset &set) {
  if (r.status != 0)
    fail("exit status is not 0");
  if (!r.out.empty() && r.out.back() != '\n')
    fail("output does not end with a newline");
  auto hasdelim = [&](std::string_view t) {
    for (unsigned char c : t)
      if (c == set.delim1 || c == set.delim2)
        return true;
    return false;
  };
  std::vector<bool> received(MAXCOLS);
  int lastformat = -1;
  size_t start = 0;
  while (start < r.out.size()) {
    size_t nl = r.out.find('\n', start);
    std::string_view line(r.out.data() + start, nl - start);
    start = nl + 1;
    if (line.find('\0') != std::string_view::npos)
      fail("a NUL byte in the output", line);

    if (line.substr(0, 7) == "format ") {
      if (set.noformat)
        fail("a format line under -f", line);
      int col;
      size_t n = colname(line.substr(7), &col);
      if (n == 0 || col < 0)
        fail("format line without a valid column", line);
      if (col <= lastformat)
        fail("format lines not in ascending column order", line);
      if (!received[static_cast<size_t>(col)])
        fail("format line for a column that received no field", line);
      lastformat = col;
      std::string_view rest = line.substr(7 + n);
      int64_t w = -1, p = -1;
      for (int64_t *v : {&w, &p}) {
        size_t k = rest.substr(0, 1) == " " ? rowtext(rest.substr(1)) : 0;
        if (k == 0 || rest[1] == '-' || k > 6)
          fail("format line without a width and precision", line);
        *v = atoll(std::string(rest.substr(1, k)).c_str());
        rest.remove_prefix(k + 1);
      }
      if (!rest.empty() || w < 2 || p >= w)
        fail("format line with a bad width or precision", line);
      continue;
    }
    if (lastformat >= 0)
      fail("a cell command after the summary", line);

    std::string_view word;
    for (std::string_view w : {"let ", "rightstring ", "leftstring "})
      if (line.substr(0, w.size()) == w)
        word = w;
    if (word.empty())
      fail("a line that is no command", line);
    bool isnum = word == "let ";
    if (!isnum && (word == "leftstring ") != set.leftjust)
      fail("a label written with the other justification", line);
    std::string_view rest = line.substr(word.size());
    int col;
    size_t n = colname(rest, &col);
    size_t rn = n ? rowtext(rest.substr(n)) : 0;
    if (n == 0 || rn == 0)
      fail("a cell name that is not a column and a 64-bit row", line);
    rest = rest.substr(n + rn);
    std::string_view eq = isnum ? " = " : " = \"";
    if (rest.substr(0, eq.size()) != eq)
      fail("no \" = \" after the cell", line);
    std::string_view text = rest.substr(eq.size());
    if (!isnum) {
      if (text.empty() || text.back() != '"')
        fail("a label without its closing quote", line);
      text.remove_suffix(1);
    }
    if (text.size() > FIELDMAX)
      fail("a field longer than 999 bytes", line);
    if (isnum) {
      if (set.allstrings || !isnumbertext(text, set) || hasdelim(text))
        fail("a let command whose text is no number", line);
    } else if (!text.empty() && text[0] == '"') {
      fail("a label that begins with a quote", line);
    } else if (text.find('"') != std::string_view::npos && hasdelim(text)) {
      // Unquoted then, since a quoted field ends at its quote; but an
      // unquoted field ends at a delimiter.
      fail("a label with both a quote and a delimiter", line);
    }
    if (col >= 0 && !text.empty())
      received[static_cast<size_t>(col)] = true;
  }

  // Standard error holds nothing but the converter's messages, a line each.
  std::string_view e = r.err;
  while (!e.empty()) {
    static const std::string_view wrap =
        ": the layout wraps onto cells already written; see -n\n";
    if (e.substr(0, 21) == "coltoa: invalid col: ") {
      e.remove_prefix(21);
      size_t k = rowtext(e);
      if (k == 0 || e.substr(k, 1) != "\n")
        fail("coltoa message without a column number", e.substr(0, 40));
      e.remove_prefix(k + 1);
      continue;
    }
    if (e.substr(0, 16) == "txt2sheet: line ") {
      e.remove_prefix(16);
      size_t k = rowtext(e);
      if (k == 0 || e[0] == '-' || e.substr(k, wrap.size()) != wrap)
        fail("wrap message without a line number", e.substr(0, 40));
      e.remove_prefix(k + wrap.size());
      continue;
    }
    static const std::string_view fixed[] = {"The table can't be any wider\n",
                                             "Invalid column used: ",
                                             "Field cut to 999 bytes: "};
    size_t m = 0;
    for (size_t i = 0; i < 3 && m == 0; i++)
      if (e.substr(0, fixed[i].size()) == fixed[i])
        m = i + 1;
    if (m == 0)
      fail("standard error holds something else", e.substr(0, 40));
    e.remove_prefix(fixed[m - 1].size());
    if (m == 1)
      continue;
    int col;
    size_t n = colname(e, &col);
    size_t rn = m == 3 && n ? rowtext(e.substr(n)) : 0;
    if (n == 0 || (m == 3 && rn == 0) || e.substr(n + rn, 1) != "\n")
      fail("a message without its cell", e.substr(0, 40));
    e.remove_prefix(n + rn + 1);
  }
}

// The argument vector for a run: getopt may permute it, so it is laid out
// again from the arguments each time.
struct argvec {
  std::vector<char *> argv;
  char **from(std::vector<std::string> &args) {
    argv.clear();
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv.data();
  }
};
argvec argbuf;

// A conversion in input blocks of `block` bytes (0: the program's 128 KiB)
// into r, whose strings keep their room from run to run.
void convert(std::vector<std::string> &args, std::string_view in, size_t block, result &r) {
  r.out.clear();
  r.err.clear();
  setinputblock(block);
  r.status = txt2sheetmem(static_cast<int>(args.size()), argbuf.from(args), in.data(), in.size(),
                          0, &r.out, &r.err);
  setinputblock(0);
}

// The conversion on worker threads, the input cut into pieces of `piece`
// bytes, so that a small input makes many.
void convertthreads(std::vector<std::string> &args, std::string_view in, size_t piece,
                    result &r) {
  r.out.clear();
  r.err.clear();
  r.status = txt2sheetthreads(static_cast<int>(args.size()), argbuf.from(args), in.data(),
                              in.size(), 0, &r.out, &r.err, 2, piece);
}

void same(const result &a, const result &b, const char *what) {
  if (a.status != b.status)
    fail(what, "exit status");
  for (std::string result::*s : {&result::out, &result::err}) {
    const std::string &x = a.*s, &y = b.*s;
    if (x == y)
      continue;
    size_t i = 0;
    while (i < x.size() && i < y.size() && x[i] == y[i])
      i++;
    // From the start of the line that differs (of the output), or a little
    // before the difference (of the messages, which have no lines).
    size_t from = i > 60 ? i - 60 : 0;
    if (s == &result::out) {
      size_t nl = i ? x.rfind('\n', i - 1) : std::string::npos;
      from = nl == std::string::npos ? 0 : nl + 1;
    }
    std::string d = std::string(s == &result::out ? "stdout" : "stderr") + " differs at byte " +
                    std::to_string(i) + "\n   one: " + x.substr(from, i - from + 60) +
                    "\n other: " + y.substr(from, i - from + 60);
    fail(what, d);
  }
}

// --- The faulty run: stand-ins for read, write and poll --------------------

// A block size from a header byte: 0 the program's own; half the values a
// block of 1 to 9 bytes, where every token crosses an edge; the others 32
// bytes to 4 KiB in steps of 32.
size_t inblocksize(unsigned char v) {
  return v == 0 ? 0 : v < 128 ? v % 9 + 1 : static_cast<size_t>(v - 127) * 32;
}
size_t outblocksize(unsigned char v) { return v < 128 ? v : static_cast<size_t>(v - 127) * 32; }

// The number of the call that fails, 1 on; 0 for none. The first calls one
// by one, later ones in steps, so that a 4 KB input read a byte at a time
// can fail anywhere.
unsigned callno(unsigned char v) { return v < 128 ? v : 128 + (v - 128) * 32u; }

struct faultplan {
  std::string_view rscript, wscript; // a byte per call, round and round
  unsigned rfail = 0, wfail = 0;     // the call that fails, 0: none
  int rerr = EIO, werr = EIO;        // werr 0: the write returns 0
  size_t inblock = 0, outblock = 0;
};

// What the stand-ins saw and did.
struct faultlog {
  const faultplan *plan;
  std::string_view in;
  size_t inpos;       // bytes handed over so far
  unsigned rcalls, wcalls;
  bool rfailed, wfailed, ended;
  bool rbalked, wbalked; // the last call said EINTR or EAGAIN
  short waitfor;      // the poll event owed after EAGAIN, 0 if none
  std::string written; // what writes took, in order
  std::string offered; // what the failed write was given
};
faultlog flog;

// A script byte: 01xxxxxx EINTR, 10xxxxxx EAGAIN, 00xxxxxx a transfer of
// xxxxxx bytes (0: all that was asked), 11xxxxxx one of xxxxxx bytes fewer
// than asked (at least one). After an EINTR or EAGAIN the next call
// transfers, whatever its byte, or a script of them would never end.
size_t scripted(std::string_view script, unsigned call, size_t asked, short event, bool &balked) {
  unsigned char b = script.empty() ? 0 : static_cast<unsigned char>(script[(call - 1) % script.size()]);
  size_t k = b & 0x3f;
  unsigned how = balked && (b >> 6 == 1 || b >> 6 == 2) ? 0 : b >> 6;
  balked = how == 1 || how == 2;
  switch (how) {
  case 1:
    errno = EINTR;
    return SIZE_MAX;
  case 2:
    errno = EAGAIN;
    flog.waitfor = event;
    return SIZE_MAX;
  case 3:
    return asked > k ? asked - k : 1;
  default:
    return k == 0 || k > asked ? asked : k;
  }
}

ssize_t fakeread(int fd, void *p, size_t n) {
  if (fd != 0)
    fail("a read from a descriptor other than standard input");
  if (flog.waitfor)
    fail("a read again after EAGAIN without waiting first");
  if (flog.rfailed || flog.ended)
    fail("a read after the input ended or failed");
  if (n == 0)
    fail("a read of no bytes");
  unsigned call = ++flog.rcalls;
  if (call == flog.plan->rfail) {
    flog.rfailed = true;
    errno = flog.plan->rerr;
    return -1;
  }
  size_t k = scripted(flog.plan->rscript, call, n, POLLIN, flog.rbalked);
  if (k == SIZE_MAX)
    return -1;
  k = std::min(k, flog.in.size() - flog.inpos);
  memcpy(p, flog.in.data() + flog.inpos, k);
  flog.inpos += k;
  flog.ended = k == 0;
  return static_cast<ssize_t>(k);
}

ssize_t fakewrite(int fd, const void *p, size_t n) {
  if (fd != 1)
    fail("a write to a descriptor other than standard output");
  if (flog.waitfor)
    fail("a write again after EAGAIN without waiting first");
  if (flog.wfailed)
    fail("a write after a failed write");
  if (n == 0)
    fail("a write of no bytes");
  const char *c = static_cast<const char *>(p);
  unsigned call = ++flog.wcalls;
  if (call == flog.plan->wfail) {
    flog.wfailed = true;
    flog.offered.assign(c, n);
    errno = flog.plan->werr;
    return flog.plan->werr ? -1 : 0;
  }
  size_t k = scripted(flog.plan->wscript, call, n, POLLOUT, flog.wbalked);
  if (k == SIZE_MAX)
    return -1;
  flog.written.append(c, k);
  return static_cast<ssize_t>(k);
}

int fakepoll(struct pollfd *fds, nfds_t n, int timeout) {
  if (!flog.waitfor)
    fail("a wait that no EAGAIN asked for");
  if (n != 1 || timeout != -1 || fds[0].events != flog.waitfor ||
      fds[0].fd != (flog.waitfor == POLLIN ? 0 : 1))
    fail("a wait for something other than the call that said EAGAIN");
  fds[0].revents = fds[0].events;
  flog.waitfor = 0;
  return 1;
}

void faultrun(std::vector<std::string> &args, std::string_view in, const faultplan &plan,
              result &r) {
  std::string written = std::move(flog.written), offered = std::move(flog.offered);
  flog = faultlog{};
  flog.written = std::move(written);
  flog.written.clear();
  flog.offered = std::move(offered);
  flog.offered.clear();
  flog.plan = &plan;
  flog.in = in;
  r.err.clear();
  setinputblock(plan.inblock);
  setoutputblock(plan.outblock);
  const syscalls real = sys;
  sys = {fakeread, fakewrite, fakepoll};
  // Input from fd 0, output to fd 1.
  r.status = txt2sheetmem(static_cast<int>(args.size()), argbuf.from(args), nullptr, 0, 0,
                          nullptr, &r.err);
  sys = real;
  setinputblock(0);
  setoutputblock(0);
  if (flog.waitfor)
    fail("EAGAIN, and no wait or call after it");
  r.out.assign(flog.written);
}

// The input from memory and only the writes faulty, on `threads` threads
// (1: the conversion on this one), with pieces of `piece` bytes: the
// writes, what they were given and what was said around them must not
// depend on the threads.
void writefaultrun(std::vector<std::string> &args, std::string_view in, const faultplan &plan,
                   int threads, size_t piece, result &r) {
  flog = faultlog{};
  flog.plan = &plan;
  r.err.clear();
  setinputblock(plan.inblock);
  setoutputblock(plan.outblock);
  const syscalls real = sys;
  sys = {real.read, fakewrite, fakepoll};
  r.status = txt2sheetthreads(static_cast<int>(args.size()), argbuf.from(args), in.data(),
                              in.size(), 0, nullptr, &r.err, threads, piece);
  sys = real;
  setinputblock(0);
  setoutputblock(0);
  if (flog.waitfor)
    fail("EAGAIN, and no wait or call after it");
  r.out.assign(flog.written);
  r.out += "\n-- offered to the failed write:\n" + flog.offered;
}

// The faulty run against the conversion of what it read: all of the input
// (whole), or what came before the failed read.
void checkfaults(std::vector<std::string> &args, std::string_view in, const result &whole,
                 const faultplan &plan) {
  static result got, want;
  faultrun(args, in, plan, got);
  if (!flog.rfailed) {
    want = whole;
  } else {
    convert(args, in.substr(0, flog.inpos), 0, want);
    if (want.status == 0) {
      want.err += args[0] + ": read error: " + strerror(plan.rerr) + "\n";
      want.status = 1;
    }
  }
  if (!flog.wfailed) {
    same(got, want, "the run with faulty reads and writes differs from the conversion of its input");
    return;
  }
  // A write failed: what was taken before it is the output's beginning,
  // and the failed write was given what comes next.
  if (got.status != 1)
    fail("a failed write, and the status is not 1");
  if (want.out.compare(0, got.out.size(), got.out) != 0 || got.out.size() > want.out.size())
    fail("what was written before the failed write is not the output's beginning");
  if (want.out.compare(got.out.size(), flog.offered.size(), flog.offered) != 0)
    fail("the failed write was not given the output's next bytes",
         flog.offered.substr(0, 60));
  std::string msg = args[0] + ": write error: " + strerror(plan.werr ? plan.werr : EIO) + "\n";
  if (got.err.size() < msg.size() || got.err.compare(got.err.size() - msg.size(), msg.size(), msg))
    fail("a failed write, and standard error does not end with its message", got.err);
  std::string_view before(got.err.data(), got.err.size() - msg.size());
  if (before.find(": write error: ") != std::string_view::npos ||
      before.find(": read error: ") != std::string_view::npos)
    fail("more than one message of a failed read or write", got.err);
  if (want.err.compare(0, before.size(), before) != 0)
    fail("the messages before the failed write are not those of the conversion", got.err);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unsigned char h[HEADER] = {};
  memcpy(h, data, size < HEADER ? size : HEADER);
  size_t used = size < HEADER ? size : HEADER;

  modelset set;
  static std::vector<std::string> args;
  args.assign(1, "txt2sheet");
  static const struct {
    unsigned char bit;
    const char *opt;
    bool modelset::*flag;
    bool value;
  } flags[] = {
      {1, "-r", &modelset::rowmode, true},     {2, "-f", &modelset::noformat, true},
      {4, "-L", &modelset::leftjust, true},    {8, "-k", &modelset::strip, false},
      {16, "-S", &modelset::allstrings, true}, {32, "-P", &modelset::plainnums, true},
  };
  for (const auto &f : flags)
    if (h[0] & f.bit) {
      args.push_back(f.opt);
      set.*f.flag = f.value;
    }
  if (h[0] & 64) {
    args.push_back("-d");
    args.push_back(h[1] ? std::string(1, static_cast<char>(h[1])) : std::string());
    set.delim1 = h[1];
    set.delim2 = 0;
  }
  if (h[0] & 128) {
    size_t len = h[5] & 7;
    if (len > size - used)
      len = size - used;
    std::string text(reinterpret_cast<const char *>(data + used), len);
    used += len;
    text = text.c_str(); // an argument ends at its first NUL
    args.push_back("-s");
    args.push_back(text);
    set.startcol = startcolof(text);
    set.startrow = startrowof(text);
  }
  static const struct {
    size_t at;
    const char *opt;
    int64_t modelset::*value;
  } values[] = {
      {2, "-R", &modelset::rowstep}, {3, "-C", &modelset::colstep}, {4, "-n", &modelset::blocklen}};
  for (const auto &v : values)
    if (h[v.at]) {
      std::string text = pick(h[v.at]);
      args.push_back(v.opt);
      args.push_back(text);
      set.*v.value = atoiclamped(text);
    }

  static const int errnos[16] = {EIO,    EIO,    EBADF,  EISDIR, ENXIO,  EINVAL, ENOSPC, EPIPE,
                                 EFBIG,  EDQUOT, ENOMEM, EACCES, EROFS,  ENODEV, EFAULT, 0};
  faultplan plan;
  plan.inblock = inblocksize(h[6]);
  plan.outblock = outblocksize(h[7]);
  plan.rfail = callno(h[9]);
  plan.wfail = callno(h[10]);
  plan.rerr = errnos[h[11] & 15] ? errnos[h[11] & 15] : EIO; // a read cannot fail with 0
  plan.werr = errnos[h[11] >> 4];
  for (std::string_view *script : {&plan.rscript, &plan.wscript}) {
    size_t len = std::min<size_t>(script == &plan.rscript ? h[8] & 15 : h[8] >> 4, size - used);
    *script = std::string_view(reinterpret_cast<const char *>(data + used), len);
    used += len;
  }

  std::string_view in(reinterpret_cast<const char *>(data + used), size - used);
  static result whole, other;
  convert(args, in, 0, whole);
  checkshape(whole, set);
  // The sizes where the reader's strides (63 bytes, 64 read) and the block's room
  // meet the block's end, and a block a 4 KB input fills; one the input does
  // not reach would be one block again. The smallest blocks, a byte or a
  // few, where nearly every token crosses an edge, are the faulty run's to
  // choose: a run of them took a quarter of an execution.
  for (size_t block : {64, 65, 4096})
    if (block <= in.size()) {
      convert(args, in, block, other);
      same(whole, other, "one block and small blocks give different results");
    }
  same(whole, model(set, in).run(), "the program and the model of the rules differ");
  // Starting threads and handing them pieces of a few bytes costs ten
  // times the rest of an execution, so only the inputs whose header asks
  // for it are converted on threads; the fuzzer keeps those that reach
  // new paths there as it keeps any other.
  bool threaded = (h[5] >> 5) == 3;
  // For half of them pieces of 1 to 64 bytes, a piece or more per line;
  // for the others up to 569, a few lines each.
  unsigned pick = h[6] ^ h[7];
  size_t piece = pick & 0x80 ? 1 + pick % 64u : 65 + pick % 64u * 8;
  if (threaded) {
    convertthreads(args, in, piece, other);
    same(whole, other, "one thread and pieces on worker threads give different results");
  }
  checkfaults(args, in, whole, plan);
  if (threaded && (plan.wfail || !plan.wscript.empty())) {
    static result onethread;
    writefaultrun(args, in, plan, 1, 0, onethread);
    writefaultrun(args, in, plan, 2, piece, other);
    same(onethread, other, "with faulty writes, one thread and worker threads differ");
  }
  return 0;
}
