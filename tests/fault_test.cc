// Faults end to end: the built binary fed what goes wrong outside it (a
// reader that leaves, a full or closed output, an input that fails after
// giving data, no standard error to complain to), enormous fields and
// binary junk. Whatever happens, the process must end, say so in its exit
// status, keep its memory flat and never write half a command.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>
#include <sched.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runprog.h"

#include "sanitizer.h"

namespace {

const char BIN[] = TXT2SHEET_BIN;

// The sanitizers' own shadow memory dwarfs the converter's, and so does an
// emulator's.
#ifdef UNDER_ASAN
constexpr long RSSLIMITKB = 0;
#else
constexpr long RSSLIMITKB = 4 * 1024;
#endif

// The bound on a run on `threads` threads: 4 MiB on one, and 2 MiB more
// for each worker.
long rsslimitkb(int threads) { return RSSLIMITKB + (threads > 1 ? 2048L * threads : 0); }

// The threads a run of the converter takes here: TXT2SHEET_THREADS, else
// the CPUs allowed, at most 8, as the converter counts them.
int threadsofrun() {
  if (const char *t = getenv("TXT2SHEET_THREADS"))
    return atoi(t);
  cpu_set_t set;
  CPU_ZERO(&set);
  int n = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  return n < 1 ? 1 : n > 8 ? 8 : n;
}

runprog::Options converter(std::vector<std::string> args) {
  runprog::Options o;
  o.path = BIN;
  args.insert(args.begin(), "txt2sheet");
  o.argv = args;
  o.timeoutsec = 60;
  return o;
}

// Many ordinary lines, deterministic: numbers, words, quoted text.
std::string lines(size_t bytes) {
  std::string s;
  for (unsigned i = 0; s.size() < bytes; i++)
    s += std::to_string(i) + " w" + std::to_string(i % 97) + "\t\"q " + std::to_string(i % 13) +
         "\" " + std::to_string(i % 1000) + ".25 -" + std::to_string(i % 7) + "e3\n";
  return s;
}

// What one line of output may be: a cell command with a column name (or
// "??") and a decimal row, or a summary line. Returns an empty string or
// what is wrong with it.
std::string badline(std::string_view l) {
  auto digits = [](std::string_view s) {
    size_t i = s.substr(0, 1) == "-" ? 1 : 0, j = i;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9')
      j++;
    return j > i && j - i <= 19 ? j : 0;
  };
  auto col = [](std::string_view s) -> size_t {
    auto up = [](char c) { return c >= 'A' && c <= 'Z'; };
    if (s.substr(0, 2) == "??" || (s.size() >= 2 && up(s[0]) && up(s[1])))
      return 2;
    return !s.empty() && up(s[0]) ? 1 : 0;
  };
  if (l.find('\0') != std::string_view::npos)
    return "a NUL byte";
  if (l.substr(0, 7) == "format ") {
    std::string_view r = l.substr(7);
    size_t c = col(r);
    if (c == 0 || r.substr(0, 2) == "??" || r.substr(c, 1) != " ")
      return "a summary line without its column";
    r.remove_prefix(c + 1);
    size_t w = digits(r);
    if (w == 0 || r[0] == '-' || r.substr(w, 1) != " ")
      return "a summary line without its width";
    r.remove_prefix(w + 1);
    size_t p = digits(r);
    return p != 0 && r[0] != '-' && p == r.size() ? "" : "a summary line without its precision";
  }
  std::string_view word;
  for (std::string_view w : {"let ", "rightstring ", "leftstring "})
    if (l.substr(0, w.size()) == w)
      word = w;
  if (word.empty())
    return "no command";
  std::string_view r = l.substr(word.size());
  size_t c = col(r);
  size_t d = c ? digits(r.substr(c)) : 0;
  if (d == 0)
    return "no cell";
  r.remove_prefix(c + d);
  if (word == "let ")
    return r.substr(0, 3) == " = " && r.size() > 3 && r.size() <= 3 + 999 ? "" : "no number";
  return r.substr(0, 4) == " = \"" && r.size() >= 5 && r.size() <= 5 + 999 && r.back() == '"'
             ? ""
             : "no label";
}

// Every line whole and well-formed; returns the first that is not.
std::string firstbadline(const std::string &out) {
  if (!out.empty() && out.back() != '\n')
    return "the output ends inside a line";
  for (size_t at = 0; at < out.size();) {
    size_t nl = out.find('\n', at);
    std::string_view l(out.data() + at, nl - at);
    std::string why = badline(l);
    if (!why.empty())
      return why + ": " + runprog::escape(l.substr(0, 80));
    at = nl + 1;
  }
  return "";
}

// ---------------------------------------------------------------------

// Output that stops being taken part of the way through a large input:
// the converter is killed by SIGPIPE as filters are, or says why it
// stopped, and in either case it stops reading at once rather than
// converting the rest for nobody.
TEST(Faults, OutputFailingMidwayEndsTheRun) {
  using runprog::Output;
  const std::string in = lines(8 << 20);
  runprog::Options whole = converter({});
  whole.input = in;
  runprog::Result full = runprog::run(whole);
  ASSERT_EQ(runprog::describe(full), "exit 0");

  static const struct {
    const char *name;
    Output out;
    const char *path;
    size_t outlimit;
    bool ignoresigpipe;
    const char *ending, *err;
  } cases[] = {
      {"a reader that takes one line and leaves", Output::Pipe, "", 1, false,
       "signal 13 (Broken pipe)", ""},
      {"the same with SIGPIPE ignored", Output::Pipe, "", 1, true, "exit 1",
       "txt2sheet: write error: Broken pipe\n"},
      {"a reader that leaves after 300000 bytes", Output::Pipe, "", 300000, true, "exit 1",
       "txt2sheet: write error: Broken pipe\n"},
      {"a full disk", Output::Path, "/dev/full", 0, false, "exit 1",
       "txt2sheet: write error: No space left on device\n"},
      {"standard output closed", Output::Closed, "", 0, false, "exit 1",
       "txt2sheet: write error: Bad file descriptor\n"},
  };
  for (const auto &c : cases) {
    runprog::Options o = whole;
    o.out = c.out;
    o.outpath = c.path;
    if (c.outlimit)
      o.outlimit = c.outlimit;
    o.ignoresigpipe = c.ignoresigpipe;
    o.timeoutsec = 20; // against a hang, not a measure of speed
    runprog::Result r = runprog::run(o);
    EXPECT_EQ(runprog::describe(r), c.ending) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_LT(r.inwritten, in.size() / 4) << c.name << ": read on after its output failed";
    EXPECT_EQ(full.out.compare(0, r.out.size(), r.out), 0)
        << c.name << ": what arrived is not the start of the whole output";
  }
}

// Standard input that fails after it has given data: what was read is
// converted as if the input had ended there, summary included, and only
// then comes the message and status 1. A TCP connection reset by its peer
// does this: the bytes sent before the reset are read first.
struct resetrun {
  std::string out, err;
  int status = -1;
  std::string error;
};

// nonblocking: the converter's standard input and output are set
// O_NONBLOCK, as a parent may leave them, so that reads and writes find
// them not ready and must wait rather than fail.
resetrun runwithresetinput(const std::string &in, bool nonblocking) {
  resetrun res;
  int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lst < 0 || peer < 0 || bind(lst, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
      listen(lst, 1) < 0 || getsockname(lst, reinterpret_cast<sockaddr *>(&addr), &alen) < 0 ||
      connect(peer, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    res.error = std::string("loopback connection: ") + strerror(errno);
    return res;
  }
  int conn = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
  close(lst);
  int outp[2], errp[2];
  if (conn < 0 || pipe2(outp, O_CLOEXEC) < 0 || pipe2(errp, O_CLOEXEC) < 0) {
    res.error = std::string("accept or pipe: ") + strerror(errno);
    return res;
  }
  if (nonblocking) {
    fcntl(conn, F_SETFL, fcntl(conn, F_GETFL) | O_NONBLOCK);
    fcntl(outp[1], F_SETFL, fcntl(outp[1], F_GETFL) | O_NONBLOCK);
  }
  runprog::Command cmd = runprog::command(BIN, {"txt2sheet"});
  std::vector<char *> argv;
  for (std::string &a : cmd.argv)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    res.error = std::string("fork: ") + strerror(errno);
    return res;
  }
  if (pid == 0) {
    dup2(conn, 0);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    signal(SIGPIPE, SIG_DFL);
    execv(cmd.file.c_str(), argv.data());
    _exit(127);
  }
  close(outp[1]);
  close(errp[1]);

  // The peer sends everything, waits until the converter has read all of
  // it, so that it is waiting for more, and resets the connection.
  std::thread sender([&] {
    size_t at = 0;
    while (at < in.size()) {
      ssize_t n = send(peer, in.data() + at, in.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      at += static_cast<size_t>(n);
    }
    for (int i = 0; i < 60000; i++) {
      int unacked = 0, unread = 0;
      if (ioctl(peer, SIOCOUTQ, &unacked) < 0 || ioctl(conn, SIOCINQ, &unread) < 0 ||
          (unacked == 0 && unread == 0))
        break;
      usleep(1000);
    }
    // A moment to finish the last block and ask for more, so that a
    // non-blocking read finds nothing there before the reset comes.
    usleep(50000);
    linger lg{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);
  });

  pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
  std::string *into[2] = {&res.out, &res.err};
  int live = 2;
  while (live > 0) {
    if (poll(fds, 2, 60000) <= 0) {
      res.error = "no end in sight";
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        into[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        live--;
      }
    }
  }
  sender.join();
  close(conn);
  for (pollfd &f : fds)
    if (f.fd >= 0)
      close(f.fd);
  int st;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
    ;
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return res;
}

TEST(Faults, ReadErrorAfterInputKeepsWhatWasRead) {
  const std::string reset = "txt2sheet: read error: Connection reset by peer\n";
  // Enough for the output to be written in many blocks before the error.
  const std::string big = lines(4 << 20);
  runprog::Options o = converter({});
  o.input = big;
  runprog::Result whole = runprog::run(o);
  ASSERT_EQ(runprog::describe(whole), "exit 0");

  const struct {
    const char *name;
    std::string in, out, err;
    bool nonblocking;
  } cases[] = {
      {"one line", "12 apple 3.5\n",
       "let A0 = 12\nrightstring B0 = \"apple\"\nlet C0 = 3.5\n"
       "format A 3 0\nformat B 6 0\nformat C 4 1\n",
       "", false},
      // The many blocks wrap onto their cells, and say so first.
      {"many blocks", big, whole.out, whole.err, false},
      {"many blocks, streams not blocking", big, whole.out, whole.err, true},
  };
  for (const auto &c : cases) {
    resetrun r = runwithresetinput(c.in, c.nonblocking);
    ASSERT_EQ(r.error, "") << c.name;
    EXPECT_TRUE(r.out == c.out) << c.name << ": the output differs from the whole conversion; "
                                << r.out.size() << " bytes instead of " << c.out.size();
    EXPECT_EQ(r.err, c.err + reset) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
  }
}

// With nowhere to say what went wrong, the exit status still says it.
TEST(Faults, FailureWithoutStandardError) {
  using runprog::Input;
  using runprog::Output;
  static const struct {
    const char *name;
    Input in;
    const char *inpath;
    Output out;
    const char *outpath;
  } cases[] = {
      {"a full disk", Input::Bytes, "", Output::Path, "/dev/full"},
      {"standard output closed", Input::Bytes, "", Output::Closed, ""},
      {"standard input a directory", Input::Path, "/", Output::Pipe, ""},
      {"standard input closed", Input::Closed, "", Output::Pipe, ""},
  };
  for (const auto &c : cases) {
    runprog::Options o = converter({});
    o.in = c.in;
    o.input = c.in == Input::Bytes ? lines(1 << 20) : std::string(c.inpath);
    o.inpath = c.inpath;
    o.out = c.out;
    o.outpath = c.outpath;
    o.errclosed = true;
    runprog::Result r = runprog::run(o);
    EXPECT_EQ(runprog::describe(r), "exit 1") << c.name;
  }
}

// A field far beyond fieldbuf is read through and dropped, not held: one
// command with its first 999 bytes, one message, and memory that does not
// grow with the field.
TEST(Faults, HugeFieldInFlatMemory) {
  const size_t huge = 50u << 20;
  static const struct {
    const char *name;
    char byte;
    bool quoted;
    const char *command;
  } cases[] = {
      {"a label", 'x', false, "rightstring A0 = \""},
      {"a quoted label", 'q', true, "rightstring A0 = \""},
      {"a number", '7', false, "let A0 = "},
  };
  for (const auto &c : cases) {
    std::string in;
    in.reserve(huge + 3);
    if (c.quoted)
      in += '"';
    in.append(huge, c.byte);
    in += c.quoted ? "\"\n" : "\n";
    runprog::Options o = converter({});
    o.input = std::move(in);
    runprog::Result r = runprog::run(o);
    ASSERT_EQ(runprog::describe(r), "exit 0") << c.name;
    std::string kept(999, c.byte);
    EXPECT_EQ(r.out, c.command + kept + (c.command[0] == 'r' ? "\"\n" : "\n") +
                         "format A 1000 0\n")
        << c.name;
    EXPECT_EQ(r.err, "Field cut to 999 bytes: A0\n") << c.name;
    if (RSSLIMITKB && !runprog::emulated()) {
      EXPECT_LT(r.peakrsskb, rsslimitkb(threadsofrun())) << c.name << ": peak RSS in KiB";
    }
    RecordProperty(std::string("peakrsskb ") + c.name, static_cast<int>(r.peakrsskb));
  }
}

// Memory does not grow with the input on any number of threads: a fixed
// number of pieces is in flight, and a piece's output block is touched only
// as far as it is used.
TEST(Faults, MemoryStaysBoundedOnEveryThread) {
  if (!RSSLIMITKB || runprog::emulated())
    GTEST_SKIP() << "the peak RSS here is the sanitizer's or the emulator's";
  const std::string in = lines(48 << 20);
  for (int threads : {1, 2, 4, 8}) {
    runprog::Options o = converter({"-f"});
    o.env = {"TXT2SHEET_THREADS=" + std::to_string(threads), "TXT2SHEET_PIECEBYTES=65536"};
    o.input = in;
    runprog::Result r = runprog::run(o);
    EXPECT_EQ(runprog::describe(r), "exit 0") << threads << " threads";
    EXPECT_LT(r.peakrsskb, rsslimitkb(threads)) << threads << " threads: peak RSS in KiB";
    RecordProperty("peakrsskb on " + std::to_string(threads) + " threads",
                   static_cast<int>(r.peakrsskb));
  }
}

// Junk of every byte value, under settings that change what delimits and
// what counts: no crash, status 0, nothing but whole commands out and the
// converter's own messages on standard error.
TEST(Faults, RandomBinaryInput) {
  std::mt19937 gen(20261210);
  std::string junk(6 << 20, '\0');
  for (char &b : junk)
    b = static_cast<char>(gen() & 0xff);
  static const std::vector<std::string> settings[] = {
      {},
      {"-k", "-d", "\xb0"},
      {"-r", "-S", "-n", "3", "-C", "-1"},
      {"-L", "-P", "-f", "-s", "zx", "-d", "\""},
  };
  for (const auto &args : settings) {
    std::string name = "options:";
    for (const auto &a : args)
      name += " " + runprog::escape(a);
    runprog::Options o = converter(args);
    o.input = junk;
    runprog::Result r = runprog::run(o);
    ASSERT_EQ(runprog::describe(r), "exit 0") << name;
    EXPECT_EQ(firstbadline(r.out), "") << name;
    // Every message is a line of its own, of one of the converter's kinds.
    std::string_view e = r.err;
    while (!e.empty()) {
      size_t nl = e.find('\n');
      std::string_view line = e.substr(0, nl);
      bool known = false;
      for (std::string_view kind :
           {"coltoa: invalid col: ", "The table can't be any wider", "Invalid column used: ",
            "Field cut to 999 bytes: ", "txt2sheet: line "})
        known = known || line.substr(0, kind.size()) == kind;
      if (nl == std::string_view::npos || !known) {
        ADD_FAILURE() << name << ": standard error holds " << runprog::escape(e.substr(0, 80));
        break;
      }
      e.remove_prefix(nl + 1);
    }
  }
}

} // namespace

// A fatal allocation error ends the run, but what was converted before it
// still reaches the reader, whole commands only.
TEST(Faults, AllocationFailureKeepsTheConvertedOutput) {
#ifdef UNDER_ASAN
  GTEST_SKIP() << "a preloaded allocator would come before the sanitizer's";
#else
  runprog::Options o;
  o.path = BIN;
  o.argv = {"txt2sheet"};
  // Growing the table from 30 to 60 columns asks for 60 entries of three
  // ints and a guard.
  o.env = {std::string("LD_PRELOAD=") + FAILREALLOC, "TXT2SHEET_FAIL_REALLOC=728"};
  std::string want;
  for (int i = 1; i <= 30; i++) {
    o.input += std::to_string(i) + (i < 30 ? " " : "\n");
    std::string col = i <= 26 ? std::string(1, static_cast<char>('A' + i - 1))
                              : std::string("A") + static_cast<char>('A' + i - 27);
    want += "let " + col + "0 = " + std::to_string(i) + "\n";
  }
  runprog::Result r = runprog::run(o);
  ASSERT_TRUE(r.error.empty()) << r.error;
  EXPECT_TRUE(r.exited && r.status == 1) << runprog::describe(r);
  EXPECT_EQ(r.err, "qelmalloc: no memory\n");
  EXPECT_EQ(r.out, want) << runprog::escape(r.out);
#endif
}
