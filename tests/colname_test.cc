#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "base/output.h"
#include "table/colname.h"

TEST(Coltoa, NamesColumns) {
  static const struct {
    int64_t col;
    const char *name;
  } cases[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {51, "AZ"}, {52, "BA"}, {700, "ZY"}, {701, "ZZ"}};
  std::string err;
  errsink e(&err);
  for (const auto &c : cases)
    EXPECT_STREQ(coltoa(c.col, e).text, c.name) << c.col;
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
    std::string err;
    errsink e(&err);
    EXPECT_STREQ(coltoa(c.col, e).text, "??") << c.col;
    EXPECT_EQ(err, c.msg) << c.col;
  }
}
