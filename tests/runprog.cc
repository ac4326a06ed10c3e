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

// A cross build's tests run under an emulator, named with its options by
// RUNPROG_EMULATOR (words split at spaces). A program that cannot start
// by itself then is one built for the target: this binary, started again
// as the launcher, and the converter; the host's own tools (sh, cat)
// start as they are.
#ifdef RUNPROG_EMULATOR
const char EMULATOR[] = RUNPROG_EMULATOR;
#else
const char EMULATOR[] = "";
#endif

std::vector<std::string> emulatorwords() {
  std::vector<std::string> words;
  std::string w;
  for (const char *c = EMULATOR;; c++) {
    if (*c == ' ' || *c == '\0') {
      if (!w.empty())
        words.push_back(w);
      w.clear();
      if (*c == '\0')
        return words;
    } else {
      w += *c;
    }
  }
}

// The bytes of an ELF header that tell the machine: class, byte order and
// e_machine. Empty for anything unreadable or no ELF file.
std::string elfmachine(const char *path) {
  unsigned char h[20];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "";
  ssize_t n = read(fd, h, sizeof h);
  close(fd);
  if (n != sizeof h || memcmp(h, "\177ELF", 4) != 0)
    return "";
  return std::string{char(h[4]), char(h[5]), char(h[18]), char(h[19])};
}

// Whether path is a program for the target, which only the emulator runs.
bool fortarget(const char *path) {
  return emulated() && elfmachine(path) == elfmachine("/proc/self/exe");
}

// The emulator's vector that starts path with argv0 as its argv[0]. The
// dynamic loader's variables (LD_PRELOAD) in env are meant for the
// program, and the emulator's own loader would complain of them: they
// leave env and reach the program by the emulator's -E.
std::vector<std::string> emulatorvector(const std::string &path, const std::string &argv0,
                                        char *const *rest, std::vector<std::string> &env) {
  std::vector<std::string> v = emulatorwords();
  std::vector<std::string> hostenv;
  for (std::string &e : env) {
    if (e.compare(0, 3, "LD_") == 0)
      v.insert(v.end(), {"-E", e});
    else
      hostenv.push_back(e);
  }
  env = hostenv;
  v.insert(v.end(), {"-0", argv0, path});
  for (; *rest; ++rest)
    v.push_back(*rest);
  return v;
}

size_t envcount() {
  size_t n = 0;
  while (environ[n])
    n++;
  return n;
}

std::vector<char *> pointers(std::vector<std::string> &v) {
  std::vector<char *> p;
  for (std::string &s : v)
    p.push_back(s.data());
  p.push_back(nullptr);
  return p;
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
    // The emulator catches every signal that could end a program, so one
    // ignored here would be caught again after the exec, unless it is set
    // once more, which the emulator passes on.
    for (int sig = 1; emulated() && sig < NSIG; sig++) {
      struct sigaction sa {};
      if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN)
        sigaction(sig, &sa, nullptr);
    }
    if (progargv[0] && fortarget(argv[2])) {
      std::vector<std::string> env(environ, environ + envcount());
      std::vector<std::string> v = emulatorvector(argv[2], progargv[0], progargv + 1, env);
      execve(v[0].c_str(), pointers(v).data(), pointers(env).data());
    } else {
      execve(argv[2], progargv, environ);
    }
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
  std::string self = "/proc/self/exe";
  if (emulated()) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
      return fail("readlink /proc/self/exe");
    std::vector<char *> tail = pointers(args);
    args = emulatorvector(std::string(buf, static_cast<size_t>(n)), args[0], tail.data() + 1,
                          envs);
    self = args[0];
  }
  std::vector<char *> argp = pointers(args), envp = pointers(envs);
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
    execve(self.c_str(), argp.data(), envp.data());
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
bool emulated() { return EMULATOR[0] != '\0'; }

Command command(const std::string &path, const std::vector<std::string> &argv) {
  if (argv.empty() || !fortarget(path.c_str()))
    return {path, argv};
  std::vector<std::string> copy = argv, noenv;
  std::vector<char *> rest = pointers(copy);
  std::vector<std::string> v = emulatorvector(path, argv[0], rest.data() + 1, noenv);
  return {v[0], v};
}

__attribute__((noinline)) bool emptyargvreaches() {
  // The emulator is started with a vector, and gives the program one.
  if (emulated())
    return false;
  Options o;
  o.path = "/proc/self/exe";
  o.noargv = true;
  o.env = {std::string(PROBEVAR) + "=1"};
  o.in = Input::Closed;
  Result r = run(o);
  return r.exited && r.status == 0;
}

} // namespace runprog
