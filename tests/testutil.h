// Running the converter in-process from a test.
#pragma once
#include <string>
#include <vector>

#include "driver/txt2sheet.h"

struct runresult {
  int status;
  std::string out, err;
};

// args excludes the program name, which is "txt2sheet".
inline runresult runmem(std::vector<std::string> args, const std::string &in,
                        size_t chunk = 0) {
  args.insert(args.begin(), "txt2sheet");
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  runresult r;
  r.status = txt2sheetmem(static_cast<int>(args.size()), argv.data(), in.data(), in.size(),
                          chunk, &r.out, &r.err);
  return r;
}

// Sets the settings from an option list as the command line would.
inline int setoptions(std::vector<std::string> args) {
  args.insert(args.begin(), "txt2sheet");
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  resetstate();
  return parseargs(static_cast<int>(args.size()), argv.data());
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
