#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include <gtest/gtest.h>

#include "driver/loop.h"
#include "driver/output.h"
#include "driver/settings.h"
#include "testutil.h"

TEST(StartCell, ColumnAndRowAreReadIndependently) {
  static const struct {
    const char *text;
    int col, row;
  } cases[] = {
      {"", 0, 0},          {"a0", 0, 0},       {"A0", 0, 0},
      {"ab3", 27, 3},      {"zz", 701, 0},     {"ZZ", 701, 0},
      {"12", 0, 12},       {"c2d", 2, 2},      {"x-5", 23, 5},
      {"abc", 27, 0},      {"9z", 25, 9},      {"a1b2", 0, 1},
      {"b", 1, 0},         {"aZ7", 51, 7},     {"-_!", 0, 0},
      {"\xc1" "b", 1, 0},  // a byte above 0x7f is no letter
      {"a2147483647", 0, INT_MAX},
      {"a2147483648", 0, INT_MAX},
      {"a99999999999999999999", 0, INT_MAX},
      {"a007", 0, 7},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(parsecol(c.text), c.col) << "parsecol(\"" << c.text << "\")";
    EXPECT_EQ(parserow(c.text), c.row) << "parserow(\"" << c.text << "\")";
  }
}

TEST(Options, NumericValuesReadLikeAtoiButClamped) {
  static const struct {
    const char *arg;
    int value;
  } cases[] = {
      {"5", 5},
      {"  -3", -3},
      {"\t+7", 7},
      {"10x", 10},
      {"x10", 0},
      {"", 0},
      {"-", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"-99999999999999999999999", INT_MIN},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(setoptions({"-R", c.arg, "-C", c.arg, "-n", c.arg}), -1) << c.arg;
    EXPECT_EQ(rowstep, c.value) << "-R " << c.arg;
    EXPECT_EQ(colstep, c.value) << "-C " << c.arg;
    EXPECT_EQ(blocklen, c.value) << "-n " << c.arg;
  }
}

TEST(Options, FlagsAndDelimiters) {
  ASSERT_EQ(setoptions({}), -1);
  EXPECT_EQ(delim1, ' ');
  EXPECT_EQ(delim2, '\t');
  EXPECT_EQ(stripdelims, 1);
  EXPECT_EQ(blocklen, 20000);

  ASSERT_EQ(setoptions({"-rfLkSP", "-s", "c5", "-d", ","}), -1);
  EXPECT_EQ(rowmode, 1);
  EXPECT_EQ(noformat, 1);
  EXPECT_EQ(leftjust, 1);
  EXPECT_EQ(stripdelims, 0);
  EXPECT_EQ(allstrings, 1);
  EXPECT_EQ(plainnums, 1);
  EXPECT_EQ(startcol, 2);
  EXPECT_EQ(startrow, 5);
  EXPECT_EQ(delim1, ',');
  EXPECT_EQ(delim2, 0);

  ASSERT_EQ(setoptions({"-d", ""}), -1);
  EXPECT_EQ(delim1, 0);
  EXPECT_EQ(delim2, 0);
  ASSERT_EQ(setoptions({"-d", "\xa7"}), -1);
  EXPECT_EQ(delim1, 0xa7) << "a high byte is held unsigned";

  ASSERT_EQ(setoptions({"-R", "3", "-R", "4"}), -1);
  EXPECT_EQ(rowstep, 4) << "the last value wins";
}

TEST(Options, OperandsAndUnknownOptionsStop) {
  std::string out, err;
  setoutputmem(&out, &err);
  // resetstate() inside setoptions sends output back to fd 1, so collect
  // around each call instead.
  // Each with the line that comes before the usage text, if any.
  static const struct {
    std::vector<std::string> args;
    std::string first;
  } cases[] = {
      {{"file"}, "txt2sheet: file: input is read from standard input only\n"},
      {{"-r", "file"}, "txt2sheet: file: input is read from standard input only\n"},
      {{"file", "-v"}, "txt2sheet: file: input is read from standard input only\n"},
      {{"-"}, "txt2sheet: -: input is read from standard input only\n"},
      {{"-x"}, ""},
      {{"-s"}, ""},
  };
  for (const auto &c : cases) {
    std::string joined;
    for (auto &a : c.args)
      joined += a + " ";
    argvec av(c.args);
    resetstate();
    std::string o, e;
    setoutputmem(&o, &e);
    int saved = dup(2), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2); // the option parser's own complaint
    int status = parseargs(av.argc(), av.argv());
    dup2(saved, 2);
    close(saved);
    close(devnull);
    EXPECT_EQ(status, 1) << joined;
    EXPECT_EQ(o, "") << joined << "a usage error writes nothing on standard output";
    EXPECT_EQ(e.substr(0, c.first.size()), c.first) << joined << shown(e);
    EXPECT_EQ(e.find("Usage: txt2sheet [-fhkLPrSv]"), c.first.size()) << joined << shown(e);
  }
}

TEST(Coltoa, NamesColumns) {
  static const struct {
    int64_t col;
    const char *name;
  } cases[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {51, "AZ"}, {52, "BA"}, {700, "ZY"}, {701, "ZZ"}};
  std::string out, err;
  setoutputmem(&out, &err);
  for (const auto &c : cases)
    EXPECT_STREQ(coltoa(c.col), c.name) << c.col;
  EXPECT_EQ(err, "");
}

TEST(Coltoa, InvalidColumnsAreReportedAndNamedQuestionMarks) {
  static const struct {
    int64_t col;
    const char *msg;
  } cases[] = {
      {702, "coltoa: invalid col: 702\n"},
      {-1, "coltoa: invalid col: -1\n"},
      {INT64_C(5000000000), "coltoa: invalid col: 5000000000\n"},
      {INT64_MIN, "coltoa: invalid col: -9223372036854775808\n"},
  };
  for (const auto &c : cases) {
    std::string out, err;
    setoutputmem(&out, &err);
    EXPECT_STREQ(coltoa(c.col), "??") << c.col;
    EXPECT_EQ(err, c.msg) << c.col;
  }
  setoutputmem(nullptr, nullptr);
}

// The row's text is counted up in place from line to line; it must come
// out as the number itself when a digit is gained, and after a jump.
TEST(Loop, RowNumbersAcrossDigitChanges) {
  static const struct {
    std::vector<std::string> opts;
    std::vector<std::string> cells;
  } cases[] = {
      {{"-s", "a8"}, {"A8", "A9", "A10", "A11"}},
      {{"-s", "a98"}, {"A98", "A99", "A100", "A101"}},
      {{"-s", "a999"}, {"A999", "A1000"}},
      {{"-s", "a0", "-R", "-1"}, {"A0", "A-1", "A-2"}},
      {{"-s", "a9", "-R", "3"}, {"A9", "A12", "A15"}},
      {{"-s", "a9", "-n", "2"}, {"A9", "A10", "B9", "B10", "C9"}},
      {{"-s", "a2147483647", "-R", "2147483647"}, {"A2147483647", "A4294967294", "A6442450941"}},
      {{"-r", "-s", "b9"}, {"B9", "C9"}},
  };
  for (const auto &c : cases) {
    std::string in, want;
    for (const auto &cell : c.cells) {
      in += "x\n";
      want += "rightstring " + cell + " = \"x\"\n";
    }
    std::string joined;
    for (auto &o : c.opts)
      joined += o + " ";
    runresult r = runmem(c.opts, in);
    EXPECT_EQ(r.out.substr(0, want.size()), want) << joined << "\n" << shown(r.out);
  }
  // In row mode the row moves within the line.
  runresult r = runmem({"-r", "-f", "-s", "a8"}, "1 2 3\n");
  EXPECT_EQ(r.out, "let A8 = 1\nlet A9 = 2\nlet A10 = 3\n");
}

TEST(Loop, NoProgramNameGivesTheDefault) {
  char *argv[] = {nullptr};
  std::string out, err;
  int status = txt2sheetmem(0, argv, "a\n", 2, 0, &out, &err);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "rightstring A0 = \"a\"\nformat A 2 0\n");
  EXPECT_STREQ(invokedas, "txt2sheet");
}
