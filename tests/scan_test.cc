#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "scan/scan.h"
#include "testutil.h"

// The tokens of an input as text: N(..) a number, L(..) a label (with a !
// after it when the field was cut), D a delimiter, E an end of line.
// The settings are those of the last setoptions.
static std::string tokens(const std::string &in, size_t chunk) {
  scanner sc(testset);
  sc.in.setmem(in.data(), in.size(), chunk);
  const char *fieldbuf = sc.fieldbuf;
  std::string s;
  for (;;) {
    int t = sc.nexttoken();
    switch (t) {
    case TOK_NUMBER: s += "N(" + std::string(fieldbuf) + ")"; break;
    case TOK_LABEL: s += "L(" + std::string(fieldbuf) + ")"; break;
    case TOK_DELIM: s += "D"; break;
    case TOK_EOL: s += "E"; break;
    case TOK_EOF:
      // The end of input stays the end.
      if (sc.nexttoken() != TOK_EOF)
        s += "<EOF not sticky>";
      return s;
    default: s += "?"; break;
    }
    if ((t == TOK_NUMBER || t == TOK_LABEL) && static_cast<size_t>(sc.fieldlen) != strlen(fieldbuf))
      s += "<fieldlen wrong>";
    if ((t == TOK_NUMBER || t == TOK_LABEL) && sc.fieldcut)
      s += "!";
  }
}

namespace {
struct scancase {
  const char *name;
  std::vector<std::string> opts;
  std::string in, want;
};
} // namespace

static const scancase scancases[] = {
    {"road of one line", {}, "12 apple 3.5\n", "N(12)DL(apple)DN(3.5)E"},
    {"no newline at the end", {}, "a", "L(a)"},
    {"empty input", {}, "", ""},
    {"a run is one delimiter", {}, "a \t b", "L(a)DL(b)"},
    {"-k: every delimiter counts", {"-k"}, "a \t b", "L(a)DDDL(b)"},
    {"leading and trailing runs", {}, "  a  \n", "DL(a)DE"},
    {"empty lines", {}, "\n\n", "EE"},
    {"quoted with spaces", {}, "\"hello world\" x", "L(hello world)DL(x)"},
    {"quoted is never a number", {}, "\"12\"", "L(12)"},
    {"unclosed quote ends at the newline", {}, "\"ab c\nd", "L(ab c)EL(d)"},
    {"unclosed quote ends at the end", {}, "\"ab", "L(ab)"},
    {"empty quoted field", {}, "\"\"", "L()"},
    {"text right after the closing quote", {}, "\"a\"b", "L(a)L(b)"},
    {"a quote inside a field is a byte", {}, "a\"b\" c", "L(a\"b\")DL(c)"},
    {"carriage return stays in the field", {}, "1 2\r\n", "N(1)DL(2\r)E"},
    {"-d ,: spaces are field bytes", {"-d", ","}, "a, b,,c", "L(a)DL( b)DL(c)"},
    {"-d , -k", {"-d", ",", "-k"}, ",a,,b", "DL(a)DDL(b)"},
    {"-d ,: NUL delimits", {"-d", ","}, std::string("a\0b", 3), "L(a)DL(b)"},
    {"-d ,: NUL ends a quoted field", {"-d", ","}, std::string("\"a\0b\"", 5),
     "L(a)DL(b\")"},
    {"-d ,: a NUL stops a run and starts one", {"-d", ","}, std::string("a,\0,b", 5),
     "L(a)DDL(b)"},
    {"-d '': only NUL delimits", {"-d", ""}, std::string("a b\0c", 5), "L(a b)DL(c)"},
    {"-d '\"': quotes are delimiters", {"-d", "\""}, "\"a\"b", "DL(a)DL(b)"},
    {"-d high byte matches", {"-d", "\xa7"}, "a\xa7" "b\xa7\xa7" "c", "L(a)DL(b)DL(c)"},
    {"-d newline: a newline starts no run", {"-d", "\n"}, "a\nb", "L(a)EL(b)"},
    {"-d newline: a newline ends a NUL run", {"-d", "\n"}, std::string("a\0\n\nb", 5),
     "L(a)DEEL(b)"},
    {"NUL is dropped without -d", {}, std::string("\0a\0b \0 c\0\n\0", 11), "L(ab)DL(c)E"},
    {"NUL inside a quoted field is dropped", {}, std::string("\"a\0b\" c", 7),
     "L(ab)DL(c)"},
    {"a line of NULs is empty", {}, std::string("\0\0\n\0", 4), "E"},
    {"numbers and labels", {}, "-3.5 1e5 x12 5-", "N(-3.5)DN(1e5)DL(x12)DL(5-)"},
    {"-S", {"-S"}, "12 x", "L(12)DL(x)"},
    {"-P", {"-P"}, "1.5 -3 1e5", "N(1.5)DL(-3)DL(1e5)"},
};

TEST(Scanner, TokensWhateverTheBlockSize) {
  for (const auto &c : scancases) {
    ASSERT_EQ(setoptions(c.opts), -1) << c.name;
    for (size_t chunk : {0, 1, 2, 3, 5, 7}) {
      EXPECT_EQ(tokens(c.in, chunk), c.want)
          << c.name << ", blocks of " << chunk << "\n" << shown(c.in);
    }
  }
}

TEST(Scanner, LongFieldsAreCutAndTheRestDropped) {
  std::string big(5000, 'x');
  std::string num(1500, '7');
  std::string k999(999, 'y');
  static const char *opts[] = {"", "-k"};
  for (const char *o : opts) {
    ASSERT_EQ(setoptions(*o ? std::vector<std::string>{o} : std::vector<std::string>{}), -1);
    for (size_t chunk : {0, 1, 3, 64, 1000, 4096}) {
      EXPECT_EQ(tokens(big + " z\n", chunk), "L(" + big.substr(0, 999) + ")!DL(z)E")
          << "unquoted, blocks of " << chunk;
      EXPECT_EQ(tokens("\"" + big + " " + big + "\"z\n", chunk),
                "L(" + big.substr(0, 999) + ")!L(z)E")
          << "quoted, blocks of " << chunk;
      EXPECT_EQ(tokens("\"" + big, chunk), "L(" + big.substr(0, 999) + ")!")
          << "quoted to the end, blocks of " << chunk;
      EXPECT_EQ(tokens(num, chunk), "N(" + num.substr(0, 999) + ")!")
          << "classified on the bytes kept, blocks of " << chunk;
      EXPECT_EQ(tokens(num.substr(0, 998) + "-", chunk), "L(" + num.substr(0, 998) + "-)")
          << "999 bytes are not cut, blocks of " << chunk;
      EXPECT_EQ(tokens(num.substr(0, 999) + "-", chunk), "N(" + num.substr(0, 999) + ")!")
          << "the dropped sign does not count, blocks of " << chunk;
      EXPECT_EQ(tokens(k999 + "\n" + k999, chunk), "L(" + k999 + ")EL(" + k999 + ")")
          << "exactly 999, blocks of " << chunk;
    }
  }
}

TEST(Scanner, NulsDroppedAcrossBlocks) {
  // A block of nothing but NULs must not look like the end of input.
  std::string in = "a" + std::string(300000, '\0') + "b c";
  ASSERT_EQ(setoptions({}), -1);
  for (size_t chunk : {0, 1, 4096})
    EXPECT_EQ(tokens(in, chunk), "L(ab)DL(c)") << "blocks of " << chunk;
}

TEST(Scanner, ManyBlocksOfInput) {
  // Larger than the scanner's own block, so refills fall at every offset.
  std::string in, want;
  for (int i = 0; i < 40000; i++) {
    std::string f = std::to_string(i * 7);
    in += f + (i % 3 ? " \"q" + f + "\"\t" : "\n");
    want += "N(" + f + ")" + (i % 3 ? "DL(q" + f + ")D" : "E");
  }
  ASSERT_EQ(setoptions({}), -1);
  for (size_t chunk : {0, 1000, 65537})
    EXPECT_EQ(tokens(in, chunk), want) << "blocks of " << chunk;
}

// Each field under the default rules, -P and -S.
TEST(Numbers, RecognitionTable) {
  static const struct {
    const char *field;
    int deflt, plain, strs;
  } cases[] = {
      {"12", TOK_NUMBER, TOK_NUMBER, TOK_LABEL},
      {"-3.5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"+7", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {".5", TOK_NUMBER, TOK_NUMBER, TOK_LABEL},
      {"5.", TOK_NUMBER, TOK_NUMBER, TOK_LABEL},
      {"1e5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"1E5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"1e-5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"1e+5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      // Looser forms the rules let through.
      {"1e", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"1.2.3", TOK_NUMBER, TOK_NUMBER, TOK_LABEL},
      {"1-2", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"--5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"1e5e5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"-.e5", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      {"5-5.", TOK_NUMBER, TOK_LABEL, TOK_LABEL},
      // Labels.
      {"+", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"-", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {".", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"...", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"5-", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"1e+", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"5.-", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"12abc", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"0x1F", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"e5", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"E5", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"12\r", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"1,5", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"\xb2", TOK_LABEL, TOK_LABEL, TOK_LABEL},
      {"5\xb2", TOK_LABEL, TOK_LABEL, TOK_LABEL},
  };
  static const struct {
    const char *opt;
    int which;
  } modes[] = {{nullptr, 0}, {"-P", 1}, {"-S", 2}};
  for (const auto &m : modes) {
    ASSERT_EQ(setoptions(m.opt ? std::vector<std::string>{m.opt} : std::vector<std::string>{}),
              -1);
    for (const auto &c : cases) {
      int want = m.which == 0 ? c.deflt : m.which == 1 ? c.plain : c.strs;
      const char *mode = m.opt ? m.opt : "default";
      // The rule as a plain walk...
      EXPECT_EQ(isnumref(c.field, testset) ? TOK_NUMBER : TOK_LABEL, want)
          << shown(c.field) << " under " << mode;
      // ...and folded into the scan, at every block size.
      std::string kind = want == TOK_NUMBER ? "N(" : "L(";
      for (size_t chunk : {0, 1, 2})
        EXPECT_EQ(tokens(std::string(c.field) + "\n", chunk),
                  kind + c.field + ")E")
            << shown(c.field) << " under " << mode << ", blocks of " << chunk;
    }
  }
}

TEST(Numbers, LeadingSpaceUnderCommaIsLabel) {
  ASSERT_EQ(setoptions({"-d", ","}), -1);
  EXPECT_EQ(tokens(" 12,12", 0), "L( 12)DN(12)");
}

// Tokens read off the block in large pieces must be those read a byte at a
// time, wherever the pieces' edges fall: random lines over the bytes that
// matter, under each way of splitting.
TEST(Scanner, LargeBlocksAgreeWithByteByByte) {
  static const char alphabet[] = "a1.-+eE9 \t\"\n,x";
  static const std::vector<std::vector<std::string>> settings = {
      {}, {"-k"}, {"-d", ","}, {"-d", ",", "-k"}, {"-d", ""}, {"-P"}, {"-S"}, {"-r", "-L"},
  };
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 60; round++) {
    std::string in;
    size_t len = next() % 3000;
    for (size_t i = 0; i < len; i++) {
      unsigned r = next();
      // Now and then a long field, a NUL or a high byte.
      if (r % 97 == 0)
        in += std::string(next() % 1200, r % 2 ? '7' : 'q');
      else if (r % 89 == 0)
        in += '\0';
      else if (r % 83 == 0)
        in += '\xa7';
      else
        in += alphabet[r % (sizeof alphabet - 1)];
    }
    for (const auto &opts : settings) {
      runresult whole = runmem(opts, in, 0), bytes = runmem(opts, in, 1);
      std::string name = "round " + std::to_string(round) + " with";
      for (auto &o : opts)
        name += " " + o;
      ASSERT_EQ(whole.out, bytes.out) << name << "\n" << shown(in);
      ASSERT_EQ(whole.err, bytes.err) << name;
      ASSERT_EQ(whole.status, bytes.status) << name;
    }
  }
}
