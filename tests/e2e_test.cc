// End-to-end: the built binary run as a user runs it, with exact arguments
// and input, its standard output, standard error and exit status compared
// byte for byte.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "base/output.h"
#include "runprog.h"

using namespace std::string_literals;

namespace {

const char BIN[] = TXT2SHEET_BIN;

std::string usage(const std::string &name) {
  return "Usage: " + name +
         " [-fhkLPrSv] [-s v] [-R i] [-C i] [-n i] [-d c]\n"
         "   Flag    Description                             Default\n"
         "   -C #  Increment by n between columns            1\n"
         "   -d c  Use c as the delimiter between the fields. space & tab\n"
         "   -f    suppress 'format' lines in output         false\n"
         "   -h    Print this help\n"
         "   -k    Keep all delimiters - Default is strip multiple delimiters to 1.\n"
         "   -L    Left justify strings.                     right justify\n"
         "   -n #  Length of the row (column) should be #    20000\n"
         "   -P    Returns 'numbers' with [-+eE] in them as strings  false\n"
         "   -r    Assemble data into rows first             columns\n"
         "   -R #  Increment by # between rows               1\n"
         "   -S    Return numbers as strings                 numbers\n"
         "   -s [col][row]   New top left starting cell      a0\n"
         "   -v    Print version\n";
}

std::string version(const std::string &name) {
  return name + ":\n Quorvel v3.1L(Odrastel), Based on Vekra 6.28 "
                "($Revision: 1.2 $)\n";
}

std::string label(const std::string &cell, const std::string &text) {
  return "rightstring " + cell + " = \"" + text + "\"\n";
}
std::string leftlabel(const std::string &cell, const std::string &text) {
  return "leftstring " + cell + " = \"" + text + "\"\n";
}
std::string num(const std::string &cell, const std::string &text) {
  return "let " + cell + " = " + text + "\n";
}
std::string fmt(const std::string &col, int width, int prec) {
  return "format " + col + " " + std::to_string(width) + " " +
         std::to_string(prec) + "\n";
}

std::string rep(size_t n, char c) { return std::string(n, c); }

std::string wrapnote(long long line) {
  return "txt2sheet: line " + std::to_string(line) +
         ": the layout wraps onto cells already written; see -n\n";
}

// One run of the converter and what it must give back.
struct Case {
  std::string name;
  std::vector<std::string> args{}; // after argv[0]
  std::string in{};
  std::string out{};
  std::string err{};
  int status = 0;
};

// The same, for runs with other standard streams or another argv[0].
struct StreamCase {
  std::string name;
  std::vector<std::string> args{};
  runprog::Input in = runprog::Input::Bytes;
  std::string input{}; // or the path for Input::Path
  runprog::Output out = runprog::Output::Pipe;
  std::string outpath{};
  std::string argv0 = "txt2sheet";
  std::string wantout{};
  std::string wanterr{};
  int status = 0;
};

// Both texts in full, or for long ones the stretch around the first byte
// where they part.
std::string difference(const std::string &want, const std::string &got) {
  if (want.size() + got.size() < 8192)
    return "--- wanted:\n" + runprog::escape(want) + "\n--- got:\n" +
           runprog::escape(got);
  size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at])
    at++;
  size_t from = at < 300 ? 0 : at - 300;
  return "wanted " + std::to_string(want.size()) + " bytes, got " +
         std::to_string(got.size()) + "; they part at byte " +
         std::to_string(at) + "\n--- wanted from byte " +
         std::to_string(from) + ":\n" +
         runprog::escape(want.substr(std::min(from, want.size()), 600)) +
         "\n--- got from byte " + std::to_string(from) + ":\n" +
         runprog::escape(got.substr(std::min(from, got.size()), 600));
}

void expectresult(const std::string &name, const runprog::Result &r,
                  const std::string &out, const std::string &err,
                  int status) {
  ASSERT_TRUE(r.error.empty()) << "case " << name << ": " << r.error;
  EXPECT_TRUE(r.exited && r.status == status)
      << "case " << name << ": wanted exit " << status << ", got "
      << runprog::describe(r);
  EXPECT_TRUE(r.out == out) << "case " << name
                            << ": standard output differs\n"
                            << difference(out, r.out);
  EXPECT_TRUE(r.err == err) << "case " << name
                            << ": standard error differs\n"
                            << difference(err, r.err);
}

runprog::Options converter(const std::vector<std::string> &args,
                           const std::string &argv0 = "txt2sheet") {
  runprog::Options o;
  o.path = BIN;
  o.argv = {argv0};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  return o;
}

void runcases(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    runprog::Options o = converter(c.args);
    o.input = c.in;
    expectresult(c.name, runprog::run(o), c.out, c.err, c.status);
  }
}

void runcases(const std::vector<StreamCase> &cases) {
  for (const StreamCase &c : cases) {
    runprog::Options o = converter(c.args, c.argv0);
    o.in = c.in;
    if (c.in == runprog::Input::Path)
      o.inpath = c.input;
    else
      o.input = c.input;
    o.out = c.out;
    o.outpath = c.outpath;
    expectresult(c.name, runprog::run(o), c.wantout, c.wanterr, c.status);
  }
}

const std::string U = usage("txt2sheet");
const std::string V = version("txt2sheet");

// ---------------------------------------------------------------------
// The command line

// -v is asked for, so its usage text goes where output goes; a usage error
// goes to standard error, after the option parser's complaint, so that it
// neither hides in a redirected output nor feeds the spreadsheet.
TEST(CommandLine, UsageAndVersionTexts) {
  runcases(std::vector<Case>{
      {"-v", {"-v"}, "a\n", U, V, 1},
      {"options after -v are not read", {"-v", "-x", "-s"}, "a\n", U, V, 1},
      {"-v after other options", {"-r", "-s", "b2", "-v"}, "a\n", U, V, 1},
      {"-v before an operand", {"-v", "file"}, "a\n", U, V, 1},
      {"-h is no option", {"-h"}, "a\n", "",
       "txt2sheet: invalid option -- 'h'\n" + U, 1},
      {"unknown option", {"-x"}, "a\n", "",
       "txt2sheet: invalid option -- 'x'\n" + U, 1},
      {"unknown option in a group", {"-rqf"}, "a\n", "",
       "txt2sheet: invalid option -- 'q'\n" + U, 1},
      {"a long option is unknown", {"--help"}, "a\n", "",
       "txt2sheet: invalid option -- '-'\n" + U, 1},
      {"an unknown option ends the parsing", {"-x", "-v"}, "a\n", "",
       "txt2sheet: invalid option -- 'x'\n" + U, 1},
      {"-h before -v", {"-h", "-v"}, "a\n", "",
       "txt2sheet: invalid option -- 'h'\n" + U, 1},
      {"missing argument", {"-s"}, "a\n", "",
       "txt2sheet: option requires an argument -- 's'\n" + U, 1},
      {"missing argument after grouped flags", {"-rfd"}, "a\n", "",
       "txt2sheet: option requires an argument -- 'd'\n" + U, 1},
      {"missing argument after values", {"-R", "2", "-n"}, "a\n", "",
       "txt2sheet: option requires an argument -- 'n'\n" + U, 1},
  });
}

TEST(CommandLine, ProgramNameFromArgvZero) {
  runcases(std::vector<StreamCase>{
      {.name = "-v",
       .args = {"-v"},
       .input = "a\n",
       .argv0 = "/opt/bin/t2s",
       .wantout = usage("/opt/bin/t2s"),
       .wanterr = version("/opt/bin/t2s"),
       .status = 1},
      {.name = "-h",
       .args = {"-h"},
       .input = "a\n",
       .argv0 = "./t2s",
       .wanterr = "./t2s: invalid option -- 'h'\n" + usage("./t2s"),
       .status = 1},
      {.name = "operand",
       .args = {"x"},
       .input = "a\n",
       .argv0 = "conv",
       .wanterr = "conv: x: input is read from standard input only\n" + usage("conv"),
       .status = 1},
      {.name = "empty name",
       .args = {"-v"},
       .input = "a\n",
       .argv0 = "",
       .wantout = usage(""),
       .wanterr = version(""),
       .status = 1},
  });
}

TEST(CommandLine, EmptyArgumentVectorNamesTheProgram) {
  if (!runprog::emptyargvreaches())
    GTEST_SKIP() << "this kernel (or the emulator) gives a program started with "
                    "no arguments a lone empty string, so argc 0 cannot be reached";
  runprog::Options o;
  o.path = BIN;
  o.noargv = true;
  o.in = runprog::Input::Path;
  o.inpath = "/";
  expectresult("read error", runprog::run(o), "",
               "txt2sheet: read error: Is a directory\n", 1);
  o.in = runprog::Input::Bytes;
  o.input = "a\n";
  o.out = runprog::Output::Path;
  o.outpath = "/dev/full";
  expectresult("write error", runprog::run(o), "",
               "txt2sheet: write error: No space left on device\n", 1);
}

// Standard input is a directory: had the converter read it, a read error
// would show.
TEST(CommandLine, OperandsGiveUsageWithoutReading) {
  std::vector<StreamCase> cases;
  for (auto [name, args, first] : std::vector<
           std::tuple<std::string, std::vector<std::string>, std::string>>{
           {"file name", {"file"}, "file"},
           {"file after options", {"-r", "-s", "b2", "file"}, "file"},
           {"options after a file are operands", {"file", "-v"}, "file"},
           {"lone dash", {"-"}, "-"},
           {"lone dash after options", {"-f", "-"}, "-"},
           {"after a double dash", {"--", "-r"}, "-r"},
           {"two operands", {"a", "b"}, "a"},
           {"empty operand", {""}, ""},
       })
    cases.push_back({.name = name,
                     .args = args,
                     .in = runprog::Input::Path,
                     .input = "/",
                     .wanterr = "txt2sheet: " + first +
                                ": input is read from standard input only\n" + U,
                     .status = 1});
  runcases(cases);
}

// -d takes one byte: a longer argument would split on its first byte and
// leave the rest in every field. Nothing is read (standard input is a
// directory) and nothing is written.
TEST(CommandLine, DelimiterOfMoreThanOneByteIsRefused) {
  std::vector<StreamCase> cases;
  for (auto [name, args, shown] : std::vector<
           std::tuple<std::string, std::vector<std::string>, std::string>>{
           {"an escape typed for a tab", {"-d", "\\t"}, "\\t"},
           {"two letters", {"-d", "ab"}, "ab"},
           {"a two-byte character", {"-d", "\xc2\xa6"}, "\xc2\xa6"},
           {"attached to the option", {"-d,;"}, ",;"},
           {"after other options", {"-r", "-d", "::"}, "::"},
           {"before -v, which is not read", {"-d", "ab", "-v"}, "ab"},
           {"a valid -d before does not help", {"-d", ",", "-d", ", "}, ", "},
       })
    cases.push_back({.name = name,
                     .args = args,
                     .in = runprog::Input::Path,
                     .input = "/",
                     .wanterr = "txt2sheet: -d takes a single byte: " + shown + "\n",
                     .status = 1});
  runcases(cases);
  // One byte, a high one too, and the empty argument stay valid.
  runcases(std::vector<Case>{
      {"one byte", {"-d", ","}, "a,b\n", label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) +
                                            fmt("B", 2, 0)},
      {"a high byte", {"-d", "\xa6"}, "a\xa6" "b\n",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"empty: NUL alone delimits", {"-d", ""}, "a b\0c\n"s,
       label("A0", "a b") + label("B0", "c") + fmt("A", 4, 0) + fmt("B", 2, 0)},
  });
}

TEST(CommandLine, OptionValues) {
  runcases(std::vector<Case>{
      {"a double dash alone ends the options", {"--"}, "a\n",
       label("A0", "a") + fmt("A", 2, 0)},
      {"-s twice keeps the last", {"-s", "b1", "-s", "c2"}, "a\n",
       label("C2", "a") + fmt("C", 2, 0)},
      {"-R twice keeps the last", {"-R", "5", "-R", "2"}, "a\nb\n",
       label("A0", "a") + label("A2", "b") + fmt("A", 2, 0)},
      {"-d twice keeps the last", {"-d", ";", "-d", ","}, "a;b,c\n",
       label("A0", "a;b") + label("B0", "c") + fmt("A", 4, 0) +
           fmt("B", 2, 0)},
      {"attached arguments", {"-sb1", "-d,", "-R3"}, "a,b\nc\n",
       label("B1", "a") + label("C1", "b") + label("B4", "c") +
           fmt("B", 2, 0) + fmt("C", 2, 0)},
      {"grouped flags", {"-rL"}, "a b\n",
       leftlabel("A0", "a") + leftlabel("A1", "b") + fmt("A", 2, 0)},
      {"grouped flags ending in a value option", {"-kd,"}, ",a\n",
       label("B0", "a") + fmt("B", 2, 0)},
      {"an argument may look like an option", {"-R", "-v"}, "a\nb\n",
       label("A0", "a") + label("A0", "b") + fmt("A", 2, 0)},
      {"atoi reads up to the first other byte", {"-R", "10x"}, "a\nb\n",
       label("A0", "a") + label("A10", "b") + fmt("A", 2, 0)},
      {"atoi takes leading blanks and a sign", {"-R", " \t+3"}, "a\nb\n",
       label("A0", "a") + label("A3", "b") + fmt("A", 2, 0)},
      {"atoi reads text as 0", {"-R", "two"}, "a\nbb\n",
       label("A0", "a") + label("A0", "bb") + fmt("A", 3, 0)},
  });
}

// The threads come from the environment; a count that is not a positive
// number is refused before anything is read, and any count converts alike.
TEST(CommandLine, ThreadCountFromTheEnvironment) {
  const std::string in = "12 apple 3.5\nx\n";
  const std::string out = num("A0", "12") + label("B0", "apple") + num("C0", "3.5") +
                          label("A1", "x") + fmt("A", 3, 0) + fmt("B", 6, 0) + fmt("C", 4, 1);
  const struct {
    std::vector<std::string> env;
    std::string err;
    int status;
  } cases[] = {
      {{"TXT2SHEET_THREADS=1"}, "", 0},
      {{"TXT2SHEET_THREADS=2"}, "", 0},
      {{"TXT2SHEET_THREADS=7"}, "", 0},
      {{"TXT2SHEET_THREADS=100000"}, "", 0},
      {{"TXT2SHEET_THREADS=2", "TXT2SHEET_PIECEBYTES=1"}, "", 0},
      {{"TXT2SHEET_THREADS=0"}, "txt2sheet: TXT2SHEET_THREADS must be a positive number, not \"0\"\n", 1},
      {{"TXT2SHEET_THREADS="}, "txt2sheet: TXT2SHEET_THREADS must be a positive number, not \"\"\n", 1},
      {{"TXT2SHEET_THREADS=-2"}, "txt2sheet: TXT2SHEET_THREADS must be a positive number, not \"-2\"\n", 1},
      {{"TXT2SHEET_THREADS=2 "}, "txt2sheet: TXT2SHEET_THREADS must be a positive number, not \"2 \"\n", 1},
      {{"TXT2SHEET_THREADS=four"}, "txt2sheet: TXT2SHEET_THREADS must be a positive number, not \"four\"\n", 1},
      {{"TXT2SHEET_THREADS=2", "TXT2SHEET_PIECEBYTES=0"},
       "txt2sheet: TXT2SHEET_PIECEBYTES must be a positive number, not \"0\"\n", 1},
  };
  for (const auto &c : cases) {
    runprog::Options o = converter({});
    o.env = c.env;
    o.input = in;
    std::string name = c.env[0] + (c.env.size() > 1 ? " " + c.env[1] : "");
    expectresult(name, runprog::run(o), c.status ? "" : out, c.err, c.status);
  }
}

TEST(CommandLine, StartCell) {
  struct {
    std::string arg, cell, col;
  } cells[] = {
      {"a0", "A0", "A"},     {"A0", "A0", "A"},     {"ab3", "AB3", "AB"},
      {"Ab3", "AB3", "AB"},  {"zz", "ZZ0", "ZZ"},   {"12", "A12", "A"},
      {"c2d", "C2", "C"},    {"x-5", "X5", "X"},    {"abc", "AB0", "AB"},
      {"9z", "Z9", "Z"},     {"a1b2", "A1", "A"},   {"", "A0", "A"},
      {"-+.", "A0", "A"},    {"4b5", "B4", "B"},    {"b 7", "B7", "B"},
      {"007q", "Q7", "Q"},   {"[a]", "A0", "A"},
  };
  std::vector<Case> cases;
  for (const auto &c : cells)
    cases.push_back({"-s '" + c.arg + "'", {"-s", c.arg}, "a\n",
                     label(c.cell, "a") + fmt(c.col, 2, 0)});
  runcases(cases);
}

// ---------------------------------------------------------------------
// Where fields land

TEST(Layout, CellsOfLinesAndBlocks) {
  std::vector<Case> cases = {
      {"fields go across, lines go down", {}, "x y\nz\n",
       label("A0", "x") + label("B0", "y") + label("A1", "z") +
           fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"an empty line still moves down", {}, "a\n\nb\n",
       label("A0", "a") + label("A2", "b") + fmt("A", 2, 0)},
      {"an empty line moves by the row step", {"-R", "3"}, "a\n\nb\n",
       label("A0", "a") + label("A6", "b") + fmt("A", 2, 0)},
      {"trailing delimiters write nothing", {}, "a b \t\nc\n",
       label("A0", "a") + label("B0", "b") + label("A1", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"last line without a newline", {}, "a b\nc",
       label("A0", "a") + label("B0", "b") + label("A1", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"start cell and row step", {"-s", "c5", "-R", "2"}, "a b\nc\n",
       label("C5", "a") + label("D5", "b") + label("C7", "c") +
           fmt("C", 2, 0) + fmt("D", 2, 0)},
      {"a negative row step writes a minus sign", {"-R", "-1"}, "a\nb\nc\n",
       label("A0", "a") + label("A-1", "b") + label("A-2", "c") +
           fmt("A", 2, 0)},
      {"a block of two lines wraps and overwrites", {"-n", "2"},
       "a b\nc d\ne f\n",
       label("A0", "a") + label("B0", "b") + label("A1", "c") +
           label("B1", "d") + label("B0", "e") + label("C0", "f") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("C", 2, 0),
       wrapnote(3)},
      {"a wrap goes back to the start row", {"-s", "b2", "-n", "2", "-R", "3"},
       "a\nb\nc\n",
       label("B2", "a") + label("B5", "b") + label("C2", "c") +
           fmt("B", 2, 0) + fmt("C", 2, 0)},
      {"the column step moves whole blocks", {"-n", "1", "-C", "3"},
       "a b\nc\n",
       label("A0", "a") + label("B0", "b") + label("D0", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("D", 2, 0)},
      {"row mode", {"-r"}, "a b c\nd\n",
       label("A0", "a") + label("A1", "b") + label("A2", "c") +
           label("B0", "d") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"row mode with a column step", {"-r", "-C", "3"}, "a b\nc\n",
       label("A0", "a") + label("A1", "b") + label("D0", "c") +
           fmt("A", 2, 0) + fmt("D", 2, 0)},
      {"row mode wraps to the start column", {"-r", "-n", "2"},
       "a b\nc\nd\n",
       label("A0", "a") + label("A1", "b") + label("B0", "c") +
           label("A1", "d") + fmt("A", 2, 0) + fmt("B", 2, 0),
       wrapnote(3)},
      {"row mode moves blocks by the row step", {"-r", "-n", "1", "-R", "4"},
       "a b\nc\n",
       label("A0", "a") + label("A1", "b") + label("A4", "c") +
           fmt("A", 2, 0)},
      {"row mode keeps leading delimiters with -k", {"-r", "-k"}, " a\n",
       label("A1", "a") + fmt("A", 2, 0)},
      {"-L writes leftstring", {"-L"}, "x 1 \"2\"\n",
       leftlabel("A0", "x") + num("B0", "1") + leftlabel("C0", "2") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("C", 2, 0)},
  };
  for (const char *n : {"1", "0", "-3", "x"})
    cases.push_back({"every line ends a block with -n "s + n, {"-n", n},
                     "a b\nc\nd\n",
                     label("A0", "a") + label("B0", "b") + label("B0", "c") +
                         label("C0", "d") + fmt("A", 2, 0) + fmt("B", 2, 0) +
                         fmt("C", 2, 0),
                     wrapnote(2)});
  runcases(cases);
}

// The layout wraps back to the first row (in row mode: column) every -n
// lines; the first field of a later block that lands between the least
// and the greatest column (row) of earlier blocks' fields is reported,
// once a run, with its line. The conversion goes on as before.
TEST(Layout, WrapOntoWrittenCellsIsReportedOnce) {
  std::string many, manywant;
  for (int i = 0; i < 20001; i++) {
    many += "1 2\n";
    int row = i % 20000;
    std::string c0 = i < 20000 ? "A" : "B", c1 = i < 20000 ? "B" : "C";
    manywant += num(c0 + std::to_string(row), "1") + num(c1 + std::to_string(row), "2");
  }
  runcases(std::vector<Case>{
      {"blocks side by side do not overlap", {"-f", "-n", "2", "-C", "5"},
       "a b c\nd e f\ng h i\n",
       label("A0", "a") + label("B0", "b") + label("C0", "c") + label("A1", "d") +
           label("B1", "e") + label("C1", "f") + label("F0", "g") + label("G0", "h") +
           label("H0", "i")},
      {"the next block starts inside the first", {"-f", "-n", "2"},
       "a b c\nd e f\ng h i\n",
       label("A0", "a") + label("B0", "b") + label("C0", "c") + label("A1", "d") +
           label("B1", "e") + label("C1", "f") + label("B0", "g") + label("C0", "h") +
           label("D0", "i"),
       wrapnote(3)},
      {"said once, at the first such field", {"-f", "-n", "1"}, "a b\nc d\ne f\n",
       label("A0", "a") + label("B0", "b") + label("B0", "c") + label("C0", "d") +
           label("C0", "e") + label("D0", "f"),
       wrapnote(2)},
      {"the default block of 20000 lines", {"-f", "-P"}, many, manywant, wrapnote(20001)},
      {"a later field of the line lands inside", {"-f", "-n", "1", "-s", "c0", "-C", "-2"},
       "a\nb c d\n",
       label("C0", "a") + label("A0", "b") + label("B0", "c") + label("C0", "d"),
       wrapnote(2)},
      {"just past the earlier blocks", {"-f", "-n", "1", "-C", "2"}, "a b\nc d\ne\n",
       label("A0", "a") + label("B0", "b") + label("C0", "c") + label("D0", "d") +
           label("E0", "e")},
      {"-k: the first field stands past the line's start", {"-f", "-k", "-d", ",", "-n", "1"},
       ",,a\nb\nc,d\n",
       label("C0", "a") + label("B0", "b") + label("C0", "c") + label("D0", "d"),
       wrapnote(3)},
      {"a block without fields watches nothing", {"-f", "-n", "1"}, "\na\nb\n",
       label("B0", "a") + label("C0", "b")},
      {"empty lines count", {"-f", "-n", "2"}, "a b\n\n\nc\n",
       label("A0", "a") + label("B0", "b") + label("B1", "c"), wrapnote(4)},
      {"row mode: rows", {"-f", "-r", "-n", "2"}, "a b\nc\nd e\n",
       label("A0", "a") + label("A1", "b") + label("B0", "c") + label("A1", "d") +
           label("A2", "e"),
       wrapnote(3)},
      {"row mode: blocks apart", {"-f", "-r", "-n", "1", "-R", "3"}, "a b c\nd\n",
       label("A0", "a") + label("A1", "b") + label("A2", "c") + label("A3", "d")},
      {"before the field's own messages", {"-f", "-n", "1", "-C", "0"},
       "a\n" + rep(1000, 'w') + "\n",
       label("A0", "a") + label("A0", rep(999, 'w')),
       wrapnote(2) + "Field cut to 999 bytes: A0\n"},
  });
}

// ---------------------------------------------------------------------
// Splitting lines into fields

TEST(Fields, Delimiters) {
  runcases(std::vector<Case>{
      {"a run of blanks counts once", {}, "a \t b\n",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-k: every blank counts", {"-k"}, "a \t b\n",
       label("A0", "a") + label("D0", "b") + fmt("A", 2, 0) + fmt("D", 2, 0)},
      {"leading blanks are ignored", {}, " \ta b\n",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-k: leading blanks move", {"-k"}, " \ta\n",
       label("C0", "a") + fmt("C", 2, 0)},
      {"-d , makes blanks field bytes", {"-d", ","}, "a, b\tc,d\n",
       label("A0", "a") + label("B0", " b\tc") + label("C0", "d") +
           fmt("A", 2, 0) + fmt("B", 5, 0) + fmt("C", 2, 0)},
      {"-d , a run of commas counts once", {"-d", ","}, "a,,b\n",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-d , -k every comma counts", {"-k", "-d", ","}, "a,,b\n",
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"-d , -k a leading comma moves", {"-k", "-d", ","}, ",a\n",
       label("B0", "a") + fmt("B", 2, 0)},
      {"-d space leaves tab a field byte", {"-d", " "}, "a\tb  c\n",
       label("A0", "a\tb") + label("B0", "c") + fmt("A", 4, 0) +
           fmt("B", 2, 0)},
      {"-d '' only NUL delimits", {"-d", ""}, "a b\tc\0d\n"s,
       label("A0", "a b\tc") + label("B0", "d") + fmt("A", 6, 0) +
           fmt("B", 2, 0)},
      {"-d quote: quotes delimit, no quoted fields", {"-d", "\""},
       "\"x y\"z\"\"w\n",
       label("A0", "x y") + label("B0", "z") + label("C0", "w") +
           fmt("A", 4, 0) + fmt("B", 2, 0) + fmt("C", 2, 0)},
      {"a carriage return is a field byte", {}, "a b\r\n",
       label("A0", "a") + label("B0", "b\r") + fmt("A", 2, 0) +
           fmt("B", 3, 0)},
      {"bytes above 0x7f are field bytes", {}, "\xc3\xa9t\xc3\xa9 x\n",
       label("A0", "\xc3\xa9t\xc3\xa9") + label("B0", "x") + fmt("A", 6, 0) +
           fmt("B", 2, 0)},
      {"labels are written unescaped", {}, "a\\b c\"d %s%n\n",
       "rightstring A0 = \"a\\b\"\nrightstring B0 = \"c\"d\"\n"
       "rightstring C0 = \"%s%n\"\n" +
           fmt("A", 4, 0) + fmt("B", 4, 0) + fmt("C", 5, 0)},
      {"a carriage return alone is a field", {}, "\r\n",
       label("A0", "\r") + fmt("A", 2, 0)},
      {"vertical tab and form feed are field bytes", {}, "a\vb\fc d\n",
       label("A0", "a\vb\fc") + label("B0", "d") + fmt("A", 6, 0) +
           fmt("B", 2, 0)},
      {"a long run of blanks counts once", {},
       "a" + rep(200000, ' ') + "\t" + rep(100000, ' ') + "b\n",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"empty input", {}, "", ""},
      {"only blanks and newlines", {}, "  \n\t\n\n", ""},
  });
}

TEST(Fields, QuotedFields) {
  runcases(std::vector<Case>{
      {"blanks inside quotes", {}, "\"hello world\" x\n",
       label("A0", "hello world") + label("B0", "x") + fmt("A", 12, 0) +
           fmt("B", 2, 0)},
      {"an unclosed quote takes the rest of the line", {}, "a \"b c\nd\n",
       label("A0", "a") + label("B0", "b c") + label("A1", "d") +
           fmt("A", 2, 0) + fmt("B", 4, 0)},
      {"an unclosed quote at the end of input", {}, "x \"b c",
       label("A0", "x") + label("B0", "b c") + fmt("A", 2, 0) +
           fmt("B", 4, 0)},
      {"empty quotes are an empty label", {}, "\"\" b\n",
       label("A0", "") + label("B0", "b") + fmt("B", 2, 0)},
      {"text after a closing quote shares the cell", {}, "\"ab\"12 e\n",
       label("A0", "ab") + num("A0", "12") + label("B0", "e") +
           fmt("A", 3, 0) + fmt("B", 2, 0)},
      {"two quoted fields back to back", {}, "\"a\"\"bc\"\n",
       label("A0", "a") + label("A0", "bc") + fmt("A", 3, 0)},
      {"a quote inside an unquoted field is a byte", {}, "a\"b\" c\n",
       label("A0", "a\"b\"") + label("B0", "c") + fmt("A", 5, 0) +
           fmt("B", 2, 0)},
      {"a quoted field after leading blanks", {}, "  \"x\"\n",
       label("A0", "x") + fmt("A", 2, 0)},
      {"a tab inside quotes", {}, "\"a\tb\"\n",
       label("A0", "a\tb") + fmt("A", 4, 0)},
      {"a lone quote at the end of input", {}, "x \"",
       label("A0", "x") + label("B0", "") + fmt("A", 2, 0)},
      {"-d , commas inside quotes", {"-d", ","}, "\"a,b\",c\n",
       label("A0", "a,b") + label("B0", "c") + fmt("A", 4, 0) +
           fmt("B", 2, 0)},
  });
}

// ---------------------------------------------------------------------
// Numbers and labels

TEST(Numbers, LetOrLabel) {
  runcases(std::vector<Case>{
      {"numbers, labels and quoted numbers", {},
       "12 apple \"3.5\" -3.5 1e5 --5 5- .\n",
       num("A0", "12") + label("B0", "apple") + label("C0", "3.5") +
           num("D0", "-3.5") + num("E0", "1e5") + num("F0", "--5") +
           label("G0", "5-") + label("H0", ".") + fmt("A", 3, 0) +
           fmt("B", 6, 0) + fmt("C", 4, 0) + fmt("D", 5, 1) + fmt("E", 4, 0) +
           fmt("F", 4, 0) + fmt("G", 3, 0) + fmt("H", 2, 0)},
      {"looser forms are numbers", {}, "1e 1.2.3 1-2 1e5e5 .5 5. +7\n",
       num("A0", "1e") + num("B0", "1.2.3") + num("C0", "1-2") +
           num("D0", "1e5e5") + num("E0", ".5") + num("F0", "5.") +
           num("G0", "+7") + fmt("A", 3, 0) + fmt("B", 6, 3) +
           fmt("C", 4, 0) + fmt("D", 6, 0) + fmt("E", 3, 1) + fmt("F", 3, 0) +
           fmt("G", 3, 0)},
      {"near misses are labels", {}, "+ - 1e+ 12abc 0x1F e5 12\r\n",
       label("A0", "+") + label("B0", "-") + label("C0", "1e+") +
           label("D0", "12abc") + label("E0", "0x1F") + label("F0", "e5") +
           label("G0", "12\r") + fmt("A", 2, 0) + fmt("B", 2, 0) +
           fmt("C", 4, 0) + fmt("D", 6, 0) + fmt("E", 5, 0) + fmt("F", 3, 0) +
           fmt("G", 4, 0)},
      {"-S makes every field a label", {"-S"}, "12 \"3\" x -1.5\n",
       label("A0", "12") + label("B0", "3") + label("C0", "x") +
           label("D0", "-1.5") + fmt("A", 3, 0) + fmt("B", 2, 0) +
           fmt("C", 2, 0) + fmt("D", 5, 0)},
      {"-P allows digits and points only", {"-P"},
       "3.5 -3 +3 1e5 1E5 .5 1.2.3\n",
       num("A0", "3.5") + label("B0", "-3") + label("C0", "+3") +
           label("D0", "1e5") + label("E0", "1E5") + num("F0", ".5") +
           num("G0", "1.2.3") + fmt("A", 4, 1) + fmt("B", 3, 0) +
           fmt("C", 3, 0) + fmt("D", 4, 0) + fmt("E", 4, 0) + fmt("F", 3, 1) +
           fmt("G", 6, 3)},
      {"-d , a blank around a number makes a label", {"-d", ","},
       " 12,12, 7 ,7\n",
       label("A0", " 12") + num("B0", "12") + label("C0", " 7 ") +
           num("D0", "7") + fmt("A", 4, 0) + fmt("B", 3, 0) + fmt("C", 4, 0) +
           fmt("D", 2, 0)},
  });
}

// ---------------------------------------------------------------------
// The column table and the format summary

TEST(ColumnTable, FormatSummary) {
  runcases(std::vector<Case>{
      {"road of one line", {}, "12 apple 3.5\n",
       "let A0 = 12\n"
       "rightstring B0 = \"apple\"\n"
       "let C0 = 3.5\n"
       "format A 3 0\n"
       "format B 6 0\n"
       "format C 4 1\n"},
      {"width and precision over one column", {}, "12\n3.25\n1234\n",
       "let A0 = 12\n"
       "let A1 = 3.25\n"
       "let A2 = 1234\n"
       "format A 7 2\n"},
      {"the whole part keeps room for the precision", {}, "1.2345\n123\n",
       num("A0", "1.2345") + num("A1", "123") + fmt("A", 8, 4)},
      {"a label alone in B", {"-s", "b"}, "apple\n",
       "rightstring B0 = \"apple\"\n"
       "format B 6 0\n"},
      {"a wider label and a number share a column", {}, "abcdefgh\n1.5\n",
       label("A0", "abcdefgh") + num("A1", "1.5") + fmt("A", 9, 1)},
      {"only empty fields give no format line", {"-s", "c"}, "\"\"\n\"\"\n",
       label("C0", "") + label("C1", "")},
      {"columns are summarised in ascending order", {"-k", "-d", ","},
       rep(40, ',') + "x\nb,c\n",
       label("AO0", "x") + label("A1", "b") + label("B1", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("AO", 2, 0)},
      {"-f writes no format lines", {"-f"}, "12 apple 3.5\n",
       "let A0 = 12\n"
       "rightstring B0 = \"apple\"\n"
       "let C0 = 3.5\n"},
  });
}

// A column's width fits all of its cells in any order: the longest label,
// or the widest whole part (length less fraction digits) beside the most
// fraction digits. Each case is run in both orders of its lines.
TEST(ColumnTable, WidthDoesNotDependOnTheOrderOfCells) {
  static const struct {
    std::string name, first, second, format;
  } cases[] = {
      {"a whole number, then more fraction digits", "1000", "0.125", fmt("A", 8, 3)},
      {"a long fraction, then a long whole part", "1.2345", "123", fmt("A", 8, 4)},
      {"a label, then a number that needs more", "abcd", "123.45", fmt("A", 7, 2)},
      {"a label wider than any number", "abcdefgh", "1.5", fmt("A", 9, 1)},
      {"exponent and sign count as whole part", "-1e+10", "0.5", fmt("A", 8, 1)},
      {"a point with nothing after it", "5.", "1.25", fmt("A", 5, 2)},
  };
  std::vector<Case> runs;
  for (const auto &c : cases) {
    auto cell = [](const std::string &row, const std::string &t) {
      return t[0] >= 'a' ? label("A" + row, t) : num("A" + row, t);
    };
    runs.push_back({c.name, {}, c.first + "\n" + c.second + "\n",
                    cell("0", c.first) + cell("1", c.second) + c.format});
    runs.push_back({c.name + ", other order", {}, c.second + "\n" + c.first + "\n",
                    cell("0", c.second) + cell("1", c.first) + c.format});
  }
  runcases(runs);
}

TEST(ColumnTable, RefusedColumns) {
  const std::string wider = "The table can't be any wider\n";
  runcases(std::vector<Case>{
      {"ZZ is recorded again in a full table", {"-s", "zz"}, "a\nbbbb\n",
       label("ZZ0", "a") + label("ZZ1", "bbbb") + fmt("ZZ", 5, 0)},
      {"ZZ reached by column steps", {"-C", "701", "-n", "2"},
       "a\nb\nc\ndddd\n",
       label("A0", "a") + label("A1", "b") + label("ZZ0", "c") +
           label("ZZ1", "dddd") + fmt("A", 2, 0) + fmt("ZZ", 5, 0)},
      {"ZZ recorded once ZY filled the table", {"-C", "700", "-n", "1"},
       "x\na bbb\n",
       label("A0", "x") + label("ZY0", "a") + label("ZZ0", "bbb") +
           fmt("A", 2, 0) + fmt("ZY", 2, 0) + fmt("ZZ", 4, 0)},
      {"-f: nothing to say for ZZ either", {"-f", "-s", "zz"}, "a\nb\n",
       label("ZZ0", "a") + label("ZZ1", "b")},
      {"the column after ZZ", {"-s", "zz"}, "a b\n",
       label("ZZ0", "a") + label("??0", "b") + fmt("ZZ", 2, 0),
       "coltoa: invalid col: 702\n" + wider +
           "coltoa: invalid col: 702\nInvalid column used: ??\n"},
      {"far beyond ZZ by column steps", {"-C", "701", "-n", "1"},
       "a\nb\nc\n",
       label("A0", "a") + label("ZZ0", "b") + label("??0", "c") +
           fmt("A", 2, 0) + fmt("ZZ", 2, 0),
       "coltoa: invalid col: 1402\n" + wider +
           "coltoa: invalid col: 1402\nInvalid column used: ??\n"},
      {"a negative column", {"-C", "-1", "-n", "1"}, "a\nb\n",
       label("A0", "a") + label("??0", "b") + fmt("A", 2, 0),
       "coltoa: invalid col: -1\ncoltoa: invalid col: -1\n"
       "Invalid column used: ??\n"},
      {"columns past 32 bits are still refused",
       {"-s", "c", "-C", "2147483647", "-n", "1"}, "a\nb\nc\n",
       label("C0", "a") + label("??0", "b") + label("??0", "c") +
           fmt("C", 2, 0),
       "coltoa: invalid col: 2147483649\n" + wider +
           "coltoa: invalid col: 2147483649\nInvalid column used: ??\n"
           "coltoa: invalid col: 4294967296\n" +
           wider + "coltoa: invalid col: 4294967296\nInvalid column used: ??\n"},
      {"negative columns past 32 bits are still refused",
       {"-C", "-2147483648", "-n", "1"}, "a\nb\nc\n",
       label("A0", "a") + label("??0", "b") + label("??0", "c") +
           fmt("A", 2, 0),
       "coltoa: invalid col: -2147483648\ncoltoa: invalid col: -2147483648\n"
       "Invalid column used: ??\n"
       "coltoa: invalid col: -4294967296\ncoltoa: invalid col: -4294967296\n"
       "Invalid column used: ??\n"},
  });
}

// ---------------------------------------------------------------------
// Fields longer than the field buffer

TEST(LongFields, CutTo999Bytes) {
  const std::string x999 = rep(999, 'x');
  runcases(std::vector<Case>{
      {"999 bytes fit", {}, x999 + " y\n",
       label("A0", x999) + label("B0", "y") + fmt("A", 1000, 0) +
           fmt("B", 2, 0)},
      {"1000 bytes are cut", {}, rep(1000, 'x') + " y\n",
       label("A0", x999) + label("B0", "y") + fmt("A", 1000, 0) +
           fmt("B", 2, 0),
       "Field cut to 999 bytes: A0\n"},
      {"the rest is dropped, not a new field", {},
       rep(999, 'a') + rep(3000, 'b') + "\tc\n",
       label("A0", rep(999, 'a')) + label("B0", "c") + fmt("A", 1000, 0) +
           fmt("B", 2, 0),
       "Field cut to 999 bytes: A0\n"},
      {"a quoted field is cut up to its closing quote", {},
       "x \"" + rep(1200, 'q') + " more\"z\n",
       label("A0", "x") + label("B0", rep(999, 'q')) + label("B0", "z") +
           fmt("A", 2, 0) + fmt("B", 1000, 0),
       "Field cut to 999 bytes: B0\n"},
      {"an unclosed quoted field is cut up to the newline", {},
       "\"" + rep(1500, 'q') + "\nz\n",
       label("A0", rep(999, 'q')) + label("A1", "z") + fmt("A", 1000, 0),
       "Field cut to 999 bytes: A0\n"},
      {"999 quoted bytes fit", {}, "\"" + rep(999, 'q') + "\"\n",
       label("A0", rep(999, 'q')) + fmt("A", 1000, 0)},
      {"1000 quoted bytes are cut", {}, "\"" + rep(1000, 'q') + "\"\n",
       label("A0", rep(999, 'q')) + fmt("A", 1000, 0),
       "Field cut to 999 bytes: A0\n"},
      {"a field over many input blocks", {}, rep(300000, 'z') + " y\n",
       label("A0", rep(999, 'z')) + label("B0", "y") + fmt("A", 1000, 0) +
           fmt("B", 2, 0),
       "Field cut to 999 bytes: A0\n"},
      {"a quoted field over many input blocks", {},
       "\"" + rep(300000, ' ') + "\" y\n",
       label("A0", rep(999, ' ')) + label("B0", "y") + fmt("A", 1000, 0) +
           fmt("B", 2, 0),
       "Field cut to 999 bytes: A0\n"},
      {"a cut field is classified on the bytes kept", {},
       rep(999, '7') + "abc\n", num("A0", rep(999, '7')) + fmt("A", 1000, 0),
       "Field cut to 999 bytes: A0\n"},
      {"two cut fields, two messages", {"-r"},
       rep(1001, 'a') + " " + rep(2000, 'b') + "\n",
       label("A0", rep(999, 'a')) + label("A1", rep(999, 'b')) +
           fmt("A", 1000, 0),
       "Field cut to 999 bytes: A0\nField cut to 999 bytes: A1\n"},
      {"a cut field in ZZ of a full table", {"-s", "zz"},
       "a\n" + rep(1000, 'w') + "\n",
       label("ZZ0", "a") + label("ZZ1", rep(999, 'w')) + fmt("ZZ", 1000, 0),
       "Field cut to 999 bytes: ZZ1\n"},
      {"a cut field beyond ZZ", {"-s", "zz"}, "a " + rep(1000, 'w') + "\n",
       label("ZZ0", "a") + label("??0", rep(999, 'w')) + fmt("ZZ", 2, 0),
       "coltoa: invalid col: 702\ncoltoa: invalid col: 702\n"
       "Field cut to 999 bytes: ??0\n"
       "The table can't be any wider\n"
       "coltoa: invalid col: 702\nInvalid column used: ??\n"},
  });
}

// ---------------------------------------------------------------------
// NUL bytes: dropped while NUL is no delimiter, a delimiter after -d

TEST(NulBytes, DroppedWithoutDelimiterOption) {
  runcases(std::vector<Case>{
      {"inside a field", {}, "a\0b c\n"s,
       label("A0", "ab") + label("B0", "c") + fmt("A", 3, 0) + fmt("B", 2, 0)},
      {"inside a number", {}, "1\0002 3\n"s,
       num("A0", "12") + num("B0", "3") + fmt("A", 3, 0) + fmt("B", 2, 0)},
      {"inside quotes", {}, "\"a\0b\" c\n"s,
       label("A0", "ab") + label("B0", "c") + fmt("A", 3, 0) + fmt("B", 2, 0)},
      {"right after an opening quote", {}, "\"\0\"x\n"s,
       label("A0", "") + label("A0", "x") + fmt("A", 2, 0)},
      {"right after a closing quote", {}, "\"a\"\0b\n"s,
       label("A0", "a") + label("A0", "b") + fmt("A", 2, 0)},
      {"between two bytes of a field", {}, "a\0\0\0b\n"s,
       label("A0", "ab") + fmt("A", 3, 0)},
      {"in a run of blanks", {}, "a \0 b\n"s,
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"in a run of blanks with -k", {"-k"}, "a \0 b\n"s,
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"before the first field", {"-k"}, "\0 a\n"s,
       label("B0", "a") + fmt("B", 2, 0)},
      {"alone on a line", {}, "\0\nx\n"s, label("A1", "x") + fmt("A", 2, 0)},
      {"the whole input", {}, "\0\0\0"s, ""},
      {"not counted towards the cut", {},
       rep(500, 'x') + rep(600, '\0') + rep(499, 'y') + " z\n",
       label("A0", rep(500, 'x') + rep(499, 'y')) + label("B0", "z") +
           fmt("A", 1000, 0) + fmt("B", 2, 0)},
  });
}

TEST(NulBytes, DelimiterAfterDelimiterOption) {
  runcases(std::vector<Case>{
      {"-d , NUL delimits", {"-d", ","}, "a\0b,c\n"s,
       label("A0", "a") + label("B0", "b") + label("C0", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("C", 2, 0)},
      {"-d , a run may start at NUL", {"-d", ","}, "a\0,,b\n"s,
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-d , a NUL stops a run", {"-d", ","}, "a,\0b\n"s,
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"-d , two NULs are two delimiters", {"-d", ","}, "a\0\0b\n"s,
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"-d , -k", {"-k", "-d", ","}, "a\0,b\n"s,
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"-d , a leading NUL is ignored", {"-d", ","}, "\0a\n"s,
       label("A0", "a") + fmt("A", 2, 0)},
      {"-d , a NUL ends a quoted field", {"-d", ","}, "\"ab\0cd\",e\n"s,
       label("A0", "ab") + label("B0", "cd\"") + label("C0", "e") +
           fmt("A", 3, 0) + fmt("B", 4, 0) + fmt("C", 2, 0)},
      {"-d '' two NULs are two delimiters", {"-d", ""}, "a\0\0b\n"s,
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
  });
}

// ---------------------------------------------------------------------
// Delimiter bytes the description leaves open

TEST(Delimiters, HighBytesAndNewline) {
  runcases(std::vector<Case>{
      {"-d byte 0xa7 splits", {"-d", "\xa7"}, "a\xa7" "b\xa7\xa7" "c\n",
       label("A0", "a") + label("B0", "b") + label("C0", "c") +
           fmt("A", 2, 0) + fmt("B", 2, 0) + fmt("C", 2, 0)},
      {"-d byte 0xa7 with -k", {"-k", "-d", "\xa7"}, "a\xa7\xa7" "b\n",
       label("A0", "a") + label("C0", "b") + fmt("A", 2, 0) + fmt("C", 2, 0)},
      {"-d byte 0x80 between numbers", {"-d", "\x80"}, "1\x80" "2\n",
       num("A0", "1") + num("B0", "2") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-d byte 0xff is not the end of input", {"-d", "\xff"},
       "a\xff" "b\xff",
       label("A0", "a") + label("B0", "b") + fmt("A", 2, 0) + fmt("B", 2, 0)},
      {"-d newline: lines still end", {"-d", "\n"}, "a b\nc\n",
       label("A0", "a b") + label("A1", "c") + fmt("A", 4, 0)},
      {"-d newline: a newline ends a run begun at NUL", {"-d", "\n"},
       "a b\0\nc\n"s,
       label("A0", "a b") + label("A1", "c") + fmt("A", 4, 0)},
      {"-d newline: NULs then a newline", {"-d", "\n"}, "a\0\0\nb\n"s,
       label("A0", "a") + label("A1", "b") + fmt("A", 2, 0)},
  });
}

// ---------------------------------------------------------------------
// Positions are 64-bit; option values are clamped to 32 bits

TEST(Positions, RowsBeyond32Bits) {
  runcases(std::vector<Case>{
      {"rows grow past 2^31", {"-s", "a2147483647", "-R", "2147483647"},
       "a\nb\nc\n",
       label("A2147483647", "a") + label("A4294967294", "b") +
           label("A6442450941", "c") + fmt("A", 2, 0)},
      {"negative rows grow past -2^31", {"-R", "-99999999999"}, "a\nb\nc\n",
       label("A0", "a") + label("A-2147483648", "b") +
           label("A-4294967296", "c") + fmt("A", 2, 0)},
      {"-R is clamped to 2147483647", {"-R", "99999999999"}, "a\nb\nc\n",
       label("A0", "a") + label("A2147483647", "b") +
           label("A4294967294", "c") + fmt("A", 2, 0)},
      {"-n is clamped, not wrapped", {"-n", "4294967295"}, "a\nb\n",
       label("A0", "a") + label("A1", "b") + fmt("A", 2, 0)},
      {"-C is clamped, not wrapped", {"-C", "4294967297", "-n", "1"},
       "a\nb\n", label("A0", "a") + label("??0", "b") + fmt("A", 2, 0),
       "coltoa: invalid col: 2147483647\nThe table can't be any wider\n"
       "coltoa: invalid col: 2147483647\nInvalid column used: ??\n"},
      {"-s row saturates", {"-s", "a99999999999"}, "a\nb\n",
       label("A2147483647", "a") + label("A2147483648", "b") +
           fmt("A", 2, 0)},
      {"row mode rows past 2^31", {"-r", "-s", "2147483647"}, "a b\n",
       label("A2147483647", "a") + label("A2147483648", "b") +
           fmt("A", 2, 0)},
  });
}

// ---------------------------------------------------------------------
// Input and output far larger than any buffer: every token and command
// lands somewhere across a block edge.

TEST(Streams, LargeInputLineByLine) {
  std::string in, out, err;
  const int lines = 12000;
  for (int i = 0; i < lines; i++) {
    std::string row = std::to_string(i);
    switch (i % 6) {
    case 0:
      in += "ab 12 \"q r\"\n";
      out += label("A" + row, "ab") + num("B" + row, "12") +
             label("C" + row, "q r");
      break;
    case 1:
      in += "\n";
      break;
    case 2:
      in += rep(999, 'w') + "\n";
      out += label("A" + row, rep(999, 'w'));
      break;
    case 3:
      in += "  x\t\t-1.25  \n";
      out += label("A" + row, "x") + num("B" + row, "-1.25");
      break;
    case 4:
      in += "a\0b\r\n"s;
      out += label("A" + row, "ab\r");
      break;
    case 5:
      in += rep(1500, 'c') + " d\n";
      out += label("A" + row, rep(999, 'c')) + label("B" + row, "d");
      err += "Field cut to 999 bytes: A" + row + "\n";
      break;
    }
  }
  out += fmt("A", 1000, 0) + fmt("B", 6, 2) + fmt("C", 4, 0);
  runprog::Options o = converter({});
  o.input = in;
  expectresult("12000 mixed lines", runprog::run(o), out, err, 0);
}

// ---------------------------------------------------------------------
// Failures of standard output and standard input

TEST(Failures, WriteErrors) {
  using runprog::Input;
  using runprog::Output;
  const std::string full = "txt2sheet: write error: No space left on device\n";
  std::string big;
  for (int i = 0; i < 100000; i++)
    big += "12 apple 3.5\n";
  runcases(std::vector<StreamCase>{
      {.name = "commands to a full disk",
       .input = "a\n",
       .out = Output::Path,
       .outpath = "/dev/full",
       .wanterr = full,
       .status = 1},
      {.name = "much output to a full disk: one message",
       .input = big,
       .out = Output::Path,
       .outpath = "/dev/full",
       .wanterr = full,
       .status = 1},
      // A usage error writes nothing on standard output, so a full disk
      // there hides nothing.
      {.name = "usage error with a full disk",
       .args = {"file"},
       .input = "a\n",
       .out = Output::Path,
       .outpath = "/dev/full",
       .wanterr = "txt2sheet: file: input is read from standard input only\n" + U,
       .status = 1},
      {.name = "-h with a full disk",
       .args = {"-h"},
       .input = "a\n",
       .out = Output::Path,
       .outpath = "/dev/full",
       .wanterr = "txt2sheet: invalid option -- 'h'\n" + U,
       .status = 1},
      {.name = "-v to a full disk",
       .args = {"-v"},
       .input = "a\n",
       .out = Output::Path,
       .outpath = "/dev/full",
       .wanterr = V + full,
       .status = 1},
      {.name = "named by argv[0]",
       .input = "a\n",
       .out = Output::Path,
       .outpath = "/dev/full",
       .argv0 = "./t2s",
       .wanterr = "./t2s: write error: No space left on device\n",
       .status = 1},
      {.name = "standard output closed",
       .input = "a\n",
       .out = Output::Closed,
       .wanterr = "txt2sheet: write error: Bad file descriptor\n",
       .status = 1},
      {.name = "nothing to write is no error",
       .input = "",
       .out = Output::Path,
       .outpath = "/dev/full"},
  });
}

// Output is written a block at a time, and a failed write ends the run
// before the next field is read: with every cell past ZZ refused, the
// refusals on standard error show how far the converter read, which must
// be exactly the fields of the first block.
TEST(Failures, WriteErrorEndsTheRunAtTheFirstBlock) {
  std::string in;
  for (int i = 0; i < 20000; i++)
    in += "a b c d e f g h\n";
  runprog::Options o = converter({"-s", "zz"});
  o.input = in;
  runprog::Result all = runprog::run(o);
  ASSERT_EQ(all.status, 0) << runprog::describe(all);
  // The field whose command fills the block is the last one read. Every
  // cell is past ZZ but a line's first, and each is refused once.
  size_t pos = 0, fields = 0, atzz = 0;
  while (pos < OUTCAP) {
    size_t nl = all.out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    atzz += all.out.compare(pos, 14, "rightstring ZZ") == 0;
    pos = nl + 1;
    fields++;
  }
  o.out = runprog::Output::Path;
  o.outpath = "/dev/full";
  runprog::Result full = runprog::run(o);
  EXPECT_EQ(full.status, 1);
  size_t refused = 0;
  for (size_t at = 0; (at = full.err.find("Invalid column used", at)) != std::string::npos; at++)
    refused++;
  EXPECT_EQ(refused, fields - atzz);
  const std::string tail = "txt2sheet: write error: No space left on device\n";
  ASSERT_GE(full.err.size(), tail.size());
  EXPECT_EQ(full.err.substr(full.err.size() - tail.size()), tail);
}

TEST(Failures, ReadErrors) {
  using runprog::Input;
  const std::string isdir = "txt2sheet: read error: Is a directory\n";
  runcases(std::vector<StreamCase>{
      {.name = "standard input is a directory",
       .in = Input::Path,
       .input = "/",
       .wanterr = isdir,
       .status = 1},
      {.name = "a directory with -f",
       .args = {"-f"},
       .in = Input::Path,
       .input = "/",
       .wanterr = isdir,
       .status = 1},
      {.name = "standard input closed",
       .in = Input::Closed,
       .wanterr = "txt2sheet: read error: Bad file descriptor\n",
       .status = 1},
      {.name = "named by argv[0]",
       .in = Input::Path,
       .input = "/",
       .argv0 = "x/y",
       .wanterr = "x/y: read error: Is a directory\n",
       .status = 1},
      {.name = "-v does not read",
       .args = {"-v"},
       .in = Input::Path,
       .input = "/",
       .wantout = U,
       .wanterr = V,
       .status = 1},
  });
}

// ---------------------------------------------------------------------
// The harness itself, so that later tests can trust it

TEST(RunProg, ExactArgumentsAndBinaryInput) {
  runprog::Options o;
  o.path = "/usr/bin/printf";
  o.argv = {"printf", "[%s]", "", "a b", "-v", "\xff"};
  runprog::Result r = runprog::run(o);
  EXPECT_EQ(runprog::describe(r), "exit 0");
  EXPECT_EQ(r.out, "[][a b][-v][\xff]");

  std::string in;
  for (int i = 0; i < (8 << 20); i++)
    in += static_cast<char>(i * 7 % 256);
  o.path = "/bin/cat";
  o.argv = {"cat"};
  o.input = in;
  r = runprog::run(o);
  EXPECT_EQ(runprog::describe(r), "exit 0");
  EXPECT_EQ(r.inwritten, in.size());
  EXPECT_TRUE(r.out == in) << "cat gave back " << r.out.size() << " of "
                           << in.size() << " bytes, or other bytes";
  // The test holds 16 MiB here; a forked child would count them. Under an
  // emulator the launcher's copy of it, which cat replaces, counts.
  if (!runprog::emulated()) {
    EXPECT_LT(r.peakrsskb, 8 * 1024) << "peak RSS of cat";
  }
}

TEST(RunProg, EndingsAndClosedPipes) {
  runprog::Options o;
  o.path = "/bin/sh";
  o.argv = {"sh", "-c", "kill -TERM $$"};
  runprog::Result r = runprog::run(o);
  EXPECT_EQ(runprog::describe(r), "signal 15 (Terminated)");

  o.argv = {"sh", "-c", "exit 3"};
  EXPECT_EQ(runprog::describe(runprog::run(o)), "exit 3");

  o.path = "/nonexistent/program";
  r = runprog::run(o);
  EXPECT_NE(r.error.find("No such file or directory"), std::string::npos)
      << r.error;

  // A reader that goes away: the writer is killed by SIGPIPE, or told
  // EPIPE when it ignores the signal.
  o.path = "/bin/cat";
  o.argv = {"cat"};
  o.input = std::string(4 << 20, 'x');
  o.outlimit = 10;
  r = runprog::run(o);
  EXPECT_EQ(r.out, "xxxxxxxxxx");
  EXPECT_EQ(runprog::describe(r), "signal 13 (Broken pipe)");
  o.ignoresigpipe = true;
  r = runprog::run(o);
  EXPECT_EQ(runprog::describe(r), "exit 1");
  EXPECT_NE(r.err.find("Broken pipe"), std::string::npos) << r.err;
}

} // namespace
