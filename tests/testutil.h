// Running the converter in-process from a test.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/output.h"
#include "base/settings.h"
#include "driver/options.h"
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

// The settings the last setoptions made.
inline settings testset;

// Sets testset from an option list as the command line would; what the
// parser says goes to out and err when they are given.
inline int setoptions(std::vector<std::string> args, std::string *out = nullptr,
                      std::string *err = nullptr) {
  // The settings keep the program's name from the argument vector, as the
  // program's do from argv, so the vector lives until the next call.
  static std::unique_ptr<argvec> av;
  av = std::make_unique<argvec>(std::move(args));
  output o(out);
  errsink e(err);
  int status = parseargs(av->argc(), av->argv(), testset, o, e);
  o.flush();
  return status;
}

// The number rule as a plain walk over a field's bytes, the reference the
// scanner's bit-parallel forms are checked against: a digit, sign or point
// first, then digits, points, signs and exponent letters (without -P only
// digits and points), a digit somewhere and none but digits and points
// after the last sign. Under -S nothing is a number.
inline bool isnumref(const std::string &field, const settings &set) {
  if (set.allstrings || field.empty())
    return false;
  unsigned char c0 = static_cast<unsigned char>(field[0]);
  if (!((c0 >= '0' && c0 <= '9') || c0 == '+' || c0 == '-' || c0 == '.'))
    return false;
  bool seendigit = false, lastdigit = false;
  for (unsigned char c : field) {
    if (c >= '0' && c <= '9')
      seendigit = lastdigit = true;
    else if (c == '.')
      continue;
    else if ((c == 'E' || c == 'e') && !set.plainnums)
      continue;
    else if ((c == '+' || c == '-') && !set.plainnums)
      lastdigit = false;
    else
      return false;
  }
  return seendigit && lastdigit;
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
