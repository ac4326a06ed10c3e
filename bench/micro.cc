// Microbenchmarks of the converter's hot pieces: the scanner (token by
// token, and the token reader as the conversion loop runs it), number
// recognition in the scan, the cell-command writer, and the whole
// converter in memory.
// The input is made here, deterministically, in the shapes that
// bench/run.sh times end to end, so a loss there can be traced to a piece.
//
//   cmake --preset bench && cmake --build --preset bench
//   build/bench/bench/micro [--benchmark_filter=scan]
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/settings.h"
#include "convert/cells.h"
#include "driver/options.h"
#include "driver/txt2sheet.h"
#include "scan/scan.h"

namespace {

enum shape { MIXED, CSV, WIDE, LONG };
const char *const shapename[] = {"mixed", "csv", "wide", "long"};

const char *const words[] = {"alpha", "beta",  "gamma", "delta", "apple", "pear",
                             "total", "north", "south", "east",  "west",  "paris",
                             "lyon",  "ny",    "sf",    "q1",    "q2",    "q3",
                             "q4",    "net",   "gross", "tax",   "fee"};

struct maker {
  std::mt19937 r{1};
  double uniform() { return std::uniform_real_distribution<double>(0, 1)(r); }
  int upto(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(r); }

  void number(std::string &s) {
    char b[48];
    double k = uniform();
    if (k < 0.4)
      snprintf(b, sizeof b, "%d", upto(0, 99999));
    else if (k < 0.8)
      snprintf(b, sizeof b, "%.*f", upto(1, 4), (uniform() * 2 - 1) * 1e4);
    else if (k < 0.9)
      snprintf(b, sizeof b, "%.3e", (uniform() * 2 - 1) * 1e9);
    else
      snprintf(b, sizeof b, "-%d", upto(1, 999));
    s += b;
  }
  void label(std::string &s) {
    s += words[upto(0, sizeof words / sizeof *words - 1)];
    if (uniform() >= 0.7)
      s += std::to_string(upto(1, 99));
  }
  void line(shape sh, std::string &s) {
    static const char *const seps[] = {" ", "\t", "  ", " \t"};
    switch (sh) {
    case MIXED:
      for (int i = 0; i < 10; i++) {
        if (i)
          s += seps[upto(0, 3)];
        double k = uniform();
        if (k < 0.6) {
          number(s);
        } else if (k < 0.9) {
          label(s);
        } else {
          s += '"';
          label(s);
          s += ' ';
          label(s);
          s += '"';
        }
      }
      break;
    case CSV:
      for (int i = 0; i < 12; i++) {
        if (i)
          s += ',';
        uniform() < 0.8 ? number(s) : label(s);
      }
      break;
    case WIDE:
      for (int i = 0; i < 300; i++) {
        if (i)
          s += ' ';
        uniform() < 0.7 ? number(s) : label(s);
      }
      break;
    case LONG:
      for (int i = 0; i < 4; i++) {
        if (i)
          s += ' ';
        for (int n = upto(50, 900); n > 0; n--)
          s += "abcdefghij_.xyz"[upto(0, 14)];
      }
      break;
    }
    s += '\n';
  }
};

constexpr size_t INPUTSIZE = 4 << 20;

// Made once per shape: the same bytes for every benchmark and every run.
const std::string &input(shape sh) {
  static std::string made[4];
  std::string &s = made[sh];
  if (s.empty()) {
    maker m;
    s.reserve(INPUTSIZE + 8192);
    while (s.size() < INPUTSIZE)
      m.line(sh, s);
  }
  return s;
}

// The options that bench/run.sh gives each shape.
std::vector<std::string> optionsfor(shape sh) {
  if (sh == CSV)
    return {"txt2sheet", "-d", ","};
  return {"txt2sheet"};
}

struct argvec {
  std::vector<std::string> words;
  std::vector<char *> ptrs;
  explicit argvec(std::vector<std::string> w) : words(std::move(w)) {
    for (auto &x : words)
      ptrs.push_back(x.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
  char **argv() { return ptrs.data(); }
};

// The shape's settings.
settings settle(shape sh) {
  argvec a(optionsfor(sh));
  settings set;
  output out;
  errsink err;
  parseargs(a.argc(), a.argv(), set, out, err);
  return set;
}

// The scanner through its entry point for callers outside the loop: every
// token of the input, fields classified on the way, nothing written.
// Reading from memory copies each block the way a read() would.
void BM_scan(benchmark::State &state) {
  shape sh = static_cast<shape>(state.range(0));
  const std::string &in = input(sh);
  settings set = settle(sh);
  scanner sc(set);
  int64_t fields = 0;
  for (auto _ : state) {
    sc.in.setmem(in.data(), in.size(), 0);
    int t;
    while ((t = sc.nexttoken()) != TOK_EOF)
      fields += t == TOK_NUMBER || t == TOK_LABEL;
    benchmark::DoNotOptimize(sc.fieldbuf);
  }
  state.SetLabel(shapename[sh]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.SetItemsProcessed(fields);
}
BENCHMARK(BM_scan)->DenseRange(MIXED, LONG)->Unit(benchmark::kMillisecond);

// The token reader as the conversion loop calls it, with actions that only
// count: the field's text left where it lies, no copy per token. The
// difference to BM_scan is what nexttoken() adds, stopping and starting
// again at every token and copying the field out.
void BM_reader(benchmark::State &state) {
  shape sh = static_cast<shape>(state.range(0));
  const std::string &in = input(sh);
  settings set = settle(sh);
  scanner sc(set);
  struct counts {
    int64_t fields = 0, sum = 0;
    bool onfield(int label, const char *, int len, int frac, int) {
      fields++;
      sum += len + frac + label;
      return true;
    }
    bool ondelim() { return true; }
    bool oneol() {
      sum++;
      return true;
    }
  } k;
  for (auto _ : state) {
    sc.in.setmem(in.data(), in.size(), 0);
    sc.read(k);
  }
  benchmark::DoNotOptimize(k.sum);
  state.SetLabel(shapename[sh]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.SetItemsProcessed(k.fields);
}
BENCHMARK(BM_reader)->DenseRange(MIXED, LONG)->Unit(benchmark::kMillisecond);

// Fields on both sides of the number rule, in the proportions of the
// mixed shape's numbers; the labels include the near misses.
const std::vector<std::string> numbers = {
    "12",      "92193",      "-3.5", "6923.9484", "-1.345e+08", "5.275e+08", "+7",
    ".5",      "5.",         "1e5",  "1E5",       "1e-5",       "-231",      "44.77",
    "1.2.3",   "--5",        "0",    "70793",     "-8270.648",  "418.77"};
const std::vector<std::string> labels = {
    "apple", "delta67", "q1",   "5-",   "1e+",  "12abc", "0x1F", "e5",   "+",     ".",
    "north", "total",   "sf71", "q286", "tax",  "-",     "12\r", "fee3", "gross", "lyon"};

const std::vector<std::string> &fieldset(int which) {
  static std::vector<std::string> both;
  if (both.empty()) {
    for (size_t i = 0; i < numbers.size(); i++) {
      both.push_back(numbers[i]);
      both.push_back(labels[i]);
    }
  }
  return which == 0 ? numbers : which == 1 ? labels : both;
}
const char *const setname[] = {"numbers", "labels", "both"};

// The same fields classified by the scanner as it finds them, ten to a
// line: what the converter does.
void BM_classify(benchmark::State &state) {
  const std::vector<std::string> &set = fieldset(static_cast<int>(state.range(0)));
  std::string in;
  for (size_t i = 0; in.size() < (1 << 20); i++)
    in += set[i % set.size()] + (i % 10 == 9 ? "\n" : " ");
  scanner sc(settle(MIXED));
  int64_t nums = 0;
  for (auto _ : state) {
    sc.in.setmem(in.data(), in.size(), 0);
    int t;
    while ((t = sc.nexttoken()) != TOK_EOF)
      nums += t == TOK_NUMBER;
  }
  benchmark::DoNotOptimize(nums);
  state.SetLabel(setname[state.range(0)]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_classify)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// The cell commands for rows of cells, each row `cols` wide, into memory;
// the output string is emptied now and then so it stays in the cache.
// Bytes are the commands' bytes.
void BM_writecell(benchmark::State &state) {
  const int cols = static_cast<int>(state.range(0));
  const std::vector<std::string> &set = fieldset(2);
  // Numbers and labels alternate in the set.
  std::vector<int> kinds;
  for (size_t i = 0; i < set.size(); i++)
    kinds.push_back(i % 2 ? TOK_LABEL : TOK_NUMBER);
  std::string mem;
  mem.reserve(1 << 22);
  output out(&mem);
  errsink err;
  rowtext r;
  makerowtext(r, 0);
  int64_t row = 0, written = 0, cells = 0;
  size_t k = 0;
  for (auto _ : state) {
    size_t before = mem.size() + out.len;
    for (int c = 0; c < cols; c++) {
      out.reserve(OUTSLACK);
      char *o = putname(out.buf + out.len, rightprefixes, kinds[k], c, err);
      o = putbody(o, kinds[k] == TOK_LABEL, set[k].data(), static_cast<int>(set[k].size()), r);
      out.len = static_cast<size_t>(o - out.buf);
      if (++k == set.size())
        k = 0;
    }
    nextrowtext(r, ++row);
    cells += cols;
    written += static_cast<int64_t>(mem.size() + out.len - before);
    if (mem.size() > (1 << 21))
      mem.clear();
  }
  out.flush();
  state.SetBytesProcessed(written);
  state.SetItemsProcessed(cells);
}
BENCHMARK(BM_writecell)->Arg(10)->Arg(300);

// Everything: options, table, scanner, loop, writer and summary over a
// generated input. The output is appended to a string, a copy that a run
// into /dev/null does not make.
void BM_convert(benchmark::State &state) {
  shape sh = static_cast<shape>(state.range(0));
  const std::string &in = input(sh);
  argvec a(optionsfor(sh));
  std::string out, err;
  out.reserve(in.size() * 4);
  for (auto _ : state) {
    out.clear();
    err.clear();
    int status = txt2sheetmem(a.argc(), a.argv(), in.data(), in.size(), 0, &out, &err);
    if (status != 0) {
      state.SkipWithError("the converter failed");
      break;
    }
  }
  state.SetLabel(shapename[sh]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["out/in"] = static_cast<double>(out.size()) / static_cast<double>(in.size());
}
BENCHMARK(BM_convert)->DenseRange(MIXED, LONG)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
