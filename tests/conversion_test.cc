#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/output.h"
#include "base/settings.h"
#include "convert/conversion.h"
#include "driver/options.h"
#include "testutil.h"

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
  settings set;
  output o(&out);
  errsink e(&err);
  EXPECT_EQ(parseargs(0, argv, set, o, e), -1);
  EXPECT_STREQ(set.invokedas, "txt2sheet");
}

// A conversion's state is its own: two at once, each on its own thread,
// give what each gives alone, messages included.
TEST(Conversion, TwoRunSideBySide) {
  struct job {
    std::vector<std::string> opts;
    std::string in;
    runresult alone, together;
  } jobs[2] = {{{"-r", "-L", "-n", "3"}, {}, {}, {}}, {{"-k", "-d", ",", "-s", "zx"}, {}, {}, {}}};
  for (int i = 0; i < 4000; i++) {
    jobs[0].in += std::to_string(i) + " w" + std::to_string(i % 7) + " " +
                  std::string(static_cast<size_t>(i % 1100), 'x') + "\n";
    jobs[1].in += "\"q," + std::to_string(i) + "\",," + std::to_string(i * 0.25) + ",e\n";
  }
  settings sets[2];
  // The settings keep the program's name from their argument vectors.
  argvec args[2] = {argvec(jobs[0].opts), argvec(jobs[1].opts)};
  for (int i = 0; i < 2; i++) {
    jobs[i].alone = runmem(jobs[i].opts, jobs[i].in, 4093);
    ASSERT_EQ(jobs[i].alone.status, 0);
    EXPECT_NE(jobs[i].alone.err, "") << "each run has messages of its own to keep apart";
    // The command line is read before the threads start.
    output o;
    errsink e;
    ASSERT_EQ(parseargs(args[i].argc(), args[i].argv(), sets[i], o, e), -1);
  }
  auto convert = [](const settings &set, job &j) {
    runresult &r = j.together;
    output o(&r.out);
    errsink e(&r.err);
    conversion c(set, o, e);
    c.sc.in.setmem(j.in.data(), j.in.size(), 4093);
    r.status = finish(set, c.run(), o, e);
  };
  std::thread other(convert, std::cref(sets[1]), std::ref(jobs[1]));
  convert(sets[0], jobs[0]);
  other.join();
  for (const job &j : jobs) {
    EXPECT_EQ(j.together.status, j.alone.status);
    EXPECT_TRUE(j.together.out == j.alone.out) << "standard output differs";
    EXPECT_EQ(j.together.err, j.alone.err);
  }
}
