// The pieces that let the input be converted on several threads: the
// thread count, where a line starts from its index alone, the cutting of
// the input at line ends, and the ordered pipeline.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "par/chunks.h"
#include "par/layout.h"
#include "par/pipeline.h"
#include "par/threads.h"

TEST(Threads, CountFromTheEnvironment) {
  static const struct {
    const char *value;
    int cpus, want;
  } cases[] = {
      {nullptr, 1, 1},     {nullptr, 2, 2},       {nullptr, 8, 8},
      {nullptr, 64, AUTOTHREADS},                 {nullptr, 0, 1},
      {"1", 16, 1},        {"3", 2, 3},           {"64", 2, 64},
      {"65", 2, MAXTHREADS}, {"99999999999999999999", 2, MAXTHREADS},
      {"007", 2, 7},
      // Not a positive number: refused.
      {"0", 2, 0},         {"", 2, 0},            {"-2", 2, 0},
      {"+2", 2, 0},        {" 2", 2, 0},          {"2 ", 2, 0},
      {"2x", 2, 0},        {"two", 2, 0},         {"1.5", 2, 0},
      {"000", 2, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(threadcount(c.value, c.cpus), c.want)
        << "value " << (c.value ? c.value : "(unset)") << ", " << c.cpus << " CPUs";
}

TEST(Threads, CpusAllowedIsAtLeastOne) { EXPECT_GE(cpusallowed(), 1); }

// Whether an input's fields are short enough for the threads to pay,
// judged by its own delimiters.
TEST(Threads, ManyFieldsJudgedByTheDelimitersInUse) {
  auto lines = [](const std::string &line) {
    std::string s;
    while (s.size() < 4096)
      s += line;
    return s;
  };
  static const std::string longlabel(400, 'q');
  static const struct {
    std::string sample;
    int delim1, delim2;
    bool many;
  } cases[] = {
      {lines("12 apple\t3.5 \"two words\" -7 x 8 9 10 north\n"), ' ', '\t', true},
      {lines("1,2,3,four,5.5,six,\"7\",8,9,10,11,12\n"), ',', 0, true},
      {lines(longlabel + " " + longlabel + " " + longlabel + "\n"), ' ', '\t', false},
      // Commas are no delimiters unless -d makes them so.
      {lines("1,2,3,four,5.5,six,\"7\",8,9,10,11,12\n"), ' ', '\t', false},
      {lines("a b c d e f g h\n"), ',', 0, true}, // short lines alone are many fields
      {std::string(4096, ' '), ' ', '\t', true},
      {std::string(4096, 'x'), ' ', '\t', false},
  };
  for (const auto &c : cases) {
    const auto *p = reinterpret_cast<const unsigned char *>(c.sample.data());
    EXPECT_EQ(manyfields(p, c.sample.size(), c.delim1, c.delim2), c.many)
        << c.sample.substr(0, 60);
  }
}

// The closed form against the moves the conversion makes line by line.
static int64_t satadd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

TEST(Layout, LineStartMatchesLineByLineMoves) {
  static const layoutparams cases[] = {
      {false, 0, 0, 1, 1, 20000},
      {false, 5, 2, 2, 3, 4},
      {true, 0, 0, 1, 1, 3},
      {true, 7, 1, -2, 5, 1},
      {false, 0, 0, 1, 1, 0},
      {false, 0, 0, 1, 1, -7},
      {false, INT32_MAX, 701, INT32_MAX, INT32_MAX, 2},
      {true, INT32_MAX, 0, INT32_MAX, INT32_MIN, 3},
      {false, 0, 0, INT32_MIN, INT32_MIN, 5},
      {true, 3, 3, 0, 0, 2},
  };
  for (const layoutparams &p : cases) {
    int64_t brow = p.startrow, bcol = p.startcol, lines = 0, blocks = 0;
    // Long enough for the steps of 2^31 to saturate 64 bits.
    for (int64_t i = 0; i < 30000; i++) {
      linestart s = startofline(p, i);
      ASSERT_TRUE(s.baserow == brow && s.basecol == bcol && s.linecount == lines &&
                  s.blocks == blocks)
          << "line " << i << " (rowmode " << p.rowmode << ", -n " << p.blocklen << ", -R "
          << p.rowstep << ", -C " << p.colstep << "): got " << s.baserow << "/" << s.basecol
          << "/" << s.linecount << "/" << s.blocks << ", wanted " << brow << "/" << bcol << "/"
          << lines << "/" << blocks;
      if (lines + 1 >= p.blocklen) {
        lines = 0;
        blocks++;
        if (p.rowmode) {
          bcol = p.startcol;
          brow = satadd(brow, p.rowstep);
        } else {
          brow = p.startrow;
          bcol = satadd(bcol, p.colstep);
        }
      } else {
        lines++;
        if (p.rowmode)
          bcol = satadd(bcol, p.colstep);
        else
          brow = satadd(brow, p.rowstep);
      }
    }
  }
}

TEST(Layout, FarLinesSaturate) {
  layoutparams p{false, 0, 0, INT32_MAX, INT32_MAX, 1};
  linestart s = startofline(p, INT64_MAX);
  EXPECT_EQ(s.blocks, INT64_MAX);
  EXPECT_EQ(s.basecol, INT64_MAX);
  EXPECT_EQ(s.baserow, 0);
  // Downwards too, in row mode.
  p = {true, 0, 0, INT32_MIN, 1, 1};
  s = startofline(p, INT64_MAX / 2);
  EXPECT_EQ(s.baserow, INT64_MIN);
  EXPECT_EQ(s.basecol, 0);
}

// Every piece a chunker gives, LONG lines put together again.
struct cut {
  std::vector<std::string> pieces; // whole lines, or a long line whole
  std::vector<bool> islong;
  int64_t lines = 0;
};

static cut cutall(chunker &c) {
  cut r;
  std::vector<unsigned char> buf(c.chunkbytes() + CHUNKROOM);
  for (;;) {
    size_t len;
    int64_t lines;
    int k = c.next(buf.data(), len, lines);
    if (k == chunker::END)
      break;
    EXPECT_GT(len, 0u);
    std::string piece(reinterpret_cast<char *>(buf.data()), len);
    EXPECT_EQ(std::count(piece.begin(), piece.end(), '\n'), lines);
    r.lines += lines;
    if (k == chunker::LONG) {
      EXPECT_EQ(len, c.chunkbytes());
      EXPECT_EQ(piece.find('\n'), std::string::npos);
      for (bool ended = false; !ended;) {
        size_t n = c.more(buf.data(), c.chunkbytes(), ended);
        std::string part(reinterpret_cast<char *>(buf.data()), n);
        size_t nl = part.find('\n');
        EXPECT_TRUE(nl == std::string::npos || (nl == n - 1 && ended)) << "a part past the line";
        piece += part;
        r.lines += nl != std::string::npos;
      }
    }
    r.pieces.push_back(piece);
    r.islong.push_back(k == chunker::LONG);
  }
  return r;
}

TEST(Chunks, CutAtLineEnds) {
  std::string lines;
  for (int i = 0; i < 500; i++)
    lines += std::string(static_cast<size_t>(i % 37), static_cast<char>('a' + i % 26)) + " \"q\"\n";
  std::string noend = lines + "tail without newline";
  std::string longline = "short\n" + std::string(1000, 'x') + "\nafter\n" + std::string(300, 'y');
  std::string nuls = std::string("a\0b\n\0\0\nc", 8) + '\0';
  static const size_t sizes[] = {1, 2, 7, 64, 100, 4096};
  static const size_t piecesizes[] = {0, 1, 3, 1000};
  const struct {
    const char *name;
    const std::string &in;
    bool dropnul;
    std::string want;
  } cases[] = {
      {"whole lines", lines, true, lines},
      {"the last line without its newline", noend, true, noend},
      {"lines longer than a piece", longline, true, longline},
      {"NULs dropped", nuls, true, "ab\n\nc"},
      {"NULs kept where they delimit", nuls, false, nuls},
      {"empty", std::string(), true, ""},
      {"only NULs", std::string(5, '\0'), true, ""},
  };
  for (const auto &c : cases)
    for (size_t size : sizes)
      for (size_t pc : piecesizes) {
        chunker ch(c.in.data(), c.in.size(), c.dropnul, size, pc);
        cut r = cutall(ch);
        std::string whole;
        for (size_t i = 0; i < r.pieces.size(); i++) {
          const std::string &p = r.pieces[i];
          // Every piece but the input's last ends at a newline.
          if (i + 1 < r.pieces.size()) {
            EXPECT_EQ(p.back(), '\n') << c.name << ", piece " << i;
          }
          EXPECT_TRUE(r.islong[i] || p.size() <= size) << c.name << ", piece " << i;
          whole += p;
        }
        EXPECT_EQ(whole, c.want) << c.name << ", pieces of " << size << ", reads of " << pc;
        EXPECT_EQ(r.lines, std::count(c.want.begin(), c.want.end(), '\n')) << c.name;
        EXPECT_EQ(ch.error, 0);
      }
}

TEST(Chunks, ReadErrorEndsTheInput) {
  chunker ch(-1, true, 64); // a descriptor that is not open
  unsigned char buf[64 + CHUNKROOM];
  size_t len;
  int64_t lines;
  EXPECT_EQ(ch.next(buf, len, lines), chunker::END);
  EXPECT_EQ(ch.error, EBADF);
}

// A job of the pipeline's test: its number, and what the work made of it.
struct numjob {
  int n = -1;
  long twice = 0;
  bool direct = false;
};

TEST(Pipeline, TakesJobsInTheOrderRead) {
  for (int workers : {1, 2, 5})
    for (size_t slots : {1, 2, 3, 9}) {
      pipeline<numjob> p(slots);
      int next = 0, want = 0, streamed = 0;
      bool ordered = true, worked = true;
      std::atomic<int> inflightmax{0}, inflight{0};
      p.run(
          workers,
          [&](numjob &j) {
            if (next == 2000)
              return jobkind::none;
            j.n = next++;
            j.direct = j.n % 11 == 3;
            return j.direct ? jobkind::direct : jobkind::work;
          },
          [&](numjob &) { streamed++; },
          [&](numjob &j, int me) {
            EXPECT_TRUE(me >= 0 && me < workers) << "thread " << me;
            int now = ++inflight;
            int seen = inflightmax;
            while (now > seen && !inflightmax.compare_exchange_weak(seen, now))
              ;
            j.twice = 2L * j.n;
            --inflight;
          },
          [&](numjob &j) {
            ordered = ordered && j.n == want++;
            worked = worked && (j.direct || j.twice == 2L * j.n);
            return true;
          });
      EXPECT_EQ(want, 2000) << workers << " workers, " << slots << " slots";
      EXPECT_TRUE(ordered) << workers << " workers, " << slots << " slots";
      EXPECT_TRUE(worked) << workers << " workers, " << slots << " slots";
      EXPECT_EQ(streamed, 2000 / 11 + (2000 % 11 > 3));
      EXPECT_LE(inflightmax.load(), static_cast<int>(std::min<size_t>(slots, workers)));
    }
}

// A stop from take() ends every thread, even one waiting in fill() for
// input that never comes.
TEST(Pipeline, StopEndsTheReaderAndTheWorkers) {
  for (int workers : {1, 3}) {
    pipeline<numjob> p(4);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int next = 0, took = 0;
    p.run(
        workers,
        [&](numjob &j) {
          if (next == 10) {
            // No more is written: the wait ends only through the stop.
            struct pollfd pf[2] = {{fds[0], POLLIN, 0}, {p.stopfd(), POLLIN, 0}};
            poll(pf, 2, -1);
            return jobkind::none;
          }
          j.n = next++;
          return jobkind::work;
        },
        [](numjob &) {}, [](numjob &j, int) { j.twice = j.n; },
        [&](numjob &j) {
          took++;
          return j.n < 5;
        });
    EXPECT_EQ(took, 6);
    EXPECT_TRUE(p.stopped());
    close(fds[0]);
    close(fds[1]);
  }
}
