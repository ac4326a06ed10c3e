// The token reader against a plain byte-by-byte reading of the same rules:
// every token, its text, kind, fraction digits and cut, over a table of
// inputs that sit on its edges and over random ones, with the input handed
// over in blocks of every small size (so that every token crosses a block's
// edge somewhere) and read whole, token by token and in one go.
#include "scan/reader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct opts {
  int delim1 = ' ', delim2 = '\t';
  bool strip = true, allstrings = false, plainnums = false;
  const char *name = "default";
};

const opts optsets[] = {
    {},
    {' ', '\t', false, false, false, "-k"},
    {',', 0, true, false, false, "-d ,"},
    {',', 0, false, false, false, "-d , -k"},
    {0, 0, true, false, false, "-d ''"},
    {'"', 0, true, false, false, "-d '\"'"},
    {'\n', 0, true, false, false, "-d newline"},
    {0xa7, 0, true, false, false, "-d 0xa7"},
    {' ', '\t', true, true, false, "-S"},
    {' ', '\t', true, false, true, "-P"},
    {'e', 0, true, false, false, "-d e"},
    {'5', 0, false, false, true, "-d 5 -k -P"},
};

bool nuldropped(const opts &o) { return o.delim1 != 0 && o.delim2 != 0; }

std::string shown(const std::string &s) {
  std::string r;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      r += static_cast<char>(c);
    } else {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    }
  }
  return r;
}

std::string fieldtext(bool label, const std::string &text, int frac, bool cut) {
  std::string s = (label ? "L(" : "N(") + shown(text) + ")";
  if (!label)
    s += std::to_string(frac);
  if (cut)
    s += "!";
  return s;
}

// The rules a byte at a time, on the input as the reader gets it (NULs
// dropped unless NUL delimits).
std::string reference(const opts &o, const std::string &raw) {
  std::string in;
  for (char c : raw)
    if (c != 0 || !nuldropped(o))
      in += c;
  auto delim = [&](unsigned char c) { return c == o.delim1 || c == o.delim2; };
  std::string out;
  size_t p = 0;
  while (p < in.size()) {
    unsigned char c = static_cast<unsigned char>(in[p]);
    if (c == '\n') {
      out += "E";
      p++;
      continue;
    }
    if (delim(c)) {
      p++;
      if (o.strip)
        while (p < in.size() && in[p] != 0 && in[p] != '\n' &&
               delim(static_cast<unsigned char>(in[p])))
          p++;
      out += "D";
      continue;
    }
    std::string f;
    bool cut = false;
    auto keep = [&](char ch) {
      if (f.size() < FIELDMAX)
        f += ch;
      else
        cut = true;
    };
    if (c == '"') {
      p++;
      while (p < in.size() && in[p] != '"' && in[p] != '\n' && in[p] != 0)
        keep(in[p++]);
      if (p < in.size() && in[p] == '"')
        p++;
      out += fieldtext(true, f, 0, cut);
      continue;
    }
    while (p < in.size() && in[p] != '\n' && !delim(static_cast<unsigned char>(in[p])))
      keep(in[p++]);
    // The number walk as written.
    bool num = false;
    unsigned char c0 = static_cast<unsigned char>(f[0]);
    if (!o.allstrings && ((c0 >= '0' && c0 <= '9') || c0 == '+' || c0 == '-' || c0 == '.')) {
      bool seen = false, last = false, bad = false;
      for (unsigned char ch : f) {
        if (ch >= '0' && ch <= '9')
          seen = last = true;
        else if (ch == '.')
          ;
        else if ((ch == 'e' || ch == 'E') && !o.plainnums)
          ;
        else if ((ch == '+' || ch == '-') && !o.plainnums)
          last = false;
        else
          bad = true;
        if (bad)
          break;
      }
      num = !bad && seen && last;
    }
    size_t dot = f.find('.');
    int frac = num && dot != std::string::npos ? static_cast<int>(f.size() - dot - 1) : 0;
    out += fieldtext(!num, f, frac, cut);
  }
  return out;
}

// The input in blocks of at most `chunk` bytes, each at the end of its
// storage so that a look past the 64 bytes of room is an overflow the
// address sanitizer sees; the room holds junk the reader must not take
// for input. NULs are dropped as the program's input does.
struct memin {
  std::string in;
  size_t done = 0, chunk;
  std::vector<unsigned char> store;
  memin(const opts &o, const std::string &raw, size_t chunk_) : chunk(chunk_ ? chunk_ : 1 << 17) {
    for (char c : raw)
      if (c != 0 || !nuldropped(o))
        in += c;
    at = {empty, empty, empty}; // nothing read yet
  }
  unsigned char empty[64] = {};
  blockpos at;
  bool refill() {
    if (done == in.size()) {
      at = {empty, empty, empty};
      return false;
    }
    size_t n = std::min(chunk, in.size() - done);
    store.assign(n + 64, 0);
    memcpy(store.data(), in.data() + done, n);
    static const char junk[] = "\"\n ,\t1.e-+\xa7";
    for (size_t k = 0; k < 64; k++)
      store[n + k] = static_cast<unsigned char>(junk[(done + k) % (sizeof junk - 1)]);
    done += n;
    at = {store.data(), store.data(), store.data() + n};
    return true;
  }
};

// Collects the tokens; with `one`, stops after each.
struct collect {
  std::string out;
  bool one;
  bool onfield(int label, const char *text, int len, int frac, int cut) {
    if (len < 0 || len > FIELDMAX)
      out += "<bad length>";
    out += fieldtext(label, std::string(text, static_cast<size_t>(len)), frac, cut);
    return !one;
  }
  bool ondelim() {
    out += "D";
    return !one;
  }
  bool oneol() {
    out += "E";
    return !one;
  }
};

std::string readall(const opts &o, const std::string &raw, size_t chunk, bool one) {
  byteclasses c = makeclasses(o.delim1, o.delim2, o.strip, o.allstrings, o.plainnums);
  memin src(o, raw, chunk);
  char buf[FIELDMAX + 1];
  collect k{{}, one};
  size_t calls = 0;
  while (!readtokens(src, buf, c, k))
    if (++calls > raw.size() + 1)
      return k.out + "<no end>";
  // The end of input stays the end.
  if (!readtokens(src, buf, c, k))
    k.out += "<read past the end>";
  return k.out;
}

void agree(const opts &o, const std::string &in, const std::vector<size_t> &chunks) {
  std::string want = reference(o, in);
  for (size_t chunk : chunks)
    for (bool one : {false, true})
      ASSERT_EQ(readall(o, in, chunk, one), want)
          << o.name << ", blocks of " << chunk << (one ? ", token by token" : "") << "\n"
          << shown(in);
}

std::vector<size_t> smallchunks() {
  std::vector<size_t> v = {0};
  for (size_t k = 1; k <= 70; k++)
    v.push_back(k);
  for (size_t k : {127, 128, 129, 1000, 1001})
    v.push_back(k);
  return v;
}

} // namespace

TEST(Reader, TrickyInputsAtEveryBlockSize) {
  const std::string n999(999, '7'), q1000(1000, 'q');
  const std::vector<std::string> inputs = {
      "",
      "12 apple 3.5\n",
      "a",
      "a \t b",
      "  a  \n\n",
      "\"hello world\" x",
      "\"12\"",
      "\"ab c\nd",
      "\"ab",
      "\"\"",
      "\"",
      "\"a\"b 12\"3",
      "a\"b\" c",
      "1 2\r\n",
      "a, b,,c",
      ",a,,b,",
      std::string("a\0b", 3),
      std::string("\"a\0b\"", 5),
      std::string("a,\0,b", 5),
      std::string("a b\0c", 5),
      std::string("a\0\n\nb", 5),
      std::string("\0a\0b \0 c\0\n\0", 11),
      "a\xa7" "b\xa7\xa7" "c",
      "-3.5 1e5 x12 5- 1e+ --5 1-2 .5 5. . + - e5 1.2.3 -.e5 5-5. 12e 1,5 0x1F",
      "3.25 1234 .1234567 9.",
      // Fields, runs and quoted fields that end at, just before and just
      // after a stride's edge.
      std::string(63, 'x') + " " + std::string(64, '1') + "  " + std::string(65, '2') + "\n",
      std::string(62, ' ') + "\"" + std::string(70, 'q') + "\" 1.5",
      std::string(63, '1') + "." + std::string(64, '2') + "-" + " " + std::string(127, '3') + "e",
      std::string(200, ' ') + "x" + std::string(200, '\t') + "\n",
      // The 999-byte cut: the number walk takes only the bytes kept.
      n999, n999 + "7", n999 + "-", n999.substr(0, 998) + "-", n999 + ".5",
      n999.substr(0, 500) + "." + n999.substr(0, 600),
      "\"" + q1000 + "\"z", "\"" + q1000, q1000 + " " + q1000 + "\n" + n999,
  };
  std::vector<size_t> chunks = smallchunks();
  for (const opts &o : optsets)
    for (const std::string &in : inputs)
      agree(o, in, chunks);
}

// Random inputs over the bytes that matter, with now and then a long
// field, a long run, a NUL or a high byte, under every set of options.
TEST(Reader, RandomInputsAtEveryBlockSize) {
  static const char alphabet[] = "a1.-+eE9 \t\"\n,x5";
  uint32_t seed = 4711;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 80; round++) {
    std::string in;
    size_t len = next() % 700;
    for (size_t i = 0; i < len; i++) {
      unsigned r = next();
      if (r % 101 == 0)
        in += std::string(next() % 1100, r % 2 ? '7' : 'q');
      else if (r % 97 == 0)
        in += std::string(next() % 150, r % 2 ? ' ' : ',');
      else if (r % 89 == 0)
        in += '\0';
      else if (r % 83 == 0)
        in += '\xa7';
      else
        in += alphabet[r % (sizeof alphabet - 1)];
    }
    std::vector<size_t> chunks = {0, 1 + next() % 9, 1 + next() % 70, 60 + next() % 10,
                                  1 + next() % 1100};
    for (const opts &o : optsets)
      agree(o, in, chunks);
  }
}
