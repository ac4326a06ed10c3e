// Preloaded into the binary by a test: realloc refuses one size, named in
// TXT2SHEET_FAIL_REALLOC, so the allocator's fatal path can be reached
// without exhausting the machine.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>

extern "C" void *realloc(void *p, size_t n) {
  using fn = void *(*)(void *, size_t);
  static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "realloc"));
  static const char *fail = getenv("TXT2SHEET_FAIL_REALLOC");
  if (fail && n == strtoul(fail, nullptr, 10)) {
    errno = ENOMEM;
    return nullptr;
  }
  return real(p, n);
}
