// What the test hooks reach (a core built with TXT2SHEET_TESTHOOKS): input
// blocks of every small size, whose edges every path of the scanner meets,
// and read and write calls that come up short, are interrupted or fail.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/output.h"
#include "base/sysio.h"
#include "scan/scan.h"
#include "testutil.h"

namespace {

runresult inblocks(const std::vector<std::string> &args, const std::string &in, size_t block) {
  setinputblock(block);
  runresult r = runmem(args, in);
  setinputblock(0);
  return r;
}

// Lines whose fields, runs and quotes fall on every offset of a block.
std::string mixed() {
  std::string s;
  for (int i = 0; i < 60; i++) {
    s += std::to_string(i * 37) + " w" + std::string(static_cast<size_t>(i % 23), 'x') +
         "\t\t\"q " + std::to_string(i) + "\"" + std::string(static_cast<size_t>(i % 5), ' ') +
         "-1." + std::to_string(i) + "e3";
    s += i % 7 ? "\n" : "\r\n";
  }
  return s;
}

TEST(Hooks, EveryBlockSizeGivesTheOneBlockResult) {
  const std::string longfield(1500, '7');
  const struct {
    const char *name;
    std::vector<std::string> args;
    std::string in;
  } cases[] = {
      {"mixed", {}, mixed()},
      {"mixed, -k", {"-k"}, mixed()},
      {"csv with NULs", {"-k", "-d", ","}, "1,,2\n\"a,b\",c" + std::string(1, '\0') + ",3\n,x\n"},
      {"NULs dropped", {}, std::string("1 \0 2\0\0 3\n", 10) + mixed()},
      {"long fields", {"-r"}, longfield + " " + longfield + "\n\"" + longfield + "\"\n"},
  };
  for (const auto &c : cases) {
    runresult want = inblocks(c.args, c.in, 0);
    std::vector<size_t> sizes = {c.in.size(), c.in.size() - 1, 4096};
    for (size_t b = 1; b <= 140; b++)
      sizes.push_back(b);
    for (size_t b : sizes) {
      runresult got = inblocks(c.args, c.in, b);
      ASSERT_EQ(got.out, want.out) << c.name << ", blocks of " << b;
      ASSERT_EQ(got.err, want.err) << c.name << ", blocks of " << b;
      ASSERT_EQ(got.status, want.status) << c.name << ", blocks of " << b;
    }
  }
}

// Stand-ins for the calls: every call of a kind does what its plan says in
// turn, the last step over and over.
enum step { ALL, ONE, INTR, AGAIN, FAIL };
struct plan {
  std::vector<step> reads, writes;
  int err = EIO;
} p;
std::string source, written;
std::vector<size_t> writesizes; // what each write was asked to write
size_t inpos;
unsigned reads, writes, waits;

step next(const std::vector<step> &steps, unsigned call) {
  return steps.empty() ? ALL : steps[std::min<size_t>(call, steps.size() - 1)];
}

ssize_t fakeread(int, void *buf, size_t n) {
  step s = next(p.reads, reads++);
  if (s == INTR || s == AGAIN || s == FAIL) {
    errno = s == INTR ? EINTR : s == AGAIN ? EAGAIN : p.err;
    return -1;
  }
  size_t k = std::min(s == ONE ? 1 : n, source.size() - inpos);
  memcpy(buf, source.data() + inpos, k);
  inpos += k;
  return static_cast<ssize_t>(k);
}

ssize_t fakewrite(int, const void *buf, size_t n) {
  writesizes.push_back(n);
  step s = next(p.writes, writes++);
  if (s == INTR || s == AGAIN || s == FAIL) {
    errno = s == INTR ? EINTR : s == AGAIN ? EAGAIN : p.err;
    return -1;
  }
  size_t k = s == ONE ? 1 : n;
  written.append(static_cast<const char *>(buf), k);
  return static_cast<ssize_t>(k);
}

int fakepoll(struct pollfd *fds, nfds_t, int) {
  waits++;
  fds[0].revents = fds[0].events;
  return 1;
}

runresult faulty(const plan &pl, const std::string &in) {
  p = pl;
  source = in;
  written.clear();
  inpos = reads = writes = waits = 0;
  const syscalls real = sys;
  sys = {fakeread, fakewrite, fakepoll};
  setoutputblock(64); // so that output is written while input is read
  argvec av({});
  runresult r;
  r.status = txt2sheetmem(av.argc(), av.argv(), nullptr, 0, 0, nullptr, &r.err);
  setoutputblock(0);
  sys = real;
  r.out = written;
  return r;
}

TEST(Hooks, ShortInterruptedAndBlockedCallsLoseNothing) {
  const std::string in = mixed();
  const runresult want = runmem({}, in);
  const struct {
    const char *name;
    plan pl;
    unsigned minwaits;
  } cases[] = {
      {"a byte a read", {{ONE}, {}}, 0},
      {"a byte a write", {{}, {ONE}}, 0},
      {"interrupted, then a byte", {{INTR, ONE, INTR, ONE, ONE, INTR, ONE}, {INTR, ONE, INTR, ONE}}, 0},
      {"EAGAIN waits", {{AGAIN, ONE, AGAIN, ONE}, {AGAIN, ONE, AGAIN, ALL}}, 4},
  };
  for (const auto &c : cases) {
    runresult got = faulty(c.pl, in);
    EXPECT_EQ(got.out, want.out) << c.name;
    EXPECT_EQ(got.err, want.err) << c.name;
    EXPECT_EQ(got.status, 0) << c.name;
    EXPECT_GE(waits, c.minwaits) << c.name;
  }
}

TEST(Hooks, AFailedCallKeepsWhatCameBeforeAndSaysSoOnce) {
  const std::string in = mixed();
  const runresult whole = runmem({}, in);
  // The read fails at its 301st call, a byte a read before it.
  plan readfails{std::vector<step>(300, ONE), {}, EIO};
  readfails.reads.push_back(FAIL);
  runresult got = faulty(readfails, in);
  runresult pre = runmem({}, in.substr(0, 300));
  EXPECT_EQ(got.out, pre.out);
  EXPECT_EQ(got.err, pre.err + "txt2sheet: read error: " + strerror(EIO) + "\n");
  EXPECT_EQ(got.status, 1);

  // The 41st write fails, a byte a write before it.
  plan writefails{{}, std::vector<step>(40, ONE), ENOSPC};
  writefails.writes.push_back(FAIL);
  got = faulty(writefails, in);
  EXPECT_EQ(got.out, whole.out.substr(0, 40));
  EXPECT_EQ(got.err, std::string("txt2sheet: write error: ") + strerror(ENOSPC) + "\n");
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(writes, 41u) << "a write after the failed one";
}

// The input from memory and the writes faulty, on one thread or on
// worker threads in pieces of `piece` bytes.
runresult faultywrites(const plan &pl, const std::vector<std::string> &args,
                       const std::string &in, int threads, size_t piece) {
  p = pl;
  written.clear();
  writesizes.clear();
  inpos = reads = writes = waits = 0;
  const syscalls real = sys;
  sys = {real.read, fakewrite, fakepoll};
  setoutputblock(64);
  argvec av(args);
  runresult r;
  r.status = txt2sheetthreads(av.argc(), av.argv(), in.data(), in.size(), 0, nullptr, &r.err,
                              threads, piece);
  setoutputblock(0);
  sys = real;
  r.out = written;
  return r;
}

// The writes of standard output, and where the words said fall among
// them, are the same on worker threads as on one: a piece's output goes
// out in the blocks one thread would have made, and a write that fails
// ends the run after the same words. Each write is asked for the same
// bytes as on one thread.
TEST(Hooks, WorkerThreadsWriteTheBlocksOneThreadWould) {
  const struct {
    const char *name;
    std::vector<std::string> args;
    std::string in;
  } inputs[] = {
      {"mixed", {}, mixed()},
      {"every line with words past ZZ", {"-s", "zw"}, mixed()},
      {"a cut field now and then", {"-r"}, mixed() + std::string(1200, 'c') + "\n" + mixed()},
  };
  std::vector<plan> plans = {{{}, {}}, {{}, {ONE, INTR, ONE, AGAIN, ALL}}};
  for (unsigned k : {1u, 2u, 3u, 7u, 20u, 60u}) {
    plan pl{{}, std::vector<step>(k - 1, ALL), ENOSPC};
    pl.writes.push_back(FAIL);
    plans.push_back(pl);
    plan shortfirst{{}, std::vector<step>(k - 1, ONE), EPIPE};
    shortfirst.writes.push_back(FAIL);
    plans.push_back(shortfirst);
  }
  for (const auto &c : inputs)
    for (size_t i = 0; i < plans.size(); i++) {
      runresult want = faultywrites(plans[i], c.args, c.in, 1, 0);
      const std::vector<size_t> wantsizes = writesizes;
      for (size_t piece : {1, 29, 200, 4096}) {
        runresult got = faultywrites(plans[i], c.args, c.in, 2, piece);
        std::string where = std::string(c.name) + ", plan " + std::to_string(i) +
                            ", pieces of " + std::to_string(piece);
        EXPECT_EQ(got.status, want.status) << where;
        EXPECT_EQ(got.out, want.out) << where;
        EXPECT_EQ(got.err, want.err) << where;
        EXPECT_EQ(writesizes, wantsizes) << where << ": the writes were asked for other sizes";
      }
    }
}

} // namespace
