// What the runtime does differently under the address sanitizer.
//
// Series memory comes from the runtime's own frames, which the sanitizer
// cannot see into: the memory manager marks what it releases and what a
// buffer leaves behind when it moves as unaddressable (poison), and clears
// the mark when it hands the memory out again (unpoison), so that a read
// through a stale address is a sanitizer report. Elsewhere both do nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define ORU_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORU_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef ORU_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace oru::sanitizer {

#ifdef ORU_ADDRESS_SANITIZER
constexpr bool address = true;
inline void poison(const void* p, size_t n) { __asan_poison_memory_region(p, n); }
inline void unpoison(const void* p, size_t n) { __asan_unpoison_memory_region(p, n); }
#else
constexpr bool address = false;
inline void poison(const void*, size_t) {}
inline void unpoison(const void*, size_t) {}
#endif

}  // namespace oru::sanitizer
