#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/output.h"
#include "scan/scan.h"
#include "table/table.h"
#include "testutil.h"

// A fresh table, and stderr collected.
class Table : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(t.widentable(TBL_NEW, 0), 1); }
  void cell(int64_t col, int kind, const char *text) {
    int len = static_cast<int>(strlen(text));
    const char *dot = strchr(text, '.');
    t.bookcell(col, kind, len, dot ? len - static_cast<int>(dot - text) - 1 : 0);
  }
  std::string err;
  errsink e{&err};
  coltable t{e};
};

TEST_F(Table, GrowsByItsLaw) {
  EXPECT_EQ(t.tablecols, 30);
  static const struct {
    int64_t col;
    int after;
  } steps[] = {{28, 30}, {29, 60}, {100, 130}, {672, 702}, {700, 702}};
  for (const auto &s : steps) {
    cell(s.col, TOK_LABEL, "x");
    EXPECT_EQ(t.tablecols, s.after) << "after a field in column " << s.col;
  }
  EXPECT_EQ(err, "");
}

TEST_F(Table, Column672DoesNotGrowA680Table) {
  cell(650, TOK_LABEL, "x");
  ASSERT_EQ(t.tablecols, 680);
  cell(672, TOK_LABEL, "x");
  EXPECT_EQ(t.tablecols, 680);
  cell(700, TOK_LABEL, "x");
  EXPECT_EQ(t.tablecols, 702);
  EXPECT_EQ(err, "");
}

TEST_F(Table, ZZIsAColumnLikeTheOthers) {
  cell(701, TOK_LABEL, "ab");
  EXPECT_EQ(t.tablecols, 702);
  EXPECT_EQ(colwidth(t.colstats[701]), 2);
  cell(701, TOK_LABEL, "abcdef");
  EXPECT_EQ(colwidth(t.colstats[701]), 6) << "a full table records ZZ again";
  cell(700, TOK_NUMBER, "1.5");
  EXPECT_EQ(colwidth(t.colstats[700]), 3);
  EXPECT_EQ(err, "");
  cell(702, TOK_LABEL, "x");
  EXPECT_EQ(err, "The table can't be any wider\n"
                 "coltoa: invalid col: 702\n" "Invalid column used: ??\n");
}

TEST_F(Table, BeyondZZAndNegativeColumnsRefused) {
  cell(702, TOK_LABEL, "x");
  EXPECT_EQ(err, "The table can't be any wider\n"
                 "coltoa: invalid col: 702\n" "Invalid column used: ??\n");
  EXPECT_EQ(t.tablecols, 30);
  err.clear();
  cell(INT64_C(1) << 40, TOK_LABEL, "x");
  EXPECT_EQ(err, "The table can't be any wider\n"
                 "coltoa: invalid col: 1099511627776\n" "Invalid column used: ??\n")
      << "a far column is not cut to 32 bits first";
  err.clear();
  cell(-1, TOK_NUMBER, "5");
  EXPECT_EQ(err, "coltoa: invalid col: -1\n" "Invalid column used: ??\n")
      << "the table's width is not the reason";
  err.clear();
  cell(-(INT64_C(1) << 32), TOK_LABEL, "x");
  EXPECT_EQ(err, "coltoa: invalid col: -4294967296\n" "Invalid column used: ??\n");
  EXPECT_EQ(t.tablecols, 30);
}

TEST_F(Table, WidthAndPrecision) {
  static const struct {
    const char *text;
    int kind, width, prec;
  } seq[] = {
      {"12", TOK_NUMBER, 2, 0},     {"3.25", TOK_NUMBER, 4, 2},
      {"1234", TOK_NUMBER, 6, 2},   {"apple", TOK_LABEL, 6, 2},
      {"longer label", TOK_LABEL, 12, 2},
      {"1.2.3", TOK_NUMBER, 12, 3}, {"-.5", TOK_NUMBER, 12, 3},
      {"", TOK_LABEL, 12, 3},
  };
  for (const auto &s : seq) {
    cell(3, s.kind, s.text);
    EXPECT_EQ(colwidth(t.colstats[3]), s.width) << "after " << s.text;
    EXPECT_EQ(t.colstats[3].prec, s.prec) << "after " << s.text;
  }
  // The whole part counts the point.
  static const struct {
    const char *text;
    int width, prec;
  } points[] = {{"5.", 2, 0}, {".125", 5, 3}, {"12.5", 6, 3}};
  for (const auto &s : points) {
    cell(4, TOK_NUMBER, s.text);
    EXPECT_EQ(colwidth(t.colstats[4]), s.width) << "after " << s.text;
    EXPECT_EQ(t.colstats[4].prec, s.prec) << "after " << s.text;
  }
}

// A column's width fits every cell it holds, whatever their order: the
// widest whole part beside the most fraction digits, or the longest label.
TEST_F(Table, WidthDoesNotDependOnTheOrderOfCells) {
  static const struct {
    std::vector<const char *> cells; // a leading '"' marks a label
    int width, prec;
  } cases[] = {
      {{"1000", "0.125"}, 7, 3},           // 4 whole and 3 fraction digits
      {{"12", "3.25", "1234"}, 6, 2},
      {{"1e10", "-.5", "3.25"}, 6, 2},     // "1e10" is all whole part
      {{"\"apple", "1.5", "22"}, 5, 1},
      {{"\"ab", "123.456", "7"}, 7, 3},
      {{"1.2.3", "99"}, 5, 3},             // after the first point: "2.3"
      {{"\"", "\""}, 0, 0},                // empty labels: no width at all
  };
  int col = 0; // a column for every order
  for (const auto &c : cases) {
    std::vector<size_t> order(c.cells.size());
    for (size_t i = 0; i < order.size(); i++)
      order[i] = i;
    do {
      std::string seen;
      for (size_t i : order) {
        const char *text = c.cells[i];
        cell(col, text[0] == '"' ? TOK_LABEL : TOK_NUMBER, text[0] == '"' ? text + 1 : text);
        seen += std::string(" ") + text;
      }
      EXPECT_EQ(colwidth(t.colstats[col]), c.width) << "cells" << seen;
      EXPECT_EQ(t.colstats[col].prec, c.prec) << "cells" << seen;
      col++;
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

TEST(Summary, FormatLines) {
  static const struct {
    const char *name;
    std::vector<std::string> opts;
    std::string in, out, err;
  } cases[] = {
      {"road of one line", {}, "12 apple 3.5\n",
       "let A0 = 12\nrightstring B0 = \"apple\"\nlet C0 = 3.5\n"
       "format A 3 0\nformat B 6 0\nformat C 4 1\n",
       ""},
      {"width and precision", {}, "12\n3.25\n1234\n",
       "let A0 = 12\nlet A1 = 3.25\nlet A2 = 1234\nformat A 7 2\n", ""},
      {"apple alone in B", {}, " x apple\n",
       "rightstring A0 = \"x\"\nrightstring B0 = \"apple\"\nformat A 2 0\nformat B 6 0\n", ""},
      {"ascending whatever the order", {"-r"}, "1\n2\n3\n",
       "let A0 = 1\nlet B0 = 2\nlet C0 = 3\nformat A 2 0\nformat B 2 0\nformat C 2 0\n", ""},
      {"out of order", {"-s", "c0", "-C", "-1", "-n", "1"}, "5\n6\n7\n",
       "let C0 = 5\nlet B0 = 6\nlet A0 = 7\nformat A 2 0\nformat B 2 0\nformat C 2 0\n", ""},
      {"empty fields make no line", {}, "\"\" x\n",
       "rightstring A0 = \"\"\nrightstring B0 = \"x\"\nformat B 2 0\n", ""},
      {"-f: no summary, messages still", {"-f", "-s", "zz"}, "a b\n",
       "rightstring ZZ0 = \"a\"\nrightstring ??0 = \"b\"\n",
       "coltoa: invalid col: 702\n" "The table can't be any wider\n"
       "coltoa: invalid col: 702\n" "Invalid column used: ??\n"},
      {"beyond ZZ", {"-s", "zz"}, "a b\n",
       "rightstring ZZ0 = \"a\"\nrightstring ??0 = \"b\"\nformat ZZ 2 0\n",
       "coltoa: invalid col: 702\n" "The table can't be any wider\n"
       "coltoa: invalid col: 702\n" "Invalid column used: ??\n"},
  };
  for (const auto &c : cases) {
    for (size_t chunk : {0, 1}) {
      runresult r = runmem(c.opts, c.in, chunk);
      EXPECT_EQ(r.status, 0) << c.name;
      EXPECT_EQ(r.out, c.out) << c.name << "\n" << shown(r.out);
      EXPECT_EQ(r.err, c.err) << c.name << "\n" << shown(r.err);
    }
  }
}
