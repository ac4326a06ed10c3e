#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
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
    EXPECT_EQ(testset.rowstep, c.value) << "-R " << c.arg;
    EXPECT_EQ(testset.colstep, c.value) << "-C " << c.arg;
    EXPECT_EQ(testset.blocklen, c.value) << "-n " << c.arg;
  }
}

TEST(Options, FlagsAndDelimiters) {
  ASSERT_EQ(setoptions({}), -1);
  EXPECT_EQ(testset.delim1, ' ');
  EXPECT_EQ(testset.delim2, '\t');
  EXPECT_EQ(testset.stripdelims, 1);
  EXPECT_EQ(testset.blocklen, 20000);

  ASSERT_EQ(setoptions({"-rfLkSP", "-s", "c5", "-d", ","}), -1);
  EXPECT_EQ(testset.rowmode, 1);
  EXPECT_EQ(testset.noformat, 1);
  EXPECT_EQ(testset.leftjust, 1);
  EXPECT_EQ(testset.stripdelims, 0);
  EXPECT_EQ(testset.allstrings, 1);
  EXPECT_EQ(testset.plainnums, 1);
  EXPECT_EQ(testset.startcol, 2);
  EXPECT_EQ(testset.startrow, 5);
  EXPECT_EQ(testset.delim1, ',');
  EXPECT_EQ(testset.delim2, 0);

  ASSERT_EQ(setoptions({"-d", ""}), -1);
  EXPECT_EQ(testset.delim1, 0);
  EXPECT_EQ(testset.delim2, 0);
  ASSERT_EQ(setoptions({"-d", "\xa7"}), -1);
  EXPECT_EQ(testset.delim1, 0xa7) << "a high byte is held unsigned";

  ASSERT_EQ(setoptions({"-R", "3", "-R", "4"}), -1);
  EXPECT_EQ(testset.rowstep, 4) << "the last value wins";
}

TEST(Options, OperandsAndUnknownOptionsStop) {
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
    std::string o, e;
    int saved = dup(2), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2); // the option parser's own complaint
    int status = setoptions(c.args, &o, &e);
    dup2(saved, 2);
    close(saved);
    close(devnull);
    EXPECT_EQ(status, 1) << joined;
    EXPECT_EQ(o, "") << joined << "a usage error writes nothing on standard output";
    EXPECT_EQ(e.substr(0, c.first.size()), c.first) << joined << shown(e);
    EXPECT_EQ(e.find("Usage: txt2sheet [-fhkLPrSv]"), c.first.size()) << joined << shown(e);
  }
}
