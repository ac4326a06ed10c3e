#include <cstdint>
#include <cstring>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "base/qelmalloc.h"

using ::testing::ExitedWithCode;

#include "sanitizer.h"

TEST(Qelmalloc, KeepsContentsAndGuard) {
  char *p = static_cast<char *>(qelrealloc(nullptr, 16));
  ASSERT_NE(p, nullptr);
  double g;
  memcpy(&g, p - 8, 8);
  EXPECT_EQ(g, 1234567890.12344);
  uint64_t bits;
  memcpy(&bits, p - 8, 8);
  EXPECT_EQ(bits, UINT64_C(0x41D26580B487E671));
  memcpy(p, "0123456789abcdef", 16);
  p = static_cast<char *>(qelrealloc(p, 1 << 20));
  EXPECT_EQ(memcmp(p, "0123456789abcdef", 16), 0);
  p = static_cast<char *>(qelrealloc(p, 4));
  EXPECT_EQ(memcmp(p, "0123", 4), 0);
  memcpy(&g, p - 8, 8);
  EXPECT_EQ(g, 1234567890.12344);
  qelfree(p);
  qelfree(qelmalloc(0));
}

// The block a death test spoils stays reachable from here: the process
// ends inside the allocator on purpose, and the leak checker that runs at
// its exit must not take the block for a leak.
static char *volatile spoiled;

// A death test's child starts this binary afresh, which under an emulator
// only the emulator can do: there it is a plain fork.
#ifdef UNDER_EMULATOR
#define REEXECSTYLE "fast"
#else
#define REEXECSTYLE "threadsafe"
#endif

TEST(QelmallocDeathTest, FaultsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, REEXECSTYLE);
  EXPECT_EXIT(qelfree(nullptr), ExitedWithCode(1), "^qelfree: NULL\n$");
  EXPECT_EXIT(
      {
        char *p = static_cast<char *>(qelmalloc(8));
        spoiled = p;
        memset(p - 8, 0, 8);
        qelfree(p);
      },
      ExitedWithCode(1), "^qelfree: storage not malloc'ed\n$");
  EXPECT_EXIT(
      {
        char *p = static_cast<char *>(qelmalloc(8));
        spoiled = p;
        memset(p - 8, 0xff, 8); // a NaN is no guard either
        qelrealloc(p, 64);
      },
      ExitedWithCode(1), "^qelrealloc: storage not qelmalloc'ed\n$");
}

TEST(QelmallocDeathTest, RefusedAllocationEndsTheProcess) {
#if defined(UNDER_ASAN)
  GTEST_SKIP() << "the sanitizer's allocator reports this itself";
#elif defined(UNDER_EMULATOR)
  GTEST_SKIP() << "the emulator keeps RLIMIT_AS for itself (it would bound its "
                  "own memory), so no limit can refuse the allocation";
#else
  GTEST_FLAG_SET(death_test_style, REEXECSTYLE);
  auto limit = [] {
    struct rlimit rl = {256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &rl);
  };
  EXPECT_EXIT(
      {
        limit();
        qelmalloc(UINT32_MAX);
      },
      ExitedWithCode(1), "^qelmalloc: no memory\n$");
  EXPECT_EXIT(
      {
        void *p = qelmalloc(16);
        limit();
        qelrealloc(p, UINT32_MAX - 4);
      },
      ExitedWithCode(1), "^qelmalloc: no memory\n$");
#endif
}
