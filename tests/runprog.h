// Runs a program the way a test needs it run, without a shell: an exact
// argument vector (argv[0] chosen, or none at all), standard input from
// bytes, a path or closed, standard output to a pipe, a path or closed,
// and back come everything it wrote, how it ended and its peak memory.
//
// The program is started from a small launcher process rather than forked
// from the test itself, so its peak RSS is its own and not that of the
// test's heap (a fork's copied pages count towards the child's peak).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runprog {

enum class Input { Bytes, Path, Closed };
enum class Output { Pipe, Path, Closed };

struct Options {
  std::string path;              // the program to execute
  std::vector<std::string> argv; // the whole vector, argv[0] included
  bool noargv = false;           // execute with an empty vector (argv unused)
  std::vector<std::string> env;  // "NAME=value" added to the test's environment

  Input in = Input::Bytes;
  std::string input;  // Input::Bytes; may hold any byte; written as read
  std::string inpath; // Input::Path, opened read-only (a directory works)

  Output out = Output::Pipe;
  std::string outpath;          // Output::Path, e.g. /dev/full
  size_t outlimit = SIZE_MAX;   // Output::Pipe: close our end after this many bytes
  bool errclosed = false;       // start with standard error closed
  bool ignoresigpipe = false;   // start with SIGPIPE ignored, as a parent may

  int timeoutsec = 120; // then the whole process group is killed
};

struct Result {
  std::string out; // what reached the stdout pipe (at most outlimit bytes)
  std::string err;
  bool exited = false;
  int status = -1;        // exit status, when exited
  int signal = 0;         // terminating signal, when killed
  bool timedout = false;
  long peakrsskb = 0;     // ru_maxrss of the program, in KiB
  size_t inwritten = 0;   // input bytes taken before the program shut its stdin
  std::string error;      // why the program could not be run; empty if it ran
};

Result run(const Options &opt);

// "exit 1", "signal 13 (Broken pipe)", "timed out", "not run: ...".
std::string describe(const Result &r);

// Bytes made readable for a failure message: C escapes for anything
// unprintable, a newline shown as \n and kept as a line break so that a
// diff stays line by line, and long runs of one byte shortened to [x*N].
std::string escape(std::string_view s);

// Whether a program executed with an empty argument vector sees argc 0.
// Linux since 5.18 hands it a single empty string instead, and so does an
// emulator.
bool emptyargvreaches();

// How to execute path with the vector argv where a test starts a program
// itself: file and vector for execv, through the emulator for a program
// built for the target.
struct Command {
  std::string file;
  std::vector<std::string> argv;
};
Command command(const std::string &path, const std::vector<std::string> &argv);

// Whether programs built for the target run under an emulator (a cross
// build's tests): their peak RSS is then the emulator's.
bool emulated();

} // namespace runprog
