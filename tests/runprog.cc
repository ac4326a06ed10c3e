#include "runprog.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace runprog {
namespace {

// The launcher is this very binary, executed again with LAUNCHVAR naming
// the descriptor it reports on; PROBEVAR makes a copy answer with its argc.
const char LAUNCHVAR[] = "RUNPROG_LAUNCH";
const char PROBEVAR[] = "RUNPROG_PROBEARGC";

enum { REP_EXECFAILED = 1, REP_ENDED = 2 };
struct Report {
  int kind;
  int value; // errno for REP_EXECFAILED, wait status for REP_ENDED
  long maxrsskb;
};

void writeall(int fd, const void *p, size_t n) {
  const char *c = static_cast<const char *>(p);
  while (n > 0) {
    ssize_t w = write(fd, c, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    c += w;
    n -= static_cast<size_t>(w);
  }
}

void report(int fd, int kind, int value, long maxrsskb) {
  Report r{kind, value, maxrsskb};
  writeall(fd, &r, sizeof r);
}

// Runs before main in every process of this binary and returns at once
// unless it is the launcher or the probe. The launcher's argv is: its own
// name, "argv" or "noargv", the program's path, the program's vector.
void launchhook(int argc, char **argv, char **) {
  const char *fdtext = getenv(LAUNCHVAR);
  if (!fdtext) {
    if (getenv(PROBEVAR))
      _exit(argc > 255 ? 255 : argc);
    return;
  }
  int statusfd = atoi(fdtext);
  unsetenv(LAUNCHVAR);
  fcntl(statusfd, F_SETFD, FD_CLOEXEC);
  if (argc < 3)
    _exit(127);
  static char *none[] = {nullptr};
  char **progargv = strcmp(argv[1], "noargv") == 0 ? none : argv + 3;

  pid_t pid = fork();
  if (pid < 0) {
    report(statusfd, REP_EXECFAILED, errno, 0);
    _exit(127);
  }
  if (pid == 0) {
    execve(argv[2], progargv, environ);
    report(statusfd, REP_EXECFAILED, errno, 0);
    _exit(127);
  }
  // Our copies of the program's standard streams would keep its pipes
  // open after it has closed or left them.
  close(0);
  close(1);
  close(2);
  int st = 0;
  struct rusage ru {};
  while (wait4(pid, &st, 0, &ru) < 0)
    if (errno != EINTR)
      _exit(127);
  report(statusfd, REP_ENDED, st, ru.ru_maxrss);
  _exit(0);
}

__attribute__((section(".init_array"), used)) void (*runproglaunch)(
    int, char **, char **) = launchhook;

struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
};

bool makepipe(Fd &rd, Fd &wr) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) < 0)
    return false;
  rd.fd = p[0];
  wr.fd = p[1];
  return true;
}

std::string syserr(const std::string &what) {
  return what + ": " + strerror(errno);
}

long long nowms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool samename(const char *entry, const std::string &assign) {
  size_t eq = assign.find('=');
  size_t n = eq == std::string::npos ? assign.size() : eq;
  return strncmp(entry, assign.data(), n) == 0 && entry[n] == '=';
}

// Reads what is there; false once the descriptor is finished with.
bool drain(int fd, std::string &into) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

} // namespace

Result run(const Options &opt) {
  Result res;
  auto fail = [&res](const std::string &what) {
    res.error = syserr(what);
    return res;
  };

  Fd inrd, inwr, outrd, outwr, errrd, errwr, strd, stwr, infile, outfile;
  if (opt.in == Input::Bytes && !makepipe(inrd, inwr))
    return fail("pipe");
  if (opt.in == Input::Path &&
      (infile.fd = open(opt.inpath.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
    return fail("open " + opt.inpath);
  if (opt.out == Output::Pipe && !makepipe(outrd, outwr))
    return fail("pipe");
  if (opt.out == Output::Path &&
      (outfile.fd = open(opt.outpath.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0)
    return fail("open " + opt.outpath);
  if (!opt.errclosed && !makepipe(errrd, errwr))
    return fail("pipe");
  if (!makepipe(strd, stwr))
    return fail("pipe");

  // Everything the child touches is made before the fork.
  std::vector<std::string> args = {"runprog-launch",
                                   opt.noargv ? "noargv" : "argv", opt.path};
  args.insert(args.end(), opt.argv.begin(), opt.argv.end());
  std::vector<std::string> envs;
  for (char **e = environ; *e; ++e) {
    bool replaced = samename(*e, LAUNCHVAR);
    for (const std::string &mine : opt.env)
      replaced = replaced || samename(*e, mine);
    if (!replaced)
      envs.push_back(*e);
  }
  envs.insert(envs.end(), opt.env.begin(), opt.env.end());
  envs.push_back(std::string(LAUNCHVAR) + "=" + std::to_string(stwr.fd));
  std::vector<char *> argp, envp;
  for (std::string &s : args)
    argp.push_back(s.data());
  argp.push_back(nullptr);
  for (std::string &s : envs)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  int childin = opt.in == Input::Bytes ? inrd.fd : infile.fd;
  int childout = opt.out == Output::Pipe ? outwr.fd : outfile.fd;
  int childerr = errwr.fd;
  int childst = stwr.fd;

  // A program that leaves before taking all its input must not kill us.
  struct sigaction ign {}, oldpipe {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, &oldpipe);

  pid_t pid = fork();
  if (pid < 0) {
    Result failed = fail("fork");
    sigaction(SIGPIPE, &oldpipe, nullptr);
    return failed;
  }
  if (pid == 0) {
    setpgid(0, 0);
    struct sigaction sa {};
    sa.sa_handler = opt.ignoresigpipe ? SIG_IGN : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The sources are all above 2, so no dup2 below overwrites another.
    if (childin >= 0)
      dup2(childin, 0);
    else
      close(0);
    if (childout >= 0)
      dup2(childout, 1);
    else
      close(1);
    if (childerr >= 0)
      dup2(childerr, 2);
    else
      close(2);
    // Only the three streams reach the program, whatever the test inherited.
    if (childst > 3)
      close_range(3, static_cast<unsigned>(childst) - 1, CLOSE_RANGE_CLOEXEC);
    close_range(static_cast<unsigned>(childst) + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    fcntl(childst, F_SETFD, 0);
    execve("/proc/self/exe", argp.data(), envp.data());
    report(childst, REP_EXECFAILED, errno, 0);
    _exit(127);
  }
  setpgid(pid, pid);
  inrd.reset();
  outwr.reset();
  errwr.reset();
  stwr.reset();
  infile.reset();
  outfile.reset();

  if (inwr.fd >= 0) {
    fcntl(inwr.fd, F_SETFL, fcntl(inwr.fd, F_GETFL) | O_NONBLOCK);
    if (opt.input.empty())
      inwr.reset();
  }
  std::string status;
  size_t inpos = 0;
  long long deadline = nowms() + 1000LL * opt.timeoutsec;
  while (inwr.fd >= 0 || outrd.fd >= 0 || errrd.fd >= 0 || strd.fd >= 0) {
    struct pollfd fds[4];
    Fd *owner[4];
    int n = 0;
    if (inwr.fd >= 0)
      fds[n] = {inwr.fd, POLLOUT, 0}, owner[n++] = &inwr;
    for (Fd *f : {&outrd, &errrd, &strd})
      if (f->fd >= 0)
        fds[n] = {f->fd, POLLIN, 0}, owner[n++] = f;
    long long left = deadline - nowms();
    if (left <= 0) {
      kill(-pid, SIGKILL);
      res.timedout = true;
      break;
    }
    int k = poll(fds, static_cast<nfds_t>(n), static_cast<int>(left));
    if (k < 0 && errno != EINTR) {
      res.error = syserr("poll");
      kill(-pid, SIGKILL);
      break;
    }
    for (int i = 0; k > 0 && i < n; i++) {
      if (fds[i].revents == 0)
        continue;
      Fd &f = *owner[i];
      if (&f == &inwr) {
        size_t chunk = std::min<size_t>(opt.input.size() - inpos, 65536);
        ssize_t w = write(f.fd, opt.input.data() + inpos, chunk);
        if (w > 0)
          inpos += static_cast<size_t>(w);
        // EPIPE: the program is done with its input, which is its right.
        if ((w < 0 && errno != EAGAIN && errno != EINTR) ||
            inpos == opt.input.size())
          f.reset();
      } else if (&f == &outrd) {
        if (!drain(f.fd, res.out))
          f.reset();
        else if (res.out.size() >= opt.outlimit) {
          res.out.resize(opt.outlimit);
          f.reset();
        }
      } else if (!drain(f.fd, &f == &errrd ? res.err : status)) {
        f.reset();
      }
    }
  }
  inwr.reset();
  outrd.reset();
  errrd.reset();
  strd.reset();
  int lst;
  while (waitpid(pid, &lst, 0) < 0 && errno == EINTR)
    ;
  sigaction(SIGPIPE, &oldpipe, nullptr);
  res.inwritten = inpos;

  bool ended = false;
  for (size_t at = 0; at + sizeof(Report) <= status.size();
       at += sizeof(Report)) {
    Report r;
    memcpy(&r, status.data() + at, sizeof r);
    if (r.kind == REP_EXECFAILED && res.error.empty()) {
      errno = r.value;
      res.error = syserr("cannot execute " + opt.path);
    } else if (r.kind == REP_ENDED) {
      ended = true;
      res.peakrsskb = r.maxrsskb;
      if (WIFEXITED(r.value)) {
        res.exited = true;
        res.status = WEXITSTATUS(r.value);
      } else if (WIFSIGNALED(r.value)) {
        res.signal = WTERMSIG(r.value);
      }
    }
  }
  if (!ended && !res.timedout && res.error.empty())
    res.error = "the launcher ended without a report";
  return res;
}

std::string describe(const Result &r) {
  if (!r.error.empty())
    return "not run: " + r.error;
  if (r.timedout)
    return "timed out";
  if (r.exited)
    return "exit " + std::to_string(r.status);
  if (r.signal)
    return "signal " + std::to_string(r.signal) + " (" + strsignal(r.signal) +
           ")";
  return "ended in an unknown way";
}

namespace {
void escapebyte(std::string &out, unsigned char c) {
  switch (c) {
  case '\n': out += "\\n\n"; return;
  case '\t': out += "\\t"; return;
  case '\r': out += "\\r"; return;
  case '\\': out += "\\\\"; return;
  case '\0': out += "\\0"; return;
  }
  if (c >= 0x20 && c < 0x7f) {
    out += static_cast<char>(c);
    return;
  }
  char hex[8];
  snprintf(hex, sizeof hex, "\\x%02x", c);
  out += hex;
}
} // namespace

std::string escape(std::string_view s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = i;
    while (j < s.size() && s[j] == s[i])
      j++;
    if (j - i >= 16) {
      out += '[';
      escapebyte(out, static_cast<unsigned char>(s[i]));
      out += '*' + std::to_string(j - i) + ']';
      i = j;
    } else {
      escapebyte(out, static_cast<unsigned char>(s[i++]));
    }
  }
  return out;
}

// Kept out of line: inlined under LTO, GCC 12 takes the string built here
// for a short one and warns of an overread that cannot happen.
__attribute__((noinline)) bool emptyargvreaches() {
  Options o;
  o.path = "/proc/self/exe";
  o.noargv = true;
  o.env = {std::string(PROBEVAR) + "=1"};
  o.in = Input::Closed;
  Result r = run(o);
  return r.exited && r.status == 0;
}

} // namespace runprog
