// The conversion on worker threads against the conversion on one: the
// same standard output, standard error and status for inputs that reach
// every way a piece is made exact (a word said, a table that grows, the
// wrap warning, lines longer than a piece), cut into pieces of every small
// size.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/txt2sheet.h"
#include "testutil.h"

namespace {

runresult onthreads(std::vector<std::string> args, const std::string &in, int threads,
                    size_t piece) {
  argvec av(std::move(args));
  runresult r;
  r.status = txt2sheetthreads(av.argc(), av.argv(), in.data(), in.size(), 0, &r.out, &r.err,
                              threads, piece);
  return r;
}

std::string repeat(const std::string &s, int n) {
  std::string r;
  for (int i = 0; i < n; i++)
    r += s;
  return r;
}

// Lines of every kind of field, some cut, some quoted.
std::string mixedlines(int n) {
  std::string s;
  for (int i = 0; i < n; i++) {
    s += std::to_string(i) + " w" + std::to_string(i % 13) + "\t\"q " + std::to_string(i % 7) +
         "\"  " + std::to_string(i % 100) + ".25 -" + std::to_string(i % 9) + "e3";
    if (i % 50 == 17)
      s += " " + std::string(1200, 'z'); // cut, and said
    s += i % 11 ? "\n" : "\r\n";
  }
  return s;
}

// Line i holds i % width + 1 fields: the table grows as the lines widen.
std::string widening(int n, int width) {
  std::string s;
  for (int i = 0; i < n; i++) {
    for (int f = 0; f <= i % width; f++) {
      if (f)
        s += ' ';
      s += std::to_string(f * 7 % 1000);
    }
    s += "\n";
  }
  return s;
}

struct parcase {
  const char *name;
  std::vector<std::string> args;
  std::string in;
};

void expectsame(const std::vector<parcase> &cases, const std::vector<size_t> &pieces) {
  for (const parcase &c : cases) {
    runresult want = runmem(c.args, c.in);
    for (int threads : {2, 3})
      for (size_t piece : pieces) {
        runresult got = onthreads(c.args, c.in, threads, piece);
        std::string where = std::string(c.name) + ", " + std::to_string(threads) +
                            " threads, pieces of " + std::to_string(piece);
        ASSERT_EQ(got.status, want.status) << where;
        ASSERT_TRUE(got.out == want.out) << where << ": standard output differs\n"
                                         << shown(got.out.substr(0, 2000));
        ASSERT_EQ(got.err, want.err) << where;
      }
  }
}

const std::vector<size_t> small = {1, 2, 3, 5, 8, 13, 40, 61, 200, 4096};

TEST(Parallel, FieldsAndTheirWordsAsOnOneThread) {
  expectsame(
      {
          {"mixed lines", {}, mixedlines(300)},
          {"mixed lines, -k -L", {"-k", "-L"}, mixedlines(300)},
          {"mixed lines, row mode", {"-r", "-S"}, mixedlines(200)},
          {"csv, -P -f", {"-d", ",", "-P", "-f"}, "1,2,,3\n\"a,b\",-4e2\n,,x\n+5,6.,.7\n"},
          {"NULs dropped", {}, std::string("1 \0 2\0\0 3\n\0\n4\0", 13)},
          {"NULs delimit", {"-d", ""}, std::string("1\0" "2\0\0" "3\n\0\n4", 10)},
          {"no newline at the end", {}, "a b\nc d"},
          {"empty lines only", {}, "\n\n\n\n"},
          {"nothing", {}, ""},
          {"a line longer than many pieces", {}, "a\n" + std::string(5000, 'x') + " b\nc\n"},
          {"a quoted line longer than many pieces", {"-L"},
           "\"" + std::string(3000, 'q') + "\n" + "\"" + std::string(20, 'r') + "\" s\n"},
          {"long lines, no newline", {}, std::string(700, '1') + " " + std::string(900, '2')},
          {"columns past ZZ refused", {"-s", "zx"}, repeat("a b c d e f\n", 40)},
          {"columns below A refused", {"-n", "1", "-C", "-1", "-s", "b0"}, repeat("p q\n", 30)},
          {"rows beyond 32 bits", {"-R", "2147483647", "-s", "a2147483647"}, repeat("1 x\n", 30)},
      },
      small);
}

TEST(Parallel, TableGrowsAsOnOneThread) {
  expectsame(
      {
          {"up to 100 columns", {}, widening(400, 100)},
          {"up to ZZ and past it", {"-f"}, widening(30, 720)},
          {"growth in blocks side by side", {"-n", "3", "-C", "40"}, widening(60, 35)},
          {"an empty label far out", {}, "a\n" + std::string(300, ' ') + "\"\"\nb\n" + widening(5, 40)},
      },
      {1, 7, 64, 1000, 4096});
}

TEST(Parallel, WrapWarningAsOnOneThread) {
  std::string many;
  for (int i = 0; i < 20005; i++)
    many += "1 2\n";
  expectsame(
      {
          {"blocks side by side", {"-f", "-n", "2", "-C", "5"}, "a b c\nd e f\ng h i\n"},
          {"the next block starts inside the first", {"-f", "-n", "2"},
           "a b c\nd e f\ng h i\n"},
          {"every line a block", {"-f", "-n", "1"}, "a b\nc d\ne f\n"},
          {"a later field lands inside", {"-f", "-n", "1", "-s", "c0", "-C", "-2"},
           "a\nb c d\n"},
          {"just past the earlier blocks", {"-f", "-n", "1", "-C", "2"}, "a b\nc d\ne\n"},
          {"-k: the first field past the line's start", {"-f", "-k", "-d", ",", "-n", "1"},
           ",,a\nb\nc,d\n"},
          {"a block without fields", {"-f", "-n", "1"}, "\na\nb\n"},
          {"empty lines count", {"-f", "-n", "2"}, "a b\n\n\nc\n"},
          {"row mode", {"-f", "-r", "-n", "2"}, "a b\nc\nd e\n"},
          {"row mode, blocks apart", {"-f", "-r", "-n", "1", "-R", "3"}, "a b c\nd\n"},
          {"before the field's own words", {"-f", "-n", "1", "-C", "0"},
           "a\n" + std::string(1000, 'w') + "\n"},
          // Blocks that never overlap, and blocks that go back below the
          // earlier ones only after many.
          {"many blocks apart", {"-f", "-n", "1", "-C", "3"}, repeat("a b c\n", 100)},
          {"many blocks, then back", {"-f", "-n", "2", "-C", "4"},
           repeat("a b\n", 60) + "\n\n" + repeat("c\n", 3)},
          {"blocks going left", {"-n", "1", "-C", "-3", "-s", "zz"}, repeat("a b c\n", 100)},
          {"blocks going left, then a wide line", {"-n", "2", "-C", "-3", "-s", "gz"},
           repeat("a b c\n", 40) + "a b c d e f g h i j k l m n o p q r s t u v w x\n"},
          {"an empty block between", {"-f", "-n", "2", "-C", "9"}, "a\nb\n\n\nc d e f g h i j k l m\n"},
      },
      small);
  expectsame({{"the default block of 20000 lines", {"-f"}, many}}, {7, 4096, 65536});
}

} // namespace
