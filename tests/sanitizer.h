// Whether the tests run under the address sanitizer, which some of them
// must step aside for (its allocator, its runtime's place in the process).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif
