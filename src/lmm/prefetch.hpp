// A hint that a cache line is about to be written: rows in no group order
// update blocks all over memory, and asking for the blocks of rows a few
// ahead keeps several cache misses in flight instead of one. A hint only:
// it changes no result.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace corvane::lmm {

inline void prefetch_for_write(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 1, 3);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

}  // namespace corvane::lmm
