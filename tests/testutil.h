// Running the converter in-process from a test.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "driver/txt2sheet.h"

struct runresult {
  int status;
  std::string out, err;
};

// An argument vector for the converter: "txt2sheet", then args. The
// strings live as long as the object.
struct argvec {
  explicit argvec(std::vector<std::string> args) : strs(std::move(args)) {
    strs.insert(strs.begin(), "txt2sheet");
    for (auto &a : strs)
      ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strs.size()); }
  char **argv() { return ptrs.data(); }
  std::vector<std::string> strs;
  std::vector<char *> ptrs;
};

inline runresult runmem(std::vector<std::string> args, const std::string &in,
                        size_t chunk = 0) {
  argvec av(std::move(args));
  runresult r;
  r.status = txt2sheetmem(av.argc(), av.argv(), in.data(), in.size(), chunk, &r.out, &r.err);
  return r;
}

// Sets the settings from an option list as the command line would.
inline int setoptions(std::vector<std::string> args) {
  argvec av(std::move(args));
  resetstate();
  return parseargs(av.argc(), av.argv());
}

// Bytes shown so that a failure says what differed.
inline std::string shown(const std::string &s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '\n') {
      o += "\\n\n";
    } else if (c < 0x20 || c >= 0x7f || c == '\\') {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}
