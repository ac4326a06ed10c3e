// The token reader takes the block a stride (63 bytes) at a time and
// classifies every field of a stride at once; a short token that goes on
// past a stride begins the next one, a long one carries its state into it. These tests hold the whole conversion to the
// rules where the strides have edges: fields, runs and quoted fields
// across them, fields next to each other inside one, and text right after
// a closing quote.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "scan/scan.h"
#include "testutil.h"

namespace {
// What the converter must write for one line of fields, from the rules:
// the number rule as a plain walk (isnumref) and the fraction digits after
// the first point. The settings must be those of opts.
struct model {
  std::string out;
  // Per column: the longest label, the widest whole part, the most
  // fraction digits.
  std::vector<int> label, whole, prec;
  void cell(size_t col, const std::string &f) {
    bool num = isnumref(f, testset);
    std::string name(1, static_cast<char>('A' + col));
    out += num ? "let " + name + "0 = " + f + "\n" : "rightstring " + name + "0 = \"" + f + "\"\n";
    if (label.size() <= col) {
      label.resize(col + 1, 0);
      whole.resize(col + 1, 0);
      prec.resize(col + 1, 0);
    }
    int len = static_cast<int>(f.size());
    if (!num) {
      label[col] = std::max(label[col], len);
      return;
    }
    int frac = 0;
    if (size_t dot = f.find('.'); dot != std::string::npos)
      frac = len - static_cast<int>(dot) - 1;
    whole[col] = std::max(whole[col], len - frac);
    prec[col] = std::max(prec[col], frac);
  }
  std::string summary() const {
    std::string s;
    for (size_t c = 0; c < label.size(); c++)
      if (int w = std::max(label[c], whole[c] + prec[c]); w > 0)
        s += "format " + std::string(1, static_cast<char>('A' + c)) + " " +
             std::to_string(w + 1) + " " + std::to_string(prec[c]) + "\n";
    return s;
  }
};
} // namespace

// Fields of number-like bytes side by side: each must be classified on its
// own bytes, wherever it lies in the window, whatever its neighbours are.
TEST(Window, EveryFieldClassifiedByTheWalk) {
  static const char alphabet[] = "0123456789+-.eEx";
  uint32_t seed = 777;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (const char *opt : {"", "-P", "-S"}) {
    std::vector<std::string> opts;
    if (*opt)
      opts.push_back(opt);
    for (int round = 0; round < 300; round++) {
      ASSERT_EQ(setoptions(opts), -1);
      model m;
      std::string in;
      size_t fields = 1 + next() % 20;
      for (size_t c = 0; c < fields; c++) {
        std::string f;
        // Mostly digits, so that numbers are common; up to 70 bytes, so
        // that some fields reach past any window.
        size_t len = 1 + (next() % 8 == 0 ? next() % 70 : next() % 12);
        for (size_t k = 0; k < len; k++)
          f += next() % 3 ? alphabet[next() % 10] : alphabet[10 + next() % 6];
        in += (c ? " " : "") + f;
        m.cell(c, f);
      }
      in += "\n";
      runresult r = runmem(opts, in);
      ASSERT_EQ(r.out, m.out + m.summary()) << shown(in) << " with " << opt;
      ASSERT_EQ(r.status, 0);
    }
  }
}

// Each kind of token, at lengths on both sides of the window's end and at
// several places in it, read whole must give what the token reader gives
// a byte at a time; one line of each is also checked in full.
TEST(Window, TokensAcrossItsEnd) {
  std::vector<std::string> lines;
  for (size_t len = 58; len <= 68; len++) {
    for (size_t at = 0; at < 4; at++) {
      std::string lead;
      for (size_t k = 0; k < at; k++)
        lead += "x ";
      lines.push_back(lead + std::string(len, '7') + " 1");
      lines.push_back(lead + "-" + std::string(len, '3') + ".25 1");
      lines.push_back(lead + std::string(len, 'q') + " 1");
      lines.push_back(lead + "\"" + std::string(len, 'w') + "\" 1");
      lines.push_back(lead + "\"" + std::string(len, 'w')); // unclosed
      lines.push_back(lead + "a" + std::string(len, ' ') + "b");
      lines.push_back(lead + "a" + std::string(len, '\t') + "\n" + "b");
      lines.push_back(lead + "\"ab\"" + std::string(len, '5') + " 9");
      lines.push_back(lead + "\"ab\"\"" + std::string(len, 'c') + "\"x");
    }
  }
  std::string in;
  for (const auto &l : lines)
    in += l + "\n";
  static const std::vector<std::vector<std::string>> settings = {
      {}, {"-k"}, {"-d", " "}, {"-d", "\""}, {"-r"}, {"-L", "-P"}, {"-d", ""}};
  for (const auto &opts : settings) {
    runresult whole = runmem(opts, in, 0), bytes = runmem(opts, in, 1);
    std::string name;
    for (auto &o : opts)
      name += " " + o;
    EXPECT_EQ(whole.out, bytes.out) << name;
    EXPECT_EQ(whole.err, bytes.err) << name;
  }

  static const struct {
    std::string in, want;
  } cases[] = {
      {std::string(63, '7') + " 1\n",
       "let A0 = " + std::string(63, '7') + "\nlet B0 = 1\nformat A 64 0\nformat B 2 0\n"},
      {"x " + std::string(70, ' ') + "-1.50\n",
       "rightstring A0 = \"x\"\nlet B0 = -1.50\nformat A 2 0\nformat B 6 2\n"},
      {"\"" + std::string(62, 'w') + "\" 1\n", "rightstring A0 = \"" + std::string(62, 'w') +
                                                   "\"\nlet B0 = 1\nformat A 63 0\nformat B 2 0\n"},
      // Text right after a closing quote: a second command for the cell.
      {"\"ab\"12 3\n",
       "rightstring A0 = \"ab\"\nlet A0 = 12\nlet B0 = 3\nformat A 3 0\nformat B 2 0\n"},
  };
  for (const auto &c : cases) {
    runresult r = runmem({}, c.in);
    EXPECT_EQ(r.out, c.want) << shown(c.in);
  }
}

// The row's text is copied in one piece while it is short; rows of 13
// digits and more take a second. -R 2147483647 gets there in 466 lines.
TEST(Window, RowsOfEveryLength) {
  std::string in, want;
  for (int64_t k = 0; k < 1000; k++) {
    in += "a 1\n";
    std::string row = std::to_string(k * 2147483647);
    want += "rightstring A" + row + " = \"a\"\nlet B" + row + " = 1\n";
  }
  want += "format A 2 0\nformat B 2 0\n";
  for (size_t chunk : {0, 1}) {
    runresult r = runmem({"-R", "2147483647"}, in, chunk);
    EXPECT_EQ(r.out, want) << "blocks of " << chunk;
  }
}

// The loop holds the column table's arrays in locals and refreshes them
// when the table grows: growth happens mid-window, with the window's later
// fields recorded in the grown table. Every column's summary must come out
// as a field-by-field model of the table has it, and nothing is read from
// the arrays the growth freed (the sanitizer build checks that).
TEST(Window, TableGrowsBetweenFieldsOfAWindow) {
  auto name = [](int c) {
    return c < 26 ? std::string(1, static_cast<char>('A' + c))
                  : std::string{static_cast<char>('A' + c / 26 - 1), static_cast<char>('A' + c % 26)};
  };
  std::string in, want, summary;
  std::vector<int> whole(702, 0), prec(702, 0);
  for (int line = 0; line < 3; line++) {
    // A to ZY.
    for (int c = 0; c < 701; c++) {
      // Short fields, so that a window holds many; the widths differ per
      // column and line, and every third is a decimal.
      std::string f = std::to_string((c * 7 + line * 13) % 1000);
      if (c % 3 == 0)
        f += ".5";
      in += (c ? " " : "") + f;
      want += "let " + name(c) + std::to_string(line) + " = " + f + "\n";
      int len = static_cast<int>(f.size()), frac = c % 3 == 0 ? 1 : 0;
      whole[c] = std::max(whole[c], len - frac);
      prec[c] = std::max(prec[c], frac);
    }
    in += "\n";
  }
  for (int c = 0; c < 701; c++)
    summary += "format " + name(c) + " " + std::to_string(whole[c] + prec[c] + 1) + " " +
               std::to_string(prec[c]) + "\n";
  for (size_t chunk : {0, 1}) {
    runresult r = runmem({}, in, chunk);
    // Whole outputs are too long to show: where they part is enough.
    std::string all = want + summary;
    size_t at = std::mismatch(r.out.begin(), r.out.end(), all.begin(), all.end()).first -
                r.out.begin();
    EXPECT_EQ(r.out.size(), all.size()) << "blocks of " << chunk;
    EXPECT_EQ(at, all.size()) << "blocks of " << chunk << ": from byte " << at << " "
                              << shown(r.out.substr(at, 60)) << " for "
                              << shown(all.substr(at < all.size() ? at : 0, 60));
    EXPECT_EQ(r.err, "") << "blocks of " << chunk;
  }
}
