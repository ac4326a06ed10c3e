// Whether the tests run under the address or the thread sanitizer, which
// some of them must step aside for (its allocator, its runtime's place in
// the process, its shadow memory). UNDER_ASAN stands for either.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_ASAN 1
#endif
#endif
